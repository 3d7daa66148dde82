-- tarvex stats: the tallies of a capture with known contents, through
-- either reader, with the name list cut to -n; a capture cut inside a record
-- is counted up to the cut and says so.
-- fixtures: examples
-- expect-stdout: ^qstats example cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local example = "stats"
local capture = os.getenv("TEST_FIXTURE_DIR") .. "/examples/qstats.pcap"

local function qstats(args)
    local code, out, err = sub.run(string.format("%s %s %s", arg[0], example, args))
    assert(code == 0 and err == "", string.format("%s: exit %d, stderr %q", args, code, err))
    return out
end

-- The table without its one line that depends on the machine.
local function stable(out)
    local wall = "\nwall time    %d+%.%d%d%d s, [%d.-]+ packets/s\n"
    assert(out:find(wall), "no wall time line:\n" .. out)
    return (out:gsub(wall, "\n"))
end

local HEAD = [[
capture      %s
packets      28 read, 23 DNS, 1 malformed DNS, 3 other
messages     16 queries, 7 responses, 1 over TCP
reassembled  1 DNS messages from 2 TCP segments, 0 datagrams from 0 IP fragments
given up     TCP: 0 gaps, 0 bytes retransmitted, 0 overlapping, 0 skipped to resync, 0 messages cut, 0 flows dropped, 0 buffer overflows, 0 idle flows; IP: 0 timeouts, 0 overlaps, 0 duplicates, 0 tiny, 0 inconsistent, 0 dropped
capture time 10.000 s first to last packet, 2.8 packets/s

opcode                    count   share
  QUERY                      21   91.3%%
  NOTIFY                      1    4.3%%
  UPDATE                      1    4.3%%

qtype of queries          count   share
  A                           7   43.8%%
  AAAA                        3   18.8%%
  MX                          3   18.8%%
  SOA                         2   12.5%%
  (no question)               1    6.3%%

rcode of responses        count   share
  NOERROR                     4   57.1%%
  NXDOMAIN                    2   28.6%%
  SERVFAIL                    1   14.3%%
]]
local NAMES = [[

%s        count   share
  www.example.com.            7   43.8%%
  mail.example.com.           3   18.8%%
  example.com.                2   12.5%%
  example.org.                2   12.5%%
  tcp.example.com.            1    6.3%%
]]

local function expect(got, want, label)
    if got ~= want then
        error(string.format("%s:\n--- got\n%s--- want\n%s", label, got, want), 0)
    end
end

local full = HEAD:format(capture) .. NAMES:format("top 10 query names")
expect(stable(qstats("-r " .. capture)), full, "default")
expect(stable(qstats("--mmap -r " .. capture)), full, "memory map")
-- Three names: the list stops after the third line of the name table.
local three = HEAD:format(capture) .. NAMES:format("top 3 query names "):match("^(\n[^\n]*\n[^\n]*\n[^\n]*\n[^\n]*\n)")
expect(stable(qstats("-n 3 -r " .. capture)), three, "-n 3")
expect(stable(qstats("-n 0 -r " .. capture)), HEAD:format(capture), "-n 0")

-- On another port nothing is DNS, and every table is empty.
local other = stable(qstats("-p 9 -r " .. capture))
assert(other:find("\npackets      28 read, 0 DNS, 0 malformed DNS, 28 other\n", 1, true), other)
assert(select(2, other:gsub("\n  %(none%)\n", "")) == 4, other)

-- Cut inside the third record: two packets, and a note.
local whole = assert(io.open(capture, "rb")):read("*a")
local record_one = 16 + whole:byte(24 + 9) + whole:byte(24 + 10) * 256
local record_two_at = 24 + record_one
local record_two = 16 + whole:byte(record_two_at + 9) + whole:byte(record_two_at + 10) * 256
local cut = assert(io.open("cut.pcap", "wb"))
cut:write(whole:sub(1, record_two_at + record_two + 10))
cut:close()
local out = stable(qstats("-r cut.pcap"))
assert(out:find("\npackets      2 read, 2 DNS, 0 malformed DNS, 0 other\n", 1, true), out)
assert(out:find("\nnote         the capture ends inside a record\n", 1, true), out)
print("qstats example cases pass")
