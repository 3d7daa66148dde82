-- The layer decoder behind the PCAP reader, in push and pull use, over the
-- generated captures of every link type (frame order: tests/fixtures/captures.py).
-- fixtures: captures
local ffi = require("ffi")
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local Object = require("tarvex.core.objects")

local dir = os.getenv("TEST_FIXTURE_DIR") .. "/captures/"

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

-- "payload udp ip ether pcap" for a chain, and the capture second of its frame.
local function describe(obj)
    local names = {}
    local bottom
    while obj ~= nil do
        names[#names + 1] = obj:type()
        bottom = obj
        obj = obj:prev()
    end
    return table.concat(names, " "), tonumber(bottom:cast().ts.sec)
end

local P4 = "payload udp ip "
local P6 = "payload udp ip6 "
local mixed = {
    P4 .. "ether pcap",
    P6 .. "ether pcap",
    P4 .. "ieee802 ether pcap",
    P4 .. "ieee802 ieee802 ether pcap",
    "dropped",
    P6 .. "ether pcap",
    P6 .. "ether pcap",
    "payload ip6 ether pcap",
    P6 .. "ether pcap",
    P6 .. "ether pcap",
    "dropped",
    "payload tcp ip ether pcap",
    P4 .. "ether pcap",
    "icmp ip ether pcap",
    "gre ip ether pcap",
    "pcap",
    "payload ip ether pcap",
}
local files = {
    { "mixed.pcap", mixed, 100 },
    { "link_null_native.pcap", { P4 .. "null pcap", P6 .. "null pcap", P4 .. "null pcap", P6 .. "null pcap", "pcap" }, 1 },
    { "link_null_swapped.pcap", { P4 .. "null pcap", P6 .. "null pcap", P4 .. "null pcap", P6 .. "null pcap", "pcap" }, 1 },
    { "link_loop.pcap", { P4 .. "loop pcap", P6 .. "loop pcap", "pcap" }, 1 },
    { "link_sll.pcap", { P4 .. "linuxsll pcap", P6 .. "linuxsll pcap", "pcap" }, 1 },
    { "link_raw.pcap", { P4 .. "pcap", P6 .. "pcap", "pcap" }, 1 },
    { "link_ipv4.pcap", { P4 .. "pcap", P6 .. "pcap", "pcap" }, 1 },
    { "link_ipv6.pcap", { P4 .. "pcap", P6 .. "pcap", "pcap" }, 1 },
    { "link_other.pcap", { "pcap" }, 1 },
}

-- Push: reader -> decoder -> a script receiver. Dropped frames never arrive.
local function push(file)
    local seen = {}
    local last
    local callback = ffi.cast("core_receiver_t", function(_, obj)
        local chain, sec = describe(obj)
        seen[sec] = chain
        last = obj
    end)
    local sink = { receive = function() return callback, nil end }
    local input, layer = Fpcap.new(), Layer.new()
    check(input:open(dir .. file) == 0, "%s: open", file)
    input:receiver(layer)
    layer:receiver(sink)
    check(input:run() == 0, "%s: run", file)
    check(layer.obj.produced == last, "%s: produced is the last result handed on", file)
    callback:free()
    return seen, input:packets()
end

-- Pull: a null result is either the end or a dropped frame; the reader's
-- count tells them apart.
local function pull(file)
    local seen = {}
    local input, layer = Fpcap.new(), Layer.new()
    check(input:open(dir .. file) == 0, "%s: open", file)
    layer:producer(input)
    local produce, ctx = layer:produce()
    local before = -1
    while input:packets() ~= before do
        before = input:packets()
        local obj = produce(ctx)
        if obj ~= nil then
            local chain, sec = describe(obj)
            seen[sec] = chain
        end
    end
    return seen, input:packets()
end

for _, f in ipairs(files) do
    local file, expected, first = f[1], f[2], f[3]
    for _, mode in ipairs({ "push", "pull" }) do
        local seen, packets = (mode == "push" and push or pull)(file)
        check(packets == #expected, "%s %s: %d packets read", file, mode, packets)
        for i, chain in ipairs(expected) do
            local got = seen[first + i - 1] or "dropped"
            check(got == chain, "%s %s frame %d: %s, expected %s", file, mode, i, got, chain)
        end
    end
end

-- Key fields, read from the records handed on (pull keeps the last one).
local input, layer = Fpcap.new(), Layer.new()
check(input:open(dir .. "mixed.pcap") == 0, "open mixed")
layer:producer(input)
local produce, ctx = layer:produce()
local results = {}
for i = 1, #mixed do
    local obj = produce(ctx)
    if obj ~= nil then
        local fields = { chain = describe(obj) }
        local ip6 = obj:cast_to(Object.IP6)
        if ip6 then
            fields.is_frag = ip6.is_frag
            fields.frag_ident = ip6.frag_ident
            fields.have_rtdst = ip6.have_rtdst
            fields.rtdst = ffi.string(ip6.rtdst, 16)
            fields.src = ip6:source(true)
        end
        local tag = obj:cast_to(Object.IEEE802)
        if tag then
            fields.vid = tag.vid
            fields.tpid = tag.tpid
        end
        local tcp = obj:cast_to(Object.TCP)
        if tcp then
            fields.opts_len = tonumber(tcp.opts_len)
            fields.off = tcp.off
        end
        local payload = obj:cast_to(Object.PAYLOAD)
        if payload then
            fields.len = tonumber(payload.len)
            fields.padding = tonumber(payload.padding)
        end
        local ip = obj:cast_to(Object.IP)
        if ip then
            fields.ip_src = ip:source()
        end
        local gre = obj:cast_to(Object.GRE)
        if gre then
            fields.gre_type = gre.ether_type
        end
        results[i] = fields
    end
end
check(results[1].ip_src == "10.0.0.1" and results[1].len == 31, "frame 1: %s %s", results[1].ip_src, results[1].len)
check(results[2].src == "fd00::1", "frame 2 source %s", results[2].src)
check(results[3].vid == 100 and results[3].tpid == 0x8100, "frame 3 tag")
check(results[4].vid == 20 and results[4].tpid == 0x9100, "frame 4 inner tag (the one under ip)")
check(results[8].is_frag == 1 and results[8].frag_ident == 0x1234, "frame 8 fragment")
check(results[9].have_rtdst == 1, "frame 9 rtdst recorded")
local b = ffi.new("uint8_t[16]", { 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0b })
check(results[9].rtdst == ffi.string(b, 16), "frame 9 rtdst is the last address")
check(results[10].have_rtdst == 0, "frame 10 other routing type")
check(results[12].opts_len == 8 and results[12].off == 7 and results[12].len == 7, "frame 12 tcp options")
check(results[13].len == 17 and results[13].padding == 1, "frame 13 padding")
check(results[15].gre_type == 0x6558, "frame 15 gre")
check(results[17].len == 55, "frame 17 fragment payload %s", tostring(results[17].len))
print("layer decode checks pass")
