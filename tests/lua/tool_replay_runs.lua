-- Whole replay runs against unbound, read back from their JSON results:
-- worker threads answer what one thread answers and keep each client on
-- one thread; --loop and --duration repeat the capture; a ramp reports
-- each step and the highest held, and --max-loss stops at the step that
-- loses too much; --compare prints what changed; --merge of two shards
-- gives the unsharded run's counts.
-- fixtures: replay unbound_tls streamsrv
-- timeout: 280
-- expect-stdout: ^replay run cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local Run = require("replayrun")
local Json = require("tarvex.tools.lib.json")

local dir = os.getenv("TEST_FIXTURE_DIR") .. "/replay"
local queries = dir .. "/queries.pcap"
-- 60 clients with 20 queries each for names that do not exist: all NXDOMAIN.
local clients = dir .. "/clients.pcap"
local unbound = dnsq.ports("unbound_tls").udp
local odd = dnsq.ports("streamsrv")["udp.odd"]
local show = Run.show

local function replay(args, capture, json_path)
    return Run.replay("-p " .. unbound .. " " .. args, capture or clients, json_path)
end

-- Threads: the same answers as one thread, over UDP and TCP; a socket per
-- client whichever thread has it, so no client is split over two threads.
for _, transport in ipairs({ "udp", "tcp" }) do
    local _, one = replay("-t " .. transport)
    for _, threads in ipairs({ 2, 3 }) do
        local label = string.format("%s -n %d", transport, threads)
        local code, many, _, err = replay(string.format("-t %s -n %d", transport, threads))
        assert(code == 0 and many, label .. ": exit " .. code .. " " .. err)
        Run.accounted(label, many)
        assert(many.queries.read == 1200 and many.queries.answered == one.queries.answered
            and many.queries.answered == 1200, label .. ": " .. show(many) .. " against one thread " .. show(one))
        assert(many.sockets.opened == 60 and one.sockets.opened == 60, string.format(
            "%s: %d sockets for 60 clients (one thread: %d)", label, many.sockets.opened, one.sockets.opened))
        assert(many.rcodes.NXDOMAIN == 1200, label .. ": rcodes " .. Json.encode(many.rcodes))
    end
end

-- Threads take their queries from one reader, which copies each for its
-- worker: queries larger than usual (700 and 1,500 bytes, EDNS padding)
-- arrive whole, which unbound tells by answering each NXDOMAIN (a damaged
-- one gets FORMERR, or an answer to another question, or none), and a pipe
-- feeds threads as a file does.
local padded = dir .. "/padded.pcap"
for _, case in ipairs({ { "udp", "-r " .. padded }, { "tcp", "-r -" } }) do
    local label = string.format("padded %s %s -n 2", case[1], case[2])
    os.remove("replay.json")
    local code, _, err = sub.run(string.format("(cat %s | %s replay -q %s -n 2 -t %s -p %s --json replay.json)",
        padded, arg[0], case[2], case[1], unbound))
    local many = Run.load("replay.json")
    assert(code == 0 and many, label .. ": exit " .. code .. " " .. err)
    Run.accounted(label, many)
    -- A datagram of 1,500 bytes may be dropped now and then while other
    -- tests load the same server: over UDP what came back must be right.
    local answered = case[1] == "udp" and many.queries.answered >= 180 or many.queries.answered == 200
    assert(many.queries.read == 200 and answered and many.queries.unmatched == 0
        and many.rcodes.NXDOMAIN == many.queries.answered and many.sockets.opened == 20, label .. ": " .. show(many)
        .. " rcodes " .. Json.encode(many.rcodes) .. ", " .. many.sockets.opened .. " sockets")
end

-- Loops: the capture three times over, every query answered.
local code, looped, _, err = replay("--loop 3")
assert(code == 0 and looped, "--loop 3: exit " .. code .. " " .. err)
assert(looped.queries.read == 3600 and looped.queries.answered == 3600, "--loop 3: " .. show(looped))

-- A duration longer than one pass repeats the capture until it is over.
-- At 2000 q/s a pass of 1,200 queries takes 0.6 s.
-- Stopping when the time is up is what was asked: the run succeeds.
local duration
code, duration, _, err = replay("--duration 2 -Q 2000")
assert(duration, "--duration 2: no result, exit " .. code .. " " .. err)
Run.expect(code == 0, "--duration 2: exit " .. code .. " " .. err)
Run.accounted("--duration 2", duration)
assert(duration.queries.read > 1200 and duration.queries.answered == duration.queries.sent,
    "--duration 2 did not repeat the capture: " .. show(duration))
assert(duration.meta.stopped_by == "duration", "--duration 2 stopped by " .. tostring(duration.meta.stopped_by))

