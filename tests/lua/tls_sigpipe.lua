-- Writes over TLS to a server that went away (it closes after the first
-- query): the TLS sender replaying without reading answers, the DNS client
-- in TLS mode, and both collected afterwards (the close_notify of destroy)
-- see failed writes, and the process goes on and ends normally with what it
-- buffered on stdout (SIGPIPE would have ended it with status 141).
-- fixtures: streamsrv
-- timeout: 60
-- expect-stdout: ^buffered before, tls sigpipe cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local dnsq = require("dnsq")
local Dnscli = require("tarvex.output.dnscli")
local Tlscli = require("tarvex.output.tlscli")
local check = dnsq.check

local ports = dnsq.ports("streamsrv")
io.stdout:write("buffered before, ")

local function keep_writing(cli, send, query)
    send(query(1))
    -- The server has read the first query and closed: the next write draws
    -- a reset, the ones after it meet a closed connection.
    dnsq.sleep(0.3)
    for id = 2, 50 do
        send(query(id))
    end
    check(cli:errors() > 0, "writes after the close fail and are counted")
end

for round = 1, 3 do
    local tls, send = dnsq.connected(Tlscli.new(), ports["tls.close"], 1, 0)
    keep_writing(tls, send, function(id) return dnsq.payload(dnsq.query(id, "gone.test")).obj end)
    local cli, cli_send = dnsq.connected(Dnscli.new(Dnscli.TLS), ports["tls.close"], 1, 0)
    keep_writing(cli, cli_send, function(id) return dnsq.dns(dnsq.query(id, "gone.test")).obj end)
    tls, cli, send, cli_send = nil, nil, nil, nil
    collectgarbage()
    collectgarbage()
end

-- Closed by the server but never written to again: destroy alone writes.
do
    local cli, send = dnsq.connected(Dnscli.new(Dnscli.TLS), ports["tls.close"], 1, 0)
    send(dnsq.dns(dnsq.query(1, "gone.test")).obj)
    dnsq.sleep(0.3)
    cli, send = nil, nil
    collectgarbage()
    collectgarbage()
end
io.stdout:write("tls sigpipe cases pass\n")
