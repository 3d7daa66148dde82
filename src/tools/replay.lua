-- Replays the DNS queries of a capture to one server over UDP, TCP or TLS
-- through the DNS client, paced by the timing filter (or as fast as they
-- can be read). With -a it also reads the answers back, matches them to the
-- queries by DNS id and prints how many were answered, how many were not,
-- and the answers' rcodes.
--   tarvex replay -r queries.pcap -s 127.0.0.1 -p 853 -t tls -a

local Tool = {
    name = "replay",
    summary = "replays a capture's queries over UDP, TCP or TLS, paced or not, with answer matching",
    usage = "[options...] -r FILE",
    options = {
        { "r", "read", "", "Capture file to replay", arg = "FILE" },
        { "s", "server", "127.0.0.1", "DNS server to send to", arg = "HOST" },
        { "p", "port", "53", "Server port", arg = "PORT" },
        { "d", "dns-port", "53", "Destination port of the queries in the capture", arg = "PORT" },
        { "t", "transport", "udp", "udp, tcp or tls", arg = "PROTO" },
        { "T", "timing", "fast", "fast (no pacing), keep, multiply, fixed or realtime", arg = "MODE" },
        { "M", "multiply", "1", "Gap factor for -T multiply", arg = "FACTOR" },
        { "F", "fixed", "1", "Gap in milliseconds for -T fixed", arg = "MS" },
        { nil, "max-gap", "", "Longest gap between two packets kept by paced modes, in seconds (default: none; "
            .. "a gap over a minute is always told)", arg = "SECONDS" },
        { "a", "answers", false, "Read answers back and match them to the queries by DNS id" },
        { "w", "window", "100", "Queries in flight before waiting for an answer (with -a)", arg = "N" },
        { "W", "wait", "2", "Seconds to wait for an answer before giving up (with -a)", arg = "SECONDS" },
    },
}

