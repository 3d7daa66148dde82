-- The man page the build made renders without a groff or man warning, holds
-- every section a user looks for, and shows every tool and every option of
-- every tool (from the tables themselves) with its metavar, help and
-- default; it is what the tables give now, and its compressed copy is the
-- same page. Text from a table that would be roff (a leading dot or
-- apostrophe, a backslash) comes out as written.
-- expect-stdout: ^man page checks pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local staging = require("staging")
local Cli = require("tarvex.tools.lib.cli")
local Manpage = require("tarvex.tools.lib.manpage")
local q, check = staging.quote, staging.check

staging.need("groff", "man")

local page = staging.build .. "/doc/tarvex.1"
check(staging.exists(page), "no man page at %s", page)

-- Warnings from both formatters, and the plain text of the page, one option
-- per line (a long line length, so that nothing wraps).
local function render(path)
    local _, err = staging.run("groff -man -ww -z " .. q(path))
    check(err == "", "groff warns about %s:\n%s", path, err)
    _, err = staging.run("man --warnings=w -l " .. q(path) .. " >/dev/null")
    check(err == "", "man warns about %s:\n%s", path, err)
    local text = staging.run("groff -man -Tascii -P-cbou -rLL=400n " .. q(path))
    return text
end

local function squeeze(text)
    return (text:gsub("%s+", " "))
end

-- The lines of one section (.SH) or subsection (.SS) of the rendered text,
-- from its heading to the next heading at the same or a higher level.
local function part(text, heading, indent)
    local lines, inside = {}, false
    for line in text:gmatch("([^\n]*)\n") do
        local level = line:match("^(%S)") and 0 or (line:match("^   %S") and 1 or nil)
        if inside and level and level <= indent then
            break
        end
        if line == string.rep(" ", indent * 3) .. heading then
            inside = true
        elseif inside then
            lines[#lines + 1] = line
        end
    end
    check(inside, "no heading %q in the page", heading)
    return squeeze(table.concat(lines, "\n"))
end

local function has(haystack, needle, where)
    check(haystack:find(needle, 1, true), "%s: %q not found in:\n%s", where, needle, haystack)
end

local function check_options(section, options, where)
    for _, option in ipairs(options) do
        local tag = (option[1] and ("-" .. option[1] .. ", ") or "") .. "--" .. option[2]
        local metavar = Cli.metavar(option)
        if metavar ~= "" then
            tag = tag .. " " .. metavar
        end
        has(section, " " .. tag .. " " .. squeeze(option[4]), where .. " " .. option[2])
        if type(option[3]) == "string" and option[3] ~= "" then
            has(section, "Default: " .. option[3] .. ".", where .. " " .. option[2] .. " default")
        end
    end
end

local text = render(page)
for _, heading in ipairs({ "NAME", "SYNOPSIS", "DESCRIPTION", "TOOLS", "COMMON OPTIONS",
        "EXIT STATUS", "ENVIRONMENT", "FILES", "SEE ALSO" }) do
    part(text, heading, 0)
end
has(part(text, "NAME", 0), "tarvex - ", "NAME")
local synopsis = part(text, "SYNOPSIS", 0)
has(synopsis, "tarvex script.lua [arg ...]", "SYNOPSIS script form")
has(synopsis, "tarvex tool [option ...]", "SYNOPSIS tool form")
has(part(text, "ENVIRONMENT", 0), "LUA_PATH", "ENVIRONMENT")
local exit_status = part(text, "EXIT STATUS", 0)
has(exit_status, " 0 ", "EXIT STATUS")
has(exit_status, " 1 ", "EXIT STATUS")
local see_also = part(text, "SEE ALSO", 0)
for _, page_name in ipairs({ "tcpdump(1)", "tshark(1)", "dnsperf(1)" }) do
    has(see_also, page_name, "SEE ALSO")
end

for _, tool in ipairs(staging.tools()) do
    local section = part(text, tool.name, 1)
    has(section, "tarvex " .. tool.name .. " " .. squeeze(tool.usage), tool.name .. " usage")
    has(section, tool.summary:sub(2), tool.name .. " summary")
    check_options(section, tool.options, tool.name)
end
check_options(part(text, "COMMON OPTIONS", 0), Cli.common, "common")

-- Option names are minus signs in the source, so that they copy back into
-- a shell as typed.
local source = sub.read(page)
has(source, "\\-\\-timing", "page source")
check(not source:find("[^\\]%-%-timing"), "--timing written with hyphens in the page source")

-- The page is what the tables give now (its date aside), and the copy that
-- is installed is the same page.
local function dateless(text_)
    return (text_:gsub('^%.TH [^\n]*\n', ""))
end
check(dateless(Manpage.render()) == dateless(source), "the built page differs from what the tables give")
local unpacked = staging.run("gzip -dc " .. q(page .. ".gz"))
check(unpacked == source, "tarvex.1.gz is not tarvex.1")

-- A table's text that groff would read as requests or escapes.
local tricky = {
    name = "tricky",
    summary = "first line",
    usage = "[options...] 'quoted' FILE",
    options = {
        { "x", "exact", "", ".starts with a dot", arg = "FILE" },
        { "y", "apostrophe", "a\\b", "'starts with an apostrophe, has C:\\path and \\fB" },
        { nil, "long-only", false, "a flag with -x in its help" },
    },
    epilog = ".TH not a title\n\n'also not a request",
}
local path = "tricky.1"
sub.write(path, Manpage.render({ tools = { tricky }, date = "2000-01-01", version = "0" }))
local tricky_text = squeeze(render(path))
has(tricky_text, "-x, --exact FILE .starts with a dot.", "leading dot")
has(tricky_text, "-y, --apostrophe VALUE 'starts with an apostrophe, has C:\\path and \\fB. Default: a\\b.",
    "apostrophe and backslashes")
has(tricky_text, " --long-only a flag with -x in its help.", "long option alone")
has(tricky_text, "tarvex tricky [options...] 'quoted' FILE", "usage")
has(tricky_text, ".TH not a title ", "epilog dot")
has(tricky_text, "'also not a request", "epilog apostrophe")

-- A name that is not a plain word is refused, not written into a request.
local ok, err = pcall(Manpage.render, { tools = { { name = "bad\n.so /etc/passwd", summary = "s", options = {} } } })
check(not ok and tostring(err):find("not a plain name"), "a bad tool name was accepted: %s", tostring(err))

print("man page checks pass")
