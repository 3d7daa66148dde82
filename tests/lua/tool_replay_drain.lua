-- Answers nobody looks at are still taken off the stream: against a server
-- whose large answers fill the buffers (so that it stops reading), a replay
-- without -a would otherwise block in its sends for good. Runs in a network
-- namespace of its own with small TCP buffers, so a few hundred queries
-- fill them.
-- fixtures: replay
-- timeout: 150
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

if os.execute("unshare -n true 2>/dev/null") ~= 0 then
    print("cannot make a network namespace here (needs root and unshare)")
    os.exit(77)
end

local server = os.getenv("TEST_SOURCE_DIR") .. "/tests/servers/streamsrv.py"
local capture = os.getenv("TEST_FIXTURE_DIR") .. "/replay/queries.pcap"
sub.write("inside.sh", string.format([[
rm -rf srv
ip link set lo up
sysctl -q -w net.ipv4.tcp_rmem="16384 16384 16384" net.ipv4.tcp_wmem="16384 16384 16384"
/usr/bin/python3 %s serve --dir srv &
server=$!
trap 'kill $server' EXIT
for i in $(seq 100); do [ -f srv/ports ] && break; sleep 0.1; done
for transport in tcp tls; do
    port=$(awk -v k="$transport.big" '$1 == k {print $2}' srv/ports)
    timeout 60 %s replay -q -r %s -p "$port" -t "$transport"
done
]], server, arg[0], capture))
local code, out, err = sub.run("unshare -n bash inside.sh")
for _, transport in ipairs({ "tcp", "tls" }) do
    assert(out:find("read 10250 packets, sent 10000 queries over " .. transport .. ", 0 send errors", 1, true),
        string.format("%s: exit %d\n%s%s", transport, code, out, err))
end
print("unread answers drained")
