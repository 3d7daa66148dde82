-- Rr: resource-record records for Dns:parse_rr.
module("tarvex.core.object.dns.rr", package.seeall)

require("tarvex.core.object.dns_h")
local ffi = require("ffi")

Rr = {}

function Rr.new()
    return ffi.new("core_object_dns_rr_t")
end

return Rr
