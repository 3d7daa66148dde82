-- The command-line handling every example shares: options through
-- lib.getopt, -h, and one-line errors for bad options, numbers and files, so
-- a user never sees a traceback for a typing mistake. An example loads it
-- from beside itself:
--   package.path = arg[1]:match("^(.-)[^/]*$") .. "lib/?.lua;" .. package.path
--   local opts = require("cli").new({ ...getopt options... }, "[options...] FILE")
local Getopt = require("tarvex.lib.getopt")

local Cli = {}
Cli.__index = Cli

-- Parses the command line; prints the usage and exits on -h. The arguments
-- left after the options are in `args`.
function Cli.new(options, usage)
    local self = setmetatable({ getopt = Getopt.new(options), name = arg[1]:match("[^/]*$") }, Cli)
    self.getopt.usage_desc = arg[1] .. " " .. usage
    local ok, args = pcall(self.getopt.parse, self.getopt)
    if not ok then
        -- Only the reason: the parser's own source position means nothing here.
        self:fail(tostring(args):gsub("^[^:]*:%d+: ", "") .. " (run with -h for the options)")
    end
    if self.getopt:val("help") then
        self.getopt:usage()
        os.exit(0, true)
    end
    self.args = args
    return self
end

function Cli:val(name)
    return self.getopt:val(name)
end

-- Exits through the interpreter's close, so that open components are
-- released (and writers flushed) by their finalisers.
function Cli:fail(text)
    io.stderr:write(self.name, ": ", text, "\n")
    os.exit(1, true)
end

function Cli:no_more_args()
    if #self.args > 0 then
        self:fail("unexpected argument " .. self.args[1])
    end
end

-- Numbers are declared as text and converted here: getopt reads a number
-- option's non-numeric argument as if the option were not given.
function Cli:whole(name, low, high)
    local value = tonumber(self:val(name))
    if not value or value % 1 ~= 0 or value < low or (high and value > high) then
        self:fail("--" .. name .. " needs a whole number " .. (high and ("from " .. low .. " to " .. high)
            or ("of " .. low .. " or more")))
    end
    return value
end

-- A number of `low` or more, or above `low` when `above`.
function Cli:real(name, low, above)
    local value = tonumber(self:val(name))
    if not value or value < low or (above and value == low) then
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

-- The writers would log why they cannot create a file; the system's word for
-- it is enough (they truncate the file anyway).
function Cli:writable(path)
    local probe, why = io.open(path, "wb")
    if not probe then
        self:fail("cannot write " .. why)
    end
    probe:close()
end

return Cli