-- A ramp of three one-second steps: each reported at its rate, all held.
local ramp
code, ramp, _, err = replay("--ramp 2000:6000:2000:1", queries)
assert(ramp, "ramp: no result, exit " .. code .. " " .. err)
Run.expect(code == 0, "ramp: exit " .. code .. " " .. err)
Run.accounted("ramp", ramp)
assert(type(ramp.steps) == "table" and #ramp.steps == 3, "ramp: steps " .. Json.encode(ramp.steps))
for i, step in ipairs(ramp.steps) do
    assert(step.qps == 2000 * i and step.held and step.sent > 0 and step.answered > 0,
        "ramp step " .. i .. ": " .. Json.encode(step))
end
assert(ramp.highest_held_qps == 6000, "ramp: highest held " .. tostring(ramp.highest_held_qps))
-- Each step's figures are its own: what it sent at its own rate, the
-- steps together all that was sent.
local stepped = 0
for i, step in ipairs(ramp.steps) do
    stepped = stepped + step.sent
    Run.expect(math.abs(step.achieved_qps - step.qps) <= step.qps * 0.1, string.format(
        "ramp step %d: %.0f q/s achieved at %d q/s (%d sent, seconds %d..%d, started %.3f, finished %.3f)", i,
        step.achieved_qps, step.qps, step.sent, step.first_second, step.last_second, step.started, step.finished))
end
Run.expect(stepped == ramp.queries.sent, string.format("ramp: the steps sent %d, the run %d", stepped,
    ramp.queries.sent))

-- A server that drops half the queries: the first step loses more than
-- allowed, so the ramp stops there and no step is held.
local lossy
code, lossy, _, err = Run.replay(string.format("-p %s --ramp 500:1500:500:1 --max-loss 10 -W 0.2", odd), clients)
assert(lossy, "max-loss: no result, exit " .. code .. " " .. err)
Run.accounted("max-loss", lossy)
assert(#lossy.steps >= 1 and lossy.steps[1].qps == 500 and not lossy.steps[1].held,
    "max-loss: first step " .. Json.encode(lossy.steps[1]))
Run.expect(#lossy.steps == 1, string.format("max-loss: the ramp went on past the lossy step: %d steps %s",
    #lossy.steps, Json.encode(lossy.steps)))
assert(lossy.highest_held_qps == Json.null, "max-loss: highest held " .. tostring(lossy.highest_held_qps))

-- Compare: a shared-socket run beside a rated one, every figure as it is
-- in the two results.
local _, shared = replay("-c 4", queries, "a.json")
local _, rated = replay("-Q 5000", queries, "b.json")
local out
code, out, err = sub.run(string.format("%s replay --compare a.json b.json", arg[0]))
assert(code == 0, "compare: exit " .. code .. " " .. err)
local function row(label)
    local line = out:match("\n" .. label:gsub("[%(%)%%]", "%%%0") .. " +([^\n]+)")
    assert(line, "compare: no row " .. label .. " in\n" .. out)
    local a, b = line:match("^(%S+) +(%S+)")
    return tonumber(a), tonumber(b)
end
for _, case in ipairs({
    { "answered (q/s)", shared.rate.answered_qps, rated.rate.answered_qps },
    { "latency p50 (us)", shared.latency_us.p50, rated.latency_us.p50 },
    { "latency p99 (us)", shared.latency_us.p99, rated.latency_us.p99 },
    { "NOERROR (%)", shared.rcodes.NOERROR / shared.queries.answered * 100,
        rated.rcodes.NOERROR / rated.queries.answered * 100 },
    { "NXDOMAIN (%)", shared.rcodes.NXDOMAIN / shared.queries.answered * 100,
        rated.rcodes.NXDOMAIN / rated.queries.answered * 100 },
}) do
    local a, b = row(case[1])
    assert(a and math.abs(a - case[2]) < 0.051 and math.abs(b - case[3]) < 0.051,
        string.format("compare %s: printed %s %s, results %s %s", case[1], tostring(a), tostring(b), case[2], case[3]))
end
assert(row("loss (%)") == 0, "compare: loss")
assert(rated.rate.achieved_qps > 4500 and rated.rate.achieved_qps < 5500, "-Q 5000 achieved " ..
    rated.rate.achieved_qps)

-- Two shards merged count for count as the run that sent everything.
local _, whole = replay("", queries, "whole.json")
for index = 0, 1 do
    code, _, _, err = replay(string.format("--shard %d/2", index), queries, "shard" .. index .. ".json")
    assert(code == 0, "shard " .. index .. ": exit " .. code .. " " .. err)
end
code, out, err = sub.run(string.format("%s replay -q --merge merged.json shard0.json shard1.json", arg[0]))
assert(code == 0, "merge: exit " .. code .. " " .. err)
local merged = Run.load("merged.json")
for _, name in ipairs({ "read", "sent", "answered", "timed_out", "not_sent", "unmatched" }) do
    assert(merged.queries[name] == whole.queries[name], string.format("merge: %s %d, unsharded %d", name,
        merged.queries[name], whole.queries[name]))
end
assert(merged.sockets.opened == whole.sockets.opened, "merge: sockets")
assert(Json.encode(merged.rcodes) == Json.encode(whole.rcodes), "merge: rcodes " .. Json.encode(merged.rcodes))
assert(merged.histogram.count == whole.histogram.count, "merge: histogram count")
assert(merged.meta.shards == 2, "merge: shards " .. tostring(merged.meta.shards))
Run.done("replay run cases pass")
