-- Copies made from scripts: detached from their chain, owning their bytes,
-- untouched by the garbage collector until free().
local ffi = require("ffi")
local Object = require("tarvex.core.objects")

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

-- Every record type, copied through its own class and through the header.
local records = {
    { "pcap", Object.PCAP }, { "ether", Object.ETHER }, { "null", Object.NULL }, { "loop", Object.LOOP },
    { "linuxsll", Object.LINUXSLL }, { "ieee802", Object.IEEE802 }, { "gre", Object.GRE },
    { "ip", Object.IP }, { "ip6", Object.IP6 }, { "icmp", Object.ICMP }, { "icmp6", Object.ICMP6 },
    { "udp", Object.UDP }, { "tcp", Object.TCP }, { "payload", Object.PAYLOAD },
}
local beneath = ffi.new("core_object_t", { obj_type = Object.PCAP })
for _, record in ipairs(records) do
    local name, number = record[1], record[2]
    local class = require("tarvex.core.object." .. name)
    local ctype = "core_object_" .. name .. "_t"
    local source = ffi.new(ctype)
    local raw = ffi.cast("uint8_t*", source)
    for i = 0, ffi.sizeof(ctype) - 1 do
        raw[i] = (i * 7 + 3) % 256
    end
    -- The byte pointers of pcap and payload are covered below.
    if name == "pcap" then source.bytes = nil end
    if name == "payload" then source.payload = nil end
    source.obj_prev = beneath
    source.obj_type = number

    for _, how in ipairs({ "class", "header" }) do
        local copy
        if how == "class" then
            copy = source:copy()
            check(ffi.istype(ctype .. "*", copy), "%s: class copy is %s", name, tostring(ffi.typeof(copy)))
        else
            copy = source:uncast():copy():cast()
        end
        check(copy:prev() == nil, "%s (%s): copy still linked", name, how)
        check(Object.type(copy:uncast()) == name, "%s (%s): copy has type %s", name, how, tostring(copy.obj_type))
        check(class.type(copy) == name, "%s (%s): class type", name, how)
        check(source:prev() == beneath, "%s (%s): source lost its link", name, how)
        copy.obj_prev = beneath
        check(ffi.string(ffi.cast("const char*", copy), ffi.sizeof(ctype))
            == ffi.string(ffi.cast("const char*", source), ffi.sizeof(ctype)), "%s (%s): fields differ", name, how)
        if how == "class" then copy:free() else copy:uncast():free() end
    end
end

local function buffer_of(length)
    local frame = ffi.new("uint8_t[?]", length + 1)
    for i = 0, length do
        frame[i] = (i * 5 + 1) % 256
    end
    return frame
end

local function same_bytes(a, b, length)
    return ffi.string(a, length) == ffi.string(b, length)
end

-- PCAP: caplen bytes come along; len stays a number; null bytes stay null.
local pcap_cases = {
    { name = "cut frame", caplen = 60, len = 1514, bytes = true },
    { name = "no captured bytes", caplen = 0, len = 60, bytes = true },
    { name = "null bytes", caplen = 60, len = 60, bytes = false },
}
local kept = {}
for _, case in ipairs(pcap_cases) do
    local frame = buffer_of(case.caplen)
    local pcap = ffi.new("core_object_pcap_t")
    pcap.obj_type = Object.PCAP
    pcap.caplen, pcap.len = case.caplen, case.len
    pcap.ts.sec, pcap.ts.nsec = 1234, 5678
    pcap.bytes = case.bytes and frame or nil
    local copy = pcap:copy()
    check(copy.len == case.len and copy.caplen == case.caplen, "%s: lengths", case.name)
    check(copy.ts.sec == 1234 and copy.ts.nsec == 5678, "%s: time", case.name)
    if case.bytes then
        local inside = ffi.cast("const uint8_t*", copy) + ffi.sizeof("core_object_pcap_t")
        check(copy.bytes == inside, "%s: bytes do not point inside the copy", case.name)
        check(same_bytes(copy.bytes, frame, case.caplen), "%s: bytes differ", case.name)
    else
        check(copy.bytes == nil, "%s: bytes not null", case.name)
    end
    kept[#kept + 1] = { copy = copy, frame = frame, want = ffi.string(frame, case.caplen), length = case.caplen }
end

-- PAYLOAD: len + padding bytes come along.
local payload_cases = {
    { name = "padding", len = 20, padding = 6, bytes = true },
    { name = "no padding", len = 12, padding = 0, bytes = true },
    { name = "null payload", len = 20, padding = 6, bytes = false },
}
for _, case in ipairs(payload_cases) do
    local frame = buffer_of(case.len + case.padding)
    local payload = ffi.new("core_object_payload_t")
    payload.obj_type = Object.PAYLOAD
    payload.obj_prev = beneath
    payload.payload = case.bytes and frame or nil
    payload.len, payload.padding = case.len, case.padding
    local copy = payload:copy()
    check(copy:prev() == nil, "%s: copy linked", case.name)
    check(copy.len == case.len and copy.padding == case.padding, "%s: lengths", case.name)
    if case.bytes then
        local inside = ffi.cast("const uint8_t*", copy) + ffi.sizeof("core_object_payload_t")
        check(copy.payload == inside, "%s: payload does not point inside the copy", case.name)
        check(same_bytes(copy.payload, frame, case.len + case.padding), "%s: bytes differ", case.name)
    else
        check(copy.payload == nil, "%s: payload not null", case.name)
    end
    kept[#kept + 1] = {
        copy = copy, frame = frame, want = ffi.string(frame, case.len + case.padding),
        length = case.len + case.padding,
    }
end

-- The source buffers change and the sources go away; the copies stay as they were.
for _, keep in ipairs(kept) do
    ffi.fill(keep.frame, keep.length + 1, 0xee)
    keep.frame = nil
end
for _ = 1, 3 do
    local litter = {}
    for i = 1, 10000 do
        litter[i] = ffi.new("uint8_t[64]")
    end
    collectgarbage("collect")
end
for i, keep in ipairs(kept) do
    local bytes = keep.copy.obj_type == Object.PCAP and keep.copy.bytes or keep.copy.payload
    if bytes ~= nil then
        check(ffi.string(bytes, keep.length) == keep.want, "copy %d changed after its source did", i)
    end
    keep.copy:free()
end

print("object copy cases pass")
