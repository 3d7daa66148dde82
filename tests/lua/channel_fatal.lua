-- Fatal channel errors, each in its own tarvex process: exit status 1 and
-- exactly the one fatal line.
local tarvex = arg[0]

local prelude = "local Channel = require('tarvex.core.channel')\nlocal ffi = require('ffi')\n"
local cases = {
    { "capacity 2", "Channel.new(2)", "^core%.channel fatal: invalid capacity\n$" },
    { "capacity 3", "Channel.new(3)", "^core%.channel fatal: invalid capacity\n$" },
    { "capacity 6", "Channel.new(6)", "^core%.channel fatal: invalid capacity\n$" },
    { "capacity 0", "Channel.new(0)", "^core%.channel fatal: invalid capacity\n$" },
    { "never initialised put", "ffi.new('core_channel_t'):put(nil)", "^core%.channel fatal: ring_buf is nil\n$" },
    { "never initialised get", "ffi.new('core_channel_t'):get()", "^core%.channel fatal: ring_buf is nil\n$" },
    { "run without receiver", "Channel.new(4):run()", "^core%.channel%[0x%x+%] fatal: no receiver set\n$" },
}

for i, case in ipairs(cases) do
    local name, code, pattern = unpack(case)
    local script = "case" .. i .. ".lua"
    local file = assert(io.open(script, "w"))
    file:write(prelude, code, "\nprint('not reached')\n")
    file:close()
    local status = os.execute(tarvex .. " " .. script .. " >out.txt 2>err.txt")
    local exit = status >= 256 and math.floor(status / 256) or status
    local err = assert(io.open("err.txt")):read("*a")
    local out = assert(io.open("out.txt")):read("*a")
    if exit ~= 1 or not err:find(pattern) or out ~= "" then
        error(string.format("%s: exit %d, stderr %q, stdout %q", name, exit, err, out))
    end
end
print("channel fatal cases pass")
