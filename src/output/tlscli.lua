-- Tlscli: DNS over TLS to one server, responses back one whole message per
-- produce call (without the length field). The server's certificate is not
-- checked. Waiting is bounded by the session's record timeout.
--   local tls = Tlscli.new()
--   tls:timeout(1, 0)                   -- before connect; (0, 0): no limit
--   if tls:connect("127.0.0.1", "853") ~= 0 then ... end
--   layer:receiver(tls)
--   local produce, ctx = tls:produce()  -- len 0: timed out, nil: ended
module("tarvex.output.tlscli", package.seeall)

require("tarvex.output.tlscli_h")
local ffi = require("ffi")
local C = ffi.C

Tlscli = {}
local meta = { __index = Tlscli }

function Tlscli.new()
    local self = setmetatable({
        obj = ffi.new("output_tlscli_t"),
    }, meta)
    C.output_tlscli_init(self.obj)
    ffi.gc(self.obj, C.output_tlscli_destroy)
    return self
end

function Tlscli:log()
    if self == nil or self == Tlscli then
        return C.output_tlscli_log()
    end
    return self.obj._log
end

-- Becomes the session's record timeout at connect.
function Tlscli:timeout(seconds, nanoseconds)
    self.obj.timeout.sec = seconds
    self.obj.timeout.nsec = nanoseconds
end

function Tlscli:connect(host, port)
    return C.output_tlscli_connect(self.obj, host, port)
end

function Tlscli:receive()
    return C.output_tlscli_receiver(self.obj), self.obj
end

function Tlscli:produce()
    return C.output_tlscli_producer(self.obj), self.obj
end

function Tlscli:packets()
    return tonumber(self.obj.pkts)
end

function Tlscli:received()
    return tonumber(self.obj.pkts_recv)
end

function Tlscli:errors()
    return tonumber(self.obj.errs)
end

return Tlscli
