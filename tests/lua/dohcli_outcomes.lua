-- DoH client against the scripted HTTP/2 server: a status 500, a wrong
-- content type and an oversized body are counted and not sent again; a
-- reset stream is sent once more and answered; a GOAWAY in the middle of a
-- run moves the queries above its last stream to a new connection, and no
-- query is lost.
-- fixtures: h2srv
-- timeout: 60
-- expect-stdout: ^dohcli outcome cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local dnsq = require("dnsq")
local Dohcli = require("tarvex.output.dohcli")
local check = dnsq.check

local ports = dnsq.ports("h2srv")

-- Pushes the queries, pulls until nothing is in flight and no answer waits:
-- answers by id.
local function run(cli, names)
    local send, ctx = cli:receive()
    for n, name in ipairs(names) do
        send(ctx, dnsq.payload(dnsq.query(n, name)).obj)
    end
    local produce, pctx = cli:produce()
    local answers = {}
    while true do
        local got = dnsq.response(produce(pctx))
        check(got, "connection ended with %d in flight", cli:in_flight())
        if got.len == 0 then
            check(cli:in_flight() == 0, "no answer in time with %d in flight", cli:in_flight())
            break
        else
            local id = dnsq.id(got)
            check(not answers[id], "answer %d twice", id)
            check(dnsq.rcode(got) == 0 and dnsq.qr(got), "answer %d is not a clean answer", id)
            answers[id] = true
        end
    end
    return answers
end

local function counters(cli)
    local names = { "packets", "received", "errors", "bad_status", "bad_type", "too_long", "resets", "refused",
        "gone", "resent", "lost", "connects" }
    local out = {}
    for _, name in ipairs(names) do
        out[name] = cli[name](cli)
    end
    return out
end

local function expect(cli, wanted, what)
    local got = counters(cli)
    for name, value in pairs(wanted) do
        check(got[name] == value, "%s: %s is %d, expected %d", what, name, got[name], value)
    end
end

for _, mode in ipairs({ { port = ports.h2c, h2c = true }, { port = ports.tls, h2c = false } }) do
    for _, method in ipairs({ "POST", "GET" }) do
        local what = method .. (mode.h2c and " h2c" or " tls")
        local cli = Dohcli.new()
        cli:h2c(mode.h2c)
        cli:method(method)
        cli:timeout(5, 0)
        check(cli:connect("127.0.0.1", mode.port) == 0, "%s: connect", what)
        local answers = run(cli, { "a.test", "status.test", "type.test", "big.test", "reset.test", "b.test" })
        check(answers[1] and answers[5] and answers[6], "%s: answers", what)
        expect(cli, { packets = 6, received = 3, errors = 0, bad_status = 1, bad_type = 1, too_long = 1, resets = 1,
            resent = 1, lost = 0, connects = 1 }, what)

        cli = Dohcli.new()
        cli:h2c(mode.h2c)
        cli:method(method)
        cli:timeout(5, 0)
        check(cli:connect("127.0.0.1", mode.port) == 0, "%s: connect", what)
        local names = {}
        for n = 1, 40 do
            names[n] = n == 10 and "goaway.test" or "q.test"
        end
        answers = run(cli, names)
        for n = 1, #names do
            check(answers[n], "%s: query %d lost over the GOAWAY", what, n)
        end
        local moved = cli:refused() + cli:gone()
        check(moved >= 1 and cli:resent() == moved, "%s: %d refused or gone, %d resent", what, moved, cli:resent())
        expect(cli, { packets = 40, received = 40, errors = 0, lost = 0, connects = 2 }, what .. " goaway")
    end
end

print("dohcli outcome cases pass")
