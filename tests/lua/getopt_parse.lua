-- Option parsing: one table of declarations, arguments and expected values
-- or errors.
local Getopt = require("tarvex.lib.getopt")

local function same(a, b)
    if type(a) ~= "table" or type(b) ~= "table" then
        return a == b
    end
    for k, v in pairs(a) do
        if not same(v, b[k]) then
            return false
        end
    end
    for k in pairs(b) do
        if a[k] == nil then
            return false
        end
    end
    return true
end

local function show(v)
    if type(v) ~= "table" then
        return string.format("%q", tostring(v)) .. "(" .. type(v) .. ")"
    end
    local parts = {}
    for i, x in ipairs(v) do
        parts[i] = show(x)
    end
    return "{" .. table.concat(parts, ", ") .. "}"
end

-- Options shared by most cases.
local common = {
    { "v", "verbose", 0, "more output", "?+" },
    { "q", "quiet", false, "less output", "?" },
    { "t", "toggle", true, "on unless given", "?" },
    { "n", "number", 1, "a number", "?" },
    { "x", "extra", "", "a text", "?" },
    { "m", "many", "none", "repeatable", "?*" },
}

-- { name, declarations, args, expected values (option name -> value),
--   expected positional list, or an error pattern instead of the two }
local cases = {
    { "nothing given", common, {}, { verbose = 0, quiet = false, toggle = true, number = 1, extra = "", many = "none", help = false }, {} },
    { "counter -vvv", common, { "-vvv" }, { verbose = 3, v = 3 }, {} },
    { "counter, repeated and long", common, { "-v", "--verbose", "-v" }, { verbose = 3 }, {} },
    { "counter by --v", common, { "--v" }, { verbose = 1 }, {} },
    { "group ends in a string option", common, { "-vx", "value", "rest" }, { verbose = 1, extra = "value" }, { "rest" } },
    { "group of toggles and a counter", common, { "-qvt" }, { quiet = true, verbose = 1, toggle = false }, {} },
    { "boolean with default true given once", common, { "-t" }, { toggle = false }, {} },
    { "boolean given twice", common, { "-t", "--toggle" }, { toggle = true }, {} },
    { "toggle given twice in a group", common, { "-qq" }, { quiet = false }, {} },
    { "negative number argument", common, { "-n", "-5" }, { number = -5 }, {} },
    { "number argument in decimal and hex", common, { "--number", "0x10" }, { number = 16 }, {} },
    { "non-numeric number argument", common, { "-n", "abc" }, { number = 1 }, {} },
    { "string argument that looks like an option", common, { "-x", "--quiet" }, { extra = "--quiet", quiet = false }, {} },
    { "after -- everything is positional", common, { "a", "--", "-v", "--quiet", "--" }, { verbose = 0, quiet = false }, { "a", "-v", "--quiet", "--" } },
    { "a lone - is positional", common, { "-", "-v", "-" }, { verbose = 1 }, { "-", "-" } },
    { "positional between options", common, { "one", "-q", "two" }, { quiet = true }, { "one", "two" } },
    { "multiple given twice", common, { "-m", "a", "--many", "b" }, { many = { "a", "b" }, m = { "a", "b" } }, {} },
    { "multiple given once", common, { "-m", "a" }, { many = { "a" } }, {} },
    { "multiple never given", common, {}, { many = "none" }, {} },
    { "multiple number option", { { "p", "port", 53, "ports", "?*" } }, { "-p", "1", "-p", "2" }, { port = { 1, 2 } }, {} },
    { "help by short letter", common, { "-h" }, { help = true }, {} },
    { "help by long name", common, { "--help" }, { help = true }, {} },
    { "short-only option", { { "s", nil, "dflt", "short only", "?" } }, { "-s", "val" }, { s = "val" }, {} },
    { "short-only option by --s", { { "s", nil, "dflt", "short only", "?" } }, { "--s", "val" }, { s = "val" }, {} },
    { "long-only option", { { nil, "name", "x", "long only", "?" } }, { "--name", "y" }, { name = "y" }, {} },
    { "required option given", { { "r", "req", "", "required" } }, { "-r", "x" }, { req = "x" }, {} },
    { "undeclared name gives nothing", common, {}, { nosuch = nil }, {} },

    { "missing required", { { "r", "req", "", "required" } }, {}, "missing required option req$" },
    { "missing required short-only", { { "r", nil, 0, "required" } }, {}, "missing required option r$" },
    { "unknown long option", common, { "--nosuch" }, "unknown option nosuch$" },
    { "unknown short option", common, { "-z" }, "unknown option z$" },
    { "unknown letter in a group", common, { "-vzq" }, "unknown option z$" },
    { "string option inside a group", common, { "-xv" }, "invalid short option 'x' in multioption statement$" },
    { "number option inside a group", common, { "-nv" }, "invalid short option 'n' in multioption statement$" },
    { "argument missing at the end", common, { "-x" }, "option extra needs argument$" },
    { "argument missing for short-only", { { "s", nil, "", "", "?" } }, { "-s" }, "option s needs argument$" },
}

local function values_of(parser, expected)
    local got = {}
    for name in pairs(expected) do
        got[name] = parser:val(name)
    end
    return got
end

for _, case in ipairs(cases) do
    local name, declarations, args, expected, left = unpack(case)
    local parser = Getopt.new(declarations)
    local ok, result = pcall(parser.parse, parser, args, 1)
    if type(expected) == "string" then
        assert(not ok, name .. ": parse should fail")
        assert(result:find("^lib/getopt%.lua:%d+: " .. expected), name .. ": error " .. tostring(result))
    else
        assert(ok, name .. ": " .. tostring(result))
        for option, value in pairs(expected) do
            local got = parser:val(option)
            assert(same(got, value), string.format("%s: %s is %s, expected %s", name, option, show(got), show(value)))
        end
        assert(same(result, left), name .. ": positional " .. show(result))
        assert(parser.left == result, name .. ": left holds the result")
        assert(select("#", parser:val("nosuch")) == 0, name .. ": undeclared name returns nothing")
    end
end

-- Defaults of parse: the global arg from index 2, up to the largest index.
do
    local saved = arg
    arg = { [0] = "tarvex", "script.lua", "-v", "pos", [5] = "-v" }
    local parser = Getopt.new(common)
    local left = parser:parse()
    arg = saved
    assert(parser:val("verbose") == 2, "both -v, across the hole")
    assert(same(left, { "pos" }), "positional from arg")
end

-- Values survive a second parse; only optional options: empty list.
do
    local parser = Getopt.new(common)
    parser:parse({ "-v" }, 1)
    parser:parse({ "-v" }, 1)
    assert(parser:val("verbose") == 2, "parse does not reset")
    assert(same(Getopt.new(common):parse({}, 1), {}))
    assert(same(Getopt.new(common):parse({ "-v", "x" }, 2), { "x" }), "startn skips earlier arguments")
end
print("getopt parse cases pass")
