-- Dnstap: reads a dnstap log (a Frame Streams file of dnstap records) through
-- stdio, plain or compressed, and hands out each logged DNS message as a
-- PCAP record of a synthesized raw-IP packet stamped with the query or the
-- response time. Its chain stage, where the layer decoder would be, gives
-- the chain above it: dnstap record, IP or IPv6, UDP or TCP, payload (a TCP
-- message without its length field).
--   local input = Dnstap.new()
--   input:zstd()                                   -- for a compressed file
--   input:open("resolver.dnstap")                  -- or input:openfp(io.stdin)
--   local chain = input:chain()
--   input:receiver(chain)  chain:receiver(output)  input:run()     -- push
--   chain:producer(input)  local produce, ctx = chain:produce()    -- or pull
module("tarvex.input.dnstap", package.seeall)

require("tarvex.input.dnstap_h")
local compat = require("tarvex.core.compat")
local ffi = require("ffi")
local C = ffi.C

Dnstap = {}
local meta = { __index = Dnstap }

-- The chain stage: a filter-like object over the reader's record.
local Chain = {}
local chain_meta = { __index = Chain }

function Dnstap.new()
    local self = setmetatable({ obj = ffi.new("input_dnstap_t") }, meta)
    C.input_dnstap_init(self.obj)
    ffi.gc(self.obj, C.input_dnstap_destroy)
    return self
end

function Dnstap:log()
    if self == nil or self == Dnstap then
        return C.input_dnstap_log()
    end
    return self.obj._log
end

function Dnstap:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Dnstap:produce()
    return C.input_dnstap_producer(self.obj), self.obj
end

-- The compression of the file, if any; one of these is called before open.
function Dnstap:lz4()
    self.obj.compression = C.input_zpcap_type_lz4
end

function Dnstap:zstd()
    self.obj.compression = C.input_zpcap_type_zstd
end

function Dnstap:gzip()
    self.obj.compression = C.input_zpcap_type_gzip
end

function Dnstap:lzma()
    self.obj.compression = C.input_zpcap_type_lzma
end

function Dnstap:have_support()
    return C.input_dnstap_have_support(self.obj) == 1
end

-- A sequential-access hint to the kernel; it does not change what is read.
function Dnstap:fadvise_sequential()
    C.input_dnstap_fadvise_sequential(self.obj)
end

function Dnstap:open(file)
    return C.input_dnstap_open(self.obj, file)
end

-- fp: a FILE* or a Lua io file; the caller keeps it open while reading and
-- closes it afterwards.
function Dnstap:openfp(fp)
    self._fp = fp
    return C.input_dnstap_openfp(self.obj, compat.file_pointer(fp))
end

function Dnstap:run()
    return C.input_dnstap_run(self.obj)
end

-- Data frames read, and those of them that gave no message (told on the log).
function Dnstap:packets()
    return tonumber(self.obj.pkts)
end

function Dnstap:skipped()
    return tonumber(self.obj.skipped)
end

function Dnstap:chain()
    if not self._chain then
        self._chain = setmetatable({ reader = self, obj = self.obj }, chain_meta)
    end
    return self._chain
end

function Chain:log()
    return self.obj._log
end

function Chain:receive()
    return C.input_dnstap_chain_receiver(), self.obj
end

function Chain:receiver(o)
    self.obj.stage_recv, self.obj.stage_ctx = o:receive()
    self._receiver = o
end

function Chain:produce()
    return C.input_dnstap_chain_producer(self.obj), self.obj
end

function Chain:producer(o)
    self.obj.stage_prod, self.obj.stage_prod_ctx = o:produce()
    self._producer = o
end

return Dnstap
