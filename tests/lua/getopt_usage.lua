-- The usage text, line by line, and the "new()" debug line.
-- expect-stderr: ^lib\.getopt\[0x[0-9a-f]+\] debug: new\(\)$
local Getopt = require("tarvex.lib.getopt")

local function usage_lines(parser)
    local lines = {}
    local saved = print
    print = function(line) lines[#lines + 1] = line end
    local ok, err = pcall(parser.usage, parser)
    print = saved
    assert(ok, err)
    return lines
end

local cases = {
    {
        "read and verbose",
        { { "r", "read", "", "read a file", "?" }, { "v", "verbose", 0, "more output", "?+" } },
        nil,
        { "usage: program [options...]", '\t-r --read ""\tread a file', "\t-v --verbose\tmore output",
            "\t-h --help\tDisplay this help text" },
    },
    {
        "h taken in the first add, sorted names, each kind of default",
        {
            { "h", "host", "localhost", "server name", "?" },
            { "p", "port", 53, "server port", "?" },
            { "z", nil, 0.5, "short only", "?" },
            { nil, "dry", false, "no sending", "?" },
            { "c", "count", 2, "a counter", "?+" },
            { "a", "all", "x y", "text with blank", "?*" },
        },
        "tarvex script.lua [options...] <file>",
        { "usage: tarvex script.lua [options...] <file>",
            '\t-a --all "x y"\ttext with blank',
            "\t-c --count\ta counter",
            "\t   --dry\tno sending",
            '\t-h --host "localhost"\tserver name',
            "\t-p --port 53\tserver port",
            "\t-z 0.5\tshort only",
            "\t   --help\tDisplay this help text" },
    },
}

require("tarvex.core.log").enable("debug")
for _, case in ipairs(cases) do
    local name, declarations, desc, expected = unpack(case)
    local parser = Getopt.new(declarations)
    parser.usage_desc = desc
    local lines = usage_lines(parser)
    for i = 1, math.max(#lines, #expected) do
        assert(lines[i] == expected[i], string.format("%s, line %d: %q, expected %q", name, i,
            tostring(lines[i]), tostring(expected[i])))
    end
end
require("tarvex.core.log").disable("debug")

-- On standard output for real: a script that prints usage() on -h.
local file = assert(io.open("help.lua", "w"))
file:write([[
local Getopt = require("tarvex.lib.getopt")
local opts = Getopt.new({ { "r", "read", "", "read a file", "?" } })
opts:parse()
if opts:val("h") then
    opts:usage()
    return
end
print("read " .. opts:val("read"))
]])
file:close()
local pipe = io.popen(arg[0] .. " help.lua -h")
local out = pipe:read("*a")
pipe:close()
assert(out == 'usage: program [options...]\n\t-r --read ""\tread a file\n\t-h --help\tDisplay this help text\n', out)
pipe = io.popen(arg[0] .. " help.lua --read x.pcap")
out = pipe:read("*a")
pipe:close()
assert(out == "read x.pcap\n", out)
print("getopt usage cases pass")
