-- Fpcapng: reads a pcapng capture file through stdio; each record carries the
-- link type of the interface its packet came from.
--   local input = Fpcapng.new()
--   input:open("file.pcapng")
--   input:receiver(layer)  input:run()            -- push every frame
--   layer:producer(input)                         -- or let a consumer pull
module("tarvex.input.fpcapng", package.seeall)

require("tarvex.input.fpcapng_h")
local compat = require("tarvex.core.compat")
local ffi = require("ffi")
local C = ffi.C

Fpcapng = {}
local meta = { __index = Fpcapng }

function Fpcapng.new()
    local self = setmetatable({ obj = ffi.new("input_fpcapng_t") }, meta)
    C.input_fpcapng_init(self.obj)
    ffi.gc(self.obj, C.input_fpcapng_destroy)
    return self
end

function Fpcapng:log()
    if self == nil or self == Fpcapng then
        return C.input_fpcapng_log()
    end
    return self.obj._log
end

function Fpcapng:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Fpcapng:produce()
    return C.input_fpcapng_producer(self.obj), self.obj
end

-- A sequential-access hint to the kernel; it does not change what is read.
function Fpcapng:fadvise_sequential()
    C.input_fpcapng_fadvise_sequential(self.obj)
end

function Fpcapng:open(file)
    return C.input_fpcapng_open(self.obj, file)
end

-- fp: a FILE* or a Lua io file; the caller keeps it open while reading and
-- closes it afterwards.
function Fpcapng:openfp(fp)
    self._fp = fp
    return C.input_fpcapng_openfp(self.obj, compat.file_pointer(fp))
end

function Fpcapng:run()
    return C.input_fpcapng_run(self.obj)
end

function Fpcapng:packets()
    return tonumber(self.obj.pkts)
end

return Fpcapng
