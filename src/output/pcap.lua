-- Pcap: writes the captured frame under every pushed object to a capture file.
--   local out = Pcap.new()
--   out:open("kept.pcap", 1, 65535)   -- file, link type, snapshot length
--   upstream:receiver(out)
--   ... run the pipeline ...
--   if out:have_errors() then ... end
--   out:close()
module("tarvex.output.pcap", package.seeall)

require("tarvex.output.pcap_h")
local ffi = require("ffi")
local C = ffi.C

Pcap = {}
local meta = { __index = Pcap }

function Pcap.new()
    local self = setmetatable({ obj = ffi.new("output_pcap_t") }, meta)
    C.output_pcap_init(self.obj)
    ffi.gc(self.obj, C.output_pcap_destroy)
    return self
end

function Pcap:log()
    if self == nil or self == Pcap then
        return C.output_pcap_log()
    end
    return self.obj._log
end

function Pcap:open(file, linktype, snaplen)
    return C.output_pcap_open(self.obj, file, linktype, snaplen)
end

function Pcap:close()
    C.output_pcap_close(self.obj)
end

function Pcap:have_errors()
    return C.output_pcap_have_errors(self.obj) ~= 0
end

-- Records written since open.
function Pcap:packets()
    return tonumber(self.obj.packets)
end

function Pcap:receive()
    return C.output_pcap_receiver(self.obj), self.obj
end

return Pcap
