-- Mmpcapng: reads a pcapng capture file through a read-only memory map; records
-- point into the mapping and stay readable while the reader lives.
--   local input = Mmpcapng.new()
--   input:open("file.pcapng")
--   input:receiver(layer)  input:run()            -- push every frame
--   layer:producer(input)                         -- or let a consumer pull
module("tarvex.input.mmpcapng", package.seeall)

require("tarvex.input.mmpcapng_h")
local ffi = require("ffi")
local C = ffi.C

Mmpcapng = {}
local meta = { __index = Mmpcapng }

function Mmpcapng.new()
    local self = setmetatable({ obj = ffi.new("input_mmpcapng_t") }, meta)
    C.input_mmpcapng_init(self.obj)
    ffi.gc(self.obj, C.input_mmpcapng_destroy)
    return self
end

function Mmpcapng:log()
    if self == nil or self == Mmpcapng then
        return C.input_mmpcapng_log()
    end
    return self.obj._log
end

function Mmpcapng:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Mmpcapng:produce()
    return C.input_mmpcapng_producer(self.obj), self.obj
end

function Mmpcapng:open(file)
    return C.input_mmpcapng_open(self.obj, file)
end

function Mmpcapng:run()
    return C.input_mmpcapng_run(self.obj)
end

function Mmpcapng:packets()
    return tonumber(self.obj.pkts)
end

return Mmpcapng
