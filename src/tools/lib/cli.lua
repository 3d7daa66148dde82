-- The command line every tool shares: the tool's option table, the options
-- every tool has (-q, -v, -h), --opt=value and --opt value, -abc for flags and
-- -n5 for a short option's value, the usage text, and one-line errors
-- "tarvex TOOL: ..." with exit status 1, so a user never sees a traceback for
-- a typing mistake. The same table makes the man page and the completion, so
-- neither can drift from -h.
--   local cli = Cli.parse(tool, arg, 2)      -- exits on -h and on a bad option
--   local port = cli:whole("port", 0, 65535)  -- exits on a bad value
-- A script takes its options the same way with Cli.script(declared): its errors
-- then begin with the script's file name.
--
-- An option is { short, long, default, help, arg = "NAME" }: a boolean
-- default makes a flag, a string default an option with a value (numbers are
-- given as text and checked by whole() or real()), `many = true` collects
-- every value given into a list.
module("tarvex.tools.lib.cli", package.seeall)

local Log = require("tarvex.core.log")

Cli = {}
Cli.__index = Cli

-- What every tool takes besides its own options.
Cli.common = {
    { "q", "quiet", false, "No progress lines" },
    { "v", "verbose", false, "More log output (twice: debug lines too)", many = true },
    { "h", "help", false, "Show the options and exit" },
}

