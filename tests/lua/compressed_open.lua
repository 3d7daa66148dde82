-- Both compressed readers, every kind: open results and their messages, the
-- ends of cut data (a cut inside a record header is an error, as in a cut
-- plain file), the kind methods and have_support, openfp. One process per case.
-- fixtures: compressed
-- timeout: 180
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local readers = require("readers")
local sub = require("subprocess")
local Zpcap = require("tarvex.input.zpcap")
local Zmmpcap = require("tarvex.input.zmmpcap")
local ffi = require("ffi")
local check = readers.check

-- Class-level facts, in this process.
for name, class in pairs({ zpcap = Zpcap, zmmpcap = Zmmpcap }) do
    check(ffi.string(class.log().name) == "input." .. name, "%s module log", name)
    local input = class.new()
    check(input:log().is_obj == 1 and ffi.string(input:log().name) == "input." .. name, "%s instance log", name)
    check(input.obj.compression == 0 and not input:have_support(), "%s: no kind chosen", name)
    check(input.obj.prod_pkt.obj_type == 1 and input:packets() == 0, "%s: initial record", name)
    for value, kind in ipairs({ "lz4", "zstd", "gzip", "lzma" }) do
        input[kind](input)
        check(input.obj.compression == value and input:have_support(), "%s:%s()", name, kind)
    end
    input.obj.compression = 5
    check(not input:have_support(), "%s: kind 5", name)
end
local mapped = Zmmpcap.new()
check(mapped.obj.fd == -1 and mapped.obj.map == ffi.cast("void*", -1), "zmmpcap initial fd and map")
check(ffi.C.input_zpcap_type_lzma == 4 and ffi.C.input_zmmpcap_type_none == 0, "kind numbers")

local prelude = [[
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local readers = require("readers")
require("tarvex.core.log").enable("warning")
local ffi = require("ffi")
local dir = readers.dir
local function count_run(input)
    local n = 0
    local cb = ffi.cast("core_receiver_t", function() n = n + 1 end)
    input:receiver({ receive = function() return cb, nil end })
    return input:run(), n
end
local function count_pull(input)
    local produce, ctx = input:produce()
    local n = 0
    while produce(ctx) ~= nil do n = n + 1 end
    return n, produce, ctx
end
]]

sub.write("empty.bin", "")

