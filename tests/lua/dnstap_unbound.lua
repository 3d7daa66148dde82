-- A real unbound logs known queries over UDP and TCP as dnstap (saved by
-- fstrm_capture) while tcpdump captures the same traffic: tarvex finds every
-- query and answer in the log with its addresses, ports, transport, id and
-- question, the packets give the same messages, the log written back out
-- and as PCAP keeps them, and replaying the log to a second unbound gets an
-- answer for every logged query over UDP and TCP.
-- fixtures: unbound
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local Capture = require("tarvex.input.capture")
local Decode = require("tarvex.tools.lib.decode")
local Object = require("tarvex.core.objects")
local Dns = require("tarvex.core.object.dns")
local Q = require("tarvex.core.object.dns.q")
local Label = require("tarvex.core.object.dns.label")
local Ip = require("tarvex.lib.ip")

local function check(ok, fmt, ...)
    if not ok then
        error(string.format(fmt, ...), 2)
    end
end

local helper = os.getenv("TEST_SOURCE_DIR") .. "/tests/servers/unbound_dnstap.py"
local code, out, err = sub.run("/usr/bin/python3 " .. helper .. " run")
if code == 77 then
    print(out)
    os.exit(77)
end
check(code == 0, "recording failed (%d): %s %s", code, out, err)

-- Every DNS message of a capture as "QR transport src sport dst dport id name".
local function messages(path, dns_port)
    local input = assert(Capture.open(path))
    local chain = Decode.pull(input, dns_port, input)
    local produce, ctx = chain:produce()
    local dns, question, labels = Dns.new(), Q.new(), Label.new(128)
    local found = {}
    while true do
        local before = input:packets()
        local obj = produce(ctx)
        if obj == nil and input:packets() == before then
            break
        end
        if obj ~= nil and obj.obj_type == Object.PAYLOAD then
            local transport = obj:cast().obj_prev
            local ip = obj:cast_to(Object.IP)
            local ports = transport:cast()
            dns:reset()
            dns.obj_prev = obj
            if dns:parse_header() == 0 and dns:parse_q(question, labels, 128) == 0 then
                local tap = obj:cast_to(Object.DNSTAP)
                local kind = transport.obj_type == Object.TCP and "tcp" or "udp"
                if tap then
                    check(tap:transport() == kind, "transport %s logged, %s in the chain", tap:transport(), kind)
                    check((tap.is_response == 1) == (dns.qr == 1), "%s carries qr %d", tap:message_name(), dns.qr)
                end
                found[#found + 1] = string.format("%s %s %s %d %s %d %d %s", dns.qr == 1 and "R" or "Q", kind,
                    Ip.tostring(ip.src, true), ports.sport, Ip.tostring(ip.dst, true), ports.dport, dns.id,
                    Label.tostring(dns, labels, 128))
            end
        end
    end
    check(input.obj.is_broken == 0, "%s ends inside a record", path)
    return found
end

local function set_of(list)
    local set = {}
    for _, item in ipairs(list) do
        set[item] = (set[item] or 0) + 1
    end
    return set
end

local conf = sub.read("run/unbound.conf")
local port = tonumber(conf:match("port: (%d+)"))
local logged = messages("run/log.dnstap", port)
local wire = set_of(messages("run/wire.pcap", port))

-- Every known message is in the log as expected.
local logged_set = set_of(logged)
local expected = 0
for line in io.lines("run/expected.txt") do
    local kind, transport, cport, sport, id, name = line:match("^(%S+) (%S+) (%d+) (%d+) (%d+) (%S+)$")
    if tonumber(cport) ~= 0 then
        local query = string.format("Q %s 127.0.0.1 %s 127.0.0.1 %s %s %s", transport, cport, sport, id, name)
        local answer = string.format("R %s 127.0.0.1 %s 127.0.0.1 %s %s %s", transport, sport, cport, id, name)
        check(logged_set[kind == "CLIENT_QUERY" and query or answer] == 1, "%s not in the log", line)
        expected = expected + 1
    end
end
check(expected == 20, "expected %d known messages", expected)
-- What the log holds, the packets hold too.
for item in pairs(logged_set) do
    check(wire[item], "%s is in the log, not in the packets", item)
end

-- Written out as dnstap, and as PCAP, the same messages come back.
local tarvex = arg[0]
code, out, err = sub.run(string.format("%s filter -p %d run/log.dnstap copy.dnstap", tarvex, port))
check(code == 0 and out == string.format("kept %d dropped 0\n", #logged), "filter: %d %s %s", code, out, err)
code, out, err = sub.run(string.format("%s filter -p %d --to-pcap run/log.dnstap copy.pcap", tarvex, port))
check(code == 0, "filter --to-pcap: %d %s", code, err)
for _, copy in ipairs({ "copy.dnstap", "copy.pcap" }) do
    local again = messages(copy, port)
    check(table.concat(again, "\n") == table.concat(logged, "\n"), "%s differs:\n%s", copy, table.concat(again, "\n"))
end
-- Peers read both: dnstap-ldns the log written back, tshark the packets.
if os.execute("command -v dnstap-ldns >/dev/null") == 0 then
    code, out = sub.run("dnstap-ldns -r copy.dnstap")
    local _, lines = out:gsub("\n", "")
    check(code == 0 and lines == #logged, "dnstap-ldns: %d, %d lines", code, lines)
end
if os.execute("command -v tshark >/dev/null") == 0 then
    code, out = sub.run(string.format("tshark -n -r copy.pcap -o tcp.check_checksum:TRUE -o udp.check_checksum:TRUE "
        .. "-o ip.check_checksum:TRUE -d tcp.port==%d,dns -d udp.port==%d,dns -Y 'dns && !_ws.expert.severity >= warning' "
        .. "-T fields -e dns.id", port, port))
    local _, lines = out:gsub("\n", "")
    check(code == 0 and lines == #logged, "tshark: %d, %d of %d clean DNS packets: %s", code, lines, #logged, out)
end

-- Replayed to the second unbound, every logged query gets an answer.
local queries = 0
for _, item in ipairs(logged) do
    if item:sub(1, 1) == "Q" then
        queries = queries + 1
    end
end
local target = sub.read(os.getenv("TEST_FIXTURE_DIR") .. "/unbound/port"):match("%d+")
for _, transport in ipairs({ "udp", "tcp" }) do
    code, out, err = sub.run(string.format("%s replay -r run/log.dnstap -s 127.0.0.1 -p %s -d %d -t %s -q", tarvex,
        target, port, transport))
    local answered = out:find("\ntimed out +0 ") and tonumber(out:match("\nanswered +(%d+)"))
    local noerror = tonumber(out:match("rcode NOERROR +(%d+)"))
    check(code == 0 and answered == queries and noerror == queries, "replay over %s: %d\n%s%s", transport, code,
        out, err)
end
print(string.format("%d logged messages, %d queries replayed", #logged, queries))
