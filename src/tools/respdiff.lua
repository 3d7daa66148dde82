-- Records DNS queries with the answers of two servers in an LMDB directory
-- for the respdiff comparison tool. Every query is paired with its own
-- answers: an answer belongs to the query sent on the same socket with the
-- same id and the same question.
-- Capture mode (one -s): server 0 is the response the capture holds for the
-- query (from the DNS port back to the query's client address and port,
-- same transport, id and question, within -c seconds of capture time), server
-- 1 the server replayed to. A query whose response the capture does not hold
-- is left out: the database cannot say the first server did not answer.
-- Live mode (two -s): both servers get every query at the same time, and
-- both answers are stored; the capture need hold only queries.
-- Each answer's time is what it took, in microseconds: send to receive for a
-- server, query to response in capture time for the capture's own. A query
-- that could not be sent to a server is left out, not stored as its silence,
-- and makes the run fail after the summary. Keys follow the order of the
-- queries; the run's wall-clock start and end times go into the metadata.
--   tarvex respdiff -r capture.pcap -s 127.0.0.1 -p 53 -o diffdb
--   tarvex respdiff -r queries.pcap -s 192.0.2.1 -s 192.0.2.2@5353 -O kresd -N unbound -o diffdb

local Tool = {
    name = "respdiff",
    summary = "queries with the answers of two servers (or a capture's and one server's), in an LMDB for respdiff",
    usage = "[options...] -r FILE -o DIR",
    options = {
        { "r", "read", "", "Capture file with the queries (and, in capture mode, their original responses)",
            arg = "FILE" },
        { "o", "output", "", "Database directory to write (created when missing)", arg = "DIR" },
        { "s", "server", "127.0.0.1", "DNS server to send to; twice: live mode, both get every query "
            .. "(HOST, HOST@PORT, HOST:PORT or [IPv6]:PORT)", arg = "HOST", many = true },
        { "p", "port", "53", "Server port, for servers given without one", arg = "PORT" },
        { "d", "dns-port", "53", "Port the capture's queries went to", arg = "PORT" },
        { "t", "transport", "udp", "udp, tcp, tls or doh (DNS over HTTPS)", arg = "PROTO" },
        { "m", "mapsize", "", "Database map size in bytes, the most it can hold (default: sized from the capture)",
            arg = "BYTES" },
        { "f", "force", false, "Replace a database the output directory already holds" },
        { "w", "window", "100", "Queries in flight before waiting for an answer", arg = "N" },
        { nil, "clients", "capture", "capture: a socket or connection per captured client; N: N shared in turn",
            arg = "N" },
        { "W", "wait", "2", "Seconds to wait for a server's answer to a query", arg = "SECONDS" },
        { "c", "capture-wait", "3", "Seconds of capture time an original response may follow its query", arg = "SECONDS" },
        { "O", "orig-name", "", "Name of server 0 in the database (default: original, or server0 in live mode)",
            arg = "NAME" },
        { "N", "recv-name", "", "Name of server 1 in the database (default: replayed, or server1 in live mode)",
            arg = "NAME" },
    },
}
require("tarvex.tools.lib.cli").with_doh(Tool.options)

-- Every query is stored with at most two answers, in capture mode each no
-- longer than the packets that carried them in the capture: sixteen times
-- the capture's size is room enough, and costs nothing until written (the
-- map is sparse).
local MIB = 1024 * 1024
-- What the map needs besides the entries: the databases' roots, the free
-- list, the metadata written at the commit.
local MAP_RESERVE = 64 * 1024
-- In live mode the capture holds the queries alone, and answers can be
-- many times their size: sixty-four times is room enough there.
local function map_size_for(path, live)
    local file = io.open(path, "rb")
    local size = file and file:seek("end") or 0
    if file then
        file:close()
    end
    return math.max(10 * MIB, math.ceil(size * (live and 64 or 16) / MIB) * MIB)
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

-- A server as given: HOST@PORT, [IPv6]:PORT, HOST:PORT (one colon only, so
-- that a bare IPv6 address stays an address), or HOST with the -p port.
local function server_address(address, port)
    local host, given = address:match("^(.+)@(%d+)$")
    if not host then
        host, given = address:match("^%[(.+)%]:(%d+)$")
    end
    if not host then
        host, given = address:match("^([^:]+):(%d+)$")
    end
    if not host then
        host = address:match("^%[(.+)%]$") or address
    end
    return host, given or port
end

-- The replayer finds a stream server's refusal only once it runs; a refused
-- or unreachable server is said before anything is written.
local function reachable(Dnscli, transport, host, port, wait, h2c)
    if transport == "udp" then
        return true
    end
    -- DoH is probed as the TLS (or, with --h2c, TCP) connection under it.
    local probe = Dnscli.new((transport == "tcp" or h2c) and Dnscli.TCP or Dnscli.TLS)
    local whole = math.floor(wait)
    probe:timeout(whole, math.floor((wait - whole) * 1e9))
    return probe:connect(host, port) == 0
end

