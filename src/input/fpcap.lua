-- Fpcap: reads a PCAP capture file through stdio.
--   local input = Fpcap.new()
--   input:open("file.pcap")
--   input:receiver(layer)  input:run()            -- push every frame
--   layer:producer(input)                         -- or let a consumer pull
module("tarvex.input.fpcap", package.seeall)

require("tarvex.input.fpcap_h")
local compat = require("tarvex.core.compat")
local ffi = require("ffi")
local C = ffi.C

Fpcap = {}
local meta = { __index = Fpcap }

function Fpcap.new()
    local self = setmetatable({ obj = ffi.new("input_fpcap_t") }, meta)
    C.input_fpcap_init(self.obj)
    ffi.gc(self.obj, C.input_fpcap_destroy)
    return self
end

function Fpcap:log()
    if self == nil or self == Fpcap then
        return C.input_fpcap_log()
    end
    return self.obj._log
end

function Fpcap:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Fpcap:produce()
    return C.input_fpcap_producer(self.obj), self.obj
end

-- A sequential-access hint to the kernel; it does not change what is read.
function Fpcap:fadvise_sequential()
    C.input_fpcap_fadvise_sequential(self.obj)
end

function Fpcap:open(file)
    return C.input_fpcap_open(self.obj, file)
end

-- fp: a FILE* or a Lua io file; the caller keeps it open while reading and
-- closes it afterwards.
function Fpcap:openfp(fp)
    self._fp = fp
    return C.input_fpcap_openfp(self.obj, compat.file_pointer(fp))
end

function Fpcap:run()
    return C.input_fpcap_run(self.obj)
end

function Fpcap:packets()
    return tonumber(self.obj.pkts)
end

return Fpcap
