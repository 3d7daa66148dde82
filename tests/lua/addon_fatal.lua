-- Misuse of the example add-on is fatal: one process per case.
local tarvex = arg[0]
local prelude = "package.path = os.getenv('TEST_SOURCE_DIR') .. '/addons/?.lua;' .. package.path\n"
    .. "local Zero = require('tarvex.input.zero')\nlocal Null = require('tarvex.output.null')\n"

local cases = {
    { "push without a receiver", "Zero.new():run(1)", "^example%.input%.zero%[0x%x+%] fatal: no receiver set\n$" },
    { "drain without a producer", "Null.new():run()", "^example%.output%.null%[0x%x+%] fatal: no producer set\n$" },
    { "null object pushed", "local f, c = Null.new():receive()\nf(c, nil)", "^example%.output%.null fatal: obj is nil\n$" },
}
for i, case in ipairs(cases) do
    local name, body, pattern = unpack(case)
    local script = "case" .. i .. ".lua"
    local file = assert(io.open(script, "w"))
    file:write(prelude, body, "\nprint('not reached')\n")
    file:close()
    local status = os.execute(tarvex .. " " .. script .. " >out.txt 2>err.txt")
    local err = assert(io.open("err.txt")):read("*a")
    assert(status == 256, name .. ": status " .. status .. " " .. err)
    assert(err:find(pattern), string.format("%s: %q", name, err))
    assert(assert(io.open("out.txt")):read("*a") == "", name .. ": went on")
end
print("add-on fatal cases pass")
