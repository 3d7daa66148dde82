-- The Udpcli class: connect, the blocking switch, sending pushed payloads and
-- reading replies back through the producer.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ffi = require("ffi")
local Udpcli = require("tarvex.output.udpcli")
local Peer = require("udppeer")

local function payload(bytes)
    local rec = ffi.new("core_object_payload_t")
    rec.obj_type = 40
    rec.payload = ffi.cast("const uint8_t*", bytes)
    rec.len = #bytes
    return rec, bytes
end

assert(ffi.string(Udpcli.log().name) == "output.udpcli")
local peer = Peer.new()
local udp = Udpcli.new()
assert(ffi.string(udp:log().name) == "output.udpcli" and udp:log().is_obj == 1)
assert(udp:connect("127.0.0.1", tonumber(peer.port)) == 0, "numeric port")

assert(udp:nonblocking() == false)
assert(udp:nonblocking(true) == 0)
assert(udp:nonblocking() == true)
assert(udp:nonblocking(false) == 0)
assert(udp:nonblocking() == false)
assert(udp:nonblocking(true) == 0)
assert(udp:nonblocking("yes") == 0, "anything but true switches back to blocking")
assert(udp:nonblocking() == false)

local send, ctx = udp:receive()
local query, keep = payload("\0\1query")
send(ctx, ffi.cast("core_object_t*", query))
assert(peer:take() == "\0\1query")
local dns = ffi.new("core_object_t", { ffi.cast("core_object_t*", query), 50 })
send(ctx, dns)
assert(peer:take() == "\0\1query")
assert(udp:packets() == 2 and udp:errors() == 0)

udp:timeout(0, 50000000)
local produce, pctx = udp:produce()
local got = ffi.cast("core_object_payload_t*", produce(pctx))
assert(got ~= nil and got.len == 0 and udp:received() == 0, "nothing within the timeout")
peer:reply("the answer")
got = ffi.cast("core_object_payload_t*", produce(pctx))
assert(got.obj_type == 40 and ffi.string(got.payload, got.len) == "the answer")
assert(udp:received() == 1)

-- Unresolvable first, then a good address: the record is still usable.
local again = Udpcli.new()
Udpcli.log():disable("all")
assert(again:connect("nonexistent.invalid", "53") == -1)
assert(again:connect("127.0.0.1", peer.port) == 0)
assert(keep)
print("udpcli cases pass")
