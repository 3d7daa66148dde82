-- Replays the DNS queries of a capture to one server over UDP, TCP or TLS
-- through the DNS client, paced by the timing filter (or as fast as they
-- can be read). With -a it also reads the answers back, matches them to the
-- queries by DNS id and prints how many were answered, how many were not,
-- and the answers' rcodes.
--   tarvex examples/replay.lua -r queries.pcap -s 127.0.0.1 -p 853 -t tls -a
-- Run with -h for its options.
local Getopt = require("tarvex.lib.getopt")

local opts = Getopt.new({
    { "r", "read", "", "Capture file to replay", "?" },
    { "s", "server", "127.0.0.1", "DNS server to send to", "?" },
    { "p", "port", "53", "Server port", "?" },
    { "t", "transport", "udp", "udp, tcp or tls", "?" },
    { "T", "timing", "fast", "fast (no pacing), keep, multiply, fixed or realtime", "?" },
    { "M", "multiply", 1.0, "Gap factor for -T multiply", "?" },
    { "F", "fixed", 1.0, "Gap in milliseconds for -T fixed", "?" },
    { "a", "answers", false, "Read answers back and match them to the queries by DNS id", "?" },
    { "w", "window", 100, "Queries in flight before waiting for an answer (with -a)", "?" },
    { "W", "wait", 2.0, "Seconds to wait for an answer before giving up (with -a)", "?" },
})
opts.usage_desc = arg[1] .. " [options...] -r FILE"
opts:parse()
if opts:val("help") then
    opts:usage()
    return
end

local ffi = require("ffi")
local Object = require("tarvex.core.objects")
local Dns = require("tarvex.core.object.dns")
local Fpcap = require("tarvex.input.fpcap")
local Timing = require("tarvex.filter.timing")
local Layer = require("tarvex.filter.layer")
local Dnscli = require("tarvex.output.dnscli")

local transports = { udp = Dnscli.UDP, tcp = Dnscli.TCP, tls = Dnscli.TLS }
local transport = transports[opts:val("transport")]
local window, wait = opts:val("window"), opts:val("wait")
if opts:val("read") == "" or not transport or type(window) ~= "number" or window < 1 then
    io.stderr:write("need a capture (-r FILE), a transport (-t udp|tcp|tls) and a window (-w) of 1 or more\n")
    os.exit(1)
end

local input = Fpcap.new()
if input:open(opts:val("read")) ~= 0 then
    io.stderr:write("cannot read " .. opts:val("read") .. "\n")
    os.exit(1)
end

-- Pull form: reader -> timing -> decoder, one query at a time, so that
-- answers can be read between sends.
local layer = Layer.new()
local timing_mode = opts:val("timing")
if timing_mode == "fast" then
    layer:producer(input)
else
    local timing = Timing.new()
    if timing_mode == "keep" then
        timing:keep()
    elseif timing_mode == "multiply" then
        timing:multiply(opts:val("multiply"))
    elseif timing_mode == "fixed" then
        timing:fixed(math.floor(opts:val("fixed") * 1e6))
    elseif timing_mode == "realtime" then
        timing:realtime()
    else
        io.stderr:write("unknown timing mode " .. timing_mode .. "\n")
        os.exit(1)
    end
    timing:producer(input)
    layer:producer(timing)
end
local next_packet, layer_ctx = layer:produce()

-- The wait limit bounds every wait for an answer, over TLS too.
local cli = Dnscli.new(transport)
if opts:val("answers") then
    local seconds = math.floor(wait)
    cli:timeout(seconds, math.floor((wait - seconds) * 1e9))
end
if cli:connect(opts:val("server"), tostring(opts:val("port"))) ~= 0 then
    io.stderr:write("cannot reach " .. opts:val("server") .. " port " .. tostring(opts:val("port")) .. "\n")
    os.exit(1)
end
local send, send_ctx = cli:receive()
local answers = opts:val("answers")
local next_answer, answer_ctx
if answers then
    next_answer, answer_ctx = cli:produce()
end

-- Queries in flight by DNS id (a capture may repeat an id).
local outstanding, in_flight = {}, 0
local answered, unmatched, rcodes = 0, 0, {}
local reply = Dns.new()
-- Stream answers keep their length field.

-- Reads one answer; false when none came within the wait limit or the
-- connection ended.
local function read_answer()
    local obj = next_answer(answer_ctx)
    if obj == nil then
        return false
    end
    local pkt = ffi.cast("const core_object_payload_t*", obj)
    if pkt.len == 0 then
        return false
    end
    reply:reset()
    reply.obj_prev = obj
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
local sent, skipped = 0, 0
while true do
    local obj = next_packet(layer_ctx)
    if obj == nil then
        break
    end
    local transport_layer = obj.obj_type == Object.PAYLOAD and obj.obj_prev or nil
    local kind = transport_layer ~= nil and transport_layer.obj_type or nil
    if kind == Object.UDP or kind == Object.TCP then
        query:reset()
        query.obj_prev = obj
        query.includes_dnslen = kind == Object.TCP and 1 or 0
        if query:parse_header() == 0 and query.qr == 0 then
            while answers and in_flight >= window do
                if not read_answer() then
                    break
                end
            end
            local before = cli:packets()
            send(send_ctx, ffi.cast("const core_object_t*", query))
            if cli:packets() > before then
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
end

print(string.format("read %d packets, sent %d queries over %s, %d send errors, %d not queries",
    input:packets(), sent, opts:val("transport"), cli:errors(), skipped))
if answers then
    print(string.format("answered %d, unanswered %d, unmatched answers %d", answered, in_flight, unmatched))
    local codes = {}
    for rcode in pairs(rcodes) do
        codes[#codes + 1] = rcode
    end
    table.sort(codes)
    for _, rcode in ipairs(codes) do
        print(string.format("  %-10s %d", Dns.rcode_tostring(rcode), rcodes[rcode]))
    end
end
