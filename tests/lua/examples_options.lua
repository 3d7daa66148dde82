-- The example scripts take their options through getopt, print the usage
-- text on -h, and turn a bad option, a bad value or a missing file into one
-- line on stderr (never an interpreter traceback) and exit status 1.
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local examples = os.getenv("TEST_SOURCE_DIR") .. "/examples/"

local function escape(text)
    return (text:gsub("%p", "%%%0"))
end

local function run(script, args)
    return sub.run(string.format("%s %s%s %s", arg[0], examples, script, args))
end

-- Every script in examples/, those added later too: a usage text, and one
-- line for an unknown option.
local listing = io.popen("ls " .. examples)
for script in listing:lines() do
    if script:find("%.lua$") then
        local code, out, err = run(script, "-h")
        assert(code == 0 and err == "", string.format("%s -h: exit %d, stderr %q", script, code, err))
        assert(out:find("^usage: [^\n]+\n") and
            out:find("\n\t%-h %-%-help\tDisplay this help text\n$"), script .. " -h: " .. out)
        code, out, err = run(script, "--no-such-option")
        assert((code == 1 or code == 2) and err:find("^[^\n]+\n$") and not err:find("traceback"),
            string.format("%s --no-such-option: exit %d, stderr %q", script, code, err))
    end
end
listing:close()

local function quoted(name, text)
    return "^" .. escape(name .. ": " .. text) .. "\n$"
end
local MISSING = "cannot read missing.pcap: No such file or directory"
local BOGUS = "unknown option bogus (run with -h for the options)"

