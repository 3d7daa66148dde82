-- Every tool takes its options the same way: -h prints the usage, a bad
-- option, a bad value or a missing file is one line "tarvex TOOL: ..." on
-- stderr (never a traceback) with exit status 1, --opt=value is --opt value,
-- short flags combine, and help TOOL is TOOL -h.
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local function escape(text)
    return (text:gsub("%p", "%%%0"))
end

local function run(tool, args)
    return sub.run(string.format("%s %s %s", arg[0], tool, args))
end

-- The tools help lists, those added later too.
local code, listing = sub.run(arg[0] .. " --help")
assert(code == 0, "--help: exit " .. code)
local tools = {}
for name in listing:match("\ntools:\n(.-)\n\n"):gmatch("  (%S+) +[^\n]+") do
    tools[#tools + 1] = name
end
assert(#tools >= 7, "tools listed: " .. #tools)
for _, tool in ipairs(tools) do
    local code, out, err = run(tool, "-h")
    assert(code == 0 and err == "", string.format("%s -h: exit %d, stderr %q", tool, code, err))
    assert(out:find("^usage: tarvex " .. tool .. " [^\n]+\n[^\n]+%.\n") and
        out:find("\n  %-q, %-%-quiet +[^\n]+\n") and out:find("\n  %-v, %-%-verbose +[^\n]+\n") and
        out:find("\n  %-h, %-%-help +[^\n]+\n$"), tool .. " -h: " .. out)
    local help_code, help_out = sub.run(string.format("%s help %s", arg[0], tool))
    assert(help_code == 0 and help_out == out, tool .. ": help TOOL differs from TOOL -h")
    for _, bogus in ipairs({ "--no-such-option", "-Z", "--no-such-option=1" }) do
        code, out, err = run(tool, bogus)
        assert(code == 1 and out == "" and err:find("^tarvex " .. tool .. ": unknown option [^\n]+\n$"),
            string.format("%s %s: exit %d, stderr %q", tool, bogus, code, err))
    end
end

local function quoted(name, text)
    return "^" .. escape("tarvex " .. name .. ": " .. text) .. "\n$"
end
local MISSING = "cannot read missing.pcap: No such file or directory"
local BOGUS = "unknown option --bogus (run with -h for the options)"

-- { tool, arguments, exit status, stdout pattern, stderr pattern }
local cases = {
    { "dump", "", 1, "^$", quoted("dump", "need one capture file (run with -h for the options)") },
    { "dump", "a.pcap b.pcap", 1,
        "^$", quoted("dump", "need one capture file (run with -h for the options)") },
    { "dump", "missing.pcap", 1, "^$", quoted("dump", MISSING) },
    { "dump", "-l 0 missing.pcap", 1,
        "^$", quoted("dump", "--labels needs a whole number of 1 or more") },
    { "dump", "--bogus", 1, "^$", quoted("dump", BOGUS) },

    { "stats", "", 1, "^$", quoted("stats", "need a capture (-r FILE); run with -h for the options") },
    { "stats", "-r missing.pcap", 1, "^$", quoted("stats", MISSING) },
    { "stats", "-r", 1, "^$", quoted("stats", "option -r needs a value (run with -h for the options)") },
    { "stats", "-r x.pcap -n ten", 1, "^$", quoted("stats", "--names needs a whole number of 0 or more") },
    { "stats", "-r x.pcap -n -1", 1, "^$", quoted("stats", "--names needs a whole number of 0 or more") },
    { "stats", "-r x.pcap -p 65536", 1,
        "^$", quoted("stats", "--port needs a whole number from 0 to 65535") },
    { "stats", "-r x.pcap y.pcap", 1, "^$", quoted("stats", "unexpected argument y.pcap") },
    { "stats", "-h", 0, "\n  %-n, %-%-names N +[^\n]+%[10%]\n", "^$" },

    { "filter", "", 1,
        "^$", quoted("filter", "need an input and an output capture (run with -h for the options)") },
    { "filter", "missing.pcap out.pcap", 1, "^$", quoted("filter", MISSING) },
    { "filter", "-Q -r in.pcap out.pcap", 1, "^$", quoted("filter", "-Q and -r exclude each other") },
    { "filter", "-p x in.pcap out.pcap", 1,
        "^$", quoted("filter", "--port needs a whole number from 0 to 65535") },
    { "filter", "-t NOSUCH in.pcap out.pcap", 1, "^$", quoted("filter", "unknown question type NOSUCH") },

    { "replay", "", 1, "^$", quoted("replay", "need a capture (-r FILE); run with -h for the options") },
    { "replay", "-r x -t sctp", 1, "^$", quoted("replay", "unknown transport sctp (udp, tcp, tls or doh)") },
    { "replay", "-r missing.pcap", 1, "^$", quoted("replay", MISSING) },
    { "replay", "-r x -T slow", 1, "^$", quoted("replay", "unknown timing mode slow") },
    { "replay", "-r x -w 0", 1, "^$", quoted("replay", "--window needs a whole number from 1 to 1000000") },
    { "replay", "-r x -Q 0", 1, "^$", quoted("replay", "--qps needs a number above 0") },
    { "replay", "-r x --ramp 10:100", 1, "^$", quoted("replay", "--ramp needs FROM:TO:STEP:SECONDS, each a number above 0") },
    { "replay", "-r x --shard 2/2", 1, "^$", quoted("replay", "--shard needs I/N with I from 0 to N-1") },
    { "replay", "-r x -Q 10 -T keep", 1, "^$",
        quoted("replay", "-T paces by the capture; -Q and --ramp pace by rate: give one of them") },
    { "replay", "-r - --loop 2", 1, "^$",
        quoted("replay", "standard input is read once: --loop, --duration and --ramp need a file") },
    { "replay", "--compare x.json", 1, "^$", quoted("replay", "--compare needs two JSON results") },
    { "replay", "-r x -W soon", 1, "^$", quoted("replay", "--wait needs a number of 0.001 or more") },
    { "replay", "-r x -W 0", 1, "^$", quoted("replay", "--wait needs a number of 0.001 or more") },
    { "replay", "-r x -W 1e-12", 1, "^$", quoted("replay", "--wait needs a number of 0.001 or more") },
    { "replay", "-r x -F nan", 1, "^$", quoted("replay", "--fixed needs a number of 0 or more") },
    { "replay", "-r x -F -1", 1, "^$", quoted("replay", "--fixed needs a number of 0 or more") },
    { "replay", "-r x extra", 1, "^$", quoted("replay", "unexpected argument extra") },

    { "split", "", 1, "^$", quoted("split", "need a capture (-r FILE); run with -h for the options") },
    { "split", "-r missing.pcap", 1, "^$", quoted("split", MISSING) },
    { "split", "-r x -n 0", 1, "^$", quoted("split", "--workers needs a whole number of 1 or more") },
    { "split", "-r x -S seed", 1, "^$", quoted("split", "--seed needs a whole number from 0 to 4294967295") },

    { "capture", "", 1, "^$", quoted("capture", "need an interface (-i IFACE); run with -h for the options") },
    { "capture", "-i lo -c x", 1, "^$", quoted("capture", "--count needs a whole number of 0 or more") },
    { "capture", "-i lo -p -5", 1, "^$", quoted("capture", "--port needs a whole number from 0 to 65535") },
    { "capture", "-i lo extra", 1, "^$", quoted("capture", "unexpected argument extra") },

    -- The same option in its other spellings, and flags run together.
    { "stats", "--read=missing.pcap", 1, "^$", quoted("stats", MISSING) },
    { "stats", "--read missing.pcap", 1, "^$", quoted("stats", MISSING) },
    { "stats", "-rmissing.pcap", 1, "^$", quoted("stats", MISSING) },
    { "stats", "-r x.pcap --names=ten", 1, "^$", quoted("stats", "--names needs a whole number of 0 or more") },
    { "stats", "-qvm -r missing.pcap", 1, "^$", quoted("stats", MISSING) },
    { "stats", "--mmap=yes -r x.pcap", 1, "^$", quoted("stats", "option --mmap takes no value (run with -h for the options)") },
    { "stats", "-- -r", 1, "^$", quoted("stats", "need a capture (-r FILE); run with -h for the options") },
    { "replay", "-r x -W nan", 1, "^$", quoted("replay", "--wait needs a number of 0.001 or more") },
    { "replay", "-r x -M inf", 1, "^$", quoted("replay", "--multiply needs a number of 0 or more") },
    { "replay", "-r x -d 1e20", 1, "^$", quoted("replay", "--dns-port needs a whole number from 0 to 65535") },

    -- The program's own words.
    { "help", "nosuch", 1, "^$", "^tarvex help: no tool named nosuch %(tarvex help lists them%)\n$" },
    { "--version", "", 0, "^tarvex %d+%.%d+%.%d+\nLuaJIT [^\n]+\n", "^$" },
    { "-V", "", 0, "\nlibpcap +[%d.]+ +[%d.]+[^\n]*\nGnuTLS ", "^$" },
    { "-h", "", 0, "^usage: tarvex <file%.lua> %[args%.%.%.%]", "^$" },
    { "help", "", 0, "\ntools:\n  stats ", "^$" },
}
for _, case in ipairs(cases) do
    local tool, args, expected_code, out_pattern, err_pattern = unpack(case)
    local code, out, err = run(tool, args)
    local label = tool .. " " .. args
    assert(code == expected_code, string.format("%s: exit %d, stderr %q", label, code, err))
    assert(out:find(out_pattern), string.format("%s: stdout %q", label, out))
    assert(err:find(err_pattern), string.format("%s: stderr %q", label, err))
end

-- Every library the version lists, each with both versions.
local _, version = sub.run(arg[0] .. " --version")
for _, library in ipairs({ "libpcap", "GnuTLS", "LMDB", "lz4", "zstd", "zlib", "xz", "ck" }) do
    assert(version:find("\n" .. library .. " +%d[%w.]* +%d[%w.]*"), library .. ": " .. version)
end

-- A file of a tool's name is the script, not the tool.
local file = assert(io.open("stats", "w"))
file:write("print('the script ran')\n")
file:close()
code, out = sub.run(arg[0] .. " stats")
assert(code == 0 and out == "the script ran\n", "a file named stats: " .. out)
print("tool option cases pass")
