-- Zmmpcapng: reads a compressed pcapng capture file mapped into memory,
-- decompressing straight from the mapping (LZ4 frames, Zstandard, gzip/zlib, xz).
--   local input = Zmmpcapng.new()
--   input:lz4()                                   -- the file's compression
--   input:open("file.pcapng.lz4")
--   input:receiver(layer)  input:run()            -- push every frame
--   layer:producer(input)                         -- or let a consumer pull
module("tarvex.input.zmmpcapng", package.seeall)

require("tarvex.input.zmmpcapng_h")
local ffi = require("ffi")
local C = ffi.C

Zmmpcapng = {}
local meta = { __index = Zmmpcapng }

function Zmmpcapng.new()
    local self = setmetatable({ obj = ffi.new("input_zmmpcapng_t") }, meta)
    C.input_zmmpcapng_init(self.obj)
    ffi.gc(self.obj, C.input_zmmpcapng_destroy)
    return self
end

function Zmmpcapng:log()
    if self == nil or self == Zmmpcapng then
        return C.input_zmmpcapng_log()
    end
    return self.obj._log
end

function Zmmpcapng:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Zmmpcapng:produce()
    return C.input_zmmpcapng_producer(self.obj), self.obj
end

-- The compression of the file; one of these is called before open.
function Zmmpcapng:lz4()
    self.obj.compression = C.input_zmmpcap_type_lz4
end

function Zmmpcapng:zstd()
    self.obj.compression = C.input_zmmpcap_type_zstd
end

function Zmmpcapng:gzip()
    self.obj.compression = C.input_zmmpcap_type_gzip
end

function Zmmpcapng:lzma()
    self.obj.compression = C.input_zmmpcap_type_lzma
end

function Zmmpcapng:have_support()
    return C.input_zmmpcapng_have_support(self.obj) == 1
end

function Zmmpcapng:open(file)
    return C.input_zmmpcapng_open(self.obj, file)
end

function Zmmpcapng:run()
    return C.input_zmmpcapng_run(self.obj)
end

function Zmmpcapng:packets()
    return tonumber(self.obj.pkts)
end

return Zmmpcapng
