-- Pcap: packets from libpcap, live or from a capture file.
--   local input = Pcap.new()
--   input:create("lo"); input:activate()      -- or input:open_offline("file.pcap")
--   input:receiver(output); input:loop()      -- push, or pull through input:produce()
module("tarvex.input.pcap", package.seeall)

require("tarvex.input.pcap_h")
local ffi = require("ffi")
local C = ffi.C

Pcap = {}
local meta = { __index = Pcap }

function Pcap.new()
    local self = setmetatable({
        obj = ffi.new("input_pcap_t"),
        _receiver = nil,
    }, meta)
    C.input_pcap_init(self.obj)
    ffi.gc(self.obj, C.input_pcap_destroy)
    return self
end

function Pcap:log()
    if self == nil or self == Pcap then
        return C.input_pcap_log()
    end
    return self.obj._log
end

function Pcap:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Pcap:produce()
    return C.input_pcap_producer(self.obj), self.obj
end

function Pcap:create(source)
    return C.input_pcap_create(self.obj, source)
end

function Pcap:activate()
    return C.input_pcap_activate(self.obj)
end

function Pcap:open_offline(file)
    return C.input_pcap_open_offline(self.obj, file)
end

function Pcap:loop(cnt)
    return C.input_pcap_loop(self.obj, cnt or -1)
end

function Pcap:dispatch(cnt)
    return C.input_pcap_dispatch(self.obj, cnt or -1)
end

function Pcap:packets()
    return tonumber(self.obj.pkts)
end

function Pcap:linktype()
    return self.obj.linktype
end

function Pcap:snaplen()
    return tonumber(self.obj.snaplen)
end

return Pcap
