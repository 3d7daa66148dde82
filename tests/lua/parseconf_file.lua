-- Configuration files: comments, line numbers in errors, earlier lines kept,
-- handler errors and unreadable files.
local Parseconf = require("tarvex.lib.parseconf")

local function write(path, text)
    local file = assert(io.open(path, "w"))
    file:write(text)
    file:close()
end

-- A good file: comments, blank lines, a handler and stored statements.
write("good.conf", "# a comment line\nport 53; # trailing comment\n\nlisten 127.0.0.1 53;\nname \"a b\"; # \"quoted\"\n")
local parser = Parseconf.new()
local heard = {}
parser:func("listen", function(name, address, port) heard[#heard + 1] = name .. " " .. address .. " " .. port end)
parser:file("good.conf")
assert(#parser:val("port") == 1 and parser:val("port")[1] == 53)
assert(#heard == 1 and heard[1] == "listen 127.0.0.1 53", tostring(heard[1]))
assert(parser:val("listen") == nil)
assert(parser:val("name")[1] == "a b")

-- { file text, failing line number, inner message pattern, names stored before }
local cases = {
    { "a 1;\nb 2;\nc 3\nd 4;\n", 3, "invalid config at character 3: 3$", { "a", "b" } },
    { 'a 1;\nname "a#b";\n', 2, 'invalid config at character 6: "a$', { "a" } },
    { "  indented;\n", 1, "invalid config at character 1:   indented;$", {} },
    { "a 1;\nb 2;\nboom 1;\n", 3, "handler says no$", { "a", "b" } },
}
for _, case in ipairs(cases) do
    local text, number, inner, stored = unpack(case)
    write("bad.conf", text)
    local p = Parseconf.new()
    p:func("boom", function() error("handler says no") end)
    local ok, err = pcall(p.file, p, "bad.conf")
    assert(not ok, "should fail: " .. text)
    local pattern = "^lib/parseconf%.lua:%d+: parse error in bad%.conf%[" .. number .. "%]: [^:]+:%d+: " .. inner
    assert(err:find(pattern), string.format("%q does not match %q", err, pattern))
    for _, name in ipairs(stored) do
        assert(p:val(name), name .. " from an earlier line is kept")
    end
    assert(p:val("d") == nil, "nothing after the failing line")
end

-- A file that cannot be opened is the line reader's own error.
local ok, err = pcall(parser.file, parser, "missing.conf")
assert(not ok and err:find("missing.conf: No such file or directory", 1, true), tostring(err))
print("parseconf file cases pass")
