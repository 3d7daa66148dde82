-- Capture readers side by side: opens any of them on a file and digests
-- every record it delivers (stamps, lengths, link type, flags and a hash of
-- the bytes), in push (run) or pull (producer) use, so that tests can check
-- that two readers deliver the same frames.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local readers = require("readers")
--   local reader, result = readers.open("zmmpcap", "file.pcap.zst", "zstd")
--   local digest = readers.pull(reader)      -- digest.lines, digest.places
local ffi = require("ffi")
local bit = require("bit")
require("tarvex.core.objects")

local readers = {}

local classes = {
    fpcap = require("tarvex.input.fpcap"),
    mmpcap = require("tarvex.input.mmpcap"),
    zpcap = require("tarvex.input.zpcap"),
    zmmpcap = require("tarvex.input.zmmpcap"),
    fpcapng = require("tarvex.input.fpcapng"),
    mmpcapng = require("tarvex.input.mmpcapng"),
    zpcapng = require("tarvex.input.zpcapng"),
    zmmpcapng = require("tarvex.input.zmmpcapng"),
}

-- File extensions of the compressed fixtures and the kind method for each.
readers.kinds = { { ext = "lz4", kind = "lz4" }, { ext = "zst", kind = "zstd" }, { ext = "gz", kind = "gzip" },
    { ext = "xz", kind = "lzma" } }

readers.dir = os.getenv("TEST_FIXTURE_DIR") .. "/compressed/"

function readers.check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

-- A new reader of the class `name`, the compression `kind` chosen (for the
-- compressed readers), opened on `path`; returns the reader and open's result.
function readers.open(name, path, kind)
    local reader = classes[name].new()
    if kind then
        reader[kind](reader)
    end
    return reader, reader:open(path)
end

-- FNV-1a over the frame bytes.
local function hash(bytes, len)
    local h = -2128831035
    for i = 0, len - 1 do
        h = bit.bxor(h, bytes[i])
        -- h * 16777619 without losing bits: 16777619 = 2^24 + 403.
        h = bit.tobit(bit.lshift(h, 24) + h * 403)
    end
    return h
end
readers.hash = hash

-- Where the record's bytes lie: "out" (the decompressed output buffer),
-- "buf" (the frame buffer), "map" (the mapping of the mmpcap reader) or
-- "other".
local function place(reader, bytes, caplen)
    local obj = reader.obj
    local at = ffi.cast("uintptr_t", bytes)
    local function inside(start, size)
        if start == nil then
            return false
        end
        local first = ffi.cast("uintptr_t", start)
        return at >= first and at + caplen <= first + size
    end
    if ffi.istype("input_mmpcap_t", obj) then
        return inside(obj.buf, obj.len) and "map" or "other"
    end
    if ffi.istype("input_mmpcapng_t", obj) then
        return inside(obj.map, obj.len) and "map" or "other"
    end
    if (ffi.istype("input_zpcap_t", obj) or ffi.istype("input_zmmpcap_t", obj) or ffi.istype("input_zpcapng_t", obj)
            or ffi.istype("input_zmmpcapng_t", obj)) and inside(obj.out, obj.out_size) then
        return "out"
    end
    if ffi.istype("input_fpcapng_t", obj) or ffi.istype("input_zpcapng_t", obj)
            or ffi.istype("input_zmmpcapng_t", obj) then
        return inside(obj.buf, obj.buf_size) and "buf" or "other"
    end
    if inside(obj.buf, obj.snaplen) then
        return "buf"
    end
    return "other"
end

readers.place = place

local function line(pcap)
    return string.format("%d.%d caplen=%d len=%d linktype=%d snaplen=%d swapped=%d type=%d prev=%s hash=%08x",
        tonumber(pcap.ts.sec), tonumber(pcap.ts.nsec), pcap.caplen, pcap.len, pcap.linktype, pcap.snaplen,
        pcap.is_swapped, pcap.obj_type, tostring(pcap.obj_prev == nil), hash(pcap.bytes, pcap.caplen) % 2 ^ 32)
end

local function new_digest()
    return { lines = {}, places = { out = 0, buf = 0, map = 0, other = 0 }, kept = {} }
end

local function add(digest, reader, pcap)
    digest.lines[#digest.lines + 1] = line(pcap)
    local where = place(reader, pcap.bytes, pcap.caplen)
    digest.places[where] = digest.places[where] + 1
    digest.kept[#digest.kept + 1] = { bytes = pcap.bytes, caplen = pcap.caplen }
end

-- Every record the producer hands out; `digest.last` is the value that ended
-- the loop (always nil), `digest.result` nil.
function readers.pull(reader)
    local digest = new_digest()
    local produce, ctx = reader:produce()
    while true do
        local obj = produce(ctx)
        if obj == nil then
            break
        end
        add(digest, reader, obj:cast())
    end
    return digest
end

-- Every record run() pushes; `digest.result` is run's result.
function readers.push(reader)
    local digest = new_digest()
    local callback = ffi.cast("core_receiver_t", function(_, obj)
        add(digest, reader, obj:cast())
    end)
    reader:receiver({ receive = function() return callback, nil end })
    digest.result = reader:run()
    callback:free()
    return digest
end

-- Fails unless the two digests hold the same records in the same order.
function readers.same(got, want, what)
    readers.check(#got.lines == #want.lines, "%s: %d records, expected %d", what, #got.lines, #want.lines)
    for i = 1, #want.lines do
        readers.check(got.lines[i] == want.lines[i], "%s: record %d is\n  %s\nexpected\n  %s", what, i, got.lines[i],
            want.lines[i])
    end
end

-- The digest of the uncompressed capture NAME.pcap as the stdio reader reads it.
local references = {}
function readers.reference(name)
    if not references[name] then
        local reader, result = readers.open("fpcap", readers.dir .. name .. ".pcap")
        readers.check(result == 0, "fpcap cannot open %s.pcap", name)
        references[name] = readers.pull(reader)
    end
    return references[name]
end

-- Checks both uses of a reader made by `make()` against the reference.
function readers.both_match(make, reference, what)
    local reader = make()
    readers.same(readers.pull(reader), reference, what .. " (pull)")
    reader = make()
    local pushed = readers.push(reader)
    readers.check(pushed.result == 0, "%s (run): result %d", what, pushed.result)
    readers.same(pushed, reference, what .. " (run)")
    readers.check(reader:packets() == #reference.lines, "%s: packets() %d", what, reader:packets())
    return pushed
end

return readers
