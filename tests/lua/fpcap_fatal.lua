-- Every misuse of the PCAP file reader ends the process with its message.
-- fixtures: captures
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = [[
local ffi = require("ffi")
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local dir = os.getenv("TEST_FIXTURE_DIR") .. "/captures/"
local input = Fpcap.new()
]]

local O = "input%.fpcap%[0x%x+%] fatal: "
sub.expect_all({
    { "run unopened", [[input:receiver(Layer.new()) input:run()]], 1, O .. "no PCAP opened\n$" },
    { "produce unopened", [[input:produce()]], 1, O .. "no PCAP opened\n$" },
    { "run after a rejected header", [[input:open(dir .. "bad_magic.pcap") input:receiver(Layer.new()) input:run()]],
        1, "critical: invalid PCAP header\n" .. O .. "no PCAP opened\n$" },
    { "produce after a failed fopen", [[input:open(dir .. "missing.pcap") input:produce()]],
        1, O .. "no PCAP opened\n$" },
    { "run without receiver", [[input:open(dir .. "native_usec.pcap") input:run()]], 1, O .. "no receiver set\n$" },
    { "open nil", [[input:open(nil)]], 1, O .. "file is nil\n$" },
    { "open twice", [[input:open(dir .. "native_usec.pcap") input:open(dir .. "native_usec.pcap")]],
        1, O .. "already opened\n$" },
    { "open after a rejected header", [[input:open(dir .. "version_2_3.pcap") input:open(dir .. "native_usec.pcap")]],
        1, O .. "already opened\n$" },
    { "openfp after open", [[input:open(dir .. "native_usec.pcap") input:openfp(io.stdin)]],
        1, O .. "already opened\n$" },
    { "openfp closed file", [[local f = io.open(dir .. "native_usec.pcap") f:close() input:openfp(f)]],
        1, O .. "fp is nil\n$" },
    { "null self", [[ffi.C.input_fpcap_run(nil)]], 1, "^input%.fpcap fatal: self is nil\n$" },
    { "null context to the producer", [[input:open(dir .. "native_usec.pcap") local f = input:produce() f(nil)]],
        1, "^input%.fpcap fatal: self is nil\n$" },
}, prelude)
print("fpcap fatal cases pass")
