-- What every tool that looks at DNS puts behind its reader: the layer
-- decoder, IP fragment reassembly and TCP stream reassembly, so that a
-- message split over segments or fragments arrives whole. Messages over TCP
-- come without their length field, as over UDP.
--   local chain = Decode.pull(input, port)          -- or Decode.pull(timing, port)
--   local produce, ctx = chain:produce()            -- null: end, or nothing whole yet
--   local head = Decode.push(consumer, port, input) -- input:receiver(head)
--   Decode.report(chain)                            -- lines for a summary
--   chain:keep_carriers()  chain:carriers(obj, write, write_ctx)   -- a message as its packets
module("tarvex.tools.lib.decode", package.seeall)

local Layer = require("tarvex.filter.layer")
local IpFrag = require("tarvex.filter.ipfrag")
local TcpStream = require("tarvex.filter.tcpstream")

Decode = {}
Decode.__index = Decode

-- `input`: the capture read (tarvex.input.capture), for its decoder.
local function stages(port, input)
    if input and input:format() == "dnstap" then
        return setmetatable({ layer = input:decoder(), whole = true }, Decode)
    end
    local tcpstream = TcpStream.new()
    -- The port of the DNS side; 0 follows every flow.
    tcpstream:port(port)
    return setmetatable({ layer = Layer.new(), ipfrag = IpFrag.new(), tcpstream = tcpstream }, Decode)
end

-- Pull form: the chain pulls from `upstream` (a reader, or a filter in front
-- of it); produce() gives what comes out of the end.
function Decode.pull(upstream, port, input)
    local self = stages(port, input)
    self.layer:producer(upstream)
    if self.whole then
        return self
    end
    self.ipfrag:producer(self.layer)
    self.tcpstream:producer(self.ipfrag)
    return self
end

-- Push form: returns the chain, whose head the reader pushes into, with the
-- end handing everything to `consumer`. Wired from the consumer back, as
-- the filters take their receiver's callback when given it.
function Decode.push(consumer, port, input)
    local self = stages(port, input)
    if self.whole then
        self.layer:receiver(consumer)
        return self
    end
    self.tcpstream:receiver(consumer)
    self.ipfrag:receiver(self.tcpstream)
    self.layer:receiver(self.ipfrag)
    return self
end

function Decode:produce()
    return (self.whole and self.layer or self.tcpstream):produce()
end

-- The chain as a receiver: its head.
function Decode:receive()
    return self.layer:receive()
end

-- Keeps copies of the packets under what the reassemblers hold, so that
-- carriers() can give each message as the packets it came in. Before the
-- first packet.
function Decode:keep_carriers()
    if self.whole then
        return
    end
    self.ipfrag:keep_carriers()
    self.tcpstream:keep_carriers(nil, self.ipfrag)
end

-- Hands the packets that carried `obj` to the receiver `recv`, `ctx`: the
-- segments of a TCP message (leaving out those handed out for an earlier
-- one), the fragments of a reassembled datagram, or the packet under `obj`.
-- Returns false when some of them could not be kept.
function Decode:carriers(obj, recv, ctx)
    if self.whole then
        recv(ctx, obj)
        return true
    end
    local mine, whole = self.tcpstream:carriers(obj, recv, ctx)
    if not mine then
        mine, whole = self.ipfrag:carriers(obj, recv, ctx)
    end
    if not mine then
        recv(ctx, obj)
        return true
    end
    return whole
end

-- The reassemblers' counters by name, both in one table.
local none = setmetatable({}, { __index = function() return 0 end })

function Decode:counters()
    local tcp = self.whole and none or self.tcpstream:counters()
    local ip = self.whole and none or self.ipfrag:counters()
    return {
        tcp_segments = tcp.segments, tcp_messages = tcp.messages, tcp_gaps = tcp.gaps,
        tcp_retransmitted_bytes = tcp.retransmitted_bytes, tcp_overlap_bytes = tcp.overlap_bytes,
        tcp_resync_bytes = tcp.resync_bytes, tcp_truncated = tcp.truncated, tcp_flows_dropped = tcp.flows_dropped,
        tcp_buffer_overflows = tcp.buffer_overflows, tcp_idle_expired = tcp.idle_expired,
        ip_fragments = ip.fragments, ip_datagrams = ip.datagrams, ip_timeouts = ip.timeouts,
        ip_overlaps = ip.overlaps, ip_duplicates = ip.duplicates, ip_tiny = ip.tiny,
        ip_inconsistent = ip.inconsistent, ip_dropped = ip.dropped,
    }
end

-- Two summary lines: what the reassemblers put together, and every way they
-- had to give something up.
function Decode:report()
    local c = self:counters()
    return {
        string.format("%d DNS messages from %d TCP segments, %d datagrams from %d IP fragments",
            c.tcp_messages, c.tcp_segments, c.ip_datagrams, c.ip_fragments),
        string.format("TCP: %d gaps, %d bytes retransmitted, %d overlapping, %d skipped to resync, %d messages cut, "
            .. "%d flows dropped, %d buffer overflows, %d idle flows; IP: %d timeouts, %d overlaps, %d duplicates, "
            .. "%d tiny, %d inconsistent, %d dropped",
            c.tcp_gaps, c.tcp_retransmitted_bytes, c.tcp_overlap_bytes, c.tcp_resync_bytes, c.tcp_truncated,
            c.tcp_flows_dropped, c.tcp_buffer_overflows, c.tcp_idle_expired, c.ip_timeouts, c.ip_overlaps,
            c.ip_duplicates, c.ip_tiny, c.ip_inconsistent, c.ip_dropped),
    }
end

return Decode
