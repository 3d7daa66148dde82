-- The man page tarvex(1), made from the tools' own tables (summary, usage,
-- options) and the common options, so that it says what -h says. The build
-- writes it with scripts/gendoc.lua.
--   local text = Manpage.render()                     -- every tool
--   local text = Manpage.render({ tools = { tool } }) -- these tool tables
module("tarvex.tools.lib.manpage", package.seeall)

local Cli = require("tarvex.tools.lib.cli")

Manpage = {}

-- Text from a table, made safe to stand in a roff text line: a backslash
-- would start an escape, and a hyphen in a word that begins with one (an
-- option, "--read", "-T") must be the minus sign \- so that it can be
-- copied back into a shell; hyphens inside prose words stay hyphens.
function Manpage.escape(text)
    text = tostring(text):gsub("\\", "\\e")
    text = text:gsub("%S+", function(word)
        if word:match("^[%(%[\"']*%-") then
            return (word:gsub("%-", "\\-"))
        end
        return word
    end)
    return text
end

-- A name that goes into a macro argument or a heading; the tables' names
-- are plain words, and anything else is a mistake in a table, not text to
-- carry through.
local function plain_name(name, what)
    if type(name) ~= "string" or not name:match("^[%w][%w_-]*$") then
        error(string.format("%s %q is not a plain name", what, tostring(name)), 0)
    end
    return name
end

local Page = {}
Page.__index = Page

local function new_page()
    return setmetatable({ lines = {} }, Page)
end

