-- Run as "tarvex capture_dump.lua PATH|-": opens the capture by its content
-- and prints the format, compression and reader chosen, the link type, then
-- one listing line (pcapng.lua) per record; a capture that cannot be opened
-- prints the error on stderr and exits 1, as a tool does.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ng = require("pcapng")
local Capture = require("tarvex.input.capture")

local input, err = Capture.open(arg[2])
if not input then
    io.stderr:write(err, "\n")
    os.exit(1, true)
end
print(input:format(), input:compression(), input:reader_name(), input:linktype())
local lines, result = ng.listing(input.reader, arg[3] or "pull")
for _, line in ipairs(lines) do
    print(line)
end
print("end", result, input:packets())
