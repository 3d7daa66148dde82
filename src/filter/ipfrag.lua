-- IpFrag: reassembles fragmented IPv4 and IPv6 datagrams and hands each one
-- on decoded as if it had been captured whole (payload -> udp/tcp -> ip ->
-- link -> pcap); everything else passes unchanged. Chain it right behind the
-- layer decoder, in front of the TCP stream reassembler:
--   reader -> layer -> ipfrag -> tcpstream -> consumer
--   local ipfrag = IpFrag.new()
--   ipfrag:max_datagrams(256) ipfrag:timeout(30)
--   ipfrag:receiver(tcpstream)  layer:receiver(ipfrag)   -- push, from the consumer back
--   ipfrag:producer(layer)                               -- or pull
--   print(ipfrag:counters().datagrams)
module("tarvex.filter.ipfrag", package.seeall)

require("tarvex.filter.ipfrag_h")
require("tarvex.core.log")
local ffi = require("ffi")
local C = ffi.C

IpFrag = {}
local meta = { __index = IpFrag }

local COUNTERS = {
    "fragments", "datagrams", "timeouts", "overlaps", "overlap_bytes", "duplicates", "tiny", "inconsistent",
    "dropped", "carriers_lost",
}

function IpFrag.new()
    local self = setmetatable({ obj = ffi.new("filter_ipfrag_t") }, meta)
    C.filter_ipfrag_init(self.obj)
    ffi.gc(self.obj, C.filter_ipfrag_destroy)
    return self
end

function IpFrag:log()
    if self == nil or self == IpFrag then
        return C.filter_ipfrag_log()
    end
    return self.obj._log
end

function IpFrag:receive()
    return C.filter_ipfrag_receiver(self.obj), self.obj
end

function IpFrag:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function IpFrag:produce()
    return C.filter_ipfrag_producer(self.obj), self.obj
end

function IpFrag:producer(o)
    self.obj.prod, self.obj.prod_ctx = o:produce()
    self._producer = o
end

-- Datagrams reassembled at once; forgets every fragment held.
function IpFrag:max_datagrams(count)
    C.filter_ipfrag_set_max_datagrams(self.obj, count)
end

-- Seconds of capture time a datagram may take from its first fragment.
function IpFrag:timeout(seconds)
    local whole = math.floor(seconds)
    self.obj.timeout.sec = whole
    self.obj.timeout.nsec = math.floor((seconds - whole) * 1e9 + 0.5)
end

-- Keeps copies of the fragments held (at most `bytes` per datagram, 98304
-- by default), so that carriers() can hand out the fragments of a datagram;
-- forgets every fragment held.
function IpFrag:keep_carriers(bytes)
    C.filter_ipfrag_keep_carriers(self.obj, bytes or 98304)
end

-- Hands each fragment of `obj`, the datagram handed on last, to the receiver
-- (a callback and its context, as receive() gives them), in the order they
-- were captured. Returns false when `obj` is not a reassembled datagram, else
-- true and whether every fragment was there.
function IpFrag:carriers(obj, recv, ctx)
    local result = C.filter_ipfrag_carriers(self.obj, obj, recv, ctx)
    return result >= 0, result == 0
end

function IpFrag:counters()
    local out = {}
    for _, name in ipairs(COUNTERS) do
        out[name] = tonumber(self.obj[name])
    end
    return out
end

return IpFrag
