-- Corrupt compressed data and every misuse of the compressed readers end the
-- process with their message, one process per case.
-- fixtures: compressed
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = [[
local ffi = require("ffi")
require("tarvex.core.objects")
local dir = os.getenv("TEST_FIXTURE_DIR") .. "/compressed/"
local function drain(input)
    local produce, ctx = input:produce()
    while produce(ctx) ~= nil do end
end
local function sink()
    return { receive = function() return ffi.cast("core_receiver_t", function() end), nil end }
end
]]

sub.write("empty.bin", "")

local cases = {}
local function fatal(name, script, pattern)
    cases[#cases + 1] = { name, script, 1, pattern }
end

-- The library's own message for corrupt data: a bad frame magic, a failed
-- integrity check, bytes after the last frame that are not a frame.
local corrupt = {
    lz4 = { "lz4", { badmagic = "LZ4F_decompress%(%) failed: ERROR_frameType_unknown",
        badcheck = "LZ4F_decompress%(%) failed: ERROR_contentChecksum_invalid",
        tail = "LZ4F_decompress%(%) failed: ERROR_frameType_unknown" } },
    zst = { "zstd", { badmagic = "ZSTD_decompressStream%(%) failed: Unknown frame descriptor",
        badcheck = "ZSTD_decompressStream%(%) failed: Restored data doesn't match checksum",
        tail = "ZSTD_decompressStream%(%) failed: Unknown frame descriptor" } },
    xz = { "lzma", { badmagic = "lzma_code%(%) failed: 7", badcheck = "lzma_code%(%) failed: 9",
        tail = "lzma_code%(%) failed: %d+" } },
}
for _, reader in ipairs({ "zpcap", "zmmpcap" }) do
    local F = "input%." .. reader .. "%[0x%x+%] fatal: "
    local new = string.format("local input = require('tarvex.input.%s').new()\n", reader)
    for ext, kind in pairs(corrupt) do
        for variant, message in pairs(kind[2]) do
            for _, use in ipairs({ "drain(input)", "input:receiver(sink()) input:run()" }) do
                fatal(reader .. " " .. variant .. "." .. ext .. " " .. use,
                    new .. string.format("input:%s() input:open(dir .. 'small.%s.%s') %s", kind[1], variant, ext, use),
                    F .. message .. "\n$")
            end
        end
    end
    fatal(reader .. " gzip with a bad check", new .. "input:gzip() input:open(dir .. 'small.badcheck.gz') drain(input)",
        F .. (reader == "zpcap" and "gzfread%(%) failed: %-3: incorrect data check" or
            "inflate%(%) failed: %-3: incorrect data check") .. "\n$")

    fatal(reader .. " run unopened", new .. "input:lz4() input:receiver(sink()) input:run()", F .. "no PCAP opened\n$")
    fatal(reader .. " produce unopened", new .. "input:produce()", F .. "no PCAP opened\n$")
    fatal(reader .. " run after no kind", new .. "input:open(dir .. 'small.pcap.lz4') input:receiver(sink()) input:run()",
        "no support for selected compression\n" .. F .. "no PCAP opened\n$")
    fatal(reader .. " produce after a rejected header", new .. "input:lz4() input:open(dir .. 'badmagic.pcap.lz4') input:produce()",
        "invalid PCAP header\n" .. F .. "no PCAP opened\n$")
    fatal(reader .. " run without receiver", new .. "input:lzma() input:open(dir .. 'small.pcap.xz') input:run()",
        F .. "no receiver set\n$")
    fatal(reader .. " open nil", new .. "input:zstd() input:open(nil)", F .. "file is nil\n$")
    fatal(reader .. " open twice", new .. "input:zstd() input:open(dir .. 'small.pcap.zst') input:open(dir .. 'small.pcap.zst')",
        F .. "already opened\n$")
    fatal(reader .. " open after no kind", new .. "input:open(dir .. 'small.pcap.zst') input:zstd() input:open(dir .. 'small.pcap.zst')",
        "no support for selected compression\n" .. F .. "already opened\n$")
    fatal(reader .. " null record", string.format("require('tarvex.input.%s') ffi.C.input_%s_run(nil)", reader, reader),
        "^input%." .. reader .. " fatal: self is nil\n$")
end
local Z = "input%.zpcap%[0x%x+%] fatal: "
fatal("zpcap openfp after open", "local input = require('tarvex.input.zpcap').new() input:gzip()"
    .. " input:open(dir .. 'small.pcap.gz') input:openfp(io.stdin)", Z .. "already opened\n$")
fatal("zpcap openfp nil", "local input = require('tarvex.input.zpcap').new() input:gzip() ffi.C.input_zpcap_openfp(input.obj, nil)",
    Z .. "fp is nil\n$")
fatal("zmmpcap open after a mapping failure", "local input = require('tarvex.input.zmmpcap').new() input:lz4()"
    .. " input:open('empty.bin') input:open(dir .. 'small.pcap.lz4')",
    "error EINVAL\ninput%.zmmpcap%[0x%x+%] fatal: already opened\n$")

sub.expect_all(cases, prelude)
print(#cases .. " fatal cases pass")