function Tool.run(cli)
    cli:no_more_args()

    local Decode = require("tarvex.tools.lib.decode")
    local Dnscli = require("tarvex.output.dnscli")
    local Replayer = require("tarvex.output.replayer")
    local Respdiff = require("tarvex.output.respdiff")
    local Diffstore = require("tarvex.output.diffstore")
    local Clock = require("tarvex.lib.clock")

    local transport = cli:val("transport")
    if cli:val("read") == "" or cli:val("output") == "" then
        cli:fail("need a capture (-r FILE) and a database directory (-o DIR)")
    elseif transport ~= "udp" and transport ~= "tcp" and transport ~= "tls" and transport ~= "doh" then
        cli:fail("unknown transport " .. transport .. " (-t udp, tcp, tls or doh)")
    end
    local given_servers = cli:val("server")
    given_servers = type(given_servers) == "table" and given_servers or { given_servers }
    if #given_servers > 2 then
        cli:fail("a database holds two servers: give -s once (capture mode) or twice (live mode)")
    end
    local live = #given_servers == 2
    local window = cli:whole("window", 1)
    local wait, capture_wait = cli:real("wait", 0.001), cli:real("capture-wait", 0)
    local port = tostring(cli:whole("port", 0, 65535))
    local dns_port = cli:whole("dns-port", 0, 65535)
    local mapsize = cli:given("mapsize") and cli:whole("mapsize", 4 * MAP_RESERVE)
        or map_size_for(cli:val("read"), live)
    local names = {
        cli:val("orig-name") ~= "" and cli:val("orig-name") or (live and "server0" or "original"),
        cli:val("recv-name") ~= "" and cli:val("recv-name") or (live and "server1" or "replayed"),
    }
    refuse_old_database(cli, cli:val("output"))

    local input = cli:open_capture(cli:val("read"))
    -- Messages over TCP come whole and without their length field.
    local chain = Decode.pull(input, dns_port, input)

    -- The replayer's wait bounds every wait for an answer, so that a silent
    -- server cannot hang the run; a closed or reset connection is opened
    -- again and what it left unanswered is sent once more.
    local rp = Replayer.new()
    rp:transport(transport)
    if transport == "doh" then
        rp:doh(cli:doh())
    end
    rp:window(window)
    if cli:val("clients") ~= "capture" then
        rp:clients(cli:whole("clients", 1, 1000000))
    end
    rp:wait(wait)
    rp:dns_port(dns_port)
    local servers = {}
    for _, address in ipairs(given_servers) do
        local host, server_port = server_address(address, port)
        local label = host .. " port " .. server_port
        if not reachable(Dnscli, transport, host, server_port, wait, transport == "doh" and cli:val("h2c"))
            or rp:connect(host, server_port) ~= 0 then
            cli:fail("cannot reach " .. label)
        end
        servers[#servers + 1] = label
    end

    -- Opened last, so that a bad capture or server leaves no database behind.
    local db = Respdiff.new(cli:val("output"), names[1], names[2], mapsize)
    local store = Diffstore.new()
    store:writer(db)
    -- LMDB ends the process when its map is full; the store stops first,
    -- while a third of the map is still free (pages are half full at worst,
    -- and each entry carries keys and headers besides its bytes).
    store:limit(math.max(0, math.floor((mapsize - MAP_RESERVE) / 3)))
    store:attach(rp)
    if live then
        rp:input(chain, input)
    else
        store:capture_mode(dns_port, capture_wait)
        store:producer(chain)
        rp:input(store, input)
    end

    local start_time = Clock.realtime()
    local next_progress = os.time() + 5
    while true do
        local status = rp:run(0.25)
        if store:full() then
            cli:fail(string.format("the database map of %d bytes is too small for this capture after %d "
                .. "queries; run again with a larger -m (the map is sparse: -m %d costs nothing until written)",
                mapsize, store:counts().stored, mapsize * 4))
        end
        if status == "failed" then
            cli:fail("the replay could not start (see the log above)")
        elseif status == "done" then
            break
        elseif status == "input ended" then
            rp:input(nil)
        end
        if os.time() >= next_progress then
            local c = store:counts()
            cli:progress(string.format("respdiff: %d queries read, %d stored", c.queries, c.stored))
            next_progress = os.time() + 5
        end
    end
    store:finish()
    local c = store:counts()
    if c.unknown_ordinals > 0 or store:pending() > 0 then
        cli:fail(string.format("%d outcomes matched no query read and %d queries were never settled",
            c.unknown_ordinals, store:pending()))
    end
    db:commit(start_time, Clock.realtime())

    local counts = rp:counts()
    local left_out = c.no_original + c.not_sent + c.over_limit
    local function server_line(side, label)
        return string.format("%s (%s): %d answered, %d timed out, %d send failures", names[side], label,
            c.answered[side], c.timed_out[side], c.send_failed[side])
    end
    print(string.format("read %d packets, %d queries, replayed over %s to %s", input:packets(), c.queries,
        transport, table.concat(servers, " and ")))
    print(string.format("stored %d queries, left out %d: %d without an original response, %d not sent to "
        .. "every server", c.stored, left_out, c.no_original, c.not_sent))
    if live then
        print(server_line(1, servers[1]) .. "; " .. server_line(2, servers[2]))
    else
        print(string.format("%s (the capture): %d answered, %d without a response; ", names[1], c.answered[1],
            c.timed_out[1]) .. server_line(2, servers[1]))
    end
    print(string.format("unmatched: %d responses in the capture, %d answers from the servers; %d reconnects, "
        .. "%d queries sent again", c.stray_originals, counts.unmatched, counts.reconnects, counts.resent))
    io.stdout:flush()
    if input.obj.is_broken ~= 0 then
        cli:fail("the capture ends inside a record; stored up to there")
    end
    if c.not_sent > 0 then
        cli:fail(string.format("%d of %d queries could not be sent to every server; they are left out",
            c.not_sent, c.queries))
    end
end

return Tool
