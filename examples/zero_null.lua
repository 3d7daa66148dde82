-- Pushes (or pulls) empty PCAP records from the example zero input into the
-- example null output and reports the rate: the cost of the hand-over itself.
-- The add-on is taken from ../addons next to this script unless it is
-- installed on package.path already. Run with -h for its options.
local Getopt = require("tarvex.lib.getopt")

local here = arg[1]:match("^(.*)/") or "."
package.path = package.path .. ";" .. here .. "/../addons/?.lua"

local opts = Getopt.new({
    { "n", "count", "1000000", "Number of records", "?" },
    { "p", "pull", false, "Let the output pull from the input instead of pushing", "?" },
})
opts.usage_desc = arg[1] .. " [options...]"

-- Exits through the interpreter's close, so that open components are
-- released by their finalisers.
local function fail(text)
    io.stderr:write(arg[1]:match("[^/]*$"), ": ", text, "\n")
    os.exit(1, true)
end
local ok, left = pcall(opts.parse, opts)
if not ok then
    -- Only the reason: the parser's own source position means nothing here.
    fail(tostring(left):gsub("^[^:]*:%d+: ", "") .. " (run with -h for the options)")
end

-- Numbers are taken as text and converted here: getopt reads a number
-- option's non-numeric argument as if the option were not given.
local function whole(name, low, high)
    local value = tonumber(opts:val(name))
    if not value or value % 1 ~= 0 or value < low or (high and value > high) then
        fail("--" .. name .. " needs a whole number " .. (high and ("from " .. low .. " to " .. high)
            or ("of " .. low .. " or more")))
    end
    return value
end
if opts:val("help") then
    opts:usage()
    return
end
if #left > 0 then
    fail("unexpected argument " .. left[1])
end
local count = whole("count", 0)

local Zero = require("tarvex.input.zero")
local Null = require("tarvex.output.null")
local input, output = Zero.new(), Null.new()

local started = os.clock()
if opts:val("pull") then
    input:limit(count)
    output:producer(input)
    output:run()
else
    input:receiver(output)
    input:run(count)
end
local seconds = os.clock() - started

print(string.format("%s %d records, %d counted, %.3f s cpu, %.0f records/s",
    opts:val("pull") and "pulled" or "pushed", input:packets(), output:packets(), seconds,
    seconds > 0 and output:packets() / seconds or 0))
