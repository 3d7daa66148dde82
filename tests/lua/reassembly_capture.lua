-- reader -> layer -> ipfrag -> tcpstream over a generated capture of DNS over
-- TCP (split, merged, reordered, retransmitted and overlapping segments, a
-- wrapping sequence space, a connection seen from its middle, IPv6, a segment
-- in IPv4 fragments) and of fragmented UDP responses: every DNS message comes
-- out whole and parses, the same in push and pull use, and its id, flags,
-- question and answer count are those the generator wrote and, where tshark
-- is installed, those tshark reports for the same file.
-- fixtures: reassembly
-- timeout: 120
local ffi = require("ffi")
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local IpFrag = require("tarvex.filter.ipfrag")
local TcpStream = require("tarvex.filter.tcpstream")
local Dns = require("tarvex.core.object.dns")
local Label = require("tarvex.core.object.dns.label")
local Object = require("tarvex.core.objects")

local dir = os.getenv("TEST_FIXTURE_DIR") .. "/reassembly/"
local capture = dir .. "streams.pcap"
local listing = io.open(dir .. "streams.txt")
if not listing then
    print("no reassembly capture (python3-scapy missing)")
    os.exit(77)
end

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

-- "0x1001 0x0100 q0.example.com 0" for one message, or nil and why.
local function describe(obj)
    if obj.obj_type ~= Object.PAYLOAD then
        return nil, "a " .. obj:type() .. " record"
    end
    local payload = obj:cast()
    local dns = Dns.new(payload)
    local ret, qs, qls = dns:parse()
    if ret ~= 0 or #qs ~= 1 then
        return nil, "a payload that does not parse as DNS"
    end
    local bytes = ffi.cast("const uint8_t*", payload.payload)
    local name = Label.tostring(dns, qls[1], qs[1].labels):gsub("%.$", "")
    return string.format("0x%04x 0x%04x %s %d", dns.id, bytes[2] * 256 + bytes[3], name, dns.ancount)
end

local function sorted(list)
    table.sort(list)
    return list
end

local function same(got, want, what)
    check(#got == #want, "%s: %d messages, expected %d", what, #got, #want)
    for i = 1, #want do
        check(got[i] == want[i], "%s: %q where %q was expected", what, got[i], want[i])
    end
end

local function pipeline()
    local input, layer, ipfrag, tcpstream = Fpcap.new(), Layer.new(), IpFrag.new(), TcpStream.new()
    check(input:open(capture) == 0, "cannot open %s", capture)
    return input, layer, ipfrag, tcpstream
end

local function pulled()
    local input, layer, ipfrag, tcpstream = pipeline()
    layer:producer(input)
    ipfrag:producer(layer)
    tcpstream:producer(ipfrag)
    local produce, ctx = tcpstream:produce()
    local out, others = {}, 0
    while true do
        local obj = produce(ctx)
        if obj == nil then
            break
        end
        local line = describe(obj)
        if line then
            out[#out + 1] = line
        else
            others = others + 1
        end
    end
    return out, others, ipfrag:counters(), tcpstream:counters()
end

local function pushed()
    local input, layer, ipfrag, tcpstream = pipeline()
    local out, failures = {}, {}
    local sink = ffi.cast("core_receiver_t", function(_, obj)
        local line, why = describe(ffi.cast("const core_object_t*", obj))
        if line then
            out[#out + 1] = line
        else
            failures[#failures + 1] = why
        end
    end)
    -- From the consumer back: a receiver is asked for its callback once its own is set.
    tcpstream:receiver({ receive = function() return sink, nil end })
    ipfrag:receiver(tcpstream)
    layer:receiver(ipfrag)
    input:receiver(layer)
    check(input:run() == 0, "run failed")
    sink:free()
    return out, failures
end

local want = {}
for line in listing:lines() do
    want[#want + 1] = line
end
listing:close()
want = sorted(want)

local pull_out, others, frag, stream = pulled()
same(sorted(pull_out), want, "pull")
-- Only pure ACKs and handshake segments are consumed; nothing else is left.
check(others == 0, "%d objects that are not DNS messages came out", others)
check(frag.datagrams == 7 and frag.timeouts == 0 and frag.overlaps == 0, "fragments: %d datagrams", frag.datagrams)
check(stream.gaps == 0 and stream.truncated == 0 and stream.buffer_overflows == 0, "a stream lost bytes")
check(stream.retransmitted_bytes > 0 and stream.resync_bytes == 0, "retransmissions seen, nothing resynchronised")
check(stream.flows == 1, "%d flows left (the one seen from its middle never closes)", stream.flows)

local push_out, failures = pushed()
check(#failures == 0, "push: %s", failures[1])
same(sorted(push_out), want, "push")

-- tshark reassembles TCP (out of order too, when told to) and IP fragments;
-- it joins the values of several messages in one frame with commas.
if os.execute("command -v tshark >/dev/null 2>&1") ~= 0 then
    print(#want .. " messages; tshark not installed")
    return
end
local pipe = io.popen("tshark -r '" .. capture .. "' -o tcp.reassemble_out_of_order:TRUE"
    .. " -T fields -e dns.id -e dns.flags -e dns.qry.name -e dns.count.answers 2>/dev/null")
local theirs = {}
for line in pipe:lines() do
    local fields = {}
    for field in (line .. "\t"):gmatch("([^\t]*)\t") do
        local values = {}
        for value in field:gmatch("[^,]+") do
            values[#values + 1] = value
        end
        fields[#fields + 1] = values
    end
    for i = 1, #(fields[1] or {}) do
        theirs[#theirs + 1] = string.format("%s %s %s %s", fields[1][i], fields[2][i], fields[3][i], fields[4][i])
    end
end
pipe:close()
same(sorted(pull_out), sorted(theirs), "against tshark")
print(#want .. " messages, as tshark reports them")
