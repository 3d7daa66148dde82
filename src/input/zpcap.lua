-- Zpcap: reads a compressed PCAP capture file through stdio, decompressing as
-- it reads (LZ4 frames, Zstandard, gzip, xz).
--   local input = Zpcap.new()
--   input:zstd()                                  -- the file's compression
--   input:open("file.pcap.zst")
--   input:receiver(layer)  input:run()            -- push every frame
--   layer:producer(input)                         -- or let a consumer pull
module("tarvex.input.zpcap", package.seeall)

require("tarvex.input.zpcap_h")
local compat = require("tarvex.core.compat")
local ffi = require("ffi")
local C = ffi.C

Zpcap = {}
local meta = { __index = Zpcap }

function Zpcap.new()
    local self = setmetatable({ obj = ffi.new("input_zpcap_t") }, meta)
    C.input_zpcap_init(self.obj)
    ffi.gc(self.obj, C.input_zpcap_destroy)
    return self
end

function Zpcap:log()
    if self == nil or self == Zpcap then
        return C.input_zpcap_log()
    end
    return self.obj._log
end

function Zpcap:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Zpcap:produce()
    return C.input_zpcap_producer(self.obj), self.obj
end

-- The compression of the file; one of these is called before open.
function Zpcap:lz4()
    self.obj.compression = C.input_zpcap_type_lz4
end

function Zpcap:zstd()
    self.obj.compression = C.input_zpcap_type_zstd
end

function Zpcap:gzip()
    self.obj.compression = C.input_zpcap_type_gzip
end

function Zpcap:lzma()
    self.obj.compression = C.input_zpcap_type_lzma
end

function Zpcap:have_support()
    return C.input_zpcap_have_support(self.obj) == 1
end

-- A sequential-access hint to the kernel; it does not change what is read.
function Zpcap:fadvise_sequential()
    C.input_zpcap_fadvise_sequential(self.obj)
end

function Zpcap:open(file)
    return C.input_zpcap_open(self.obj, file)
end

-- fp: a FILE* or a Lua io file; the caller keeps it open while reading and
-- closes it afterwards.
function Zpcap:openfp(fp)
    self._fp = fp
    return C.input_zpcap_openfp(self.obj, compat.file_pointer(fp))
end

function Zpcap:run()
    return C.input_zpcap_run(self.obj)
end

function Zpcap:packets()
    return tonumber(self.obj.pkts)
end

return Zpcap
