-- TcpStream: follows TCP flows in both directions and hands on each whole
-- DNS message (two-byte length framing) as a payload record whose chain is
-- the segment that completed it (payload -> tcp -> ip -> link -> pcap).
-- Everything else passes unchanged. Chain it behind the IP fragment
-- reassembler:
--   reader -> layer -> ipfrag -> tcpstream -> consumer
--   local tcpstream = TcpStream.new()
--   tcpstream:max_flows(100000) tcpstream:buffers(1024, 65537)
--   tcpstream:idle_timeout(60) tcpstream:port(53)      -- port 0: every flow
--   tcpstream:receiver(consumer)  ipfrag:receiver(tcpstream)   -- push, from the consumer back
--   tcpstream:producer(ipfrag)                                 -- or pull
--   print(tcpstream:counters().messages)
module("tarvex.filter.tcpstream", package.seeall)

require("tarvex.filter.tcpstream_h")
require("tarvex.core.log")
local ffi = require("ffi")
local C = ffi.C

TcpStream = {}
local meta = { __index = TcpStream }

local COUNTERS = {
    "segments", "messages", "gaps", "retransmitted_bytes", "overlap_bytes", "resync_bytes", "truncated",
    "flows_dropped", "buffer_overflows", "idle_expired", "flows", "carriers_lost",
}

function TcpStream.new()
    local self = setmetatable({ obj = ffi.new("filter_tcpstream_t") }, meta)
    C.filter_tcpstream_init(self.obj)
    ffi.gc(self.obj, C.filter_tcpstream_destroy)
    return self
end

function TcpStream:log()
    if self == nil or self == TcpStream then
        return C.filter_tcpstream_log()
    end
    return self.obj._log
end

function TcpStream:receive()
    return C.filter_tcpstream_receiver(self.obj), self.obj
end

function TcpStream:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function TcpStream:produce()
    return C.filter_tcpstream_producer(self.obj), self.obj
end

function TcpStream:producer(o)
    self.obj.prod, self.obj.prod_ctx = o:produce()
    self._producer = o
end

-- Flows followed at once; forgets every flow.
function TcpStream:max_flows(count)
    C.filter_tcpstream_set_max_flows(self.obj, count)
end

-- How many directions may hold bytes at once, and how many bytes each
-- (65537 by default: the largest message with its length field); forgets
-- every flow.
function TcpStream:buffers(count, size)
    C.filter_tcpstream_set_buffers(self.obj, count, size or self.obj.buffer_size)
end

-- Seconds of capture time after which a flow without segments is forgotten;
-- 0 never.
function TcpStream:idle_timeout(seconds)
    local whole = math.floor(seconds)
    self.obj.idle_timeout.sec = whole
    self.obj.idle_timeout.nsec = math.floor((seconds - whole) * 1e9 + 0.5)
end

-- Only flows with this port on one side are followed (53 by default); 0 follows every flow.
function TcpStream:port(port)
    self.obj.port = port
end

-- Keeps copies of the segments under the bytes held (at most `bytes` per
-- buffer, 196608 by default), so that carriers() can hand out the segments of
-- a message; segments that `ipfrag` (optional) put together are kept as
-- their fragments, which it must keep too. Forgets every flow.
function TcpStream:keep_carriers(bytes, ipfrag)
    if ipfrag then
        self.obj.fragments = ipfrag.obj
        self._fragments = ipfrag
    end
    C.filter_tcpstream_keep_carriers(self.obj, bytes or 196608)
end

-- Hands each packet that carried `obj`, the message handed on last, to the
-- receiver (a callback and its context, as receive() gives them), in the
-- order they were captured, leaving out those handed out for an earlier
-- message. Returns false when `obj` is not a reassembled message, else true
-- and whether every packet was there.
function TcpStream:carriers(obj, recv, ctx)
    local result = C.filter_tcpstream_carriers(self.obj, obj, recv, ctx)
    return result >= 0, result == 0
end

function TcpStream:counters()
    local out = {}
    for _, name in ipairs(COUNTERS) do
        out[name] = tonumber(self.obj[name])
    end
    return out
end

return TcpStream
