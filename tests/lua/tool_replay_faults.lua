-- Replay runs that end early: a private unbound killed a second into a
-- paced run over UDP and TCP still leaves every query accounted for, and
-- the run fails when queries could not be sent; SIGINT a second into a
-- run prints the summary, writes the JSON and fails with one line.
-- fixtures: replay
-- timeout: 120
-- expect-stdout: ^replay fault cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local Run = require("replayrun")

local source = os.getenv("TEST_SOURCE_DIR")
local capture = os.getenv("TEST_FIXTURE_DIR") .. "/replay/queries.pcap"
local control = "/usr/bin/python3 " .. source .. "/tests/servers/unbound_ctl.py"
if sub.run("(command -v unbound || test -x /usr/sbin/unbound)") ~= 0 then
    print("skipped: no unbound (Debian package unbound)")
    os.exit(77)
end

-- Runs SCRIPT (sh) with the replay command as $REPLAY; the replay's exit
-- status, its result, stdout and stderr.
local function background(script, args, json_path)
    os.remove(json_path)
    sub.write("case.sh", string.format("REPLAY='%s replay -q -r %s --json %s %s'\n%s", arg[0], capture, json_path,
        args, script))
    local code, out, err = sub.run("sh case.sh")
    assert(code == 0, "case script failed: " .. out .. err)
    return tonumber(sub.read("replay.rc")), Run.load(json_path), sub.read("replay.out"), sub.read("replay.err")
end

-- 10,000 queries at 2,000 q/s last five seconds; the server goes after one.
-- The window is wide so that the queries lost with it do not hold back the
-- rest for their wait.
local KILL = [[
$REPLAY >replay.out 2>replay.err </dev/null &
pid=$!
sleep 1
%s stop unbound >/dev/null
wait $pid
echo $? >replay.rc
]]
for _, case in ipairs({ { "udp", "" }, { "tcp", "-c 4" } }) do
    local transport = case[1]
    assert(sub.run(control .. " start unbound 60") == 0, "unbound did not start")
    local port = sub.read("unbound/port"):match("%d+")
    local code, result, _, err = background(KILL:format(control), string.format("-p %s -t %s -Q 2000 -w 1000 -W 0.5 %s", port,
        transport, case[2]), transport .. ".json")
    sub.run(control .. " stop unbound")
    Run.accounted(transport .. " killed", result)
    local q = result.queries
    assert(q.read == 10000 and q.answered > 0 and q.answered < 10000,
        transport .. " killed: " .. Run.show(result))
    if q.not_sent > 0 then
        assert(code == 1 and err:find("^tarvex replay: " .. q.not_sent .. " of 10000 queries could not be sent\n$"),
            string.format("%s killed: exit %d, stderr %q", transport, code, err))
    else
        assert(code == 0, string.format("%s killed: exit %d with every query sent, stderr %q", transport, code, err))
    end
    -- Over TCP the lost server refuses every new connection.
    assert(transport == "udp" or q.not_sent > 0, "tcp killed: everything was sent " .. Run.show(result))
end

-- A stop signal mid-run: what was sent until then is reported and written.
local INTERRUPT = [[
$REPLAY >replay.out 2>replay.err </dev/null &
pid=$!
sleep 1
kill -INT $pid
wait $pid
echo $? >replay.rc
]]
assert(sub.run(control .. " start unbound 60") == 0, "unbound did not start")
local port = sub.read("unbound/port"):match("%d+")
local code, result, out, err = background(INTERRUPT, "-p " .. port .. " -Q 2000", "interrupted.json")
sub.run(control .. " stop unbound")
-- The one reason is the signal: a query read but not yet sent when it came
-- was not a failure to send.
Run.expect(code == 1 and err == "tarvex replay: stopped by a signal; the result covers what was sent until then\n",
    string.format("SIGINT: exit %s, stderr %q", tostring(code), err))
assert(out:find("\nanswered +%d+"), "SIGINT: no summary in " .. out)
assert(result, "SIGINT: no JSON written")
Run.accounted("SIGINT", result)
assert(result.meta.stopped_by == "a signal" and result.queries.sent > 0 and result.queries.read < 10000,
    "SIGINT: " .. Run.show(result) .. " stopped by " .. tostring(result.meta.stopped_by))
Run.done("replay fault cases pass")
