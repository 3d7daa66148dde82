-- Pushes (or pulls) empty PCAP records from the example zero input into the
-- example null output and reports the rate: the cost of the hand-over itself.
-- The add-on is taken from ../addons next to this script unless it is
-- installed on package.path already. Run with -h for its options.
local Cli = require("tarvex.tools.lib.cli")

local here = arg[1]:match("^(.*)/") or "."
package.path = package.path .. ";" .. here .. "/../addons/?.lua"

local opts = Cli.script({
    summary = "empty records from the zero input to the null output, and the rate",
    usage = "[options...]",
    options = {
        { "n", "count", "1000000", "Number of records", arg = "N" },
        { "p", "pull", false, "Let the output pull from the input instead of pushing" },
    },
})

opts:no_more_args()
local count = opts:whole("count", 0)

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
