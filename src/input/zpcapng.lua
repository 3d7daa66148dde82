-- Zpcapng: reads a compressed pcapng capture file through stdio, decompressing as
-- it reads (LZ4 frames, Zstandard, gzip, xz).
--   local input = Zpcapng.new()
--   input:zstd()                                  -- the file's compression
--   input:open("file.pcapng.zst")
--   input:receiver(layer)  input:run()            -- push every frame
--   layer:producer(input)                         -- or let a consumer pull
module("tarvex.input.zpcapng", package.seeall)

require("tarvex.input.zpcapng_h")
local compat = require("tarvex.core.compat")
local ffi = require("ffi")
local C = ffi.C

Zpcapng = {}
local meta = { __index = Zpcapng }

function Zpcapng.new()
    local self = setmetatable({ obj = ffi.new("input_zpcapng_t") }, meta)
    C.input_zpcapng_init(self.obj)
    ffi.gc(self.obj, C.input_zpcapng_destroy)
    return self
end

function Zpcapng:log()
    if self == nil or self == Zpcapng then
        return C.input_zpcapng_log()
    end
    return self.obj._log
end

function Zpcapng:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Zpcapng:produce()
    return C.input_zpcapng_producer(self.obj), self.obj
end

-- The compression of the file; one of these is called before open.
function Zpcapng:lz4()
    self.obj.compression = C.input_zpcap_type_lz4
end

function Zpcapng:zstd()
    self.obj.compression = C.input_zpcap_type_zstd
end

function Zpcapng:gzip()
    self.obj.compression = C.input_zpcap_type_gzip
end

function Zpcapng:lzma()
    self.obj.compression = C.input_zpcap_type_lzma
end

function Zpcapng:have_support()
    return C.input_zpcapng_have_support(self.obj) == 1
end

-- A sequential-access hint to the kernel; it does not change what is read.
function Zpcapng:fadvise_sequential()
    C.input_zpcapng_fadvise_sequential(self.obj)
end

function Zpcapng:open(file)
    return C.input_zpcapng_open(self.obj, file)
end

-- fp: a FILE* or a Lua io file; the caller keeps it open while reading and
-- closes it afterwards.
function Zpcapng:openfp(fp)
    self._fp = fp
    return C.input_zpcapng_openfp(self.obj, compat.file_pointer(fp))
end

function Zpcapng:run()
    return C.input_zpcapng_run(self.obj)
end

function Zpcapng:packets()
    return tonumber(self.obj.pkts)
end

return Zpcapng
