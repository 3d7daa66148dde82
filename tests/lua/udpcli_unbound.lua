-- Queries sent through the UDP sender to a real unbound are all answered, and
-- the answers read back through the producer are well-formed DNS.
-- fixtures: unbound
-- timeout: 60
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ffi = require("ffi")
local Udpcli = require("tarvex.output.udpcli")
require("tarvex.core.object.payload_h")
local wire = require("dnscheck")

local port = assert(io.open(os.getenv("TEST_FIXTURE_DIR") .. "/unbound/port")):read("*l")

local udp = Udpcli.new()
assert(udp:connect("127.0.0.1", port) == 0)
udp:timeout(2, 0)
local send, ctx = udp:receive()
local produce, pctx = udp:produce()

local sent, record = {}, ffi.new("core_object_payload_t")
record.obj_type = 40
for id = 1, 200 do
    local name = id % 10 == 0 and ("n" .. id .. ".example") or ("q" .. id .. ".test")
    local query = wire.query(id, name, id % 2 == 0 and 28 or 1)
    record.payload = ffi.cast("const uint8_t*", query)
    record.len = #query
    send(ctx, ffi.cast("core_object_t*", record))
    sent[id] = name
    -- Read as we go, so that the socket buffer never overflows.
    if id % 20 == 0 then
        while udp:received() < id - 10 do
            local reply = ffi.cast("core_object_payload_t*", assert(produce(pctx)))
            assert(reply.len > 0, "no answer within 2 s")
            local msg = assert(wire.parse(ffi.string(reply.payload, reply.len)))
            assert(sent[msg.id], "unknown id")
            sent[msg.id] = { name = sent[msg.id], msg = msg }
        end
    end
end
while udp:received() < 200 do
    local reply = ffi.cast("core_object_payload_t*", assert(produce(pctx)))
    assert(reply.len > 0, "no answer within 2 s")
    local msg = assert(wire.parse(ffi.string(reply.payload, reply.len)))
    sent[msg.id] = { name = sent[msg.id], msg = msg }
end
assert(udp:packets() == 200 and udp:errors() == 0)

for id = 1, 200 do
    local entry = sent[id]
    assert(type(entry) == "table", "query " .. id .. " was not answered")
    local msg = entry.msg
    assert(msg.qr and msg.qname == entry.name, "answer to query " .. id)
    if entry.name:match("%.test$") then
        assert(msg.rcode == 0 and #msg.answers == 1, "local data for " .. entry.name)
        assert(#msg.answers[1].rdata == (id % 2 == 0 and 16 or 4))
    else
        assert(msg.rcode == 5, "refused outside the local zone")
    end
end

-- Nothing more is coming: an empty record after the timeout.
udp:timeout(0, 100000000)
local last = ffi.cast("core_object_payload_t*", produce(pctx))
assert(last ~= nil and last.len == 0)
print("200 queries answered by unbound")
