-- Configuration lines: one table of lines and what they store, or the error
-- with its position and the rest of the line.
-- expect-stderr: ^lib\.parseconf\[0x[0-9a-f]+\] debug: new\(\)$
-- stderr-lines: 1
local Parseconf = require("tarvex.lib.parseconf")

local function same(a, b)
    if type(a) ~= "table" or type(b) ~= "table" then
        return a == b and type(a) == type(b)
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

local function show(t)
    if type(t) ~= "table" then
        return type(t) .. " " .. tostring(t)
    end
    local parts = {}
    for k, v in pairs(t) do
        parts[#parts + 1] = tostring(k) .. "=" .. show(v)
    end
    table.sort(parts)
    return "{" .. table.concat(parts, ", ") .. "}"
end

-- { line, the whole conf table afterwards } or { line, error position, rest }
local cases = {
    { 'a 1 2.5 "x y" z;', { a = { 1, 2.5, "x y", "z" } } },
    { "a 1; b 2;", { a = { 1 }, b = { 2 } } },
    { "a 1 ;b 2 ; ", { a = { 1 }, b = { 2 } } },
    { "a\t1\t;", { a = { 1 } } },
    { "a;", { a = {} } },
    { "", {} },
    { "a 1; a 3;", { a = { 3 } } },
    { "n -1 1e5 0x10 .5 1. 007;", { n = { "-1", "1e5", "0x10", ".5", "1.", 7 } } },
    { 'q "" "a";', { q = { '""', "a" } } },
    { '"quoted name" 1;', { ['"quoted name"'] = { 1 } } },
    { "53 x;", { ["53"] = { "x" } } },
    { "path /a/b.c key=value;", { path = { "/a/b.c", "key=value" } } },
    { "a 1;\r", { a = { 1 } } },
    { 'mix "a b"x;', { mix = { '"a', 'b"x' } } },
    { "a 1", nil, 3, "1" },
    { "a 1 ", nil, 5, "" },
    { "  a 1;", nil, 1, "  a 1;" },
    { "\ta;", nil, 1, "\ta;" },
    { "   ", nil, 1, "   " },
    { ";", nil, 1, ";" },
    { "a 1;;", nil, 5, ";" },
    { 'name "a', nil, 6, '"a' },
    { "a", nil, 1, "a" },
}

for _, case in ipairs(cases) do
    local line, conf, position, rest = unpack(case)
    local parser = Parseconf.new()
    local ok, err = pcall(parser.line, parser, line)
    if conf then
        assert(ok, string.format("%q: %s", line, tostring(err)))
        assert(same(parser.conf, conf), string.format("%q stored %s", line, show(parser.conf)))
    else
        assert(not ok, string.format("%q should fail", line))
        local expected = "invalid config at character " .. position .. ": " .. rest
        local at = err:find(": invalid config at character ", 1, true)
        assert(err:find("^lib/parseconf%.lua:%d+: ") and at and err:sub(at + 2) == expected,
            string.format("%q: %q, expected %q", line, err, expected))
    end
end

-- part and next on their own.
local parser = Parseconf.new()
local part_cases = {
    { "12 ", 1, "12", 12 },
    { "1.5;", 1, "1.5", 1.5 },
    { '"a b";', 1, '"a b"', "a b" },
    { "x 12;", 3, "12", 12 },
    { "word", 1 },
    { " x;", 1 },
}
for _, c in ipairs(part_cases) do
    local text, value = parser:part(c[1], c[2])
    assert(text == c[3] and value == c[4], string.format("part(%q, %d): %s %s", c[1], c[2], tostring(text), tostring(value)))
    if c[3] == nil then
        assert(select("#", parser:part(c[1], c[2])) == 0, "nothing for no form")
    end
end
local next_cases = {
    { "a ; b", 2, true, " ; " },
    { "a; ", 2, true, "; " },
    { "a  b", 2, "  " },
    { "ab", 2, false },
}
for _, c in ipairs(next_cases) do
    local first, second = parser:next(c[1], c[2])
    assert(first == c[3] and second == c[4], string.format("next(%q, %d): %s %s", c[1], c[2], tostring(first), tostring(second)))
end

-- Handlers get the name and the values and store nothing; a later handler
-- replaces an earlier one; val reads conf.
local calls = {}
parser:func("listen", function(...) calls[#calls + 1] = { ... } end)
parser:line("listen 127.0.0.1 53; port 53;")
assert(same(calls, { { "listen", "127.0.0.1", 53 } }), show(calls))
assert(parser:val("listen") == nil and parser.conf.listen == nil)
assert(same(parser:val("port"), { 53 }))
parser:func("listen", function(...) calls[#calls + 1] = { "second", ... } end)
parser:line("listen;")
assert(same(calls[2], { "second", "listen" }))
assert(parser:val("nosuch") == nil)

-- A handler's own error propagates from line.
parser:func("bad", function() error("handler refused", 0) end)
local ok, err = pcall(parser.line, parser, "bad 1;")
assert(not ok and err == "handler refused", tostring(err))

local ffi = require("ffi")
assert(ffi.string(Parseconf.log().name) == "lib.parseconf" and Parseconf.log().is_obj == 0)
assert(parser:log().is_obj == 1 and parser:log().module == Parseconf.log().settings)
Parseconf.log():enable("debug")
Parseconf.new()
Parseconf.log():clear("debug")
print("parseconf line cases pass")
