-- Counts what the DNS traffic of a capture is made of: queries and
-- responses, opcodes, question types (of queries), rcodes (of responses) and
-- the names asked most often (first question of each query, compared without
-- regard to case), with the packet rate over the capture's own time span and
-- over this run's wall time.
--   tarvex stats -r capture.pcap [-n 20]

local Tool = {
    name = "stats",
    summary = "statistics of a capture's DNS traffic",
    usage = "[options...] -r FILE",
    options = {
        { "r", "read", "", "Capture file to read", arg = "FILE" },
        { "n", "names", "10", "How many query names to list (0: none)", arg = "N" },
        { "p", "port", "53", "DNS port, UDP or TCP", arg = "PORT" },
        { "m", "mmap", false, "Read through a memory map (always so for a regular file; kept for old command lines)" },
    },
}

function Tool.run(cli)
    local path = cli:val("read")
    if path == "" then
        cli:fail("need a capture (-r FILE); run with -h for the options")
    end
    cli:no_more_args()
    local top, port = cli:whole("names", 0), cli:whole("port", 0, 65535)

    local Object = require("tarvex.core.objects")
    local Dns = require("tarvex.core.object.dns")
    local Label = require("tarvex.core.object.dns.label")
    local Q = require("tarvex.core.object.dns.q")
    local Decode = require("tarvex.tools.lib.decode")
    local Clock = require("tarvex.lib.clock")

    local function seconds_now()
        local sec, nsec = Clock.monotonic()
        return sec + nsec / 1e9
    end

    local input = cli:open_capture(path)
    -- Messages over TCP and fragmented datagrams arrive whole, TCP ones
    -- without their length field.
    local chain = Decode.pull(input, port, input)
    local produce, ctx = chain:produce()

    -- One DNS object, question and label array for the whole run. A name has at
    -- most 127 labels, and the root label ends it.
    local MAX_LABELS = 128
    local dns, question, labels = Dns.new(), Q.new(), Label.new(MAX_LABELS)
    local last_pkt = input.obj.prod_pkt

    local counts = { dns = 0, malformed = 0, queries = 0, responses = 0, tcp = 0, udp_dns = 0, tcp_dns = 0 }
    local opcodes, qtypes, rcodes, names = {}, {}, {}, {}
    local first_ts, last_ts

    local function bump(tally, key)
        tally[key] = (tally[key] or 0) + 1
    end

    local function count_message(obj, stream)
        dns:reset()
        dns.obj_prev = obj
        if stream then
            counts.tcp_dns = counts.tcp_dns + 1
        else
            counts.udp_dns = counts.udp_dns + 1
        end
        if dns:parse_header() ~= 0 then
            counts.malformed = counts.malformed + 1
            return
        end
        counts.dns = counts.dns + 1
        if stream then
            counts.tcp = counts.tcp + 1
        end
        bump(opcodes, Dns.opcode_tostring(dns.opcode))
        if dns.qr == 1 then
            counts.responses = counts.responses + 1
            bump(rcodes, Dns.rcode_tostring(dns.rcode))
            return
        end
        counts.queries = counts.queries + 1
        if dns.qdcount == 0 or dns:parse_q(question, labels, MAX_LABELS) ~= 0 then
            bump(qtypes, "(no question)")
            return
        end
        bump(qtypes, Dns.type_tostring(question.type))
        bump(names, ((Label.tostring(dns, labels, MAX_LABELS) or "."):lower()))
    end

    local function count_packet(obj)
        if obj.obj_type ~= Object.PAYLOAD then
            return
        end
        local payload = obj:cast()
        local transport = payload.obj_prev
        if transport == nil or payload.len == 0 then
            return
        end
        local kind = transport.obj_type
        if kind ~= Object.UDP and kind ~= Object.TCP then
            return
        end
        transport = transport:cast()
        if transport.sport == port or transport.dport == port then
            count_message(obj, kind == Object.TCP)
        end
    end

    local started = seconds_now()
    -- A null result is the end of the capture, or a frame the decoder dropped:
    -- the reader's packet count tells the two apart.
    while true do
        local read_before = input:packets()
        local obj = produce(ctx)
        -- A message held back from the segment before comes without a read.
        if obj == nil and input:packets() == read_before then
            break
        end
        local ts = tonumber(last_pkt.ts.sec) + tonumber(last_pkt.ts.nsec) / 1e9
        if not first_ts or ts < first_ts then
            first_ts = ts
        end
        if not last_ts or ts > last_ts then
            last_ts = ts
        end
        if obj ~= nil then
            count_packet(obj)
        end
    end
    local wall = seconds_now() - started
    local packets = input:packets()

    local function rate(amount, seconds)
        if seconds <= 0 then
            return "-"
        end
        return string.format("%.1f", amount / seconds)
    end

    -- Rows sorted by count, most first, ties by label.
    local function ranked(tally, limit)
        local rows = {}
        for label, count in pairs(tally) do
            rows[#rows + 1] = { label, count }
        end
        table.sort(rows, function(a, b)
            if a[2] ~= b[2] then
                return a[2] > b[2]
            end
            return a[1] < b[1]
        end)
        for i = #rows, (limit or #rows) + 1, -1 do
            rows[i] = nil
        end
        return rows
    end

    local sections = {
        { "opcode", ranked(opcodes), counts.dns },
        { "qtype of queries", ranked(qtypes), counts.queries },
        { "rcode of responses", ranked(rcodes), counts.responses },
    }
    if top > 0 then
        sections[#sections + 1] = { "top " .. top .. " query names", ranked(names, top), counts.queries }
    end
    local width = 20
    for _, section in ipairs(sections) do
        width = math.max(width, #section[1])
        for _, row in ipairs(section[2]) do
            width = math.max(width, #row[1] + 2)
        end
    end

    local span = first_ts and last_ts - first_ts or 0
    print(string.format("%-12s %s", "capture", path))
    -- Every segment of a followed TCP flow carried DNS, whole or in part, and
    -- so did every fragment but the one that completed its datagram (which
    -- is counted with what it completed).
    local reassembly = chain:counters()
    -- A dnstap log's TCP messages come whole, one per record.
    local tcp_packets = chain.whole and counts.tcp_dns or reassembly.tcp_segments
    local other = packets - counts.udp_dns - tcp_packets - (reassembly.ip_fragments - reassembly.ip_datagrams)
    print(string.format("%-12s %d read, %d DNS, %d malformed DNS, %d other", "packets", packets, counts.dns,
        counts.malformed, math.max(0, other)))
    print(string.format("%-12s %d queries, %d responses, %d over TCP", "messages", counts.queries, counts.responses,
        counts.tcp))
    local report = chain:report()
    print(string.format("%-12s %s", "reassembled", report[1]))
    print(string.format("%-12s %s", "given up", report[2]))
    print(string.format("%-12s %.3f s first to last packet, %s packets/s", "capture time", span, rate(packets, span)))
    print(string.format("%-12s %.3f s, %s packets/s", "wall time", wall, rate(packets, wall)))
    if input:format() == "dnstap" then
        print(string.format("%-12s %d records skipped (not a DNS message; told on the log)", "dnstap",
            input.reader:skipped()))
    end
    if input.obj.is_broken ~= 0 then
        print(string.format("%-12s the capture ends inside a record", "note"))
    end
    local row_format = "%-" .. width .. "s %10s %7s"
    for _, section in ipairs(sections) do
        local title, rows, total = section[1], section[2], section[3]
        print()
        print(string.format(row_format, title, "count", "share"))
        if #rows == 0 then
            print("  (none)")
        end
        for _, row in ipairs(rows) do
            print(string.format(row_format, "  " .. row[1], row[2], string.format("%.1f%%", 100 * row[2] / total)))
        end
    end
end

return Tool