function Tool.run(cli)
    cli:no_more_args()
    local transports = { udp = true, tcp = true, tls = true }
    local timing_modes = { fast = true, keep = true, multiply = true, fixed = true, realtime = true }
    if cli:val("read") == "" or not transports[cli:val("transport")] then
        cli:fail("need a capture (-r FILE) and a transport (-t udp|tcp|tls)")
    end
    if not timing_modes[cli:val("timing")] then
        cli:fail("unknown timing mode " .. cli:val("timing"))
    end
    local window, wait = cli:whole("window", 1), cli:real("wait", 0.001)
    local multiply, fixed = cli:real("multiply", 0), cli:real("fixed", 0)
    local max_gap = cli:given("max-gap") and cli:real("max-gap", 0.000001) or 0
    local dns_port = cli:whole("dns-port", 0, 65535)

    local ffi = require("ffi")
    local Object = require("tarvex.core.objects")
    local Dns = require("tarvex.core.object.dns")
    local Timing = require("tarvex.filter.timing")
    local GapCap = require("tarvex.filter.gapcap")
    local Decode = require("tarvex.tools.lib.decode")
    local Dnscli = require("tarvex.output.dnscli")
    local Clock = require("tarvex.lib.clock")

    local transport = ({ udp = Dnscli.UDP, tcp = Dnscli.TCP, tls = Dnscli.TLS })[cli:val("transport")]

    local input = cli:open_capture(cli:val("read"))

    -- Pull form: reader -> timing -> decoder and reassembly, one query at a
    -- time, so that answers can be read between sends. A query over TCP
    -- comes whole and without its length field; the client frames it.
    local paced = input
    local timing_mode = cli:val("timing")
    if timing_mode ~= "fast" then
        local timing = Timing.new()
        if timing_mode == "keep" then
            timing:keep()
        elseif timing_mode == "multiply" then
            timing:multiply(multiply)
        elseif timing_mode == "fixed" then
            timing:fixed(math.floor(fixed * 1e6))
        else
            timing:realtime()
        end
        -- A capture paused for hours would have the run sleep as long: the
        -- gaps are capped where asked, and told of either way.
        local gaps = GapCap.new()
        gaps:log():enable("warning")
        gaps:max_gap(max_gap)
        gaps:producer(input)
        timing:producer(gaps)
        paced = timing
    end
    local chain = Decode.pull(paced, dns_port, input)
    local next_packet, layer_ctx = chain:produce()

    -- The wait limit bounds every wait for an answer, over TLS too.
    local client = Dnscli.new(transport)
    local seconds = math.floor(wait)
    client:timeout(seconds, math.floor((wait - seconds) * 1e9))
    if client:connect(cli:val("server"), tostring(cli:val("port"))) ~= 0 then
        cli:fail("cannot reach " .. cli:val("server") .. " port " .. tostring(cli:val("port")))
    end
    local send, send_ctx = client:receive()
    local next_answer, answer_ctx = client:produce()
    local drain_stream = not cli:val("answers") and transport ~= Dnscli.UDP
    local wait_ms = math.max(1, math.floor(wait * 1000))

    -- Unread answers fill a stream's buffers until the server stops reading
    -- and a send blocks for good: before each send, take off what has come,
    -- even when nobody looks at it, until the socket takes more. A server
    -- that neither reads nor answers within the wait gets the send anyway
    -- (which then fails or times out and is counted).
    local function drain_until_writable()
        while true do
            local ready = client:ready(wait_ms)
            if bit.band(ready, Dnscli.READABLE) ~= 0 then
                -- An end, a failure or a wait that ran out (a frame begun and
                -- never finished): stop taking, and send.
                local obj = next_answer(answer_ctx)
                if obj == nil or ffi.cast("const core_object_payload_t*", obj).len == 0 then
                    return
                end
            elseif bit.band(ready, Dnscli.WRITABLE) ~= 0 or ready == 0 then
                return
            end
        end
    end
    local answers = cli:val("answers")

    -- Queries in flight by DNS id (a capture may repeat an id).
    local outstanding, in_flight = {}, 0
    local answered, unmatched, rcodes = 0, 0, {}
    local timed_out = 0

    -- Nothing is sent while the run waits for an answer, so when a wait ends
    -- empty every query in flight has had the whole wait limit: they all
    -- count as timed out, and the window opens again (an answer that still
    -- comes later counts as unmatched).
    local function expire_in_flight()
        timed_out = timed_out + in_flight
        outstanding, in_flight = {}, 0
    end
    local reply = Dns.new()

    -- The client counts every failure in one figure: what a send did not
    -- take is a send error, the rest failed while receiving.
    local attempted, sent, skipped = 0, 0, 0

    -- A line on stderr every second, the first after one second, so that short
    -- runs print nothing. The monotonic clock is a cheap read (no system call).
    local function seconds_now()
        local sec, nsec = Clock.monotonic()
        return sec + nsec * 1e-9
    end
    local started = seconds_now()
    local due, last_at, last_sent = started + 1, started, 0
    local function progress()
        local now = seconds_now()
        if now < due then
            return
        end
        cli:progress(string.format("progress: %.0f s, sent %d, answered %s, %.0f queries/s", now - started, sent,
            answers and tostring(answered) or "-", (sent - last_sent) / (now - last_at)))
        last_at, last_sent = now, sent
        due = due + 1
        if due <= now then
            due = now + 1
        end
    end

    -- Reads one answer; false when none came within the wait limit or the
    -- connection ended.
    local function read_answer()
        local obj = next_answer(answer_ctx)
        progress()
        if obj == nil then
            return false
        end
        local pkt = ffi.cast("const core_object_payload_t*", obj)
        if pkt.len == 0 then
            return false
        end
        reply:reset()
        reply.obj_prev = obj
        -- Stream answers keep their length field.
        reply.includes_dnslen = transport == Dnscli.UDP and 0 or 1
        if reply:parse_header() ~= 0 then
            unmatched = unmatched + 1
            return true
        end
        local id = reply.id
        if (outstanding[id] or 0) > 0 then
            outstanding[id] = outstanding[id] - 1
            in_flight = in_flight - 1
            answered = answered + 1
            rcodes[reply.rcode] = (rcodes[reply.rcode] or 0) + 1
        else
            unmatched = unmatched + 1
        end
        return true
    end

    -- Only queries are replayed: DNS messages with the QR bit clear, over UDP
    -- or TCP (a TCP payload starts with the length field).
    local query = Dns.new()
    while true do
        local read_before = input:packets()
        local obj = next_packet(layer_ctx)
        progress()
        -- A null result is the end of the capture, or a frame the decoder
        -- dropped: the reader's packet count tells the two apart.
        if obj == nil and input:packets() == read_before then
            break
        end
        local transport_layer = obj ~= nil and obj.obj_type == Object.PAYLOAD and obj.obj_prev or nil
        local kind = transport_layer ~= nil and transport_layer.obj_type or nil
        -- Only what went to the DNS port is a query: other traffic (NTP, say)
        -- may well parse as a DNS header.
        if kind == Object.UDP or kind == Object.TCP then
            query:reset()
            query.obj_prev = obj
            if transport_layer:cast().dport == dns_port and query:parse_header() == 0 and query.qr == 0 then
                while answers and in_flight >= window do
                    if not read_answer() then
                        expire_in_flight()
                    end
                end
                local before = client:packets()
                attempted = attempted + 1
                if drain_stream then
                    drain_until_writable()
                end
                send(send_ctx, ffi.cast("const core_object_t*", query))
                if client:packets() > before then
                    sent = sent + 1
                    if answers then
                        outstanding[query.id] = (outstanding[query.id] or 0) + 1
                        in_flight = in_flight + 1
                    end
                end
            else
                skipped = skipped + 1
            end
        end
    end

    if answers then
        while in_flight > 0 and read_answer() do
        end
        expire_in_flight()
    end

    print(string.format("read %d packets, sent %d queries over %s, %d send errors, %d not queries",
        input:packets(), sent, cli:val("transport"), attempted - sent, skipped))
    if answers then
        print(string.format("answered %d, unanswered %d, unmatched answers %d, receive errors %d", answered, timed_out,
            unmatched, client:errors() - (attempted - sent)))
        local codes = {}
        for rcode in pairs(rcodes) do
            codes[#codes + 1] = rcode
        end
        table.sort(codes)
        for _, rcode in ipairs(codes) do
            print(string.format("  %-10s %d", Dns.rcode_tostring(rcode), rcodes[rcode]))
        end
    end
    -- The summary stands either way; the status says whether the whole
    -- capture went out.
    if input.obj.is_broken ~= 0 then
        cli:fail("the capture ends inside a record; replayed up to there")
    end
    if attempted > sent then
        cli:fail(string.format("%d of %d queries could not be sent", attempted - sent, attempted))
    end
end

return Tool