-- { script, arguments, exit status, stdout pattern, stderr pattern }
local cases = {
    { "hello.lua", "", 0, "^tarvex ", "^core info: script [^\n]*hello%.lua started with 0 arguments\n$" },
    { "hello.lua", "--quiet", 0, "errstr%(2%) = ENOENT\n$", "^$" },
    { "hello.lua", "--bogus", 1, "^$", quoted("hello.lua", BOGUS) },
    { "hello.lua", "extra", 1, "^$", quoted("hello.lua", "unexpected argument extra") },
    { "zero_null.lua", "-h", 0,
        "^usage: [^\n]+\n\t%-n %-%-count \"1000000\"\t[^\n]+\n\t%-p %-%-pull\t[^\n]+\n\t%-h %-%-help\t",
        "^$" },
    { "zero_null.lua", "-n 1000", 0, "^pushed 1000 records, 1000 counted, ", "^$" },
    { "zero_null.lua", "-p --count 1000", 0, "^pulled 1000 records, 1000 counted, ", "^$" },
    { "zero_null.lua", "-n", 1,
        "^$", quoted("zero_null.lua", "option count needs argument (run with -h for the options)") },
    { "zero_null.lua", "-n many", 1, "^$", quoted("zero_null.lua", "--count needs a whole number of 0 or more") },
    { "zero_null.lua", "-n 1.5", 1, "^$", quoted("zero_null.lua", "--count needs a whole number of 0 or more") },

    { "dumpdns.lua", "", 1, "^$", quoted("dumpdns.lua", "need one capture file (run with -h for the options)") },
    { "dumpdns.lua", "a.pcap b.pcap", 1,
        "^$", quoted("dumpdns.lua", "need one capture file (run with -h for the options)") },
    { "dumpdns.lua", "missing.pcap", 1, "^$", quoted("dumpdns.lua", MISSING) },
    { "dumpdns.lua", "-l 0 missing.pcap", 1,
        "^$", quoted("dumpdns.lua", "--labels needs a whole number of 1 or more") },
    { "dumpdns.lua", "--bogus", 1, "^$", quoted("dumpdns.lua", BOGUS) },

    { "qstats.lua", "", 1, "^$", quoted("qstats.lua", "need a capture (-r FILE); run with -h for the options") },
    { "qstats.lua", "-r missing.pcap", 1, "^$", quoted("qstats.lua", MISSING) },
    { "qstats.lua", "-r", 1, "^$", quoted("qstats.lua", "option read needs argument (run with -h for the options)") },
    { "qstats.lua", "-r x.pcap -n ten", 1, "^$", quoted("qstats.lua", "--names needs a whole number of 0 or more") },
    { "qstats.lua", "-r x.pcap -n -1", 1, "^$", quoted("qstats.lua", "--names needs a whole number of 0 or more") },
    { "qstats.lua", "-r x.pcap -p 65536", 1,
        "^$", quoted("qstats.lua", "--port needs a whole number from 0 to 65535") },
    { "qstats.lua", "-r x.pcap y.pcap", 1, "^$", quoted("qstats.lua", "unexpected argument y.pcap") },
    { "qstats.lua", "-h", 0, "\n\t%-n %-%-names \"10\"\t[^\n]+\n", "^$" },

    { "filter.lua", "", 1,
        "^$", quoted("filter.lua", "need an input and an output capture (run with -h for the options)") },
    { "filter.lua", "missing.pcap out.pcap", 1, "^$", quoted("filter.lua", MISSING) },
    { "filter.lua", "-q -r in.pcap out.pcap", 1, "^$", quoted("filter.lua", "-q and -r exclude each other") },
    { "filter.lua", "-p x in.pcap out.pcap", 1,
        "^$", quoted("filter.lua", "--port needs a whole number from 0 to 65535") },
    { "filter.lua", "-t NOSUCH in.pcap out.pcap", 1, "^$", quoted("filter.lua", "unknown question type NOSUCH") },

    { "replay.lua", "", 1, "^$", quoted("replay.lua", "need a capture (-r FILE) and a transport (-t udp|tcp|tls)") },
    { "replay.lua", "-r x -t sctp", 1,
        "^$", quoted("replay.lua", "need a capture (-r FILE) and a transport (-t udp|tcp|tls)") },
    { "replay.lua", "-r missing.pcap", 1, "^$", quoted("replay.lua", MISSING) },
    { "replay.lua", "-r x -T slow", 1, "^$", quoted("replay.lua", "unknown timing mode slow") },
    { "replay.lua", "-r x -w 0", 1, "^$", quoted("replay.lua", "--window needs a whole number of 1 or more") },
    { "replay.lua", "-r x -W soon", 1, "^$", quoted("replay.lua", "--wait needs a number of 0 or more") },
    { "replay.lua", "-r x -F -1", 1, "^$", quoted("replay.lua", "--fixed needs a number of 0 or more") },
    { "replay.lua", "-r x extra", 1, "^$", quoted("replay.lua", "unexpected argument extra") },

    { "split.lua", "", 1, "^$", quoted("split.lua", "need a capture (-r FILE); run with -h for the options") },
    { "split.lua", "-r missing.pcap", 1, "^$", quoted("split.lua", MISSING) },
    { "split.lua", "-r x -n 0", 1, "^$", quoted("split.lua", "--workers needs a whole number of 1 or more") },
    { "split.lua", "-r x -S seed", 1, "^$", quoted("split.lua", "--seed needs a whole number from 0 to 4294967295") },

    { "capture.lua", "", 1, "^$", quoted("capture.lua", "need an interface (-i IFACE); run with -h for the options") },
    { "capture.lua", "-i lo -c x", 1, "^$", quoted("capture.lua", "--count needs a whole number of 0 or more") },
    { "capture.lua", "-i lo -p -5", 1, "^$", quoted("capture.lua", "--port needs a whole number from 0 to 65535") },
    { "capture.lua", "-i lo extra", 1, "^$", quoted("capture.lua", "unexpected argument extra") },
}
for _, case in ipairs(cases) do
    local script, args, expected_code, out_pattern, err_pattern = unpack(case)
    local code, out, err = run(script, args)
    local label = script .. " " .. args
    assert(code == expected_code, string.format("%s: exit %d, stderr %q", label, code, err))
    assert(out:find(out_pattern), string.format("%s: stdout %q", label, out))
    assert(err:find(err_pattern), string.format("%s: stderr %q", label, err))
end
print("example option cases pass")
