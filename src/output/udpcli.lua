-- Udpcli: sends DNS queries over UDP to one server and reads the replies.
--   local udp = Udpcli.new()
--   udp:timeout(1, 0)                    -- produce waits up to 1 s
--   assert(udp:connect("127.0.0.1", "53") == 0)
--   layer:receiver(udp)                  -- each payload goes out as a datagram
--   local produce, ctx = udp:produce()   -- replies; length 0: none in time
module("tarvex.output.udpcli", package.seeall)

require("tarvex.output.udpcli_h")
local ffi = require("ffi")
local C = ffi.C

Udpcli = {}
local meta = { __index = Udpcli }

function Udpcli.new()
    local self = setmetatable({
        obj = ffi.new("output_udpcli_t"),
    }, meta)
    C.output_udpcli_init(self.obj)
    ffi.gc(self.obj, C.output_udpcli_destroy)
    return self
end

function Udpcli:log()
    if self == nil or self == Udpcli then
        return C.output_udpcli_log()
    end
    return self.obj._log
end

function Udpcli:timeout(seconds, nanoseconds)
    self.obj.timeout.sec = seconds
    self.obj.timeout.nsec = nanoseconds
end

-- A numeric port is passed as its text, as getaddrinfo takes it.
function Udpcli:connect(host, port)
    if type(port) == "number" then
        port = tostring(port)
    end
    return C.output_udpcli_connect(self.obj, host, port)
end

function Udpcli:nonblocking(bool)
    if bool == nil then
        return C.output_udpcli_nonblocking(self.obj) == 1
    end
    if bool == true then
        return C.output_udpcli_set_nonblocking(self.obj, 1)
    end
    return C.output_udpcli_set_nonblocking(self.obj, 0)
end

function Udpcli:receive()
    return C.output_udpcli_receiver(self.obj), self.obj
end

function Udpcli:produce()
    return C.output_udpcli_producer(self.obj), self.obj
end

function Udpcli:packets()
    return tonumber(self.obj.pkts)
end

function Udpcli:received()
    return tonumber(self.obj.pkts_recv)
end

function Udpcli:errors()
    return tonumber(self.obj.errs)
end

return Udpcli
