-- Tcpcli: DNS queries to one server over TCP, responses back one whole
-- message per produce call (without the length field).
--   local tcp = Tcpcli.new()
--   tcp:timeout(1, 0)
--   if tcp:connect("127.0.0.1", "53") ~= 0 then ... end
--   layer:receiver(tcp)                 -- each pushed payload goes out framed
--   local produce, ctx = tcp:produce()  -- responses; len 0: none yet, nil: closed
module("tarvex.output.tcpcli", package.seeall)

require("tarvex.output.tcpcli_h")
local ffi = require("ffi")
local C = ffi.C

Tcpcli = {}
local meta = { __index = Tcpcli }

function Tcpcli.new()
    local self = setmetatable({
        obj = ffi.new("output_tcpcli_t"),
    }, meta)
    C.output_tcpcli_init(self.obj)
    ffi.gc(self.obj, C.output_tcpcli_destroy)
    return self
end

function Tcpcli:log()
    if self == nil or self == Tcpcli then
        return C.output_tcpcli_log()
    end
    return self.obj._log
end

-- How long a blocking produce waits for data; read at every call.
function Tcpcli:timeout(seconds, nanoseconds)
    self.obj.timeout.sec = seconds
    self.obj.timeout.nsec = nanoseconds
end

function Tcpcli:connect(host, port)
    return C.output_tcpcli_connect(self.obj, host, port)
end

-- No argument: whether the socket is non-blocking; true / anything else:
-- switch it (and the produce wait) and return 0 or -1.
function Tcpcli:nonblocking(...)
    if select("#", ...) == 0 then
        return C.output_tcpcli_nonblocking(self.obj) == 1
    end
    return C.output_tcpcli_set_nonblocking(self.obj, (...) == true and 1 or 0)
end

function Tcpcli:receive()
    return C.output_tcpcli_receiver(self.obj), self.obj
end

function Tcpcli:produce()
    return C.output_tcpcli_producer(self.obj), self.obj
end

function Tcpcli:packets()
    return tonumber(self.obj.pkts)
end

function Tcpcli:received()
    return tonumber(self.obj.pkts_recv)
end

function Tcpcli:errors()
    return tonumber(self.obj.errs)
end

return Tcpcli
