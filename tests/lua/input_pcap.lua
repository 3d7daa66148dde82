-- The libpcap input over capture files: pull and push, counters, link type,
-- snapshot length, byte order, and libpcap's own failures.
-- fixtures: pcapio
-- expect-stderr: ^input\.pcap\[0x[0-9a-f]+\] debug: pcap v2\.4 snaplen:65535  swapped$
-- expect-stderr: ^input\.pcap\[0x[0-9a-f]+\] debug: pcap v2\.4 snaplen:65535 $
-- expect-stderr: ^input\.pcap\[0x[0-9a-f]+\] critical: pcap_open_offline\(missing\.pcap\) error: missing\.pcap: No such file or directory$
-- expect-stderr: ^input\.pcap\[0x[0-9a-f]+\] warning: pcap_next_ex\(\) error: truncated dump file
-- expect-stdout: ^input pcap cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local pcapio = require("pcapio")
local Log = require("tarvex.core.log")
local Pcap = require("tarvex.input.pcap")

Pcap.log():enable("debug")
Pcap.log():enable("warning")

local files = {
    { name = "native", swapped = 0, linktype = 1, snaplen = 65535 },
    { name = "swapped", swapped = 1, linktype = 1, snaplen = 65535 },
    { name = "raw", swapped = 0, linktype = 12, snaplen = 1500 },
    { name = "null", swapped = 0, linktype = 0, snaplen = 262144 },
}

for _, case in ipairs(files) do
    local listed = pcapio.listing(case.name)
    local extra = { is_swapped = case.swapped, linktype = case.linktype, snaplen = case.snaplen }

    -- Pull: every record in order, then null for good; the counter stays 0.
    local input = Pcap.new()
    assert(input:open_offline(pcapio.fixture(case.name .. ".pcap")) == 0)
    assert(input.obj.is_swapped == case.swapped, case.name .. ": is_swapped")
    assert(input:linktype() == case.linktype, case.name .. ": linktype " .. input:linktype())
    assert(input:snaplen() == case.snaplen, case.name .. ": snaplen " .. input:snaplen())
    local produce, ctx = input:produce()
    local seen = {}
    while true do
        local obj = produce(ctx)
        if obj == nil then
            break
        end
        seen[#seen + 1] = pcapio.snapshot(obj)
    end
    assert(produce(ctx) == nil)
    pcapio.expect_records(seen, listed, extra)
    assert(input:packets() == 0, case.name .. ": the producer counted packets")

    -- Push: the same records, counted.
    input = Pcap.new()
    assert(input:open_offline(pcapio.fixture(case.name .. ".pcap")) == 0)
    local collector = pcapio.collector()
    input:receiver(collector)
    assert(input:loop() == 0)
    pcapio.expect_records(collector.seen, listed, extra)
    for _, record in ipairs(collector.seen) do
        assert(record.prev == nil, "a PCAP record has nothing beneath it")
    end
    assert(input:packets() == #listed, case.name .. ": packets() " .. input:packets())
    collector.free()
end

-- 1.000001 s in a microsecond file is 1 s and 1000 ns.
do
    local input = Pcap.new()
    assert(input:open_offline(pcapio.fixture("native.pcap")) == 0)
    local produce, ctx = input:produce()
    local first = pcapio.snapshot(produce(ctx))
    assert(first.sec == 1 and first.nsec == 1000, string.format("%d.%09d", first.sec, first.nsec))
end

-- dispatch with a count, then the rest.
do
    local input = Pcap.new()
    assert(input:open_offline(pcapio.fixture("native.pcap")) == 0)
    local collector = pcapio.collector()
    input:receiver(collector)
    assert(input:dispatch(2) == 2)
    assert(input:packets() == 2)
    assert(input:dispatch() == 5)
    assert(input:packets() == 7)
    assert(input:dispatch() == 0)
    collector.free()
end

-- libpcap's failures come back unchanged.
do
    local input = Pcap.new()
    assert(input:open_offline("missing.pcap") == -1)
    assert(input.obj.pcap == nil)

    local cut = Pcap.new()
    assert(cut:open_offline(pcapio.fixture("cut_header.pcap")) == 0)
    local produce, ctx = cut:produce()
    assert(produce(ctx) ~= nil and produce(ctx) ~= nil)
    assert(produce(ctx) == nil)

    local live = Pcap.new()
    assert(live:create("tvxnosuchdev0") == 0)
    assert(live:activate() < 0)
    assert(live:snaplen() == 0 and live:linktype() == 0)
end

-- Dropped inputs close their handles when collected.
collectgarbage()
collectgarbage()
print("input pcap cases pass")
