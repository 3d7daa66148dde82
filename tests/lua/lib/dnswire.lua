-- DNS message bytes for script tests, and payload records that hold them.
--   local w = require("dnswire")
--   local bytes = w.header(0x1234, 0x8180, 1, 1, 0, 0) .. w.name("www.example.com") .. w.u16(1) .. w.u16(1)
--   local payload = w.payload(bytes)     -- a core_object_payload_t*, kept alive by the module
local ffi = require("ffi")
require("tarvex.core.object.payload_h")

local wire = {}
local keep = {}

function wire.u8(n)
    return string.char(n % 256)
end

function wire.u16(n)
    return string.char(math.floor(n / 256) % 256, n % 256)
end

function wire.u32(n)
    return wire.u16(math.floor(n / 65536)) .. wire.u16(n % 65536)
end

function wire.name(dotted)
    local out = {}
    for label in dotted:gmatch("[^.]+") do
        out[#out + 1] = string.char(#label) .. label
    end
    return table.concat(out) .. "\0"
end

function wire.pointer(offset)
    return wire.u16(0xC000 + offset)
end

function wire.header(id, flags, qd, an, ns, ar)
    return wire.u16(id) .. wire.u16(flags) .. wire.u16(qd) .. wire.u16(an) .. wire.u16(ns) .. wire.u16(ar)
end

function wire.question(name_bytes, qtype, qclass)
    return name_bytes .. wire.u16(qtype) .. wire.u16(qclass or 1)
end

function wire.rr(owner, rtype, rclass, ttl, rdata, rdlength)
    return owner .. wire.u16(rtype) .. wire.u16(rclass) .. wire.u32(ttl) .. wire.u16(rdlength or #rdata) .. rdata
end

function wire.payload(bytes)
    local buf = ffi.new("uint8_t[?]", #bytes + 1)
    ffi.copy(buf, bytes, #bytes)
    local rec = ffi.new("core_object_payload_t")
    rec.obj_type = 40
    rec.payload = buf
    rec.len = #bytes
    keep[#keep + 1] = buf
    keep[#keep + 1] = rec
    return rec
end

return wire
