-- dump -b: one line per DNS message, checked field by field against tshark
-- on the sample capture and against dnstap-ldns on the dnstap sample; a
-- payload too short for a header says "malformed", other ports come only
-- with -a, and a failed write or a cut capture ends the run with exit 1.
-- fixtures: dnstap captures
-- timeout: 60
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local src, build = os.getenv("TEST_SOURCE_DIR"), os.getenv("TEST_BUILD_DIR")
local fixtures = os.getenv("TEST_FIXTURE_DIR")

local function check(ok, fmt, ...)
    if not ok then
        error(string.format(fmt, ...), 2)
    end
end

local lines = sub.lines

local function brief(args)
    local code, out, err = sub.run(string.format("%s dump -b %s", arg[0], args))
    check(code == 0 and err == "", "dump -b %s: exit %d %s", args, code, err)
    return lines(out)
end

-- A line's fields by name.
local function fields(line)
    local date, time, kind, src_addr, sport, dst_addr, dport, transport, size, id, rest =
        line:match("^(%d+%-%d+%-%d+) (%d+:%d+:%d+%.%d+) (%S+) (%S+)%.(%d+) > (%S+)%.(%d+) (%S+) (%d+)b (%d+)(.*)$")
    check(date, "not a brief line: %q", line)
    local name, class, qtype, rcode = rest:match('^ "([^"]*)" (%S+) (%S+) ?(%S*)$')
    return { stamp = date .. " " .. time, kind = kind, src = src_addr, sport = tonumber(sport), dst = dst_addr,
        dport = tonumber(dport), transport = transport, size = tonumber(size), id = tonumber(id), name = name,
        class = class, qtype = qtype, rcode = rcode, rest = rest }
end

local type_numbers = { A = 1, NS = 2, CNAME = 5, SOA = 6, PTR = 12, MX = 15, TXT = 16, AAAA = 28, SRV = 33,
    ANY = 255 }

-- The sample capture beside tshark's reading of it.
local sample = build .. "/sample/sample.pcap"
local ours = brief(sample)
if sub.run("command -v tshark >/dev/null") ~= 0 then
    print("tshark not installed: the sample is not compared")
else
    local code, out = sub.run("tshark -n -r " .. sample .. " -Y dns -T fields -e frame.time_epoch -e ip.src "
        .. "-e ipv6.src -e ip.dst -e ipv6.dst -e udp.srcport -e tcp.srcport -e udp.dstport -e tcp.dstport "
        .. "-e dns.id -e dns.qry.name -e dns.qry.type -e dns.flags.response -e dns.flags.rcode 2>/dev/null")
    check(code == 0, "tshark: exit %d", code)
    local theirs = lines(out)
    check(#ours == #theirs and #ours > 0, "%d lines, tshark %d messages", #ours, #theirs)
    for i, line in ipairs(theirs) do
        local t = {}
        for value in (line .. "\t"):gmatch("([^\t]*)\t") do
            t[#t + 1] = value
        end
        local f = fields(ours[i])
        local epoch = tonumber(t[1])
        check(os.date("!%Y-%m-%d %H:%M:%S", math.floor(epoch)) .. string.format(".%06d", math.floor(
            (epoch % 1) * 1e6 + 0.5)) == f.stamp, "line %d: time %s, tshark %s", i, f.stamp, t[1])
        check(f.src == (t[2] ~= "" and t[2] or t[3]) and f.dst == (t[4] ~= "" and t[4] or t[5]),
            "line %d: addresses %s %s, tshark %s", i, f.src, f.dst, line)
        check(f.sport == tonumber(t[6] ~= "" and t[6] or t[7]) and f.dport == tonumber(t[8] ~= "" and t[8] or t[9]),
            "line %d: ports", i)
        check(f.id == tonumber(t[10]) and f.name == t[11] .. "." and type_numbers[f.qtype] == tonumber(t[12]),
            "line %d: %s, tshark %s", i, ours[i], line)
        local response = t[13] == "1" or t[13] == "True"
        check(f.kind == (response and "R" or "Q") and (f.rcode ~= "") == response, "line %d: kind %s", i, f.kind)
    end
end

-- The dnstap sample beside dnstap-ldns: time, kind, the client's or the
-- server's address as it prints it, size and question; the transport where
-- it names one.
local tap = fixtures .. "/dnstap/sample.dnstap"
local from_tap = brief(tap)
if sub.run("command -v dnstap-ldns >/dev/null") ~= 0 then
    print("dnstap-ldns not installed: the dnstap sample is not compared")
else
    local code, out = sub.run("dnstap-ldns -r " .. tap)
    check(code == 0, "dnstap-ldns: exit %d", code)
    local theirs = lines(out)
    check(#from_tap == #theirs and #theirs > 0, "%d lines, dnstap-ldns %d", #from_tap, #theirs)
    for i, line in ipairs(theirs) do
        local stamp, kind, addr, transport, size, question = line:match("^(%S+ %S+) (%S+) (%S+) (%S+) (%d+)b (.*)$")
        local f = fields(from_tap[i])
        check(f.stamp == stamp and f.kind == kind and f.size == tonumber(size), "line %d: %s / %s", i,
            from_tap[i], line)
        check(addr == f.src or addr == f.dst, "line %d: address %s", i, addr)
        check(transport == "?" or transport:lower() == f.transport, "line %d: transport %s", i, f.transport)
        check(question == string.format('"%s" %s %s', f.name, f.class, f.qtype), "line %d: question %s", i, question)
    end
end

-- Edges: packet 3 is an empty datagram, 4 five bytes of no DNS on port 53,
-- 5 a message on port 5300.
check(os.execute(string.format("python3 %s/tests/fixtures/dumpdns_edges.py edges.pcap", src)) == 0, "edges")
local edges = brief("edges.pcap")
check(#edges == 3 and edges[2]:find(" 5b malformed$"), "edges: %s", table.concat(edges, "\n"))
check(#brief("-a edges.pcap") == 4, "every port")

-- A write that fails and a capture cut short both end in exit 1.
local code, _, err = sub.run(string.format("(%s dump -b %s >/dev/full)", arg[0], sample))
check(code == 1 and err:find("could not write every line"), "to /dev/full: exit %d %s", code, err)
code, _, err = sub.run(string.format("%s dump -b %s/captures/cut_data.pcap", arg[0], fixtures))
check(code == 1 and err:find("the capture ends inside a record"), "cut capture: exit %d %s", code, err)
print(string.format("dump -b: %d sample lines, %d dnstap lines, edges and failures pass", #ours, #from_tap))
