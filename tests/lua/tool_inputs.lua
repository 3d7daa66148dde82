-- Every tool opens captures by their content: the same packets as pcapng,
-- compressed, or through standard input give the same report as the plain
-- PCAP file, and a file that is no capture is one line.
-- fixtures: examples
-- expect-stdout: ^tool input cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

for _, tool in ipairs({ "editcap", "zstd", "gzip", "xz", "lz4" }) do
    if os.execute("command -v " .. tool .. " >/dev/null") ~= 0 then
        print(tool .. " is not installed")
        os.exit(77)
    end
end

local original = os.getenv("TEST_FIXTURE_DIR") .. "/examples/qstats.pcap"
assert(os.execute("cp " .. original .. " plain.pcap && editcap -F pcapng plain.pcap ng.pcapng" ..
    " && zstd -q ng.pcapng -o ng.pcapng.zst && gzip -c plain.pcap > plain.pcap.gz" ..
    " && xz -c ng.pcapng > ng.pcapng.xz && lz4 -q plain.pcap plain.pcap.lz4") == 0)

local function tarvex(args, stdin)
    -- The pipe inside parentheses: the runner points the command's own
    -- standard input at /dev/null.
    local command = arg[0] .. " " .. args
    local code, out, err = sub.run(stdin and ("(cat " .. stdin .. " | " .. command .. ")") or command)
    assert(code == 0 and err == "", string.format("%s: exit %d, stderr %q", args, code, err))
    return out
end

-- The report without the lines that name the file or time this run.
local function stable(out)
    return (out:gsub("^capture [^\n]*\n", ""):gsub("\nwall time [^\n]*\n", "\n"))
end

local want_stats = stable(tarvex("stats -r plain.pcap -n 5"))
local want_dump = tarvex("dump plain.pcap")
for _, path in ipairs({ "ng.pcapng", "ng.pcapng.zst", "plain.pcap.gz", "ng.pcapng.xz", "plain.pcap.lz4" }) do
    assert(stable(tarvex("stats -r " .. path .. " -n 5")) == want_stats, path .. ": stats differ")
    assert(stable(tarvex("stats -r - -n 5", path)) == want_stats, path .. " on stdin: stats differ")
    assert(tarvex("dump " .. path) == want_dump, path .. ": dump differs")
    assert(tarvex("dump -", path) == want_dump, path .. " on stdin: dump differs")
end

-- The DNS subset of a pcapng capture is a PCAP file with the same messages.
local kept = tarvex("filter ng.pcapng.zst kept.pcap")
assert(kept == tarvex("filter plain.pcap kept-plain.pcap"), "filter counts differ: " .. kept)
assert(sub.read("kept.pcap") == sub.read("kept-plain.pcap"), "filtered pcapng differs from filtered PCAP")

sub.write("notes.txt", "not a capture at all\n")
for _, case in ipairs({
    { "stats -r notes.txt", "^tarvex stats: notes%.txt: not a capture file %(PCAP, pcapng or dnstap, plain or lz4/zstd/gzip/xz%)\n$" },
    { "dump notes.txt", "^tarvex dump: notes%.txt: not a capture file " },
    { "replay -r -", "^tarvex replay: %-: not a capture file ", "notes.txt" },
    { "stats -r missing.pcap", "^tarvex stats: cannot read missing%.pcap: No such file or directory\n$" },
}) do
    local command = arg[0] .. " " .. case[1]
    local code, out, err = sub.run(case[3] and ("(cat " .. case[3] .. " | " .. command .. ")") or command)
    assert(code == 1 and out == "" and err:find(case[2]), string.format("%s: exit %d, stderr %q", case[1], code, err))
end
print("tool input cases pass")
