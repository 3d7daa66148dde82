-- The Copy class: chosen layers copied in order, handed on as an owned chain.
-- expect-stderr: ^filter\.copy\[0x[0-9a-f]+\] notice: object discarded \(no types to copy\)$
-- stderr-lines: 1
jit.off()
local ffi = require("ffi")
local Object = require("tarvex.core.objects")
local Copy = require("tarvex.filter.copy")

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

local frame = ffi.new("uint8_t[8]", { 1, 2, 3, 4, 5, 6, 7, 8 })
local pcap = ffi.new("core_object_pcap_t", { obj_type = Object.PCAP, caplen = 8, len = 8, bytes = frame })
local ip = ffi.new("core_object_ip_t", { obj_prev = ffi.cast("core_object_t*", pcap), obj_type = Object.IP })
local udp = ffi.new("core_object_udp_t", { obj_prev = ffi.cast("core_object_t*", ip), obj_type = Object.UDP })
local payload = ffi.new("core_object_payload_t", {
    obj_prev = ffi.cast("core_object_t*", udp), obj_type = Object.PAYLOAD, payload = frame + 4, len = 4 })
ip.src[0] = 10

local chains = {}
local cb = ffi.cast("core_receiver_t", function(_, obj)
    local types = {}
    local o = obj
    while o ~= nil do
        types[#types + 1] = o:type()
        o = o.obj_prev
    end
    chains[#chains + 1] = { head = ffi.cast("core_object_t*", obj), types = table.concat(types, " ") }
end)
local sink = { receive = function() return cb, nil end }

local copy = Copy.new()
check(ffi.string(copy:log().name) == "filter.copy" and copy:log().is_obj == 1, "object log")
check(Copy.log() == ffi.C.filter_copy_log(), "module log")
copy:obj_type(Object.PAYLOAD)
copy:obj_type(Object.PCAP)
copy:obj_type(Object.PAYLOAD)
check(copy.obj.copy == 0x4002, "selection %s", tostring(copy.obj.copy))
check(ffi.C.filter_copy_get(copy.obj, Object.PAYLOAD) == 0x4000, "get gives the bit")
copy:receiver(sink)
check(copy._receiver == sink, "receiver kept")

local recv, ctx = copy:receive()
recv(ctx, ffi.cast("core_object_t*", payload))
check(#chains == 1 and chains[1].types == "payload pcap", "copied %s", chains[1] and chains[1].types)
local head = chains[1].head:cast()
check(head ~= payload and head.len == 4 and head.payload[0] == 5, "payload copy")
local bottom = head.obj_prev:cast()
check(bottom.obj_prev == nil and bottom.bytes ~= frame and bottom.bytes[7] == 8, "pcap copy")
-- The receiver owns the copies.
head:free()
bottom:free()

-- Nothing selected in the chain: dropped with a notice.
local only_dns = Copy.new()
only_dns:obj_type(Object.DNS)
only_dns:receiver(sink)
only_dns:log():enable("notice")
recv, ctx = only_dns:receive()
recv(ctx, ffi.cast("core_object_t*", payload))
check(#chains == 1, "discarded chain reached the receiver")
print("copy class passes")
