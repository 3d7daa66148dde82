-- The PCAP writer: what it writes reads back the same through libpcap and
-- tcpdump; times, chains, reopening, write errors, and files left open.
-- fixtures: pcapio
-- timeout: 60
-- expect-stderr: ^output\.pcap\[0x[0-9a-f]+\] critical: could not write every packet to the PCAP file$
-- expect-stdout: ^output pcap cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ffi = require("ffi")
local pcapio = require("pcapio")
local sub = require("subprocess")
local Input = require("tarvex.input.pcap")
local Output = require("tarvex.output.pcap")

local function copy_through_libpcap(source, target)
    local input = Input.new()
    assert(input:open_offline(source) == 0)
    local out = Output.new()
    assert(out:open(target, input:linktype(), input:snaplen()) == 0)
    input:receiver(out)
    assert(input:loop() == 0)
    assert(not out:have_errors())
    out:close()
    return input:packets()
end

local function tcpdump(path)
    local code, out, err = sub.run("tcpdump -r '" .. path .. "' -tt -nn -xx")
    assert(code == 0, "tcpdump -r " .. path .. " failed: " .. err)
    return out
end

-- Written back byte for byte, and tcpdump sees the same packets.
for _, case in ipairs({ { "native", "native" }, { "swapped", "native" }, { "raw", "raw" }, { "null", "null" } }) do
    local source, expected = pcapio.fixture(case[1] .. ".pcap"), pcapio.fixture(case[2] .. ".pcap")
    local target = case[1] .. "_copy.pcap"
    local count = copy_through_libpcap(source, target)
    assert(count == #pcapio.listing(case[1]))
    assert(pcapio.read(target) == pcapio.read(expected), case[1] .. ": written file differs")
    assert(tcpdump(target) == tcpdump(source), case[1] .. ": tcpdump reads the copy differently")
end

-- Records made by hand: a time of 12.345678999 s, and a chain
-- dns -> payload -> udp -> pcap that writes the whole captured frame.
local frame = "\2\0\0\0\0\2\2\0\0\0\0\1\8\0" .. string.rep("\69", 30)
local bottom = ffi.new("core_object_pcap_t")
bottom.obj_type = 1
bottom.ts.sec, bottom.ts.nsec = 12, 345678999
bottom.caplen, bottom.len = #frame, #frame + 6
local keep = ffi.new("uint8_t[?]", #frame)
ffi.copy(keep, frame, #frame)
bottom.bytes = keep
local udp = ffi.new("core_object_t", { ffi.cast("const core_object_t*", bottom), 30 })
local payload = ffi.new("core_object_t", { udp, 40 })
local dns = ffi.new("core_object_t", { payload, 50 })
local loose = ffi.new("core_object_t", { nil, 40 })

do
    local out = Output.new()
    assert(not out:have_errors())
    assert(out:open("chain.pcap", 1, 65535) == 0)
    local receive, ctx = out:receive()
    receive(ctx, dns)
    receive(ctx, loose)   -- nothing beneath it: nothing written
    receive(ctx, ffi.cast("const core_object_t*", bottom))
    out:close()
    assert(not out:have_errors())
    out:close()

    local input = Input.new()
    assert(input:open_offline("chain.pcap") == 0)
    local produce, pctx = input:produce()
    for i = 1, 2 do
        local got = pcapio.snapshot(produce(pctx))
        assert(got.sec == 12 and got.nsec == 345678000, string.format("record %d: %d.%09d", i, got.sec, got.nsec))
        assert(got.bytes == frame and got.caplen == #frame and got.len == #frame + 6, "record " .. i)
    end
    assert(produce(pctx) == nil)
    assert(tcpdump("chain.pcap"):find("^12%.345678 "))

    -- The same writer opens another file; the first stays as it was.
    local first = pcapio.read("chain.pcap")
    assert(out:open("second.pcap", 12, 1500) == 0)
    receive, ctx = out:receive()
    receive(ctx, payload)
    out:close()
    assert(pcapio.read("chain.pcap") == first)
    assert(#pcapio.read("second.pcap") == 24 + 16 + #frame)
end

-- A full device: the failed write shows in have_errors before close, not
-- after. Even the file header could not be stored there.
do
    local out = Output.new()
    assert(out:open("/dev/full", 1, 65535) == 0)
    assert(out:have_errors(), "a file header lost on a full device is not reported")
    local receive, ctx = out:receive()
    receive(ctx, dns)
    assert(out:have_errors(), "a write to a full device is not reported")
    out:close()
    assert(not out:have_errors())
end

-- Writers the script never closes still leave complete files: at the end of
-- the script, and when the writer is collected while the script goes on.
local write_three = string.format([[
local Input = require("tarvex.input.pcap")
local Output = require("tarvex.output.pcap")
local input = Input.new()
assert(input:open_offline(%q) == 0)
local out = Output.new()
assert(out:open(arg[2], 1, 65535) == 0)
input:receiver(out)
assert(input:loop(3) == 0)
]], pcapio.fixture("native.pcap"))
local complete = #pcapio.read(pcapio.fixture("native.pcap"))
local three = 24
for i = 1, 3 do
    three = three + 16 + pcapio.listing("native")[i].caplen
end

local code, _, err = sub.tarvex(write_three, "at_end.pcap")
assert(code == 0, err)
assert(#pcapio.read("at_end.pcap") == three, "an unclosed writer lost packets at the end of the script")

code, _, err = sub.tarvex(write_three .. [[
input, out = nil, nil
collectgarbage()
collectgarbage()
local file = assert(io.open(arg[2], "rb"))
io.write(#file:read("*a"))
file:close()
]], "collected.pcap")
assert(code == 0, err)
assert(pcapio.read("sub.out") == tostring(three), "a collected writer did not flush: " .. pcapio.read("sub.out"))
assert(complete > three)

print("output pcap cases pass")
