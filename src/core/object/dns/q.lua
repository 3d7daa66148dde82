-- Q: question records for Dns:parse_q.
module("tarvex.core.object.dns.q", package.seeall)

require("tarvex.core.object.dns_h")
local ffi = require("ffi")

Q = {}

function Q.new()
    return ffi.new("core_object_dns_q_t")
end

return Q
