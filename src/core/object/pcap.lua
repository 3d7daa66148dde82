-- Pcap: one captured frame (core_object_pcap_t).
module("tarvex.core.object.pcap", package.seeall)

require("tarvex.core.object.pcap_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Pcap = {}

function Pcap:type()
    return "pcap"
end

function Pcap:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Pcap:cast()
    return self
end

function Pcap:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Pcap:copy()
    return C.core_object_pcap_copy(self)
end

function Pcap:free()
    C.core_object_pcap_free(self)
end

ffi.metatype("core_object_pcap_t", { __index = Pcap })

return Pcap
