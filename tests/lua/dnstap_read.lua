-- The dnstap reader on generated logs: every message of every kind comes
-- with its addresses, ports, transport, kind and time, from the plain file,
-- each compressed kind and standard input, in push and pull use; damaged
-- logs (cut, oversize or misplaced frames, broken protobuf, wrong fields)
-- give their good messages, count the skipped records, and end broken only
-- where the framing is lost.
-- fixtures: dnstap
-- timeout: 60
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local Capture = require("tarvex.input.capture")
local Dnstap = require("tarvex.input.dnstap")
local Object = require("tarvex.core.objects")
local Dns = require("tarvex.core.object.dns")
local Q = require("tarvex.core.object.dns.q")
local Label = require("tarvex.core.object.dns.label")
local Ip = require("tarvex.lib.ip")
local ffi = require("ffi")

local function check(ok, fmt, ...)
    if not ok then
        error(string.format(fmt, ...), 2)
    end
end

local dir = os.getenv("TEST_FIXTURE_DIR") .. "/dnstap"
local dns, question, labels = Dns.new(), Q.new(), Label.new(128)

-- A chain top as the generator's line for it.
local function describe(obj)
    local tap = obj:cast_to(Object.DNSTAP)
    local ip = obj:cast_to(Object.IP) or obj:cast_to(Object.IP6)
    local ports = obj:cast().obj_prev:cast()
    local pkt = obj:cast_to(Object.PCAP)
    dns:reset()
    dns.obj_prev = obj
    check(dns:parse_header() == 0 and dns:parse_q(question, labels, 128) == 0, "not DNS")
    return string.format("%s %s %s %d %s %d %d.%06d %d %s", tap:message_name(), tap:transport(),
        Ip.tostring(ip.src, true), ports.sport, Ip.tostring(ip.dst, true), ports.dport, tonumber(pkt.ts.sec),
        math.floor(tonumber(pkt.ts.nsec) / 1000), dns.id, Label.tostring(dns, labels, 128))
end

local expected = sub.read(dir .. "/sample.txt")

-- Pull use through the capture opener: plain, compressed, standard input.
local function pulled(path)
    local input = assert(Capture.open(path))
    check(input:format() == "dnstap", "%s read as %s", path, input:format())
    local stage = input:decoder()
    stage:producer(input)
    local produce, ctx = stage:produce()
    local lines = {}
    while true do
        local obj = produce(ctx)
        if obj == nil then
            break
        end
        lines[#lines + 1] = describe(obj)
    end
    return table.concat(lines, "\n") .. "\n", input
end

local sources = { "sample.dnstap" }
for _, ext in ipairs({ "zst", "gz", "lz4", "xz" }) do
    if io.open(dir .. "/sample.dnstap." .. ext) then
        sources[#sources + 1] = "sample.dnstap." .. ext
    end
end
for _, name in ipairs(sources) do
    local got = pulled(dir .. "/" .. name)
    check(got == expected, "%s:\n%s\nexpected:\n%s", name, got, expected)
end

-- Push use, reader and stage alone.
local reader = Dnstap.new()
check(reader:open(dir .. "/sample.dnstap") == 0, "open")
local stage = reader:chain()
local pushed = {}
local sink = { receive = function()
    return ffi.cast("core_receiver_t", function(_, obj) pushed[#pushed + 1] = describe(obj) end), nil
end }
stage:receiver(sink)
reader:receiver(stage)
check(reader:run() == 0 and table.concat(pushed, "\n") .. "\n" == expected, "push: %s", table.concat(pushed, "\n"))

-- The tools, from standard input too.
for _, command in ipairs({ "dump -a -", "stats -r -" }) do
    for _, name in ipairs(sources) do
        local code, out, err = sub.run(string.format("(cat %s/%s | %s %s)", dir, name, arg[0], command))
        check(code == 0 and (out:find("packet 12 at 1700000011.223456: udp %(dnstap RESOLVER_RESPONSE over udp%)")
            or out:find("12 read, 12 DNS, 0 malformed DNS, 0 other")), "%s < %s: %d %s %s", command, name, code, out,
            err)
    end
end

-- Damaged logs: messages read, records skipped, broken or not.
local count = 0
for line in io.lines(dir .. "/hostile/cases.txt") do
    local name, messages, skipped, broken = line:match("^(%S+) (%d+) (%d+) (%d+)$")
    messages, skipped, broken = tonumber(messages), tonumber(skipped), tonumber(broken)
    local path = dir .. "/hostile/" .. name .. ".dnstap"
    local input, why = Capture.open(path)
    if not input then
        check(broken == 1 and messages == 0, "%s refused: %s", name, why)
    else
        local got = pulled(path)
        local _, lines = got:gsub("\n", "")
        if got == "\n" then
            lines = 0
        end
        local _, again = pulled(path)
        check(lines == messages, "%s: %d messages, expected %d", name, lines, messages)
        check(again.reader:skipped() == skipped, "%s: %d skipped", name, again.reader:skipped())
        check(again.obj.is_broken == broken, "%s: broken %d", name, again.obj.is_broken)
        -- A tool tells a cut log by its exit, and the reason on stderr.
        local code, out, err = sub.run(string.format("%s dump -a %s", arg[0], path))
        check(code == broken, "dump %s: exit %d", name, code)
        check(broken == 0 or err:find("warning"), "dump %s: no reason given: %s", name, err)
        -- A regular file is read from a mapping, a pipe through stdio: the
        -- same log gives the same messages and the same end either way.
        local piped_code, piped = sub.run(string.format("(cat %s | %s dump -a -)", path, arg[0]))
        check(piped_code == code and piped == out, "dump %s from a pipe: exit %d\n%s", name, piped_code, piped)
    end
    count = count + 1
end
print(string.format("dnstap: %d sources, %d damaged logs pass", #sources, count))
