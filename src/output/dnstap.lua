-- Dnstap: writes the logged record under every pushed object (one read from
-- a dnstap log) to a Frame Streams file of dnstap records, unchanged.
--   local out = Dnstap.new()
--   out:open("kept.dnstap")
--   upstream:receiver(out)
--   ... run the pipeline ...
--   out:close()   if out:have_errors() then ... end
module("tarvex.output.dnstap", package.seeall)

require("tarvex.output.dnstap_h")
local ffi = require("ffi")
local C = ffi.C

Dnstap = {}
local meta = { __index = Dnstap }

function Dnstap.new()
    local self = setmetatable({ obj = ffi.new("output_dnstap_t") }, meta)
    C.output_dnstap_init(self.obj)
    ffi.gc(self.obj, C.output_dnstap_destroy)
    return self
end

function Dnstap:log()
    if self == nil or self == Dnstap then
        return C.output_dnstap_log()
    end
    return self.obj._log
end

function Dnstap:open(file)
    return C.output_dnstap_open(self.obj, file)
end

function Dnstap:close()
    C.output_dnstap_close(self.obj)
end

function Dnstap:have_errors()
    return C.output_dnstap_have_errors(self.obj) ~= 0
end

-- Records written so far.
function Dnstap:frames()
    return tonumber(self.obj.frames)
end

function Dnstap:receive()
    return C.output_dnstap_receiver(self.obj), self.obj
end

return Dnstap
