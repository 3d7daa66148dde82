-- Fatal thread errors, each in its own tarvex process: exit status 1 and
-- exactly the one fatal line on the thread's object log.
local tarvex = arg[0]

local prelude = "local Thread = require('tarvex.core.thread')\nlocal t = Thread.new()\n"
local cases = {
    { "start twice", "t:start(function() end)\nt:stop()\nt:start(function() end)",
        "^core%.thread%[0x%x+%] fatal: bytecode already set\n$" },
    { "start twice while running", "t:start(function(thr) thr:pop() end)\nt:start(function() end)",
        "^core%.thread%[0x%x+%] fatal: bytecode already set\n$" },
    { "empty string", "t:push('a', '')", "^core%.thread%[0x%x+%] fatal: len is zero\n$" },
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
print("thread fatal cases pass")
