-- tarvex capture on the loopback interface: DNS queries sent while it
-- runs come out as one line each (-c stops it), or in a capture file (-w);
-- SIGTERM ends an unbounded capture with the file complete; an unknown
-- interface, a bad filter, an unwritable file and a missing right to capture
-- are one-line errors.
-- Skipped (77) where the sandbox does not allow capturing.
-- fixtures: replay
-- timeout: 90
-- expect-stdout: ^capture example cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ffi = require("ffi")
local sub = require("subprocess")
local Peer = require("udppeer")
local dnsq = require("dnsq")
local Input = require("tarvex.input.pcap")
local C = ffi.C

local example = "capture"
local qstats = "stats"

local probe = Input.new()
assert(probe:create("lo") == 0)
if probe:activate() < 0 then
    print("cannot capture on lo here")
    os.exit(77)
end
probe = nil

pcall(ffi.cdef, "int poll(void* fds, unsigned long nfds, int timeout);")
local function pause(ms)
    C.poll(nil, 0, ms)
end

local function exists(path)
    local file = io.open(path)
    if file then
        file:close()
    end
    return file ~= nil
end

-- The sink's port is free, so the filter sees only this test's datagrams.
local sink = Peer.new()
local sender = Peer.new()
local filter = string.format("'udp and dst port %s'", sink.port)
local id = 0
local function send_query()
    id = id + 1
    sender:send(dnsq.query(id, "probe.test"), sink.port)
end

-- Starts the example in the background and sends a query every 50 ms until
-- it has ended (it may start listening after the first few) or, with
-- `stop_after` queries sent, sends SIGTERM.
local function capture(args, stop_after)
    os.remove("done")
    os.remove("pid")
    os.execute(string.format("(%s %s %s >out.txt 2>err.txt & echo $! >pid.new; mv pid.new pid; wait $!; " ..
        "echo $? >done) &", arg[0], example, args))
    local deadline = os.time() + 30
    while not exists("done") and os.time() < deadline do
        if not stop_after or id < stop_after then
            send_query()
        elseif id == stop_after and exists("pid") then
            pause(500)
            os.execute("kill -TERM $(cat pid)")
            id = id + 1
        end
        pause(50)
    end
    assert(exists("done"), args .. ": still running")
    return tonumber(sub.read("done")), sub.read("out.txt"), sub.read("err.txt")
end

local code, out, err = capture("-i lo -c 2 -p " .. sink.port .. " -f " .. filter)
assert(code == 0, "print: exit " .. code .. ": " .. err)
local line = "^%d+%.%d%d%d%d%d%d udp 127%.0%.0%.1:%d+ > 127%.0%.0%.1:" .. sink.port ..
    " query id %d+ A probe%.test%. 0/0/0$"
local lines = {}
for text in out:gmatch("[^\n]+") do
    assert(text:find(line), "printed " .. text)
    lines[#lines + 1] = text
end
assert(#lines == 2, "two lines:\n" .. out)
assert(err:find("^tarvex capture: 2 packets captured on lo; the kernel received %d+, dropped 0, the interface dropped 0\n$"), err)

code, out, err = capture("-i lo -c 3 -w three.pcap -f " .. filter)
assert(code == 0 and out == "", "write: exit " .. code .. ": " .. err)
assert(err:find("^tarvex capture: 3 packets captured on lo, written to three%.pcap; the kernel received %d+, dropped 0, the interface dropped 0\n$"), err)
code, out = sub.run(string.format("%s %s -r three.pcap -p %s", arg[0], qstats, sink.port))
assert(code == 0 and out:find("\npackets      3 read, 3 DNS, 0 malformed DNS, 0 other\n", 1, true), out)

-- Unbounded: SIGTERM after ten queries, and the file holds what was captured.
code, out, err = capture("-i lo -w term.pcap -f " .. filter, id + 10)
assert(code == 0, "SIGTERM: exit " .. code .. ": " .. err)
local captured = tonumber(err:match("^tarvex capture: (%d+) packets captured on lo, written to term%.pcap; the kernel received %d+, dropped 0, the interface dropped 0\n$"))
assert(captured and captured > 0, err)
code, out = sub.run(string.format("%s %s -r term.pcap -p %s", arg[0], qstats, sink.port))
assert(code == 0 and out:find(string.format("\npackets      %d read, %d DNS, ", captured, captured), 1, true), out)

-- Under load: 50,000 queries as fast as replay sends them (nobody answers:
-- the window is wide and the wait short), and the file
-- holds every one (the kernel dropped none).
local fixtures = os.getenv("TEST_FIXTURE_DIR")
local flood = Peer.new()
sub.write("flood.sh", string.format([[
%s capture -i lo -w flood.pcap -f 'udp and dst port %s' >/dev/null 2>flood.err &
pid=$!
sleep 1
for round in 1 2 3 4 5; do %s replay -q -w 20000 -W 0.01 -r %s/replay/queries.pcap -p %s >/dev/null; done
sleep 0.5
kill -TERM $pid
wait $pid
echo $? >flood.status
]], arg[0], flood.port, arg[0], fixtures, flood.port))
assert(os.execute("bash flood.sh") == 0)
err = sub.read("flood.err")
assert(sub.read("flood.status") == "0\n" and
    err:find("^tarvex capture: 50000 packets captured on lo, written to flood%.pcap; the kernel received %d+, " ..
        "dropped 0, the interface dropped 0\n$"), err)
code, out = sub.run(string.format("%s %s -r flood.pcap -p %s", arg[0], qstats, flood.port))
assert(code == 0 and out:find("\npackets      50000 read, 50000 DNS, ", 1, true), out)
flood:close()

for _, case in ipairs({
    { "-i nosuch0 -c 1", "^tarvex capture: no such interface nosuch0\n$" },
    { "-i lo -c 1 -f 'no such filter'", "^tarvex capture: bad filter: [^\n]+\n$" },
    { "-i lo -c 1 -w /nonexistent/dir/x.pcap",
        "^tarvex capture: cannot write /nonexistent/dir/x%.pcap: No such file or directory\n$" },
}) do
    code, out, err = sub.run(string.format("%s %s %s", arg[0], example, case[1]))
    assert(code == 1 and err:find(case[2]), case[1] .. ": exit " .. code .. ", stderr " .. err)
end

-- Without the right to capture (run as nobody, where root can switch users
-- and nobody can reach the files).
code, out, err = sub.run("id -u")
if out == "0\n" and sub.run("command -v setpriv") == 0 then
    local nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all"
    code, out, err = sub.run(string.format("%s %s %s -i lo", nobody, arg[0], example))
    if not err:find("cannot open/read file", 1, true) and code ~= 126 then
        assert(code == 1 and err == "tarvex capture: no permission to capture on lo (needs root or CAP_NET_RAW)\n",
            "as nobody: exit " .. code .. ", stderr " .. err)
    end
end
sink:close()
sender:close()
print("capture example cases pass")
