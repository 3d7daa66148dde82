-- Replays the DNS queries of a capture to one server over UDP, TCP or TLS
-- and records each query with two responses in an LMDB directory for the
-- respdiff comparison tool: the response the capture holds for it (sent to
-- the query's client address and port with its DNS id) as server 0, and the
-- response of the server replayed to (matched by DNS id) as server 1.
-- A query the server leaves unanswered for -W seconds is stored without a
-- second response. A query whose original response is not in the capture is
-- left out: the database cannot say that the first server did not answer.
-- The run's wall-clock start and end times go into the database's metadata.
--   tarvex respdiff -r capture.pcap -s 127.0.0.1 -p 53 -o diffdb

local Tool = {
    name = "respdiff",
    summary = "a capture's recorded answers beside a server's answers, in an LMDB for respdiff",
    usage = "[options...] -r FILE -o DIR",
    options = {
        { "r", "read", "", "Capture file with the queries and their original responses", arg = "FILE" },
        { "o", "output", "", "Database directory to write (created when missing)", arg = "DIR" },
        { "s", "server", "127.0.0.1", "DNS server to send to", arg = "HOST" },
        { "p", "port", "53", "Server port", arg = "PORT" },
        { "d", "dns-port", "53", "Port the capture's queries went to", arg = "PORT" },
        { "t", "transport", "udp", "udp, tcp or tls", arg = "PROTO" },
        { "m", "mapsize", "", "Database map size in bytes, the most it can hold (default: sized from the capture)",
            arg = "BYTES" },
        { "f", "force", false, "Replace a database the output directory already holds" },
        { "w", "window", "100", "Queries in flight before waiting for an answer", arg = "N" },
        { "W", "wait", "2", "Seconds to wait for the server's answer to a query", arg = "SECONDS" },
        { "c", "capture-wait", "3", "Seconds of capture time an original response may follow its query", arg = "SECONDS" },
        { "O", "orig-name", "original", "Name of the capture's server in the database", arg = "NAME" },
        { "N", "recv-name", "replayed", "Name of the server replayed to in the database", arg = "NAME" },
    },
}

-- Every query is stored with at most two answers, each no longer than the
-- packets that carried them in the capture: sixteen times the capture's size
-- is room enough, and costs nothing until written (the map is sparse).
local MIB = 1024 * 1024
-- What the map needs besides the entries: the databases' roots, the free
-- list, the metadata written at the commit.
local MAP_RESERVE = 64 * 1024
local function map_size_for(path)
    local file = io.open(path, "rb")
    local size = file and file:seek("end") or 0
    if file then
        file:close()
    end
    return math.max(10 * MIB, math.ceil(size * 16 / MIB) * MIB)
end

-- A new run's keys start at 0, so writing into an old database would leave
-- its entries beside the new ones under the new run's metadata.
local function refuse_old_database(cli, dir)
    local data = dir .. "/data.mdb"
    local old = io.open(data, "rb")
    if not old then
        return
    end
    old:close()
    if not cli:val("force") then
        cli:fail(dir .. " already holds a database (-f replaces it)")
    end
    for _, name in ipairs({ data, dir .. "/lock.mdb" }) do
        local ok, why = os.remove(name)
        if not ok and io.open(name) then
            cli:fail("cannot replace " .. why)
        end
    end
end

function Tool.run(cli)
    cli:no_more_args()

    local ffi = require("ffi")
    local Object = require("tarvex.core.objects")
    local Dns = require("tarvex.core.object.dns")
    local Decode = require("tarvex.tools.lib.decode")
    local Dnscli = require("tarvex.output.dnscli")
    local Respdiff = require("tarvex.output.respdiff")
    local Clock = require("tarvex.lib.clock")

    local transports = { udp = Dnscli.UDP, tcp = Dnscli.TCP, tls = Dnscli.TLS }
    local transport = transports[cli:val("transport")]
    if cli:val("read") == "" or cli:val("output") == "" then
        cli:fail("need a capture (-r FILE) and a database directory (-o DIR)")
    elseif not transport then
        cli:fail("unknown transport " .. cli:val("transport") .. " (-t udp, tcp or tls)")
    end
    local window = cli:whole("window", 1)
    local wait, capture_wait = cli:real("wait", 0.001), cli:real("capture-wait", 0)
    local dns_port = cli:whole("dns-port", 0, 65535)
    local mapsize = cli:given("mapsize") and cli:whole("mapsize", 4 * MAP_RESERVE) or map_size_for(cli:val("read"))
    refuse_old_database(cli, cli:val("output"))

    local input = cli:open_capture(cli:val("read"))
    -- Messages over TCP come whole and without their length field.
    local chain = Decode.pull(input, dns_port, input)
    local next_packet, layer_ctx = chain:produce()

    -- The wait limit bounds every wait for an answer, over TLS too, so that a
    -- silent server cannot hang the run.
    local client = Dnscli.new(transport)
    local wait_seconds = math.floor(wait)
    client:timeout(wait_seconds, math.floor((wait - wait_seconds) * 1e9))
    local server, port = cli:val("server"), tostring(cli:val("port"))
    if client:connect(server, port) ~= 0 then
        cli:fail("cannot reach " .. server .. " port " .. port)
    end
    local send, send_ctx = client:receive()
    local next_answer, answer_ctx = client:produce()
    local stream = transport ~= Dnscli.UDP

    -- Opened last, so that a bad capture or server leaves no database behind.
    local db = Respdiff.new(cli:val("output"), cli:val("orig-name"), cli:val("recv-name"), mapsize)
    local store, store_ctx = db:receive()

    -- The chain handed to the writer: query -> original response -> server's
    -- response, each pointing at a Lua string held by the query's entry.
    local query_rec = ffi.new("core_object_payload_t")
    local orig_rec = ffi.new("core_object_payload_t")
    local recv_rec = ffi.new("core_object_payload_t")
    -- What goes to the server: the stored query, framed on a stream.
    local send_rec = ffi.new("core_object_payload_t")
    for _, rec in ipairs({ query_rec, orig_rec, recv_rec, send_rec }) do
        rec.obj_type = Object.PAYLOAD
    end
    query_rec.obj_prev = ffi.cast("const core_object_t*", orig_rec)

    local function point(rec, bytes)
        rec.payload = ffi.cast("const uint8_t*", bytes)
        rec.len = #bytes
    end

    local function now()
        local sec, nsec = Clock.monotonic()
        return sec + nsec / 1e9
    end

    -- Queries in capture order, from `first` to `last`. Each entry holds the
    -- query's bytes and `orig`/`recv`: nil while awaited, false when given up,
    -- else the response's bytes. Entries are stored in this order as soon as
    -- the oldest has both sides settled, so keys follow the capture.
    local entries, first, last = {}, 1, 0
    -- Entries awaiting their original response by client and DNS id, and
    -- entries awaiting the server's answer by DNS id; each a list, oldest first.
    local by_client, by_id = {}, {}
    -- The oldest entries whose original response and server answer may still
    -- come, for giving up on them in order.
    local orig_scan, recv_scan = 1, 1
    local in_flight = 0
    local stored, unanswered, no_original, stray_originals, unmatched = 0, 0, 0, 0, 0
    local written = 0
    -- The client counts every failure in one figure: a query that did not go
    -- out (a failed send, or none after the connection ended) is a send
    -- error, the rest of its failures came while receiving.
    local attempted, sent = 0, 0

    local function push(lists, key, entry)
        local list = lists[key]
        if not list then
            lists[key] = { entry }
        else
            list[#list + 1] = entry
        end
    end

    -- Takes `entry` (or, without one, the oldest entry) off the list under `key`.
    -- Entries are settled oldest first, so the one wanted is nearly always the
    -- first of its list.
    local function take(lists, key, entry)
        local list = lists[key]
        if not list then
            return nil
        end
        local index = 1
        if entry then
            while list[index] ~= entry do
                if list[index] == nil then
                    return nil
                end
                index = index + 1
            end
        end
        local found = table.remove(list, index)
        if #list == 0 then
            lists[key] = nil
        end
        return found
    end

    local function flush()
        while first <= last do
            local entry = entries[first]
            if entry.orig == nil or entry.recv == nil then
                return
            end
            if entry.orig == false then
                no_original = no_original + 1
            else
                point(query_rec, entry.query)
                point(orig_rec, entry.orig)
                if entry.recv then
                    point(recv_rec, entry.recv)
                    orig_rec.obj_prev = ffi.cast("const core_object_t*", recv_rec)
                else
                    orig_rec.obj_prev = nil
                    unanswered = unanswered + 1
                end
                -- LMDB ends the process when its map is full; stop first, with
                -- the way out, while a third of the map is still free (pages
                -- are half full at worst, and each entry carries keys and
                -- headers besides its bytes).
                written = written + #entry.query + #entry.orig + (entry.recv and #entry.recv or 0) + 64
                if written * 3 + MAP_RESERVE > mapsize then
                    cli:fail(string.format("the database map of %d bytes is too small for this capture after %d "
                        .. "queries; run again with a larger -m (the map is sparse: -m %d costs nothing until written)",
                        mapsize, stored, mapsize * 4))
                end
                store(store_ctx, ffi.cast("const core_object_t*", query_rec))
                stored = stored + 1
            end
            entries[first] = nil
            first = first + 1
        end
    end

    -- Gives up on the answers of queries sent `wait` seconds ago or longer, or
    -- on every answer in flight after a wait that ended without one.
    local function expire_answers(all)
        local limit = now() - wait
        while recv_scan <= last do
            local entry = entries[recv_scan]
            if entry and entry.recv == nil then
                if not all and entry.sent_at > limit then
                    break
                end
                take(by_id, entry.id, entry)
                entry.recv = false
                in_flight = in_flight - 1
            end
            recv_scan = recv_scan + 1
        end
    end

    -- Gives up on the original responses that did not follow their queries
    -- within the capture wait before `ts` (every one still awaited without it).
    local function expire_originals(ts)
        while orig_scan <= last do
            local entry = entries[orig_scan]
            if entry and entry.orig == nil then
                if ts and entry.ts + capture_wait >= ts then
                    break
                end
                take(by_client, entry.client, entry)
                entry.orig = false
            end
            orig_scan = orig_scan + 1
        end
    end

    local reply = Dns.new()
    local connection_ended = false

    -- Reads one answer from the server; false when none came within the wait
    -- (every query in flight has then waited that long) or the connection ended.
    local function read_answer()
        local errors_before = client:errors()
        local obj = next_answer(answer_ctx)
        if obj == nil and not stream and client:errors() == errors_before then
            -- An empty datagram: the client hands it on as the end of a
            -- pull, but a datagram socket has no end, and it answers nothing.
            unmatched = unmatched + 1
            return true
        end
        if obj == nil then
            connection_ended = true
            expire_answers(true)
            return false
        end
        local pkt = ffi.cast("const core_object_payload_t*", obj)
        if pkt.len == 0 then
            expire_answers(true)
            return false
        end
        reply:reset()
        reply.obj_prev = obj
        reply.includes_dnslen = stream and 1 or 0
        local entry = reply:parse_header() == 0 and take(by_id, reply.id) or nil
        if entry then
            local skip = stream and 2 or 0
            entry.recv = ffi.string(pkt.payload + skip, tonumber(pkt.len) - skip)
            in_flight = in_flight - 1
        else
            unmatched = unmatched + 1
        end
        expire_answers(false)
        return true
    end

    -- The DNS message of a payload (over TCP too: the reassembly hands on
    -- messages without their length field).
    local function message_bytes(payload)
        return ffi.string(payload.payload, payload.len)
    end

    -- The client of a query is its source, the client of a response its
    -- destination; the transport keeps UDP and TCP ports apart.
    local function client_key(kind, address, ip, port, id)
        local width = ip.obj_type == Object.IP and 4 or 16
        return string.format("%d %s %d %d", kind, ffi.string(address, width), port, id)
    end

    local function replay_query(id, payload, kind, ip, transport_layer, ts)
        while in_flight >= window and not connection_ended do
            read_answer()
        end
        local entry = {
            query = message_bytes(payload),
            ts = ts,
            id = id,
            client = client_key(kind, ip.src, ip, transport_layer.sport, id),
        }
        last = last + 1
        entries[last] = entry
        push(by_client, entry.client, entry)
        entry.sent_at = now()
        local before = client:packets()
        if not connection_ended then
            attempted = attempted + 1
            local wire = entry.query
            if stream then
                wire = string.char(math.floor(#wire / 256), #wire % 256) .. wire
            end
            point(send_rec, wire)
            send(send_ctx, ffi.cast("const core_object_t*", send_rec))
        end
        if client:packets() > before then
            sent = sent + 1
            push(by_id, entry.id, entry)
            in_flight = in_flight + 1
        else
            entry.recv = false
        end
    end

    local function original_response(id, payload, kind, ip, transport_layer)
        local entry = take(by_client, client_key(kind, ip.dst, ip, transport_layer.dport, id))
        if entry then
            entry.orig = message_bytes(payload)
        else
            stray_originals = stray_originals + 1
        end
    end

    local start_time = Clock.realtime()
    local message = Dns.new()
    while true do
        local read_before = input:packets()
        local obj = next_packet(layer_ctx)
        if obj == nil and input:packets() == read_before then
            break
        end
        local transport_layer = obj ~= nil and obj.obj_type == Object.PAYLOAD and obj.obj_prev or nil
        local kind = transport_layer ~= nil and transport_layer.obj_type or nil
        local ip = transport_layer ~= nil and transport_layer.obj_prev or nil
        local udp_or_tcp = (kind == Object.UDP or kind == Object.TCP) and ip ~= nil
            and (ip.obj_type == Object.IP or ip.obj_type == Object.IP6) and transport_layer:cast() or nil
        -- Queries are what went to the DNS port and responses what came from it:
        -- other traffic (NTP, say) may well parse as a DNS header.
        if udp_or_tcp and (udp_or_tcp.dport == dns_port or udp_or_tcp.sport == dns_port) then
            local pcap = obj:cast_to(Object.PCAP)
            local ts = tonumber(pcap.ts.sec) + tonumber(pcap.ts.nsec) / 1e9
            expire_originals(ts)
            message:reset()
            message.obj_prev = obj
            if message:parse_header() == 0 then
                local payload, cast_ip = obj:cast(), ip:cast()
                if message.qr == 0 and udp_or_tcp.dport == dns_port then
                    replay_query(message.id, payload, kind, cast_ip, udp_or_tcp, ts)
                elseif message.qr == 1 and udp_or_tcp.sport == dns_port then
                    original_response(message.id, payload, kind, cast_ip, udp_or_tcp)
                end
            end
            flush()
        end
    end

    expire_originals(nil)
    while in_flight > 0 and read_answer() do
    end
    expire_answers(true)
    flush()
    db:commit(start_time, Clock.realtime())

    print(string.format("read %d packets, replayed %d queries over %s, %d send errors, %d receive errors",
        input:packets(), last, cli:val("transport"), last - sent, client:errors() - (attempted - sent)))
    print(string.format("stored %d queries, %d of them without an answer from %s port %s",
        stored, unanswered, server, port))
    print(string.format("left out %d queries without an original response; %d responses in the capture "
        .. "and %d answers from the server matched no query", no_original, stray_originals, unmatched))
    io.stdout:flush()
    if input.obj.is_broken ~= 0 then
        cli:fail("the capture ends inside a record; stored up to there")
    end
    -- The database is whole, but what it says of those queries is not the
    -- server's word.
    if last > sent then
        cli:fail(string.format("%d of %d queries could not be sent; they are stored without an answer",
            last - sent, last))
    end
end

return Tool