-- A request line, written as given.
function Page:request(text)
    self.lines[#self.lines + 1] = text
end

-- A text line: a leading dot or apostrophe would make it a request, and a
-- blank line or a leading blank would break the filling, so neither stays.
function Page:text(text)
    text = text:gsub("\n", " "):gsub("^%s+", ""):gsub("%s+$", "")
    if text == "" then
        return
    end
    if text:match("^[.']") then
        text = "\\&" .. text
    end
    self.lines[#self.lines + 1] = text
end

function Page:paragraph(text)
    self:request(".PP")
    self:text(text)
end

function Page:result()
    return table.concat(self.lines, "\n") .. "\n"
end

local function bold(text)
    return "\\fB" .. text .. "\\fR"
end

local function italic(text)
    return "\\fI" .. text .. "\\fR"
end

-- A text ended as a sentence; `capital` raises its first letter too, as the
-- usage does for the summary (a help text may begin with a literal word
-- such as "udp").
local function sentence(text, capital)
    text = tostring(text or "")
    if text == "" then
        return ""
    end
    if capital then
        text = text:sub(1, 1):upper() .. text:sub(2)
    end
    if not text:match("[.!?]$") then
        text = text .. "."
    end
    return text
end

-- "-r, --read FILE": the option's tag line, as -h prints it.
local function option_tag(option)
    local long = plain_name(option[2], "option")
    local tag = bold("\\-\\-" .. Manpage.escape(long))
    if option[1] then
        tag = bold("\\-" .. Manpage.escape(plain_name(option[1], "option letter"))) .. ", " .. tag
    end
    local metavar = Cli.metavar(option)
    if metavar ~= "" then
        tag = tag .. " " .. italic(Manpage.escape(metavar))
    end
    return tag
end

function Page:options(options)
    for _, option in ipairs(options) do
        self:request(".TP")
        self:text(option_tag(option))
        local help = Manpage.escape(sentence(option[4]))
        if type(option[3]) == "string" and option[3] ~= "" then
            help = help .. " Default: " .. bold(Manpage.escape(option[3])) .. "."
        end
        if option.many then
            help = help .. " May be given more than once."
        end
        self:text(help)
    end
end

function Page:tool(tool)
    local name = plain_name(tool.name, "tool")
    self:request(".SS " .. name)
    self:paragraph(Manpage.escape(sentence(tool.summary, true)))
    self:request(".PP")
    self:text(bold("tarvex " .. name) .. " " .. Manpage.escape(tool.usage or "[options...]"))
    self:options(tool.options or {})
    if tool.epilog then
        for part in (tostring(tool.epilog) .. "\n\n"):gmatch("(.-)\n\n+") do
            self:paragraph(Manpage.escape(part))
        end
    end
end

local function all_tools()
    local Tools = require("tarvex.tools")
    local tools = {}
    for _, name in ipairs(Tools.names) do
        tools[#tools + 1] = Tools.load(name)
    end
    return tools
end

-- The page's date: SOURCE_DATE_EPOCH when the build sets it, so that a
-- rebuild of the same source gives the same page.
local function page_date()
    local epoch = tonumber(os.getenv("SOURCE_DATE_EPOCH") or "")
    return os.date("!%Y-%m-%d", epoch)
end

-- The whole page as groff man text. `config` may give `tools` (tool tables,
-- default every built-in tool), `version` and `date`.
function Manpage.render(config)
    config = config or {}
    local tools = config.tools or all_tools()
    local version = Manpage.escape(config.version or TARVEX_VERSION or "")
    local date = config.date or page_date()
    local page = new_page()

    page:request(string.format('.TH TARVEX 1 "%s" "tarvex %s" "User Commands"', date, version))
    -- Identifiers and option names must not be split at a line end.
    page:request(".nh")
    page:request(".SH NAME")
    page:text("tarvex \\- read, decode, filter, replay and record DNS traffic")

    page:request(".SH SYNOPSIS")
    page:text(bold("tarvex") .. " " .. italic("script.lua") .. " [" .. italic("arg") .. " ...]")
    page:request(".br")
    page:text(bold("tarvex") .. " " .. italic("tool") .. " [" .. italic("option") .. " ...]")
    page:request(".br")
    page:text(bold("tarvex help") .. " " .. italic("tool"))
    page:request(".br")
    page:text(bold("tarvex") .. " " .. bold("\\-\\-help") .. " | " .. bold("\\-\\-version"))

    page:request(".SH DESCRIPTION")
    page:paragraph("tarvex reads, decodes, filters, replays and records DNS traffic. "
        .. "The engine is C++ with an embedded LuaJIT; every module a script needs is "
        .. "built into the executable, and the per-packet work (reading captures, "
        .. "decoding, parsing DNS, pacing, sending, writing) happens in compiled "
        .. "components while the script wires them together.")
    page:paragraph("In the script form, tarvex runs the Lua file " .. italic("script.lua")
        .. ". The script finds the program, its own path and its arguments in "
        .. bold("arg") .. " (" .. bold("arg[0]") .. ", " .. bold("arg[1]") .. ", "
        .. bold("arg[2]") .. " ...), the version in " .. bold("TARVEX_VERSION")
        .. ", and loads modules with " .. bold('require("tarvex.') .. italic("module") .. bold('")') .. ".")
    page:paragraph("In the tool form, tarvex runs one of the jobs below, which are built in. "
        .. "A first argument that names an existing file is always the script, so a "
        .. "file named like a tool is run as a script. "
        .. bold("tarvex help") .. " " .. italic("tool") .. " and " .. bold("tarvex")
        .. " " .. italic("tool") .. " " .. bold("\\-h") .. " print a tool's options; "
        .. bold("tarvex \\-\\-version") .. " prints the versions of tarvex, LuaJIT and "
        .. "the libraries it was built with and runs with.")
    page:paragraph("An option's value follows it as the next word or, for a long option, "
        .. "after an equals sign (" .. bold("\\-\\-port=5353") .. "); a short option's "
        .. "value may be attached (" .. bold("\\-n5") .. "), and flags may be grouped. "
        .. bold("\\-\\-") .. " ends the options and " .. bold("\\-") .. " is a word "
        .. "(standard input). A bad option, a missing value or a file that cannot be "
        .. "read is reported in one line, beginning with the tool's name (" .. italic("tarvex replay: ...")
        .. "), and ends the run.")

    page:request(".SH TOOLS")
    for _, tool in ipairs(tools) do
        page:tool(tool)
    end

    page:request(".SH COMMON OPTIONS")
    page:paragraph("Every tool also takes these options.")
    page:options(Cli.common)

    page:request(".SH EXIT STATUS")
    page:request(".TP")
    page:text(bold("0"))
    page:text("The script returned, or the tool did all that was asked of it.")
    page:request(".TP")
    page:text(bold("1"))
    page:text("Anything else: a bad option or value, an input that cannot be read, an "
        .. "output that cannot be written, a script that fails to load or raises an "
        .. "error, a fatal log line, or a job that stopped short.")

    page:request(".SH ENVIRONMENT")
    page:request(".TP")
    page:text(bold("LUA_PATH"))
    page:text("Where " .. bold("require") .. " looks for Lua modules that are not built in, "
        .. "such as add-ons; two semicolons stand for the default path. The example "
        .. "add-on that " .. bold("tarvex.input.zero") .. " and " .. bold("tarvex.output.null")
        .. " load is found (with the prefix tarvex is installed in) by:")
    page:request(".RS")
    page:request(".nf")
    page:text('LUA_PATH="/usr/share/doc/tarvex/addons/?.lua;;" tarvex script.lua')
    page:request(".fi")
    page:request(".RE")
    page:request(".TP")
    page:text(bold("LUA_CPATH"))
    page:text("Where " .. bold("require") .. " and " .. bold("tarvex.core.loader")
        .. " look for shared libraries.")
    page:request(".SH FILES")
    page:request(".TP")
    page:text(italic("share/doc/tarvex/examples/"))
    page:text("Example scripts to read and copy, under the prefix tarvex is installed in "
        .. "(" .. italic("/usr") .. " for the Debian package, " .. italic("/usr/local")
        .. " by default).")
    page:request(".TP")
    page:text(italic("share/doc/tarvex/addons/example/"))
    page:text("The example add-on (a zero input and a null output) with its README.")
    page:request(".TP")
    page:text(italic("share/bash-completion/completions/tarvex"))
    page:text("Completion of tool names, options and file names for bash.")

    page:request(".SH EXAMPLES")
    page:request(".nf")
    page:text("tarvex stats \\-r capture.pcap \\-n 5")
    page:text("tarvex filter \\-t AAAA capture.pcap aaaa.pcap")
    page:text("tarvex replay \\-r capture.pcap \\-s 127.0.0.1 \\-p 5353 \\-T keep \\-a")
    page:text("tarvex script.lua capture.pcap")
    page:request(".fi")

    page:request(".SH SEE ALSO")
    page:request(".BR tcpdump (1),")
    page:request(".BR tshark (1),")
    page:request(".BR dnsperf (1),")
    page:request(".BR luajit (1)")
    return page:result()
end

return Manpage
