-- tarvex replay reports its progress on stderr once a second when a
-- run lasts longer than that: 30 queries 60 ms apart to the loopback unbound
-- give at least one line, and the same queries unpaced give none.
-- fixtures: examples unbound
-- timeout: 60
-- expect-stdout: ^replay progress cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local example = "replay"
local capture = os.getenv("TEST_FIXTURE_DIR") .. "/examples/paced.pcap"
local port = assert(io.open(os.getenv("TEST_FIXTURE_DIR") .. "/unbound/port")):read("*l")

local DONE = "^read +30\nsent +30\nanswered +30 "
local LINE = "^progress: %d+ s, sent (%d+), answered (%d+), timed out 0, in flight %d+, %d+ queries/s$"

local function replay(args)
    local code, out, err = sub.run(string.format("%s %s -r %s -p %s -a %s", arg[0], example, capture, port, args))
    assert(code == 0 and out:find(DONE), args .. ": exit " .. code .. ", stdout " .. out .. ", stderr " .. err)
    return err
end

local err = replay("-T fixed -F 60")
local lines, last_sent = 0, 0
for line in err:gmatch("[^\n]+") do
    local sent, answered = line:match(LINE)
    assert(sent, "not a progress line: " .. line)
    sent, answered = tonumber(sent), tonumber(answered)
    assert(sent >= last_sent and sent <= 30 and answered <= sent, line)
    lines, last_sent = lines + 1, sent
end
assert(lines >= 1, "no progress line in a paced run")

assert(replay("") == "", "an unpaced run prints progress")
print("replay progress cases pass")
