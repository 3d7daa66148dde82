-- Replays the DNS queries of a capture to a server as its clients sent them:
-- a socket (UDP) or connection (TCP, TLS) per captured client, or N shared;
-- paced by capture time, a factor, a fixed gap, a target rate or a stepped
-- load; every answer matched to its own query and timed. Prints what was
-- sent, answered, lost and how fast, with latency percentiles and rcodes;
-- writes the same as JSON and as a self-contained HTML report; compares two
-- runs and merges the results of shards run on several hosts.
--   tarvex replay -r queries.pcap -s 127.0.0.1 -t tcp -Q 20000 --json run.json
--   tarvex replay --compare before.json after.json
--   tarvex replay --merge all.json shard-*.json

local Cli = require("tarvex.tools.lib.cli")

-- The queries the feed holds for its workers: lanes of a power of two each,
-- fewer per lane with many workers (a query's slot is about 1 KB).
local function feed_lane_queries(threads)
    local per_lane = 4096
    while per_lane > 256 and per_lane * threads > 16384 do
        per_lane = per_lane / 2
    end
    return per_lane
end

local Tool = {
    name = "replay",
    summary = "replays a capture's queries as its clients sent them, and measures latency and loss",
    usage = "[options...] -r FILE | --compare A.json B.json | --merge OUT.json IN.json...",
    options = {
        { "r", "read", "", "Capture to replay (PCAP or pcapng, plain or compressed; - for standard input)",
            arg = "FILE" },
        { "s", "server", "127.0.0.1", "DNS server to send to", arg = "HOST" },
        { "p", "port", "53", "Server port", arg = "PORT" },
        { "d", "dns-port", "53", "Destination port of the queries in the capture", arg = "PORT" },
        { "t", "transport", "udp", "udp, tcp, tls or doh (DNS over HTTPS)", arg = "PROTO" },
        { "c", "clients", "capture", "capture: a socket or connection per captured client; N: N shared in turn",
            arg = "N" },
        { nil, "idle", "", "Capture-time seconds of silence that close a client's socket (default: never)",
            arg = "SECONDS" },
        { nil, "queries-per-conn", "0", "Queries per connection before it is closed and another opened (0: no limit)",
            arg = "N" },
        { nil, "max-sockets", "", "Open sockets at most; the longest unused is closed (default: just below the "
            .. "descriptor limit, raised to its hard limit)", arg = "N" },
        { "T", "timing", "fast", "fast (no pacing), keep, multiply, fixed or realtime", arg = "MODE" },
        { "M", "multiply", "1", "Gap factor for -T multiply", arg = "FACTOR" },
        { "F", "fixed", "1", "Gap in milliseconds for -T fixed", arg = "MS" },
        { nil, "max-gap", "", "Longest capture gap kept by paced modes, in seconds (default: none; a gap over "
            .. "a minute is always told)", arg = "SECONDS" },
        { "Q", "qps", "", "Sustained rate in queries per second, evenly spaced", arg = "QPS" },
        { nil, "ramp", "", "Stepped load: FROM:TO:STEP:SECONDS queries per second, each step held SECONDS "
            .. "(whole wall-clock seconds)",
            arg = "STEPS" },
        { nil, "max-loss", "", "With --ramp: stop at the step whose loss exceeds this percentage", arg = "PCT" },
        { nil, "max-p99", "", "With --ramp: stop at the step whose p99 latency exceeds this, in ms", arg = "MS" },
        { nil, "loop", "1", "Replay the capture this many times, time shifted", arg = "N" },
        { nil, "duration", "", "Replay for this many seconds, repeating the capture as needed", arg = "SECONDS" },
        { "n", "threads", "1", "Worker threads; clients are spread over them by address", arg = "N" },
        { "w", "window", "100", "Queries in flight at most, over the whole run", arg = "N" },
        { "W", "wait", "2", "Seconds a query waits for its answer before it counts as timed out", arg = "SECONDS" },
        { "a", "answers", false, "Accepted for old scripts: answers are always read and measured" },
        { nil, "json", "", "Write the result as JSON", arg = "FILE" },
        { nil, "report", "", "Write the result as a self-contained HTML page", arg = "FILE" },
        { nil, "compare", false, "Compare two JSON results (the two arguments) instead of replaying" },
        { nil, "merge", "", "Merge the JSON results given as arguments into FILE instead of replaying",
            arg = "FILE" },
        { nil, "shard", "", "Send only shard I of N of the clients (the other hosts send the rest)", arg = "I/N" },
        { nil, "start-at", "", "Wall-clock time to send the first query, in seconds since the epoch", arg = "TIME" },
    },
}
Cli.with_doh(Tool.options)

local Results = require("tarvex.tools.lib.results")
local Json = require("tarvex.tools.lib.json")

local function write_file(cli, path, text)
    local file, why = io.open(path, "wb")
    if not file then
        cli:fail("cannot write " .. why)
    end
    local ok, write_error = file:write(text)
    file:close()
    if not ok then
        cli:fail("cannot write " .. path .. ": " .. tostring(write_error))
    end
end

-- What a result becomes: lines on stdout, and the files asked for.
local function present(cli, result)
    for _, line in ipairs(Results.summary(result)) do
        print(line)
    end
    io.stdout:flush()
    if cli:val("json") ~= "" then
        write_file(cli, cli:val("json"), Json.encode(result) .. "\n")
    end
    if cli:val("report") ~= "" then
        write_file(cli, cli:val("report"), require("tarvex.tools.lib.report").html(result))
    end
end

local function load_result(cli, path)
    local result, why = Results.load(path)
    if not result then
        cli:fail(why)
    end
    return result
end

local function compare(cli)
    if #cli.args ~= 2 then
        cli:fail("--compare needs two JSON results")
    end
    local lines, why = Results.compare(load_result(cli, cli.args[1]), load_result(cli, cli.args[2]))
    if not lines then
        cli:fail(why)
    end
    for _, line in ipairs(lines) do
        print(line)
    end
end

local function merge(cli)
    if #cli.args < 1 then
        cli:fail("--merge needs the JSON results to merge")
    end
    local inputs = {}
    for i, path in ipairs(cli.args) do
        inputs[i] = load_result(cli, path)
    end
    local merged, why = Results.merge(inputs)
    if not merged then
        cli:fail(why)
    end
    write_file(cli, cli:val("merge"), Json.encode(merged) .. "\n")
    present(cli, merged)
end

-- "I/N" with 0 <= I < N.
local function parse_shard(cli)
    local index, count = cli:val("shard"):match("^(%d+)/(%d+)$")
    index, count = tonumber(index), tonumber(count)
    if not index or count < 1 or index >= count then
        cli:fail("--shard needs I/N with I from 0 to N-1")
    end
    return index, count
end

-- FROM:TO:STEP:SECONDS, rising or falling, every figure above 0.
local function parse_ramp(cli)
    local fields = {}
    for part in (cli:val("ramp") .. ":"):gmatch("([^:]*):") do
        fields[#fields + 1] = tonumber(part)
    end
    local from, to, step, seconds = fields[1], fields[2], fields[3], fields[4]
    local function good(x)
        return x and x == x and x > 0 and x < math.huge
    end
    if #fields ~= 4 or not (good(from) and good(to) and good(step) and good(seconds)) then
        cli:fail("--ramp needs FROM:TO:STEP:SECONDS, each a number above 0")
    end
    -- Steps change on whole wall-clock seconds, the series' own, so that
    -- each step's figures are its own.
    seconds = math.ceil(seconds)
    local rates = {}
    local direction = to >= from and 1 or -1
    local rate = from
    while (to - rate) * direction >= -1e-9 do
        rates[#rates + 1] = rate
        rate = rate + step * direction
    end
    return rates, seconds
end

local function seconds_now(Clock)
    local sec, nsec = Clock.realtime()
    return sec + nsec * 1e-9
end

function Tool.run(cli)
    if cli:val("compare") then
        return compare(cli)
    end
    if cli:val("merge") ~= "" then
        return merge(cli)
    end
    cli:no_more_args()
    local transports = { udp = true, tcp = true, tls = true, doh = true }
    local timing_modes = { fast = true, keep = true, multiply = true, fixed = true, realtime = true }
    if cli:val("read") == "" then
        cli:fail("need a capture (-r FILE); run with -h for the options")
    end
    if not transports[cli:val("transport")] then
        cli:fail("unknown transport " .. cli:val("transport") .. " (udp, tcp, tls or doh)")
    end
    if not timing_modes[cli:val("timing")] then
        cli:fail("unknown timing mode " .. cli:val("timing"))
    end
    local window, wait = cli:whole("window", 1, 1000000), cli:real("wait", 0.001)
    local multiply, fixed = cli:real("multiply", 0), cli:real("fixed", 0)
    local max_gap = cli:given("max-gap") and cli:real("max-gap", 0.000001) or 0
    local dns_port = cli:whole("dns-port", 0, 65535)
    local threads = cli:whole("threads", 1, 1024)
    local loops = cli:whole("loop", 1)
    local per_conn = cli:whole("queries-per-conn", 0)
    local idle = cli:val("idle") ~= "" and cli:real("idle", 0, true) or 0
    local duration = cli:val("duration") ~= "" and cli:real("duration", 0, true) or nil
    local qps = cli:val("qps") ~= "" and cli:real("qps", 0, true) or nil
    local clients = 0
    if cli:val("clients") ~= "capture" then
        clients = cli:whole("clients", 1, 1000000)
    end
    local ramp, step_seconds
    if cli:val("ramp") ~= "" then
        if qps then
            cli:fail("-Q and --ramp exclude each other")
        end
        ramp, step_seconds = parse_ramp(cli)
    elseif cli:val("max-loss") ~= "" or cli:val("max-p99") ~= "" then
        cli:fail("--max-loss and --max-p99 go with --ramp")
    end
    local max_loss = cli:val("max-loss") ~= "" and cli:real("max-loss", 0) or nil
    local max_p99 = cli:val("max-p99") ~= "" and cli:real("max-p99", 0, true) or nil
    if (qps or ramp) and cli:val("timing") ~= "fast" then
        cli:fail("-T paces by the capture; -Q and --ramp pace by rate: give one of them")
    end
    local shard_index, shard_count = 0, 1
    if cli:val("shard") ~= "" then
        shard_index, shard_count = parse_shard(cli)
    end
    local start_at = cli:val("start-at") ~= "" and cli:real("start-at", 0) or nil
    local path = cli:val("read")
    if path == "-" and (loops > 1 or duration or ramp) then
        cli:fail("standard input is read once: --loop, --duration and --ramp need a file")
    end

    local ffi = require("ffi")
    local Replayer = require("tarvex.output.replayer")
    local Channel = require("tarvex.core.channel")
    local Thread = require("tarvex.core.thread")
    local Clock = require("tarvex.lib.clock")
    local Signals = require("tarvex.tools.lib.signals")
    local Worker = require("tarvex.tools.lib.replay_worker")

    -- A capture that cannot be read fails here, before anything is sent.
    local probe = cli:open_capture(path)
    if path ~= "-" then
        probe = nil
    end
    local fd_limit = Replayer.raise_fd_limit()
    local max_sockets = cli:val("max-sockets") ~= "" and cli:whole("max-sockets", 1)
        or math.max(16, math.min(fd_limit - 64, 262144))
    local per_thread_sockets = math.max(1, math.floor(max_sockets / threads))

    -- DNS over HTTPS has its own port.
    local server_port = cli:val("port")
    if cli:val("transport") == "doh" and not cli:given("port") then
        server_port = cli:val("h2c") and "80" or "443"
    end
    local engines = {}
    for i = 1, threads do
        local rp = Replayer.new()
        -- Long pauses in the capture are told as they come.
        rp:log():enable("warning")
        rp:transport(cli:val("transport"))
        if cli:val("transport") == "doh" then
            rp:doh(cli:doh())
        end
        rp:window(math.max(1, math.floor(window / threads)))
        rp:wait(wait)
        rp:clients(clients > 0 and math.max(1, math.floor(clients / threads)) or 0)
        rp:idle(idle)
        rp:queries_per_conn(per_conn)
        rp:max_sockets(per_thread_sockets)
        rp:dns_port(dns_port)
        rp:max_gap(max_gap)
        local timing = cli:val("timing")
        if ramp then
            rp:pacing("rate", ramp[1] / threads)
        elseif qps then
            rp:pacing("rate", qps / threads)
        elseif timing == "multiply" then
            rp:pacing("multiply", multiply)
        elseif timing == "fixed" then
            rp:pacing("fixed", fixed / 1000)
        else
            rp:pacing(timing)
        end
        -- Several workers take their clients from the feed, which keeps
        -- this host's shard; one worker reads the capture and keeps it.
        if threads == 1 then
            rp:shard(shard_index, shard_count)
        end
        if rp:connect(cli:val("server"), server_port) ~= 0 then
            cli:fail("cannot resolve " .. cli:val("server") .. " port " .. server_port)
        end
        engines[i] = rp
    end

    if start_at then
        local late = seconds_now(Clock) - start_at
        if late > 0 then
            io.stderr:write(string.format("tarvex replay: the start time passed %.3f s ago; starting now\n", late))
        else
            while seconds_now(Clock) < start_at do
                Clock.sleep(math.min(1, start_at - seconds_now(Clock)))
            end
        end
    end

    -- Stop signals are taken between slices: the run stops sending, waits
    -- for what is in flight, and reports.
    Signals.hold()
    local job = { path = path, port = dns_port, loops = loops, forever = duration ~= nil or ramp ~= nil }
    local started = seconds_now(Clock)
    local problems = {}
    local statuses, workers = {}, {}
    -- Several workers: one reader here, through a feed that spreads the
    -- clients over the workers (the same split hosts' shards use).
    local feed, feeder
    if threads > 1 then
        local Feed = require("tarvex.output.replay_feed")
        feed = Feed.new(threads, feed_lane_queries(threads))
        feed:port(dns_port)
        feed:shard(shard_index, shard_count)
        job.first = probe
        probe = nil
        feeder = Worker.feeder(feed, job)
        for i = 1, threads do
            local status, thr = Channel.new(4), Thread.new()
            if thr:start(Worker.thread) ~= 0 then
                for _, rp in ipairs(engines) do
                    rp:stop()
                end
                for started_worker = 1, i - 1 do
                    workers[started_worker]:stop()
                end
                cli:fail("cannot start worker " .. i)
            end
            Worker.push(thr, engines[i], status, i, feed)
            statuses[i], workers[i] = status, thr
        end
    end

    local function totals()
        local sum = { sent = 0, answered = 0, timed_out = 0, in_flight = 0 }
        for _, rp in ipairs(engines) do
            local c = rp.obj.counts
            sum.sent = sum.sent + tonumber(c.sent)
            sum.answered = sum.answered + tonumber(c.answered)
            sum.timed_out = sum.timed_out + tonumber(c.timed_out)
            sum.in_flight = sum.in_flight + rp:in_flight()
        end
        return sum
    end

    -- The latency of all the workers so far, and what a step added to it.
    local Histogram = require("tarvex.lib.histogram")
    local function latency_now()
        local all = Histogram.new()
        for _, rp in ipairs(engines) do
            all:merge(rp.obj.latency)
        end
        return all
    end

    -- Once a second: progress, the ramp's next step, the duration, signals.
    -- A step holds from its first whole second for step_seconds; when it
    -- ends its loss (timed out among answered and timed out, as far as
    -- known then: a timeout shows up a wait after its send) and p99 decide
    -- whether the ramp goes on.
    local last_at, last_sent = started, 0
    local steps, step_number, step_first = {}, 1, math.floor(started)
    local step_sum, step_latency = totals(), latency_now()
    local stopped_by
    local function tick(now)
        local sum = totals()
        if now - last_at >= 1 then
            cli:progress(string.format("progress: %.0f s, sent %d, answered %d, timed out %d, in flight %d, "
                .. "%.0f queries/s", now - started, sum.sent, sum.answered, sum.timed_out, sum.in_flight,
                (sum.sent - last_sent) / (now - last_at)))
            last_at, last_sent = now, sum.sent
        end
        if not stopped_by and Signals.requested() then
            stopped_by = "a signal"
        end
        if not stopped_by and duration and now - started >= duration then
            stopped_by = "duration"
        end
        if ramp and not stopped_by and now >= step_first + step_seconds then
            steps[#steps + 1] = { qps = ramp[step_number], first_second = step_first,
                last_second = step_first + step_seconds - 1, started = math.max(started, step_first),
                finished = step_first + step_seconds }
            local answered = sum.answered - step_sum.answered
            local lost = sum.timed_out - step_sum.timed_out
            local latency = latency_now()
            local p99 = latency:difference(step_latency):percentile(99)
            local loss = answered + lost > 0 and 100 * lost / (answered + lost) or 0
            step_number = step_number + 1
            step_first = step_first + step_seconds
            step_sum, step_latency = sum, latency
            if (max_loss and loss > max_loss) or (max_p99 and (answered == 0 or (p99 or 0) / 1e6 > max_p99)) then
                stopped_by = "ramp limit"
            elseif step_number > #ramp then
                stopped_by = "ramp"
            else
                for _, rp in ipairs(engines) do
                    rp:rate(ramp[step_number] / threads)
                end
            end
        end
        if stopped_by then
            for _, rp in ipairs(engines) do
                rp:stop()
            end
            if feeder then
                feeder.stop()
            end
        end
    end

    if threads == 1 then
        -- One worker runs here, a slice at a time, with the tick between.
        job.first, job.slice = probe, ramp and 0.02 or 0.25
        probe = nil
        local problem = Worker.run(engines[1], job, function()
            tick(seconds_now(Clock))
        end)
        if problem then
            problems[#problems + 1] = problem
        end
    else
        local running, read_problem_told = threads, false
        while running > 0 do
            local reading, problem = feeder.pump(0.005)
            if reading == "full" then
                Clock.sleep(0.0005)
            elseif reading == "done" then
                if problem and not read_problem_told then
                    problems[#problems + 1] = problem
                    read_problem_told = true
                end
                Clock.sleep(ramp and 0.02 or 0.1)
            end
            tick(seconds_now(Clock))
            for i, status in ipairs(statuses) do
                local got = status:try_get()
                if got ~= nil then
                    running = running - 1
                    if tonumber(ffi.cast("intptr_t", got)) ~= 1 then
                        problems[#problems + 1] = "worker " .. i .. " failed"
                        -- Its lane is read no more: the others stop too
                        -- rather than wait on it.
                        for _, rp in ipairs(engines) do
                            rp:stop()
                        end
                        feeder.stop()
                    end
                end
            end
        end
        for _, thr in ipairs(workers) do
            thr:stop()
        end
    end
    local finished = seconds_now(Clock)
    -- A step cut short (a signal, the end of the input) counts as far as it
    -- went; the last step also takes what left while the workers stopped.
    if ramp and step_number <= #ramp and stopped_by ~= "ramp" and stopped_by ~= "ramp limit" then
        steps[#steps + 1] = { qps = ramp[step_number], first_second = step_first, last_second = math.floor(finished),
            started = math.max(started, step_first), finished = finished }
    elseif ramp and #steps > 0 then
        steps[#steps].last_second = math.max(steps[#steps].last_second, math.floor(finished))
        steps[#steps].finished = math.max(steps[#steps].finished, finished)
    end

    local measurements = {}
    for i, rp in ipairs(engines) do
        local counters, rcodes = rp:counts()
        -- The rate is over the sending period: first query to last.
        local first, last = tonumber(rp.obj.first_sent), tonumber(rp.obj.last_sent)
        measurements[i] = { counters = counters, rcodes = rcodes, histogram = rp:latency(), series = rp:seconds(),
            started = first > 0 and first or nil, finished = first > 0 and last or nil }
    end
    local settings = {
        server = cli:val("server"), port = tonumber(server_port), transport = cli:val("transport"),
        timing = (ramp and "ramp") or (qps and "rate") or cli:val("timing"), clients = cli:val("clients"),
        window = window, wait = wait, qps = qps or Json.null, ramp = ramp and cli:val("ramp") or Json.null,
        loop = loops, duration = duration or Json.null, threads = threads, dns_port = dns_port,
        queries_per_conn = per_conn, idle = idle, max_loss = max_loss or Json.null, max_p99 = max_p99 or Json.null,
        multiply = multiply, fixed = fixed, max_gap = max_gap,
    }
    local file = path ~= "-" and io.open(path, "rb")
    local bytes = file and file:seek("end") or Json.null
    if file then
        file:close()
    end
    local meta = {
        tool = "replay", version = TARVEX_VERSION,
        capture = { path = path, bytes = bytes, fingerprint = Results.fingerprint(path) or Json.null },
        settings = settings,
        shard = shard_count > 1 and { index = shard_index, count = shard_count } or nil,
        steps = ramp and steps or nil, stopped_by = stopped_by or Json.null,
    }
    local result = Results.build(measurements, meta)
    present(cli, result)

    if stopped_by == "a signal" then
        problems[#problems + 1] = "stopped by a signal; the result covers what was sent until then"
    end
    local not_sent = result.queries.not_sent
    if not_sent > 0 then
        problems[#problems + 1] = string.format("%d of %d queries could not be sent", not_sent, result.queries.read)
    end
    if #problems > 0 then
        cli:fail(table.concat(problems, "; "))
    end
end

return Tool
