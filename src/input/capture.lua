-- Capture: opens a capture by its content, PCAP, pcapng or a dnstap log
-- (Frame Streams), plain or
-- compressed with LZ4, Zstandard, gzip or xz, from a path or "-" (standard
-- input), with the reader that suits it: memory-mapped for a regular file,
-- stdio for pipes and standard input. The object has the reader's interface.
--   local input, err = Capture.open(path)          -- nil and a one-line message if not
--   input:receiver(layer)  input:run()             -- or layer:producer(input)
--   output:open(out, input:linktype(), input:snaplen())   -- input:format(), input:compression()
module("tarvex.input.capture", package.seeall)

require("tarvex.input.capture_h")
local ffi = require("ffi")
local C = ffi.C

Capture = {}
local meta = { __index = Capture }

local compressions = { [0] = "none", "lz4", "zstd", "gzip", "lzma" }
local formats = { [C.input_capture_format_pcap] = "pcap", [C.input_capture_format_pcapng] = "pcapng",
    [C.input_capture_format_dnstap] = "dnstap" }

-- The reader module for a format, compressed or not, mapped or not.
local function reader_name(format, compressed, mapped)
    -- One dnstap reader takes every byte source.
    if format == "dnstap" then
        return "dnstap"
    end
    local base = format == "pcapng" and "pcapng" or "pcap"
    return (compressed and "z" or "") .. (mapped and "mm" or (compressed and "" or "f")) .. base
end

function Capture.open(path)
    local probe = ffi.gc(ffi.new("input_capture_t"), C.input_capture_destroy)
    C.input_capture_init(probe)
    if C.input_capture_probe(probe, path) ~= 0 then
        return nil, string.format("%s: cannot open (%s)", path, ffi.string(C.core_log_errstr(probe.error)))
    end
    local format = formats[tonumber(probe.format)]
    if not format then
        return nil, path .. ": not a capture file (PCAP, pcapng or dnstap, plain or lz4/zstd/gzip/xz)"
    end
    local compression = compressions[tonumber(probe.compression)]
    local compressed = compression ~= "none"
    local mapped = probe.is_regular == 1 and probe.is_stdin == 0 and format ~= "dnstap"
    local name = reader_name(format, compressed, mapped)
    local reader = require("tarvex.input." .. name).new()
    if format == "dnstap" then
        -- Records a log holds that give no message are skipped: say which
        -- and why (the first few), and where the framing is lost.
        reader:log():enable("warning")
    end
    if compressed then
        reader[compression](reader)
    end
    local result
    if mapped then
        C.input_capture_close(probe)
        result = reader:open(path)
    else
        result = reader:openfp(probe.stream)
    end
    if result ~= 0 then
        return nil, path .. ": cannot read the " .. format .. " capture"
    end
    local self = setmetatable({ reader = reader, obj = reader.obj, _probe = probe, _format = format,
        _compression = compression, _name = name }, meta)
    return self
end

function Capture:log()
    if self == nil or self == Capture then
        return C.input_capture_log()
    end
    return self.reader:log()
end

function Capture:receiver(o)
    self.reader:receiver(o)
end

function Capture:produce()
    return self.reader:produce()
end

function Capture:run()
    return self.reader:run()
end

function Capture:packets()
    return self.reader:packets()
end

-- Where the layer decoder goes: the decoder itself, or for a dnstap log the
-- reader's chain stage (its records already make IP packets).
function Capture:decoder()
    if self._format == "dnstap" then
        return self.reader:chain()
    end
    return require("tarvex.filter.layer").new()
end

-- "pcap", "pcapng" or "dnstap".
function Capture:format()
    return self._format
end

-- "none", "lz4", "zstd", "gzip" or "lzma".
function Capture:compression()
    return self._compression
end

-- The module name of the reader chosen ("mmpcapng", "zpcap", ...).
function Capture:reader_name()
    return self._name
end

-- The link type and snap length of the file (pcapng: of its first interface;
-- each record carries its own).
function Capture:linktype()
    return tonumber(self.obj.linktype)
end

function Capture:snaplen()
    return tonumber(self.obj.snaplen)
end

return Capture
