-- Both compressed readers, every compression kind: each capture comes out
-- frame for frame as the stdio reader reads the uncompressed file (stamps,
-- lengths, link type, flags, bytes), in push and pull use; small frames are
-- handed out in place, frames that straddle a refill are assembled.
-- fixtures: compressed
-- timeout: 300
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local readers = require("readers")
local check = readers.check
local dir = readers.dir

local function opener(reader, path, kind)
    return function()
        local input, result = readers.open(reader, path, kind)
        check(result == 0, "%s %s: open gave %d", reader, path, result)
        return input
    end
end

local captures = { "small", "large", "jumbo", "swapped", "zero_last", "header" }
local concatenated = { small = true, large = true, jumbo = true }

for _, reader in ipairs({ "zpcap", "zmmpcap" }) do
    for _, kind in ipairs(readers.kinds) do
        for _, name in ipairs(captures) do
            local reference = readers.reference(name)
            local files = { name .. ".pcap." .. kind.ext }
            if concatenated[name] then
                files[#files + 1] = name .. ".concat." .. kind.ext
            end
            for _, file in ipairs(files) do
                local what = reader .. " " .. file
                local pushed = readers.both_match(opener(reader, dir .. file, kind.kind), reference, what)
                local places = pushed.places
                check(places.other == 0, "%s: %d records outside the reader's buffers", what, places.other)
                if reader == "zpcap" and kind.kind == "gzip" then
                    -- The gz file interface always copies into the frame buffer.
                    check(places.out == 0, "%s: gz records in place", what)
                elseif name == "small" then
                    check(places.buf > 0 and places.out > 50 * places.buf,
                        "%s: %d records in place, %d assembled", what, places.out, places.buf)
                end
            end
        end
    end

    -- Other encodings of the same data: LZ4 blocks that refer back to earlier
    -- blocks, and a zlib stream (the mapping reader detects the header).
    for _, name in ipairs({ "small", "large", "jumbo" }) do
        local reference = readers.reference(name)
        readers.both_match(opener(reader, dir .. name .. ".linked.lz4", "lz4"), reference,
            reader .. " " .. name .. ".linked.lz4")
        if reader == "zmmpcap" then
            readers.both_match(opener(reader, dir .. name .. ".pcap.zlib", "gzip"), reference,
                reader .. " " .. name .. ".pcap.zlib")
        end
    end

    -- A gzip file followed by bytes that are not a gzip member: those are
    -- ignored, as gzip -d ignores them.
    readers.both_match(opener(reader, dir .. "small.garbage.gz", "gzip"), readers.reference("small"),
        reader .. " small.garbage.gz")
end

-- Frames larger than zstd's output buffer cannot lie in it: they come from
-- the frame buffer.
for _, reader in ipairs({ "zpcap", "zmmpcap" }) do
    local input = opener(reader, dir .. "jumbo.pcap.zst", "zstd")()
    local out_size = tonumber(input.obj.out_size)
    local produce, ctx = input:produce()
    while true do
        local obj = produce(ctx)
        if obj == nil then
            break
        end
        local pcap = obj:cast()
        if pcap.caplen > out_size then
            check(pcap.bytes == input.obj.buf, "%s: a %d-byte frame not in the frame buffer", reader, pcap.caplen)
        end
    end
end

-- A snaplen above 262144: the mapping reader takes it (and frames up to it),
-- the stdio reader refuses it (see compressed_open.lua).
local mapped = { lines = nil }
for _, kind in ipairs(readers.kinds) do
    local input = opener("zmmpcap", dir .. "bigsnap.pcap." .. kind.ext, kind.kind)()
    check(input.obj.snaplen == 1000000, "bigsnap snaplen %d", input.obj.snaplen)
    local digest = readers.pull(input)
    check(#digest.lines == 2, "bigsnap %s: %d records", kind.ext, #digest.lines)
    check(digest.lines[1]:find("caplen=300000 ", 1, true), "bigsnap %s: %s", kind.ext, digest.lines[1])
    mapped.lines = mapped.lines or digest.lines
    readers.same(digest, mapped, "bigsnap " .. kind.ext)
end
print("compressed readers deliver every capture as the stdio reader does")
