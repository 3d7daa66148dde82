-- Mmpcap: reads a PCAP capture file through a read-only memory map; records
-- point into the mapping and stay readable while the reader lives.
--   local input = Mmpcap.new()
--   input:open("file.pcap")
--   input:receiver(layer)  input:run()            -- push every frame
--   layer:producer(input)                         -- or let a consumer pull
module("tarvex.input.mmpcap", package.seeall)

require("tarvex.input.mmpcap_h")
local ffi = require("ffi")
local C = ffi.C

Mmpcap = {}
local meta = { __index = Mmpcap }

function Mmpcap.new()
    local self = setmetatable({ obj = ffi.new("input_mmpcap_t") }, meta)
    C.input_mmpcap_init(self.obj)
    ffi.gc(self.obj, C.input_mmpcap_destroy)
    return self
end

function Mmpcap:log()
    if self == nil or self == Mmpcap then
        return C.input_mmpcap_log()
    end
    return self.obj._log
end

function Mmpcap:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Mmpcap:produce()
    return C.input_mmpcap_producer(self.obj), self.obj
end

function Mmpcap:open(file)
    return C.input_mmpcap_open(self.obj, file)
end

function Mmpcap:run()
    return C.input_mmpcap_run(self.obj)
end

function Mmpcap:packets()
    return tonumber(self.obj.pkts)
end

return Mmpcap
