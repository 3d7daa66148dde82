-- Zmmpcap: reads a compressed PCAP capture file mapped into memory,
-- decompressing straight from the mapping (LZ4 frames, Zstandard, gzip/zlib, xz).
--   local input = Zmmpcap.new()
--   input:lz4()                                   -- the file's compression
--   input:open("file.pcap.lz4")
--   input:receiver(layer)  input:run()            -- push every frame
--   layer:producer(input)                         -- or let a consumer pull
module("tarvex.input.zmmpcap", package.seeall)

require("tarvex.input.zmmpcap_h")
local ffi = require("ffi")
local C = ffi.C

Zmmpcap = {}
local meta = { __index = Zmmpcap }

function Zmmpcap.new()
    local self = setmetatable({ obj = ffi.new("input_zmmpcap_t") }, meta)
    C.input_zmmpcap_init(self.obj)
    ffi.gc(self.obj, C.input_zmmpcap_destroy)
    return self
end

function Zmmpcap:log()
    if self == nil or self == Zmmpcap then
        return C.input_zmmpcap_log()
    end
    return self.obj._log
end

function Zmmpcap:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Zmmpcap:produce()
    return C.input_zmmpcap_producer(self.obj), self.obj
end

-- The compression of the file; one of these is called before open.
function Zmmpcap:lz4()
    self.obj.compression = C.input_zmmpcap_type_lz4
end

function Zmmpcap:zstd()
    self.obj.compression = C.input_zmmpcap_type_zstd
end

function Zmmpcap:gzip()
    self.obj.compression = C.input_zmmpcap_type_gzip
end

function Zmmpcap:lzma()
    self.obj.compression = C.input_zmmpcap_type_lzma
end

function Zmmpcap:have_support()
    return C.input_zmmpcap_have_support(self.obj) == 1
end

function Zmmpcap:open(file)
    return C.input_zmmpcap_open(self.obj, file)
end

function Zmmpcap:run()
    return C.input_zmmpcap_run(self.obj)
end

function Zmmpcap:packets()
    return tonumber(self.obj.pkts)
end

return Zmmpcap
