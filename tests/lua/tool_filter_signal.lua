-- filter stopped by SIGINT or SIGTERM finishes the packet in hand, closes
-- its output and prints its summary: the capture it wrote is whole (tcpdump
-- reads it without "truncated dump file") and holds what it says it kept.
-- fixtures: replay
-- timeout: 60
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

if os.execute("command -v tcpdump >/dev/null") ~= 0 then
    print("tcpdump is not installed")
    os.exit(77)
end
local capture = os.getenv("TEST_FIXTURE_DIR") .. "/replay/queries.pcap"

for _, signal in ipairs({ "INT", "TERM" }) do
    -- The reader stalls on a pipe after 300 kB (some 6,000 packets) while the
    -- signal comes; the rest of the capture follows.
    sub.write("run.sh", string.format([[
(head -c 300000 %s; sleep 1.5; tail -c +300001 %s) | %s filter - out.pcap >out.txt 2>err.txt &
sleep 0.7
kill -%s $!
wait $!
echo $? >status.txt
]], capture, capture, arg[0], signal))
    assert(os.execute("bash run.sh") == 0)
    local status = tonumber(sub.read("status.txt"))
    local out, err = sub.read("out.txt"), sub.read("err.txt")
    local kept = tonumber(out:match("^kept (%d+) dropped %d+\n$"))
    assert(status == 1 and kept and err:find("^tarvex filter: stopped by a signal after %d+ packets; " ..
        "the output is complete up to there\n$"), string.format("SIG%s: exit %s\n%s%s", signal, status, out, err))
    local code, listing, complaint = sub.run("tcpdump -n -r out.pcap")
    local _, lines = listing:gsub("\n", "")
    assert(code == 0 and not complaint:find("truncated") and lines == kept and kept < 10000,
        string.format("SIG%s: tcpdump exit %d, %d packets of %d kept: %s", signal, code, lines, kept, complaint))
end
print("filter stops whole on a signal")
