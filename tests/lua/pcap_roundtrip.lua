-- Captures read with the file reader and written by the PCAP writer, pushed
-- straight from the reader and from the top of decoded chains, read back the
-- same through the file reader, the libpcap input and tcpdump.
-- fixtures: pcapio
-- expect-stdout: ^round trip cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local pcapio = require("pcapio")
local sub = require("subprocess")
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local Input = require("tarvex.input.pcap")
local Output = require("tarvex.output.pcap")

local function write_from_fpcap(source, target, decode)
    local input = Fpcap.new()
    assert(input:open(source) == 0, "cannot open " .. source)
    local out = Output.new()
    assert(out:open(target, input.obj.linktype, input.obj.snaplen) == 0)
    if decode then
        -- The writer gets the top of each chain and walks down to the frame.
        local layer = Layer.new()
        layer:receiver(out)
        input:receiver(layer)
    else
        input:receiver(out)
    end
    assert(input:run() == 0)
    assert(not out:have_errors())
    out:close()
    return input:packets()
end

local function pull_all(produce, ctx)
    local seen = {}
    while true do
        local obj = produce(ctx)
        if obj == nil then
            return seen
        end
        seen[#seen + 1] = pcapio.snapshot(obj)
    end
end

local function tcpdump(path)
    local code, out, err = sub.run("tcpdump -r '" .. path .. "' -tt -nn -xx")
    assert(code == 0, "tcpdump -r " .. path .. " failed: " .. err)
    return out
end

-- What a microsecond file holds for each listed record: whole microseconds.
local function in_microseconds(listed, nano)
    local out = {}
    for i, record in ipairs(listed) do
        out[i] = {
            sec = record.sec, frac = nano and math.floor(record.frac / 1000) or record.frac,
            caplen = record.caplen, len = record.len, bytes = record.bytes,
        }
    end
    return out
end

local cases = {
    { name = "native", same_file = "native" },
    { name = "swapped", same_file = "native" },
    { name = "nsec", nano = true },
    { name = "raw", same_file = "raw" },
    { name = "null", same_file = "null" },
    { name = "dnsmix", same_file = "dnsmix" },
}

for _, case in ipairs(cases) do
    local source = pcapio.fixture(case.name .. ".pcap")
    local expected = in_microseconds(pcapio.listing(case.name), case.nano)
    for _, decode in ipairs({ false, true }) do
        local target = case.name .. (decode and "_decoded" or "_plain") .. ".pcap"
        local label = target .. ": "
        assert(write_from_fpcap(source, target, decode) == #expected, label .. "frames read")

        if case.same_file then
            assert(pcapio.read(target) == pcapio.read(pcapio.fixture(case.same_file .. ".pcap")),
                label .. "the written file differs from " .. case.same_file .. ".pcap")
        end

        local fpcap = Fpcap.new()
        assert(fpcap:open(target) == 0)
        pcapio.expect_records(pull_all(fpcap:produce()), expected)

        local input = Input.new()
        assert(input:open_offline(target) == 0)
        pcapio.expect_records(pull_all(input:produce()), expected)

        -- tcpdump shows microseconds, so a nanosecond source prints the same.
        assert(tcpdump(target) == tcpdump(source), label .. "tcpdump reads it differently")
    end
end

-- 12.345678999 s from the nanosecond file is stored as 12 s and 345678 us.
do
    local raw = pcapio.read("nsec_plain.pcap")
    local sec, usec = raw:byte(25) + raw:byte(26) * 256, raw:byte(29) + raw:byte(30) * 256 + raw:byte(31) * 65536
    assert(sec == 12 and usec == 345678, string.format("%d s %d us", sec, usec))
end

print("round trip cases pass")
