-- The memory-mapped reader: every capture comes out as the stdio reader reads
-- it, records point into the mapping and stay readable after later frames,
-- any snaplen is taken, and each open result and end of data has its message.
-- fixtures: captures compressed
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ffi = require("ffi")
local readers = require("readers")
local sub = require("subprocess")
local Mmpcap = require("tarvex.input.mmpcap")
local check = readers.check
local dir = readers.dir
local captures_dir = os.getenv("TEST_FIXTURE_DIR") .. "/captures/"

check(ffi.string(Mmpcap.log().name) == "input.mmpcap", "module log name")
local fresh = Mmpcap.new()
check(fresh:log().is_obj == 1 and ffi.string(fresh:log().name) == "input.mmpcap", "instance log")
check(fresh.obj.fd == -1 and fresh.obj.buf == ffi.cast("void*", -1), "initial fd and mapping")
check(fresh.obj.prod_pkt.obj_type == 1 and fresh:packets() == 0, "initial record")

local function reference_of(path)
    local reader, result = readers.open("fpcap", path)
    check(result == 0, "fpcap %s: %d", path, result)
    return readers.pull(reader)
end

local files = {}
for _, name in ipairs({ "small", "large", "jumbo", "swapped", "zero_last", "header", "cut_boundary" }) do
    files[#files + 1] = dir .. name .. ".pcap"
end
for _, name in ipairs({ "native_usec", "swapped_usec", "native_nsec", "swapped_nsec", "ts_max", "empty_frame",
    "snaplen_262144", "link_raw" }) do
    files[#files + 1] = captures_dir .. name .. ".pcap"
end

for _, path in ipairs(files) do
    local reference = reference_of(path)
    local pushed = readers.both_match(function()
        local reader, result = readers.open("mmpcap", path)
        check(result == 0, "mmpcap %s: %d", path, result)
        check(reader.obj.at == 24, "%s: at %d after open", path, tonumber(reader.obj.at))
        return reader
    end, reference, "mmpcap " .. path)
    check(pushed.places.map == #reference.lines, "%s: records outside the mapping", path)
end

-- Records stay valid for the reader's life: after the last pull every
-- record's bytes still hash as they did when it was handed out.
local reader = readers.open("mmpcap", dir .. "large.pcap")
local digest = readers.pull(reader)
local reference = readers.reference("large")
for i, kept in ipairs(digest.kept) do
    local hash = string.format("%08x", readers.hash(kept.bytes, kept.caplen) % 2 ^ 32)
    check(reference.lines[i]:find("hash=" .. hash, 1, true), "record %d changed after later frames", i)
end
check(reader.obj.at == reader.obj.len, "at the end of the mapping")

-- No snaplen limit: snaplen 1000000 and a frame of 300000 bytes.
reader = readers.open("mmpcap", dir .. "bigsnap.pcap")
digest = readers.pull(reader)
check(#digest.lines == 2 and digest.lines[1]:find("caplen=300000 ", 1, true), "bigsnap: %s", digest.lines[1])
check(reader.obj.snaplen == 1000000, "bigsnap snaplen")

-- Open results, end-of-data results and their messages, one process each.
local prelude = [[
local Mmpcap = require("tarvex.input.mmpcap")
local Object = require("tarvex.core.objects")
require("tarvex.core.log").enable("warning")
local ffi = require("ffi")
local dir = os.getenv("TEST_FIXTURE_DIR") .. "/compressed/"
local input = Mmpcap.new()
local function count_run()
    local n = 0
    local cb = ffi.cast("core_receiver_t", function() n = n + 1 end)
    input:receiver({ receive = function() return cb, nil end })
    return input:run(), n
end
local function count_pull()
    local produce, ctx = input:produce()
    local n = 0
    while produce(ctx) ~= nil do n = n + 1 end
    return n, produce, ctx
end
]]
local function write_prefix(name, source, bytes)
    local data = assert(io.open(dir .. source, "rb")):read("*a")
    sub.write(name, data:sub(1, bytes))
end
write_prefix("short.pcap", "small.pcap", 23)
write_prefix("empty.pcap", "small.pcap", 0)

local M = "input%.mmpcap%[0x%x+%] "
sub.expect_all({
    { "missing file", [[assert(input:open("missing.pcap") == -1) assert(input.obj.fd == -1)
        assert(input:open(dir .. "small.pcap") == 0)]], 0, "^" .. M .. "critical: open%(missing%.pcap%) error ENOENT\n$" },
    { "empty file", [[assert(input:open("empty.pcap") == -1) assert(input.obj.fd >= 0)]],
        0, "^" .. M .. "critical: mmap%(empty%.pcap%) error EINVAL\n$" },
    { "a directory", [[assert(input:open(dir) == -1)]], 0, "^" .. M .. "critical: mmap%(.*%) error ENODEV\n$" },
    { "23 bytes", [[assert(input:open("short.pcap") == -2)]], 0, "^" .. M .. "critical: could not read full PCAP header\n$" },
    { "bad magic", [[assert(input:open(dir .. "badmagic.pcap") == -2)]], 0, "^" .. M .. "critical: invalid PCAP header\n$" },
    { "version 2.3", [[assert(input:open(dir .. "badversion.pcap") == -2)]],
        0, "^" .. M .. "critical: unsupported PCAP version v2%.3\n$" },
    { "debug line, native", [[input:log():enable("debug") assert(input:open(dir .. "small.pcap") == 0)]],
        0, "^" .. M .. "debug: pcap v2%.4 snaplen:65535 \n$" },
    { "debug line, swapped", [[input:log():enable("debug") assert(input:open(dir .. "swapped.pcap") == 0)
        assert(input.obj.is_swapped == 1 and input.obj.is_nanosec == 1 and input.obj.linktype == 12)]],
        0, "^" .. M .. "debug: pcap v2%.4 snaplen:1500  swapped\n$" },
    { "header only, run", [[input:open(dir .. "header.pcap") local r, n = count_run() assert(r == 0 and n == 0)
        assert(input:packets() == 0)]], 0, "^$" },
    { "header only, pull", [[input:open(dir .. "header.pcap") assert(count_pull() == 0)]], 0, "^$" },
    { "empty last frame", [[input:open(dir .. "zero_last.pcap") local r, n = count_run() assert(r == 0 and n == 4)]],
        0, "^$" },
    { "empty last frame, pull", [[input:open(dir .. "zero_last.pcap") local n, produce, ctx = count_pull()
        assert(n == 4 and produce(ctx) == nil and input:packets() == 4)]], 0, "^$" },
    { "cut in a record header, run", [[input:open(dir .. "cut_header.pcap") local r, n = count_run()
        assert(r == -1 and n == 100 and input:packets() == 100)]],
        0, "^" .. M .. "warning: could not read next PCAP header, aborting\n$" },
    { "cut in a record header, pull", [[input:open(dir .. "cut_header.pcap") local n, produce, ctx = count_pull()
        assert(n == 100 and input.obj.is_broken == 1) assert(produce(ctx) == nil)]],
        0, "^" .. M .. "warning: could not read next PCAP header, aborting\n" .. M ..
        "warning: PCAP is broken, will not read next packet\n$" },
    { "cut in frame data", [[input:open(dir .. "cut_data.pcap") local r, n = count_run() assert(r == -1 and n == 100)]],
        0, "^" .. M .. "warning: could not read all of packet, aborting\n$" },
    { "frame above snaplen", [[input:open(os.getenv("TEST_FIXTURE_DIR") .. "/captures/too_long.pcap")
        local r, n = count_run() assert(r == -1 and n == 2)]],
        0, "^" .. M .. "warning: invalid packet length, larger then snaplen\n$" },
}, prelude)

-- Misuse ends the process.
local F = M .. "fatal: "
sub.expect_all({
    { "run unopened", [[input:receiver({ receive = function() return nil, nil end }) input:run()]],
        1, F .. "no PCAP opened\n$" },
    { "produce unopened", [[input:produce()]], 1, F .. "no PCAP opened\n$" },
    { "run after a rejected header", [[input:open(dir .. "badmagic.pcap") count_run()]],
        1, "critical: invalid PCAP header\n" .. F .. "no PCAP opened\n$" },
    { "run without receiver", [[input:open(dir .. "small.pcap") input:run()]], 1, F .. "no receiver set\n$" },
    { "open nil", [[input:open(nil)]], 1, F .. "file is nil\n$" },
    { "open twice", [[input:open(dir .. "small.pcap") input:open(dir .. "small.pcap")]], 1, F .. "already opened\n$" },
    { "open after a mapping failure", [[input:open("empty.pcap") input:open(dir .. "small.pcap")]],
        1, "error EINVAL\n" .. F .. "already opened\n$" },
    { "open after a rejected header", [[input:open(dir .. "badversion.pcap") input:open(dir .. "small.pcap")]],
        1, F .. "already opened\n$" },
    { "null record", [[ffi.C.input_mmpcap_run(nil)]], 1, "^input%.mmpcap fatal: self is nil\n$" },
}, prelude)
print("mmpcap cases pass")
