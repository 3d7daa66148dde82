-- Misuse of the PCAP writer ends the process with its message.
-- expect-stdout: ^output pcap fatal cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = [[
local ffi = require("ffi")
local Output = require("tarvex.output.pcap")
local out = Output.new()
]]

local obj = "^output%.pcap%[0x%x+%] fatal: "
sub.expect_all({
    { "open twice", "out:open('a.pcap', 1, 65535); out:open('b.pcap', 1, 65535)", 1, obj .. "PCAP already opened\n$" },
    { "receive before open", "out:receive()", 1, obj .. "PCAP not opened\n$" },
    { "receive after a failed open", "assert(out:open('/nonexistent/x.pcap', 1, 65535) == -1); out:receive()", 1,
        "critical: pcap_dump_open%(%) error: /nonexistent/x%.pcap: No such file or directory\n.*" ..
        "fatal: PCAP not opened\n$" },
    { "receive after close", "out:open('a.pcap', 1, 65535); out:close(); out:receive()", 1,
        obj .. "PCAP not opened\n$" },
    { "push after close", "out:open('a.pcap', 1, 65535); local r, c = out:receive(); out:close();"
        .. "r(c, ffi.new('core_object_t', { nil, 40 }))", 1, obj .. "PCAP not opened\n$" },
    { "nil record", "ffi.C.output_pcap_close(nil)", 1, "^output%.pcap fatal: self is nil\n$" },
    { "nil receiver context", "out:open('a.pcap', 1, 65535); local r = out:receive(); r(nil, nil)", 1,
        "^output%.pcap fatal: self is nil\n$" },
    { "open, close, open", "assert(out:open('a.pcap', 1, 65535) == 0); out:close(); assert(out:open('b.pcap', 1, 65535) == 0)",
        0, "^$" },
    { "module log", "assert(Output.log() == ffi.C.output_pcap_log()); assert(ffi.string(Output.log().name) == 'output.pcap')"
        .. "; assert(out:log().is_obj == 1)", 0, "^$" },
}, prelude)
print("output pcap fatal cases pass")
