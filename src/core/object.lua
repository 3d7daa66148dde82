-- Object: the methods of the object header (core_object_t) that every record
-- starts with, and the type numbers. cast() turns a header into its record.
module("tarvex.core.object", package.seeall)

require("tarvex.core.object_h")
require("tarvex.core.object.pcap_h")
require("tarvex.core.object.dnstap_h")
require("tarvex.core.object.ether_h")
require("tarvex.core.object.null_h")
require("tarvex.core.object.loop_h")
require("tarvex.core.object.linuxsll_h")
require("tarvex.core.object.ieee802_h")
require("tarvex.core.object.gre_h")
require("tarvex.core.object.ip_h")
require("tarvex.core.object.ip6_h")
require("tarvex.core.object.icmp_h")
require("tarvex.core.object.icmp6_h")
require("tarvex.core.object.udp_h")
require("tarvex.core.object.tcp_h")
require("tarvex.core.object.payload_h")
require("tarvex.core.object.dns_h")
local ffi = require("ffi")
local C = ffi.C

Object = {
    NONE = 0,
    PCAP = 1,
    DNSTAP = 2,
    ETHER = 10,
    NULL = 11,
    LOOP = 12,
    LINUXSLL = 13,
    IEEE802 = 14,
    GRE = 15,
    IP = 20,
    IP6 = 21,
    ICMP = 22,
    ICMP6 = 23,
    UDP = 30,
    TCP = 31,
    PAYLOAD = 40,
    DNS = 50,
}

local names = {}
local record_pointers = {}
for constant, number in pairs(Object) do
    local name = constant:lower()
    names[number] = name
    -- "none" has no record.
    if number ~= Object.NONE then
        record_pointers[number] = ffi.typeof("core_object_" .. name .. "_t*")
    end
end

-- A method that reads a field, called on a null record pointer (what a pull
-- gives at the end, the obj_prev at the bottom of a chain), would read address
-- 0 and end the process: a script error at the call instead. The record
-- classes use it too.
function Object._refuse_null(method)
    error(method .. "() called on a null record pointer", 3)
end
local refuse_null = Object._refuse_null

function Object:type()
    if self == nil then
        refuse_null("type")
    end
    return names[self.obj_type]
end

function Object:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Object:cast()
    if self == nil then
        refuse_null("cast")
    end
    local pointer = record_pointers[self.obj_type]
    if not pointer then
        error(string.format("unknown object type %d", self.obj_type), 2)
    end
    return ffi.cast(pointer, self)
end

-- The first object down the chain, starting with this one, of the given type.
function Object:cast_to(obj_type)
    if self == nil then
        refuse_null("cast_to")
    end
    if obj_type == nil then
        obj_type = self.obj_type
    end
    local object = self
    while object.obj_type ~= obj_type do
        object = object.obj_prev
        if object == nil then
            return nil
        end
    end
    return object:cast()
end

function Object:uncast()
    return self
end

function Object:copy()
    return C.core_object_copy(self)
end

function Object:free()
    C.core_object_free(self)
end

ffi.metatype("core_object_t", { __index = Object })

return Object
