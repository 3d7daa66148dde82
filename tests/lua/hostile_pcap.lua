-- The libpcap input's offline reader on damaged and odd input: a capture
-- cut after every byte of its file header and first three records (both byte
-- orders), frames longer than the file or the snaplen, snaplen 0 and
-- 0xffffffff, a directory, /dev/null and FIFOs. libpcap parses the file, so
-- its texts come through: open fails with them, a failed read is a warning
-- and ends the loop with -1 and the producer with null. Nothing here is fatal,
-- so all cases share this process.
-- fixtures: hostile
-- timeout: 60
-- expect-stdout: ^pcap: \d+ hostile cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local hostile = require("hostile")
local pcapio = require("pcapio")
local Pcap = require("tarvex.input.pcap")
local check = hostile.check

-- One reading in `use` ("loop" or "pull"): { open, frames (snapshots),
-- result (loop), packets, log }.
local function read(path, use)
    local got = { frames = {} }
    got.log = hostile.capture(function()
        local input = Pcap.new()
        got.open = input:open_offline(path)
        if got.open ~= 0 then
            return
        end
        got.snaplen = input:snaplen()
        if use == "loop" then
            local collector = pcapio.collector()
            input:receiver(collector)
            got.result = input:loop()
            collector.free()
            got.frames = collector.seen
        else
            local produce, ctx = input:produce()
            while true do
                local obj = produce(ctx)
                if obj == nil then
                    break
                end
                got.frames[#got.frames + 1] = pcapio.snapshot(obj)
            end
        end
        got.packets = input:packets()
    end)
    return got
end

-- The frames as the mapping reader delivers them, up to the first failure.
local references = {}
local function reference(name)
    if not references[name] then
        local Mmpcap = require("tarvex.input.mmpcap")
        local frames = {}
        hostile.capture(function()
            local input = Mmpcap.new()
            assert(input:open(hostile.path(name)) == 0)
            local produce, ctx = input:produce()
            local obj = produce(ctx)
            while obj ~= nil do
                frames[#frames + 1] = pcapio.snapshot(obj)
                obj = produce(ctx)
            end
        end)
        references[name] = frames
    end
    return references[name]
end

-- What a reading must give: `frames` frames, then the end `failure`
-- (libpcap's text; nil: a clean end).
local function expect(use, frames, failure)
    local want = { open = 0, frames = frames, log = {} }
    if use == "loop" then
        want.result = failure and -1 or 0
    end
    if failure then
        local call = use == "loop" and "pcap_loop" or "pcap_next_ex"
        want.log[1] = string.format("input.pcap warning: %s() error: %s", call, failure)
    end
    return want
end

local function refused(path, text)
    return { log = { string.format("input.pcap critical: pcap_open_offline(%s) error: %s", path, text) }, open = -1 }
end

local function same(got, want, listed, what)
    local log = table.concat(got.log, "\n")
    if want.pattern then
        check(got.open == -1 and #got.log == 1 and got.log[1]:find(want.pattern), "%s: open %s, log %s", what,
            tostring(got.open), log)
        return
    end
    local want_log = table.concat(want.log, "\n")
    check(got.open == want.open and log == want_log, "%s: open %s, log\n%s\nexpected %s\n%s", what, tostring(got.open),
        log, tostring(want.open), want_log)
    if want.open ~= 0 then
        return
    end
    check(got.result == want.result, "%s: result %s, expected %s", what, tostring(got.result), tostring(want.result))
    check(#got.frames == want.frames, "%s: %d frames, expected %d", what, #got.frames, want.frames)
    -- loop counts what it delivers, the producer counts nothing.
    check(got.packets == (want.result and want.frames or 0), "%s: packets() %d", what, got.packets)
    for i, frame in ipairs(got.frames) do
        local listed_frame = listed[i]
        for _, field in ipairs({ "sec", "caplen", "len", "bytes" }) do
            check(frame[field] == listed_frame[field], "%s: frame %d: %s is %s, expected %s", what, i, field,
                tostring(frame[field]), tostring(listed_frame[field]))
        end
        -- libpcap hands out microseconds, also from a nanosecond file.
        local usec = math.floor(listed_frame.nsec / 1000) * 1000
        check(frame.nsec == usec, "%s: frame %d: nsec %d, expected %d", what, i, frame.nsec, usec)
    end
end

local uses = { "loop", "pull" }
local count = 0

-- Every cut. libpcap reads the magic first, then the rest of the header.
for _, order in ipairs({ "native", "swapped" }) do
    local listed = reference(order .. ".pcap")
    for length = 0, hostile.last_cut do
        local path = hostile.path(string.format("cut/%s.%d.pcap", order, length))
        local frames, failure = hostile.cut_end(length)
        for _, use in ipairs(uses) do
            local want
            if length < 24 then
                want = { pattern = "^input%.pcap critical: pcap_open_offline%(" .. path:gsub("%p", "%%%0") ..
                    "%) error: truncated dump file; tried to read %d+ file header bytes, only got %d+$" }
            else
                local text
                local at = hostile.bounds[frames + 1]
                if failure == hostile.failure.header then
                    text = string.format("truncated dump file; tried to read 16 header bytes, only got %d", length - at)
                elseif failure == hostile.failure.data then
                    text = string.format("truncated dump file; tried to read %d captured bytes, only got %d",
                        listed[frames + 1].caplen, length - at - 16)
                end
                want = expect(use, frames, text)
            end
            same(read(path, use), want, listed, path .. " " .. use)
            count = count + 1
        end
    end
end

-- Lengths: libpcap refuses a frame above the largest length it accepts (its
-- text names the snaplen), cuts a frame above the file's own snaplen down to
-- it, and takes a snaplen of 0 or above its largest as that largest (262144).
local frame = reference("beyond_file.pcap")[1]
local odd = {
    { "beyond_file.pcap", 1, "truncated dump file; tried to read 1000 captured bytes, only got 10", 65535 },
    { "huge_incl.pcap", 1, "invalid packet capture length 4294967295, bigger than snaplen of 65535", 65535 },
    { "huge_snaplen.pcap", 1, "invalid packet capture length 4294967295, bigger than snaplen of 262144", 262144 },
    { "over_snaplen.pcap", 2, nil, 100,
        { frame, { sec = 2, nsec = 0, caplen = 100, len = 101, bytes = string.rep("\0", 100) } } },
    { "snaplen0.pcap", 2, nil, 262144,
        { { sec = 1, nsec = 0, caplen = 0, len = 0, bytes = "" },
            { sec = 2, nsec = 0, caplen = 1, len = 1, bytes = "x" } } },
}
for _, case in ipairs(odd) do
    for _, use in ipairs(uses) do
        local got = read(hostile.path(case[1]), use)
        same(got, expect(use, case[2], case[3]), case[5] or { frame }, case[1] .. " " .. use)
        check(got.snaplen == case[4], "%s: snaplen %d", case[1], got.snaplen)
        count = count + 1
    end
end

local directory = hostile.directory("a_directory")
same(read(directory, "pull"), refused(directory, "error reading dump file: Is a directory"), {}, "directory")
local nothing = "truncated dump file; tried to read 4 file header bytes, only got 0"
same(read("/dev/null", "pull"), refused("/dev/null", nothing), {}, "/dev/null")

-- A FIFO: opening waits for a writer, so each case starts one first.
for _, use in ipairs(uses) do
    hostile.writer(hostile.fifo("capture.fifo"), hostile.path("native.pcap"))
    same(read("capture.fifo", use), expect(use, 4), reference("native.pcap"), "FIFO " .. use)
end
hostile.writer(hostile.fifo("empty.fifo"))
same(read("empty.fifo", "pull"), refused("empty.fifo", nothing), {}, "FIFO, nothing written")
count = count + 5

-- Dropped inputs close their handles when collected.
collectgarbage()
collectgarbage()
print(string.format("pcap: %d hostile cases pass", count))
