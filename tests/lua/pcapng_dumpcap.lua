-- pcapng written by dumpcap: from a pipe carrying a microsecond and a
-- nanosecond PCAP (dumpcap keeps the pipe's resolution as the interface's
-- if_tsresol), every pcapng reader delivers the packets of the PCAP
-- original; and a live capture on the loopback interface (nanosecond
-- stamps): every pcapng reader, and opening by content, deliver the packets
-- exactly as the PCAP reader delivers editcap's nanosecond PCAP copy of the
-- same file. Skips when dumpcap or editcap is missing or may not capture.
-- fixtures: pcapng
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

local function same_as_pcap(pcapng, pcap, what)
    local want = ng.pcap_listing(pcap)
    check(#want > 0, "%s: no packets in %s", what, pcap)
    for _, entry in ipairs({ "fpcapng", "mmpcapng" }) do
        for _, use in ipairs({ "run", "pull" }) do
            local reader, result = readers.open(entry, pcapng)
            check(result == 0, "%s %s: open %d", what, entry, result)
            local got, ended = ng.listing(reader, use)
            check(ended == 0, "%s %s %s: ended %d", what, entry, use, ended)
            ng.same(got, want, what .. " " .. entry .. " " .. use)
        end
    end
    return #want
end

-- The interface's if_tsresol (option 9) as dumpcap wrote it in the first
-- interface description block.
local function tsresol(path)
    local bytes = io.open(path, "rb"):read("*a")
    local at = 1
    while at + 8 <= #bytes do
        local kind = bytes:byte(at) + bytes:byte(at + 1) * 256
        local length = bytes:byte(at + 4) + bytes:byte(at + 5) * 256 + bytes:byte(at + 6) * 65536
        if kind == 1 then
            local option = at + 16
            while option + 4 <= at + length - 4 do
                local code = bytes:byte(option) + bytes:byte(option + 1) * 256
                local size = bytes:byte(option + 2) + bytes:byte(option + 3) * 256
                if code == 9 then
                    return bytes:byte(option + 4)
                end
                option = option + 4 + math.floor((size + 3) / 4) * 4
            end
            return nil
        end
        at = at + length
    end
end

for _, case in ipairs({ { "eth_usec", 6 }, { "eth_nsec", 9 } }) do
    local original = ng.dir .. case[1] .. ".pcap"
    check(quiet(string.format("timeout 30 dumpcap -q -i - -w piped.pcapng < %s", original)), "dumpcap -i -")
    check(tsresol("piped.pcapng") == case[2], "%s: dumpcap wrote if_tsresol %s", case[1], tsresol("piped.pcapng"))
    same_as_pcap("piped.pcapng", original, "dumpcap " .. case[1])
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

check(same_as_pcap("live.pcapng", "live.pcap", "live") == packets, "not %d packets captured", packets)
local want = ng.pcap_listing("live.pcap")
local input = assert(Capture.open("live.pcapng"))
check(input:format() == "pcapng" and input:reader_name() == "mmpcapng", "capture: %s", input:reader_name())
ng.same((ng.listing(input.reader, "run")), want, "capture")
print(string.format("%d live packets match", #want))
