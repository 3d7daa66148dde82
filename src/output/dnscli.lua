-- Dnscli: DNS queries to one server over UDP, TCP or TLS, and its responses.
--   local cli = Dnscli.new(Dnscli.TCP + Dnscli.NONBLOCKING)
--   cli:timeout(0, 250000000)           -- before connect; none: no waiting
--   if cli:connect("127.0.0.1", "53") ~= 0 then ... end
--   layer:receiver(cli)                 -- each pushed query goes out whole
--   cli:send(dns_record, sent)          -- or part by part: bytes written, -1 later, -2 failed
--   local produce, ctx = cli:produce()  -- a response (with its length field on
--                                       -- a stream), len 0: none now, nil: ended
-- Responses are not matched to queries: compare DNS ids.
module("tarvex.output.dnscli", package.seeall)

require("tarvex.output.dnscli_h")
local ffi = require("ffi")
local C = ffi.C

Dnscli = {
    UDP = 16,
    TCP = 32,
    TLS = 48,
    NONBLOCKING = 1,
}
local meta = { __index = Dnscli }

function Dnscli.new(mode)
    local self = setmetatable({
        obj = ffi.new("output_dnscli_t"),
    }, meta)
    C.output_dnscli_init(self.obj, mode)
    ffi.gc(self.obj, C.output_dnscli_destroy)
    return self
end

function Dnscli:log()
    if self == nil or self == Dnscli then
        return C.output_dnscli_log()
    end
    return self.obj._log
end

-- No arguments: the wait limit (a core_timespec_t); else sets it, read at connect.
function Dnscli:timeout(seconds, nanoseconds)
    if seconds == nil and nanoseconds == nil then
        return self.obj.timeout
    end
    self.obj.timeout.sec = seconds
    self.obj.timeout.nsec = nanoseconds or 0
end

function Dnscli:connect(host, port)
    return C.output_dnscli_connect(self.obj, host, port)
end

function Dnscli:nonblocking()
    return self.obj.nonblocking == 1
end

-- `object`: a record (payload or DNS) or a class object holding one in `obj`.
function Dnscli:send(object, sent)
    if type(object) == "table" then
        object = object.obj
    end
    return tonumber(C.output_dnscli_send(self.obj, ffi.cast("const core_object_t*", object), sent or 0))
end

function Dnscli:receive()
    return C.output_dnscli_receiver(self.obj), self.obj
end

function Dnscli:produce()
    return C.output_dnscli_producer(self.obj), self.obj
end

Dnscli.READABLE, Dnscli.WRITABLE = 1, 2

-- What the connection is ready for within limit_ms (0: now): READABLE,
-- WRITABLE, both added, or 0.
function Dnscli:ready(limit_ms)
    return C.output_dnscli_ready(self.obj, limit_ms or 0)
end

function Dnscli:packets()
    return tonumber(self.obj.pkts)
end

function Dnscli:received()
    return tonumber(self.obj.pkts_recv)
end

function Dnscli:errors()
    return tonumber(self.obj.errs)
end

function Dnscli:timeouts()
    return tonumber(self.obj.timeouts)
end

return Dnscli
