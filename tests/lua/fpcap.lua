-- The PCAP file reader class: open, openfp with a Lua file or a FILE*, run
-- into a receiver, pulling through produce(), packets(), the sequential hint,
-- and the results and messages of rejected files.
-- fixtures: captures
-- expect-stderr: ^input\.fpcap\[0x[0-9a-f]+\] debug: pcap v2\.4 snaplen:65535  swapped$
-- expect-stderr: ^input\.fpcap\[0x[0-9a-f]+\] debug: pcap v2\.4 snaplen:65535 $
-- expect-stderr: ^input\.fpcap\[0x[0-9a-f]+\] critical: invalid PCAP header$
-- expect-stderr: ^input\.fpcap\[0x[0-9a-f]+\] critical: fopen\(.*/missing\.pcap\) error: ENOENT$
-- expect-stderr: ^input\.fpcap\[0x[0-9a-f]+\] warning: could not read next PCAP header, aborting$
-- expect-stderr: ^input\.fpcap\[0x[0-9a-f]+\] warning: PCAP is broken, will not read next packet$
local ffi = require("ffi")
local Fpcap = require("tarvex.input.fpcap")
local Object = require("tarvex.core.objects")
local Log = require("tarvex.core.log")

local dir = os.getenv("TEST_FIXTURE_DIR") .. "/captures/"

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

-- A receiver for run(): a Lua function behind the receiver contract.
local function collector()
    local got = { records = {} }
    local callback = ffi.cast("core_receiver_t", function(_, obj)
        local pcap = obj:cast()
        got.records[#got.records + 1] = {
            sec = tonumber(pcap.ts.sec), nsec = tonumber(pcap.ts.nsec), caplen = pcap.caplen,
            len = pcap.len, swapped = pcap.is_swapped, linktype = pcap.linktype,
            bytes = ffi.string(pcap.bytes, pcap.caplen), type = obj:type(),
        }
    end)
    function got:receive()
        return callback, nil
    end
    return got
end

-- The class log and the instance log.
check(ffi.string(Fpcap.log().name) == "input.fpcap", "module log name")
check(ffi.string(Fpcap:log().name) == "input.fpcap", "module log through the class")
local input = Fpcap.new()
check(input:log().is_obj == 1, "instance log is an object log")
check(input:packets() == 0, "no packets before open")

-- Push: both byte orders and stamp units give the same frames in host order.
local reference
for _, file in ipairs({ "native_usec", "swapped_usec", "native_nsec", "swapped_nsec" }) do
    local reader = Fpcap.new()
    reader:log():enable("debug")
    check(reader:open(dir .. file .. ".pcap") == 0, "%s: open", file)
    local got = collector()
    reader:receiver(got)
    check(reader:run() == 0, "%s: run", file)
    check(reader:packets() == 3, "%s: packets %d", file, reader:packets())
    local unit = file:find("nsec") and 1 or 1000
    for i, r in ipairs(got.records) do
        check(r.type == "pcap", "%s: type %s", file, r.type)
        check(r.sec == i and r.nsec == (i + 4) * unit, "%s: stamp %d.%d", file, r.sec, r.nsec)
        check(r.len == r.caplen + 100 * (i - 1), "%s: len", file)
        check(r.swapped == (file:find("swapped") and 1 or 0), "%s: is_swapped", file)
        check(r.linktype == 1, "%s: linktype", file)
    end
    reference = reference or got.records
    for i = 1, 3 do
        check(got.records[i].bytes == reference[i].bytes, "%s: frame %d bytes", file, i)
    end
end

-- Pull: the producer hands out the reader's one record, then null.
local reader = Fpcap.new()
check(reader:open(dir .. "swapped_usec.pcap") == 0, "open for pull")
local produce, ctx = reader:produce()
local pulled = 0
while true do
    local obj = produce(ctx)
    if obj == nil then
        break
    end
    pulled = pulled + 1
    local pcap = obj:cast()
    check(pcap.is_swapped == 1 and tonumber(pcap.ts.sec) == pulled, "pulled record %d", pulled)
end
check(pulled == 3 and reader:packets() == 3, "pulled %d", pulled)
check(produce(ctx) == nil, "still at the end")

-- openfp with a Lua file and with a FILE*; the stream stays the script's.
local file = assert(io.open(dir .. "native_nsec.pcap", "rb"))
local from_file = Fpcap.new()
check(from_file:openfp(file) == 0, "openfp with a Lua file")
check(from_file.obj.extern_file == 1, "extern_file")
local got = collector()
from_file:receiver(got)
check(from_file:run() == 0 and #got.records == 3, "run over a Lua file")
from_file = nil
collectgarbage()
collectgarbage()
check(io.type(file) == "file" and file:seek("set", 0) == 0, "the Lua file is still open")
check(file:read(4) ~= nil, "and readable")
file:close()

local compat = require("tarvex.core.compat")
ffi.cdef("FILE* fopen(const char* path, const char* mode); int fclose(FILE* fp);")
local fp = ffi.C.fopen(dir .. "native_usec.pcap", "rb")
local from_fp = Fpcap.new()
check(from_fp:openfp(fp) == 0, "openfp with a FILE*")
check(compat.file_pointer(fp) == fp, "a FILE* passes as it is")
from_fp:receiver(collector())
check(from_fp:run() == 0 and from_fp:packets() == 3, "run over a FILE*")
from_fp = nil
collectgarbage()
check(ffi.C.fclose(fp) == 0, "the FILE* was left open")

-- The sequential hint, before or after open, reads the same.
for _, when in ipairs({ "before", "after" }) do
    local hinted = Fpcap.new()
    if when == "before" then hinted:fadvise_sequential() end
    check(hinted:open(dir .. "swapped_nsec.pcap") == 0, "open hinted")
    if when == "after" then hinted:fadvise_sequential() end
    check(hinted.obj.use_fadvise == 1, "use_fadvise")
    local hinted_got = collector()
    hinted:receiver(hinted_got)
    check(hinted:run() == 0 and #hinted_got.records == 3, "hinted run")
    for i = 1, 3 do
        check(hinted_got.records[i].bytes == reference[i].bytes, "hinted frame %d", i)
    end
end

-- Results of files that cannot be read.
check(Fpcap.new():open(dir .. "missing.pcap") == -1, "missing file")
check(Fpcap.new():open(dir .. "bad_magic.pcap") == -2, "bad magic")

-- A cut file: frames before the error stay delivered and counted.
local cut = Fpcap.new()
Log.enable("warning")
check(cut:open(dir .. "cut_record_header.pcap") == 0, "open cut")
local cut_got = collector()
cut:receiver(cut_got)
check(cut:run() == -1, "run on a cut file")
check(#cut_got.records == 2 and cut:packets() == 2, "delivered before the cut")
local cut_pull = Fpcap.new()
cut_pull:open(dir .. "cut_record_header.pcap")
local cut_produce, cut_ctx = cut_pull:produce()
check(cut_produce(cut_ctx) ~= nil and cut_produce(cut_ctx) ~= nil, "two frames pulled")
check(cut_produce(cut_ctx) == nil and cut_pull.obj.is_broken == 1, "then broken")
check(cut_produce(cut_ctx) == nil, "and stays broken")
print("fpcap class checks pass")
