-- A capture with a day between two queries: replay in keep mode with
-- --max-gap sends both at once instead of sleeping a day, and says so; a
-- bad value is one line.
-- timeout: 60
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local Peer = require("udppeer")

sub.write("make.py", string.format([[
import sys
sys.path.insert(0, %q)
from pcapgen import Pcap, ether, ipv4, udp, dns_query
cap = Pcap()
for n, ts in enumerate([0.0, 0.05, 86400.05, 86400.1]):
    cap.add(ether(ipv4(udp(dns_query("q%%d.test" %% n, ident=n), 40000, 53))), ts=ts)
cap.write("gap.pcap")
]], os.getenv("TEST_SOURCE_DIR") .. "/tests/fixtures"))
assert(os.execute("/usr/bin/python3 make.py || python3 make.py") == 0)

local server = Peer.new()
for _, mode in ipairs({ "keep", "multiply -M 2" }) do
    local code, out, err = sub.run(string.format("%s replay -r gap.pcap -p %s -T %s --max-gap 0.1", arg[0],
        server.port, mode))
    assert(code == 0 and out:find("^read +4\nsent +4\n"),
        string.format("%s: exit %d\n%s%s", mode, code, out, err))
    assert(err:find("warning: next packet is 86400%.000 s after the previous one %(capped to 0%.100 s%)\n"), err)
    local received = 0
    while server:take(500) do
        received = received + 1
    end
    assert(received == 4, mode .. ": " .. received .. " queries arrived")
end

local code, _, err = sub.run(arg[0] .. " replay -r gap.pcap -T keep --max-gap -1")
assert(code == 1 and err == "tarvex replay: --max-gap needs a number of 1e-06 or more\n", err)
print("long gaps capped")
