-- Misuse of the libpcap input ends the process with its message.
-- fixtures: pcapio
-- expect-stdout: ^input pcap fatal cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = string.format([[
local ffi = require("ffi")
local Pcap = require("tarvex.input.pcap")
local file = %q
local input = Pcap.new()
]], os.getenv("TEST_FIXTURE_DIR") .. "/pcapio/native.pcap")

local obj = "^input%.pcap%[0x%x+%] fatal: "
sub.expect_all({
    { "loop without receiver", "input:open_offline(file); input:loop()", 1, obj .. "no receiver set\n$" },
    { "dispatch without receiver", "input:open_offline(file); input:dispatch(1)", 1, obj .. "no receiver set\n$" },
    { "produce before open", "input:produce()", 1, obj .. "no PCAP opened\n$" },
    { "loop before open", "input:receiver({ receive = function() return nil, nil end }); input:loop()", 1,
        obj .. "no PCAP opened\n$" },
    { "activate before create", "input:activate()", 1, obj .. "no PCAP opened\n$" },
    { "open twice", "input:open_offline(file); input:open_offline(file)", 1, obj .. "already opened\n$" },
    { "create after open", "input:open_offline(file); input:create('lo')", 1, obj .. "already opened\n$" },
    { "create twice", "input:create('lo'); input:create('lo')", 1, obj .. "already opened\n$" },
    { "nil source", "input:create(nil)", 1, obj .. "source is nil\n$" },
    { "nil file", "input:open_offline(nil)", 1, obj .. "file is nil\n$" },
    { "nil record", "ffi.C.input_pcap_loop(nil, 1)", 1, "^input%.pcap fatal: self is nil\n$" },
    { "nil producer context", "input:open_offline(file); local p = input:produce(); p(nil)", 1,
        "^input%.pcap fatal: self is nil\n$" },
    { "module log", "assert(Pcap.log() == ffi.C.input_pcap_log()); assert(ffi.string(Pcap.log().name) == 'input.pcap')"
        .. "; assert(input:log().is_obj == 1); assert(ffi.string(input:log().name) == 'input.pcap')", 0, "^$" },
}, prelude)
print("input pcap fatal cases pass")
