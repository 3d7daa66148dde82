-- Layer: decodes each PCAP record into a chain of layer records and hands on
-- the topmost one (payload -> udp -> ip -> ether -> pcap).
--   local layer = Layer.new()
--   input:receiver(layer)  layer:receiver(output)   -- push
--   layer:producer(input)                           -- or pull:
--   local produce, ctx = layer:produce()
--   local obj = produce(ctx)                        -- null at the end
module("tarvex.filter.layer", package.seeall)

require("tarvex.filter.layer_h")
local ffi = require("ffi")
local C = ffi.C

Layer = {}
local meta = { __index = Layer }

function Layer.new()
    local self = setmetatable({ obj = ffi.new("filter_layer_t") }, meta)
    C.filter_layer_init(self.obj)
    ffi.gc(self.obj, C.filter_layer_destroy)
    return self
end

function Layer:log()
    if self == nil or self == Layer then
        return C.filter_layer_log()
    end
    return self.obj._log
end

function Layer:receive()
    return C.filter_layer_receiver(), self.obj
end

function Layer:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Layer:produce()
    return C.filter_layer_producer(self.obj), self.obj
end

function Layer:producer(o)
    self.obj.prod, self.obj.prod_ctx = o:produce()
    self._producer = o
end

return Layer