-- Every option of a tool, its own first, then the common ones.
function Cli.options(tool)
    local all = {}
    for _, option in ipairs(tool.options) do
        all[#all + 1] = option
    end
    for _, option in ipairs(Cli.common) do
        all[#all + 1] = option
    end
    return all
end

-- The placeholder of an option's value in the usage, "" for a flag.
function Cli.metavar(option)
    if type(option[3]) == "boolean" then
        return ""
    end
    return option.arg or "VALUE"
end

function Cli.usage_text(tool)
    local lines = {
        "usage: " .. (tool.command or ("tarvex " .. tool.name)) .. " " .. tool.usage,
        tool.summary:sub(1, 1):upper() .. tool.summary:sub(2) .. ".",
        "",
        "options:",
    }
    for _, option in ipairs(Cli.options(tool)) do
        local short = option[1] and ("-" .. option[1] .. ", ") or "    "
        local left = short .. "--" .. option[2]
        local metavar = Cli.metavar(option)
        if metavar ~= "" then
            left = left .. " " .. metavar
        end
        local help = option[4]
        if type(option[3]) == "string" and option[3] ~= "" then
            help = help .. " [" .. option[3] .. "]"
        end
        if #left > 24 then
            lines[#lines + 1] = "  " .. left
            lines[#lines + 1] = string.rep(" ", 28) .. help
        else
            lines[#lines + 1] = "  " .. left .. string.rep(" ", 26 - #left) .. help
        end
    end
    if tool.epilog then
        lines[#lines + 1] = ""
        lines[#lines + 1] = tool.epilog
    end
    return table.concat(lines, "\n") .. "\n"
end

local function fail(tool, text)
    io.stderr:write(tool.prefix or ("tarvex " .. tool.name), ": ", text, "\n")
    io.stderr:flush()
    os.exit(1, true)
end

local function index_options(tool)
    local by_short, by_long = {}, {}
    for _, option in ipairs(Cli.options(tool)) do
        if option[1] then
            by_short[option[1]] = option
        end
        by_long[option[2]] = option
    end
    return by_short, by_long
end

-- Parses argv[first..]; prints the usage and exits on -h, exits with one line
-- on an unknown option or a missing value. The words that are not options
-- are in `args`; "--" ends the options, and "-" is a word (stdin).
function Cli.parse(tool, argv, first)
    local self = setmetatable({ tool = tool, name = tool.name, values = {}, args = {} }, Cli)
    local by_short, by_long = index_options(tool)
    local function bad(text)
        fail(tool, text .. " (run with -h for the options)")
    end
    local function store(option, value)
        local long = option[2]
        if option.many then
            self.values[long] = self.values[long] or {}
            table.insert(self.values[long], value)
        else
            self.values[long] = value
        end
    end

    local index, last = first, #argv
    local stopped = false
    while index <= last do
        local word = argv[index]
        index = index + 1
        if stopped or word == "-" or word:sub(1, 1) ~= "-" then
            self.args[#self.args + 1] = word
        elseif word == "--" then
            stopped = true
        elseif word:sub(1, 2) == "--" then
            local long, value = word:match("^%-%-([^=]+)=(.*)$")
            long = long or word:sub(3)
            local option = by_long[long]
            if not option then
                bad("unknown option --" .. long)
            end
            if type(option[3]) == "boolean" then
                if value then
                    bad("option --" .. long .. " takes no value")
                end
                store(option, true)
            else
                if not value then
                    if index > last then
                        bad("option --" .. long .. " needs a value")
                    end
                    value = argv[index]
                    index = index + 1
                end
                store(option, value)
            end
        else
            -- A run of short flags, the last of which may take a value,
            -- attached (-n5) or as the next word (-n 5).
            local at = 2
            while at <= #word do
                local letter = word:sub(at, at)
                local option = by_short[letter]
                if not option then
                    bad("unknown option -" .. letter)
                end
                if type(option[3]) == "boolean" then
                    store(option, true)
                    at = at + 1
                else
                    local value = word:sub(at + 1)
                    if value == "" then
                        if index > last then
                            bad("option -" .. letter .. " needs a value")
                        end
                        value = argv[index]
                        index = index + 1
                    end
                    store(option, value)
                    break
                end
            end
        end
    end

    if self.values.help then
        io.stdout:write(Cli.usage_text(tool))
        io.stdout:flush()
        os.exit(0, true)
    end
    local verbose = self.values.verbose and #self.values.verbose or 0
    if verbose >= 1 then
        Log.enable("info")
        Log.enable("notice")
        Log.enable("warning")
    end
    if verbose >= 2 then
        Log.enable("debug")
    end
    self.quiet = self.values.quiet == true
    self.defaults = {}
    for _, option in pairs(by_long) do
        self.defaults[option[2]] = option[3]
    end
    return self
end

-- The command line of a script (arg[1] is the script, its options follow):
-- `declared` is { summary, usage, options } as a tool has them.
function Cli.script(declared)
    declared.name = arg[1]:match("[^/]*$")
    declared.prefix = declared.name
    declared.command = "tarvex " .. arg[1]
    return Cli.parse(declared, arg, 2)
end

function Cli:val(name)
    local value = self.values[name]
    if value == nil then
        return self.defaults[name]
    end
    return value
end

-- Whether the user gave the option at all (a default does not count).
function Cli:given(name)
    return self.values[name] ~= nil
end

-- Ends the run with one line on stderr and exit status 1. It exits through
-- the interpreter's close, so that open components are released and
-- writers flushed by their finalisers.
function Cli:fail(text)
    fail(self.tool, text)
end

-- A progress line on stderr, unless -q.
function Cli:progress(text)
    if not self.quiet then
        io.stderr:write(text, "\n")
        io.stderr:flush()
    end
end

function Cli:no_more_args()
    if #self.args > 0 then
        self:fail("unexpected argument " .. self.args[1])
    end
end

local function finite(value)
    return value ~= nil and value == value and value ~= math.huge and value ~= -math.huge
end

function Cli:whole(name, low, high)
    local value = tonumber(self:val(name))
    if not finite(value) or value % 1 ~= 0 or value < low or (high and value > high) then
        self:fail("--" .. name .. " needs a whole number " .. (high and ("from " .. low .. " to " .. high)
            or ("of " .. low .. " or more")))
    end
    return value
end

-- A finite number of `low` or more, or above `low` when `above`.
function Cli:real(name, low, above)
    local value = tonumber(self:val(name))
    if not finite(value) or value < low or (above and value == low) then
        self:fail("--" .. name .. " needs a number " .. (above and ("above " .. low) or ("of " .. low .. " or more")))
    end
    return value
end

-- The readers log why a file is not a capture; a file that is not there at
-- all only needs the system's word for it.
function Cli:readable(path)
    local probe, why = io.open(path, "rb")
    if not probe then
        self:fail("cannot read " .. why)
    end
    probe:close()
end

-- Opens a capture by its content (PCAP or pcapng, plain or compressed; "-"
-- is standard input) and ends the run with one line when it is none.
function Cli:open_capture(path)
    if path ~= "-" then
        self:readable(path)
    end
    local input, why = require("tarvex.input.capture").open(path)
    if not input then
        self:fail(why)
    end
    return input
end

-- The writers would log why they cannot create a file; the system's word for
-- it is enough (they truncate the file anyway).
function Cli:writable(path)
    local probe, why = io.open(path, "wb")
    if not probe then
        self:fail("cannot write " .. why)
    end
    probe:close()
end

-- The DNS-over-HTTPS options of the tools that send queries, and the
-- replayer settings they give.
Cli.DOH_OPTIONS = {
    { nil, "doh-get", false, "DoH: send queries with GET ?dns= instead of POST" },
    { nil, "doh-path", "/dns-query", "DoH: the URI path", arg = "PATH" },
    { nil, "h2c", false, "DoH: plain HTTP/2 with prior knowledge, for a server behind a TLS terminator" },
    { nil, "verify", false, "DoH: check the server's certificate (system trust store, or --ca) and name" },
    { nil, "ca", "", "DoH with --verify: trust these certificates instead", arg = "FILE" },
    { nil, "server-name", "", "DoH: the name sent (SNI, :authority) and checked (default: the server)",
        arg = "NAME" },
}

-- A tool's option list with the DoH options behind its own.
function Cli.with_doh(options)
    for _, option in ipairs(Cli.DOH_OPTIONS) do
        options[#options + 1] = option
    end
    return options
end

function Cli:doh()
    return {
        get = self:val("doh-get"), h2c = self:val("h2c"), path = self:val("doh-path"), verify = self:val("verify"),
        ca = self:val("ca") ~= "" and self:val("ca") or nil,
        server_name = self:val("server-name") ~= "" and self:val("server-name") or nil,
    }
end

return Cli
