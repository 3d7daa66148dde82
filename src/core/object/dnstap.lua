-- Dnstap: what a dnstap log said about the message in the chain
-- (core_object_dnstap_t): its kind, the transport as logged and its times.
--   local tap = obj:cast_to(Object.DNSTAP)
--   tap:message_name()   -- "CLIENT_QUERY", ...     tap:transport()  -- "udp", "dot", ...
module("tarvex.core.object.dnstap", package.seeall)

require("tarvex.core.object.dnstap_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Dnstap = {}

-- The log's numbering of message kinds and transports.
Dnstap.MESSAGE = {
    "AUTH_QUERY", "AUTH_RESPONSE", "RESOLVER_QUERY", "RESOLVER_RESPONSE", "CLIENT_QUERY", "CLIENT_RESPONSE",
    "FORWARDER_QUERY", "FORWARDER_RESPONSE", "STUB_QUERY", "STUB_RESPONSE", "TOOL_QUERY", "TOOL_RESPONSE",
    "UPDATE_QUERY", "UPDATE_RESPONSE",
}
Dnstap.TRANSPORT = { "udp", "tcp", "dot", "doh", "dnscrypt-udp", "dnscrypt-tcp", "doq" }

function Dnstap:type()
    return "dnstap"
end

function Dnstap:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Dnstap:cast()
    return self
end

function Dnstap:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Dnstap:copy()
    return C.core_object_dnstap_copy(self)
end

function Dnstap:free()
    C.core_object_dnstap_free(self)
end

-- "CLIENT_QUERY" and the like; an unknown number as "TYPE<n>".
function Dnstap:message_name()
    local number = tonumber(self.message_type)
    return Dnstap.MESSAGE[number] or ("TYPE" .. number)
end

-- "udp", "tcp", "dot", "doh", ...; "unknown" when the log did not say.
function Dnstap:transport()
    local number = tonumber(self.socket_protocol)
    return Dnstap.TRANSPORT[number] or (number == 0 and "unknown" or ("protocol" .. number))
end

ffi.metatype("core_object_dnstap_t", { __index = Dnstap })

return Dnstap
