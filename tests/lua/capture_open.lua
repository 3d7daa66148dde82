-- tarvex.input.capture on every format and compression: PCAP (both byte
-- orders) and pcapng (one and several interfaces), plain, lz4, zstd, gzip and
-- xz, from a path (a regular file goes to a mapping reader, a FIFO to a
-- stdio reader) and from standard input ("cat FILE | tarvex script.lua -"),
-- gives the records of the plain file as its own reader reads them; a file
-- that is no capture, an empty one, a missing one each give one line.
-- fixtures: pcapng
-- timeout: 300
-- expect-stdout: ^\d+ openings match$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ng = require("pcapng")
local readers = require("readers")
local sub = require("subprocess")
local Capture = require("tarvex.input.capture")
local ffi = require("ffi")
ffi.cdef [[ int mkfifo(const char* path, unsigned int mode); ]]
local check, dir = ng.check, ng.dir
local tarvex = arg[0]
local dump = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/capture_dump.lua"

-- name, format, its plain reader, the link type
local files = {
    { "eth_usec.pcap", "pcap", "pcap", 1 },
    { "be.pcap", "pcap", "pcap", 1 },
    { "raw.pcap", "pcap", "pcap", 12 },
    { "be.pcapng", "pcapng", "pcapng", 1 },
    { "mixed.pcapng", "pcapng", "pcapng", 1 },
}
if ng.exists(dir .. "merged.pcapng") then
    files[#files + 1] = { "merged.pcapng", "pcapng", "pcapng", 1 }
end
local compressions = { { "", "none" }, { ".lz4", "lz4" }, { ".zst", "zstd" }, { ".gz", "gzip" }, { ".xz", "lzma" } }

-- What capture_dump.lua prints for a file read by `reader`.
local function expected(file, format, compression, reader, linktype)
    local plain = readers.open("mm" .. format, dir .. file)
    local lines = ng.listing(plain, "pull")
    local out = { string.format("%s\t%s\t%s\t%d", format, compression, reader, linktype) }
    for _, line in ipairs(lines) do
        out[#out + 1] = line
    end
    out[#out + 1] = string.format("end\t0\t%d", #lines)
    return table.concat(out, "\n") .. "\n"
end

local function shell(command)
    local status = os.execute(command .. " >dump.out 2>dump.err")
    return status >= 256 and math.floor(status / 256) or status, sub.read("dump.out"), sub.read("dump.err")
end

local count = 0
for _, entry in ipairs(files) do
    local file, format, base, linktype = entry[1], entry[2], entry[3], entry[4]
    for _, compression in ipairs(compressions) do
        local path = dir .. file .. compression[1]
        local kind = compression[2]
        local z = kind ~= "none" and "z" or ""
        -- From a path, in process: a regular file is mapped.
        local input = assert(Capture.open(path))
        local mapped = z .. "mm" .. base
        check(input:format() == format and input:compression() == kind and input:reader_name() == mapped,
            "%s: %s %s %s", path, input:format(), input:compression(), input:reader_name())
        local want = expected(file, format, kind, mapped, linktype)
        for _, use in ipairs({ "run", "pull" }) do
            local code, out, err = shell(string.format("%s %s %s %s", tarvex, dump, path, use))
            check(code == 0 and err == "", "%s %s: exit %d %s", path, use, code, err)
            check(out == want, "%s %s: records differ", path, use)
            count = count + 1
        end
        -- From standard input and from a FIFO: the stdio readers.
        local streamed = z .. (z == "" and "f" or "") .. base
        want = expected(file, format, kind, streamed, linktype)
        local code, out, err = shell(string.format("cat %s | %s %s -", path, tarvex, dump))
        check(code == 0 and err == "", "stdin %s: exit %d %s", path, code, err)
        check(out == want, "stdin %s: records differ:\n%s", path, out:sub(1, 300))
        os.remove("capture.fifo")
        check(ffi.C.mkfifo("capture.fifo", tonumber("600", 8)) == 0, "mkfifo")
        code, out, err = shell(string.format("(cat %s > capture.fifo &) ; %s %s capture.fifo", path, tarvex, dump))
        check(code == 0 and err == "", "fifo %s: exit %d %s", path, code, err)
        check(out == want, "fifo %s: records differ", path)
        -- Standard input redirected from the file is a regular file, read on
        -- from where the probe left it.
        code, out, err = shell(string.format("%s %s - < %s", tarvex, dump, path))
        check(code == 0 and out == want, "stdin < %s: exit %d %s", path, code, err)
        count = count + 3
    end
end

-- Files that are no capture: one line each, from a path and from stdin.
sub.write("notes.txt", "these are not packets\n")
sub.write("empty.bin", "")
sub.write("short.bin", "\212\195")
local refused = {
    { "notes.txt", "notes.txt: not a capture file (PCAP, pcapng or dnstap, plain or lz4/zstd/gzip/xz)" },
    { "empty.bin", "empty.bin: not a capture file (PCAP, pcapng or dnstap, plain or lz4/zstd/gzip/xz)" },
    { "short.bin", "short.bin: not a capture file (PCAP, pcapng or dnstap, plain or lz4/zstd/gzip/xz)" },
    { "missing.pcap", "missing.pcap: cannot open (ENOENT)" },
}
for _, case in ipairs(refused) do
    local code, out, err = shell(string.format("%s %s %s", tarvex, dump, case[1]))
    check(code == 1 and out == "" and err == case[2] .. "\n", "%s: exit %d, stderr %q", case[1], code, err)
    count = count + 1
end
local code, _, err = shell(string.format("cat notes.txt | %s %s -", tarvex, dump))
check(code == 1 and err == "-: not a capture file (PCAP, pcapng or dnstap, plain or lz4/zstd/gzip/xz)\n", "stdin: %q", err)
-- A compressed file holding neither format.
shell("gzip -c notes.txt > notes.txt.gz")
code, _, err = shell(string.format("cat notes.txt.gz | %s %s -", tarvex, dump))
check(code == 1 and err:find("not a capture file", 1, true), "gzip of text: %q", err)
print(string.format("%d openings match", count + 2))
