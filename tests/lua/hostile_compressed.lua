-- Both compressed readers, every kind, on damaged and odd input: whole
-- compressed files of a capture cut after every byte of its file header and
-- first three records (a decompressed stream that ends there), compressed
-- files that are themselves cut, frames longer than the data or the snaplen,
-- snaplen 0 and 0xffffffff, a directory, /dev/null and FIFOs. Every case ends
-- with its result and message, in run and in pull use, in this process;
-- compressed data that is corrupt ends the process, one child per case.
-- fixtures: hostile
-- timeout: 120
-- expect-stdout: ^compressed: \d+ hostile cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local hostile = require("hostile")
local sub = require("subprocess")
local check = hostile.check

local names = { "zpcap", "zmmpcap" }
local count = 0

for _, name in ipairs(names) do
    for _, k in ipairs(hostile.kinds) do
        count = count + hostile.check_cuts(name, k.kind, { "native" }, "." .. k.ext)
        for _, case in ipairs(hostile.odd_cases(name)) do
            local path = hostile.path(case.file .. "." .. k.ext)
            hostile.check_case(name, path, k.kind, case, hostile.reference(case.file))
            count = count + 1
        end
    end
end

-- Compressed files cut short: what can be decoded is read as a capture cut
-- there, never as corrupt data. Where a decoder is at hand to say how far
-- the decoded bytes reach, the end is exact; elsewhere the frames must be
-- the first ones of the capture, ending as a cut capture ends, and both
-- readers must agree.
local failures = { header = hostile.failure.header, data = hostile.failure.data }
local reference = hostile.reference("big.pcap")
local extensions = {}
for _, k in ipairs(hostile.kinds) do
    extensions[k.ext] = k.kind
end
-- True when a reading ends as some cut of the capture ends: refused for want
-- of a whole file header, or after its frames at a record boundary, inside a
-- record header or inside frame data.
local function ends_as_a_cut(got, name, use)
    local log = table.concat(got.log, "\n")
    if got.open ~= 0 then
        return got.open == -2 and log == hostile.refused(name, -2, "could not read full PCAP header").log[1]
    end
    for _, failure in ipairs({ false, failures.header, failures.data }) do
        local want = hostile.expect(name, #got.frames, failure or nil, use)
        if log == table.concat(want.log, "\n") and got.result == want.result then
            return true
        end
    end
    return false
end
for line in io.lines(hostile.path("zcut.txt")) do
    local ext, length, frames, ending = line:match("^(%S+) (%d+) (%S+) (%S+)$")
    local path = hostile.path(string.format("zcut/big.%s.%s", length, ext))
    for _, use in ipairs(hostile.uses) do
        local seen = {}
        for _, name in ipairs(names) do
            local got = hostile.read(name, path, extensions[ext], use)
            local what = string.format("%s %s %s", name, path, use)
            local want
            if length == "0" and name == "zmmpcap" then
                want = hostile.refused(name, -1, string.format("mmap(%s) error EINVAL", path))
            elseif ending == "file" then
                want = hostile.refused(name, -2, "could not read full PCAP header")
            elseif ending ~= "?" then
                want = hostile.expect(name, tonumber(frames), failures[ending], use)
            end
            if want then
                hostile.same(got, want, reference, what)
            else
                check(ends_as_a_cut(got, name, use), "%s: open %d, result %s, log: %s", what, got.open,
                    tostring(got.result), table.concat(got.log, " | "))
                if got.open == 0 then
                    hostile.prefix(got, reference, what)
                end
            end
            local log = table.concat(got.log, "\n"):gsub("input%.%w+ ", "")
            seen[#seen + 1] = string.format("%d %s %s %s", got.open, tostring(got.result),
                tostring(got.frames and #got.frames), log)
            count = count + 1
        end
        check(seen[1] == seen[2] or length == "0", "%s %s: the readers differ:\n%s\n%s", path, use, seen[1], seen[2])
    end
end

-- Things that are not compressed files: nothing to decode, or nothing to map.
local directory = hostile.directory("a_directory")
local header = { open = -2, message = "could not read full PCAP header" }
for _, k in ipairs(hostile.kinds) do
    for _, path in ipairs({ directory, "/dev/null" }) do
        hostile.check_case("zpcap", path, k.kind, header)
    end
    hostile.check_case("zmmpcap", directory, k.kind, { open = -1, message = "mmap(" .. directory .. ") error ENODEV" })
    hostile.check_case("zmmpcap", "/dev/null", k.kind, { open = -1, message = "mmap(/dev/null) error EINVAL" })
    -- A FIFO cannot be mapped: refused at once, without waiting for a writer.
    local fifo = hostile.fifo("unmapped.fifo")
    hostile.check_case("zmmpcap", fifo, k.kind, { open = -1, message = "mmap(" .. fifo .. ") error EINVAL" })
    count = count + 5

    -- The stdio reader waits for a FIFO's writer and decodes all it writes;
    -- a writer that writes nothing gives no header, not a wait.
    for _, use in ipairs(hostile.uses) do
        hostile.writer(hostile.fifo("capture.fifo"), hostile.path("native.pcap." .. k.ext))
        hostile.same(hostile.read("zpcap", "capture.fifo", k.kind, use), hostile.expect("zpcap", 4, nil, use),
            hostile.reference("native.pcap"), "zpcap FIFO " .. k.ext .. " " .. use)
    end
    hostile.writer(hostile.fifo("empty.fifo"))
    hostile.same(hostile.read("zpcap", "empty.fifo", k.kind, "run"), hostile.refused("zpcap", -2, header.message), {},
        "zpcap FIFO, nothing written, " .. k.ext)
    count = count + 3
end

-- A byte changed in the middle of the compressed data: the decoder's
-- integrity check or its own checks find it, and that is fatal.
local messages = {
    lz4 = "LZ4F_decompress%(%) failed: ", zst = "ZSTD_decompressStream%(%) failed: ",
    xz = "lzma_code%(%) failed: %d+",
}
local cases = {}
for _, name in ipairs(names) do
    for _, k in ipairs(hostile.kinds) do
        local message = messages[k.ext] or (name == "zpcap" and "gzfread%(%) failed: " or "inflate%(%) failed: ")
        cases[#cases + 1] = { name .. " flipped " .. k.ext,
            string.format("local input = require('tarvex.input.%s').new() input:%s() assert(input:open(%q) == 0)"
                .. " local produce, ctx = input:produce() while produce(ctx) ~= nil do end",
                name, k.kind, hostile.path("zflip/big." .. k.ext)),
            1, "^input%." .. name .. "%[0x%x+%] fatal: " .. message .. "[^\n]*\n$" }
    end
end
sub.expect_all(cases)
count = count + #cases

print(string.format("compressed: %d hostile cases pass", count))