local cases = {}
local function case(name, script, pattern)
    cases[#cases + 1] = { name, script, 0, pattern }
end

for _, reader in ipairs({ "zpcap", "zmmpcap" }) do
    local M = "input%." .. reader .. "%[0x%x+%] "
    local function open(file, kind)
        return string.format("local input, result = readers.open(%q, dir .. %q, %q)\n", reader, file, kind)
    end
    case(reader .. " no kind", string.format([[local input = readers.open(%q, dir .. "small.pcap.zst")
        assert(select(2, readers.open(%q, dir .. "small.pcap.zst")) == -2) assert(not input:have_support())]],
        reader, reader), "^" .. M .. "critical: no support for selected compression\n" .. M ..
        "critical: no support for selected compression\n$")
    for _, k in ipairs(readers.kinds) do
        local tag = reader .. " " .. k.ext .. ": "
        case(tag .. "cut at a record boundary", open("cut_boundary.pcap." .. k.ext, k.kind) ..
            [[assert(result == 0) local r, n = count_run(input) assert(r == 0 and n == 100)]], "^$")
        case(tag .. "cut in a record header, run", open("cut_header.pcap." .. k.ext, k.kind) ..
            [[assert(result == 0) local r, n = count_run(input) assert(r == -1 and n == 100 and input:packets() == 100)]],
            "^" .. M .. "warning: could not read next PCAP header, aborting\n$")
        case(tag .. "cut in a record header, pull", open("cut_header.pcap." .. k.ext, k.kind) ..
            [[local n, produce, ctx = count_pull(input) assert(n == 100 and input.obj.is_broken == 1)
            assert(produce(ctx) == nil)]],
            "^" .. M .. "warning: could not read next PCAP header, aborting\n" .. M ..
            "warning: PCAP is broken, will not read next packet\n$")
        case(tag .. "cut in frame data", open("cut_data.pcap." .. k.ext, k.kind) ..
            [[local r, n = count_run(input) assert(r == -1 and n == 100)]],
            "^" .. M .. "warning: could not read all of packet, aborting\n$")
        -- A compressed file cut in the middle: what could be decoded comes
        -- out as it is in the whole file, then the data ends inside a record.
        case(tag .. "cut compressed file", open("large.trunc." .. k.ext, k.kind) ..
            [[assert(result == 0) local got = readers.push(input) local want = readers.reference("large")
            assert(got.result == -1 and #got.lines > 10 and #got.lines < #want.lines, #got.lines)
            for i = 1, #got.lines do assert(got.lines[i] == want.lines[i], i) end]],
            "^" .. M .. "warning: could not read .*, aborting\n$")
        case(tag .. "header only", open("header.pcap." .. k.ext, k.kind) ..
            [[assert(result == 0) local r, n = count_run(input) assert(r == 0 and n == 0)]], "^$")
        case(tag .. "header only, pull", open("header.pcap." .. k.ext, k.kind) ..
            [[assert(result == 0 and count_pull(input) == 0 and input:packets() == 0)]], "^$")
        case(tag .. "cut file header", open("cut_file_header.pcap." .. k.ext, k.kind) .. [[assert(result == -2)]],
            "^" .. M .. "critical: could not read full PCAP header\n$")
        case(tag .. "version 2.3", open("badversion.pcap." .. k.ext, k.kind) .. [[assert(result == -2)]],
            "^" .. M .. "critical: unsupported PCAP version v2%.3\n$")
        case(tag .. "bad PCAP magic", open("badmagic.pcap." .. k.ext, k.kind) .. [[assert(result == -2)]],
            "^" .. M .. "critical: invalid PCAP header\n$")
        case(tag .. "debug line", [[require("tarvex.core.log").enable("debug")]] .. open("swapped.pcap." .. k.ext, k.kind) ..
            [[assert(result == 0 and input.obj.is_swapped == 1 and input.obj.is_nanosec == 1)
            assert(input.obj.linktype == 12 and input.obj.network == 101 and input.obj.magic_number == 0x4d3cb2a1)]],
            "^" .. M .. "debug: pcap v2%.4 snaplen:1500  swapped\n$")
        if reader == "zpcap" then
            case(tag .. "snaplen 1000000", open("bigsnap.pcap." .. k.ext, k.kind) .. [[assert(result == -2)]],
                "^" .. M .. "critical: too large snaplen %(1000000%)\n$")
            -- The caller's stream stays open after the reader is collected.
            case(tag .. "openfp", string.format([[local file = assert(io.open(dir .. "small.pcap.%s", "rb"))
                local input = require("tarvex.input.zpcap").new() input:%s()
                assert(input:openfp(file) == 0) assert(input.obj.extern_file == 1)
                readers.same(readers.pull(input), readers.reference("small"), "openfp")
                input = nil collectgarbage() collectgarbage() assert(file:seek("set", 0) == 0)
                assert(#file:read(4) == 4) file:close()]], k.ext, k.kind), "^$")
        end
    end
end

-- The stdio reader's gzip kind reads a file that is not gzip as it is (the
-- gz file interface's transparent mode); its buffers are those of the gz
-- handle, so `in` and `out` stay unset.
case("zpcap gzip on an uncompressed file", [[local input, result = readers.open("zpcap", dir .. "small.pcap", "gzip")
    assert(result == 0 and input.obj["in"] == nil and input.obj.out == nil)
    readers.same(readers.pull(input), readers.reference("small"), "plain through gz")]], "^$")
case("zpcap buffer sizes", [[for kind, sizes in pairs({ lz4 = { 262144, 262144 }, lzma = { 1024, 262144 } }) do
    local input, result = readers.open("zpcap", dir .. "small.pcap." .. (kind == "lz4" and "lz4" or "xz"), kind)
    assert(result == 0 and input.obj.in_size == sizes[1] and input.obj.out_size == sizes[2], kind) end]], "^$")
case("zpcap missing file", [[local input, result = readers.open("zpcap", "missing.pcap.gz", "gzip")
    assert(result == -1 and input.obj.file == nil)]],
    "^input%.zpcap%[0x%x+%] critical: fopen%(missing%.pcap%.gz%) error: ENOENT\n$")
case("zpcap gz handle fails", [[ffi.cdef "int close(int fd); int fileno(void* stream);"
    local file = assert(io.open(dir .. "small.pcap.gz", "rb"))
    local fp = require("tarvex.core.compat").file_pointer(file)
    local fd = ffi.C.fileno(fp) ffi.C.close(fd)
    local input = require("tarvex.input.zpcap").new() input:gzip()
    assert(input:openfp(file) == -1)]], "^input%.zpcap%[0x%x+%] critical: gzdopen%(%-1%) error: EBADF\n$")
case("zmmpcap missing file, then a good one", [[local input = require("tarvex.input.zmmpcap").new() input:zstd()
    assert(input:open("missing.pcap.zst") == -1 and input.obj.fd == -1)
    assert(input:open(dir .. "small.pcap.zst") == 0)
    readers.same(readers.pull(input), readers.reference("small"), "second open")]],
    "^input%.zmmpcap%[0x%x+%] critical: open%(missing%.pcap%.zst%) error ENOENT\n$")
case("zmmpcap mapping failure", [[local input, result = readers.open("zmmpcap", "empty.bin", "lz4")
    assert(result == -1 and input.obj.fd >= 0)]], "^input%.zmmpcap%[0x%x+%] critical: mmap%(empty%.bin%) error EINVAL\n$")
case("zmmpcap buffer sizes", [[local zstd = readers.open("zmmpcap", dir .. "small.pcap.zst", "zstd")
    local lz4 = readers.open("zmmpcap", dir .. "small.pcap.lz4", "lz4")
    assert(lz4.obj.out_size == 262144 and zstd.obj.out_size > 0 and zstd.obj.out_size ~= 262144)
    assert(lz4.obj.len > 0 and zstd.obj.map ~= nil)]], "^$")

sub.expect_all(cases, prelude)

-- The stdio reader on a pipe: standard input handed in with openfp.
sub.write("from_stdin.lua", prelude .. [=[
local input = require("tarvex.input.zpcap").new()
input[arg[2]](input)
assert(input:openfp(io.stdin) == 0)
readers.same(readers.push(input), readers.reference("large"), "from a pipe")
print("pipe ok")
]=])
for _, k in ipairs(readers.kinds) do
    local code, out, err = sub.run(string.format("(cat %slarge.pcap.%s | %s from_stdin.lua %s)", readers.dir, k.ext, arg[0],
        k.kind))
    check(code == 0 and out == "pipe ok\n", "zpcap %s from a pipe: exit %d, stderr %s", k.ext, code, err)
end
print(#cases .. " compressed open and end cases pass")
