-- A live pcapng capture by dumpcap on the loopback interface (nanosecond
-- stamps): every pcapng reader, and opening by content, deliver the packets
-- exactly as the PCAP reader delivers editcap's nanosecond PCAP copy of the
-- same file. Skips when dumpcap or editcap is missing or may not capture.
-- timeout: 60
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ng = require("pcapng")
local readers = require("readers")
local Capture = require("tarvex.input.capture")
local check = ng.check

local function quiet(command)
    return os.execute(command .. " >/dev/null 2>&1") == 0
end
if not (quiet("command -v dumpcap") and quiet("command -v editcap")) then
    print("no dumpcap or editcap: skipped")
    os.exit(77)
end

local port = 20000 + os.time() % 20000
local packets = 20
-- dumpcap stops by itself after the packets or 15 seconds, whichever first.
os.execute(string.format("dumpcap -q -i lo -f 'udp port %d' -c %d -a duration:15 -w live.pcapng "
    .. ">dumpcap.out 2>dumpcap.err & echo $! > dumpcap.pid", port, packets))
-- Wait until it captures (it writes the file then), or give up.
local started = false
for _ = 1, 50 do
    if ng.exists("live.pcapng") then
        started = true
        break
    end
    os.execute("sleep 0.1")
end
if not started then
    print("dumpcap may not capture on lo here: skipped")
    os.exit(77)
end
check(quiet(string.format("python3 -c \"import socket,time\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
    .. "for i in range(%d):\n    s.sendto(b'q'*(20+i*7),('127.0.0.1',%d)); time.sleep(0.01)\"", packets * 2, port)),
    "sending")
os.execute("while kill -0 $(cat dumpcap.pid) 2>/dev/null; do sleep 0.1; done")
check(quiet("editcap -F nsecpcap live.pcapng live.pcap"), "editcap")

local want = ng.pcap_listing("live.pcap")
check(#want == packets, "%d packets captured", #want)
for _, entry in ipairs({ "fpcapng", "mmpcapng" }) do
    for _, use in ipairs({ "run", "pull" }) do
        local reader, result = readers.open(entry, "live.pcapng")
        check(result == 0, "%s: open %d", entry, result)
        local got, ended = ng.listing(reader, use)
        check(ended == 0, "%s %s: ended %d", entry, use, ended)
        ng.same(got, want, entry .. " " .. use)
    end
end
local input = assert(Capture.open("live.pcapng"))
check(input:format() == "pcapng" and input:reader_name() == "mmpcapng", "capture: %s", input:reader_name())
ng.same((ng.listing(input.reader, "run")), want, "capture")
print(string.format("%d live packets match", #want))
