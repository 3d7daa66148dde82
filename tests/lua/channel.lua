-- Channel methods from a script: capacity, full, close and drain, run with
-- a receiver, the channel as an upstream's receiver, and the info line.
-- expect-stderr: ^core\.channel\[0x[0-9a-f]+\] info: channel closed$
-- reject-stderr: critical
-- stderr-lines: 2
local Channel = require("tarvex.core.channel")
local Log = require("tarvex.core.log")
local ffi = require("ffi")

local function item(n)
    return ffi.cast("void*", n)
end

local function number(p)
    return tonumber(ffi.cast("intptr_t", p))
end

-- The default channel has 2048 slots and buffers 2047 objects.
local default = Channel.new()
assert(default.capacity == 2048)
for i = 1, 2047 do
    assert(default:try_put(item(i)) == 0, "try_put " .. i)
end
assert(default:full() == true)
assert(default:try_put(item(2048)) == -1)
assert(default:size() == 2047)
assert(number(default:try_get()) == 1)
assert(default:full() == false)

local small = Channel.new(4)
for i = 1, 3 do
    assert(small:try_put(item(i)) == 0)
end
assert(small:try_put(item(4)) == -1 and small:full())

-- size() after 5 puts and 2 gets, also with the 32-bit indices about to
-- wrap (ck_ring keeps the consumer index in word 0 and the producer's in
-- words 16 and 17).
for _, start in ipairs({ 0, 0xfffffffe, 0xffffffff }) do
    local ch = Channel.new(8)
    local words = ffi.cast("uint32_t*", ch.ring)
    words[0], words[16], words[17] = start, start, start
    for i = 1, 5 do
        ch:put(item(i))
    end
    assert(number(ch:get()) == 1 and number(ch:get()) == 2)
    assert(ch:size() == 3, "size at " .. start)
    for i = 3, 5 do
        assert(number(ch:get()) == i)
    end
    assert(ch:try_get() == nil and ch:size() == 0)
end

-- Closing: what is in the ring still comes out in order, a closed channel
-- with room takes more, and only then does get() return null.
Log.enable("info")
local ch = Channel.new(4)
ch:put(item(1))
ch:put(item(2))
ch:close()
assert(ch.closed == 1)
ch:put(item(3))
assert(number(ch:get()) == 1 and number(ch:get()) == 2 and number(ch:get()) == 3)
assert(ch:try_get() == nil) -- silent
assert(ch:get() == nil) -- the one info line
ch:log():disable("info")
assert(ch:get() == nil) -- silenced on this channel only

-- run() into a downstream channel: the receiver is the channel's own put.
local upstream, downstream = Channel.new(16), Channel.new(16)
upstream:receiver(downstream)
local recv, ctx = downstream:receive()
assert(recv == ffi.C.core_channel_receiver() and ctx == downstream)
assert(upstream.recv ~= nil and upstream.ctx == ffi.cast("void*", downstream))
local objects = ffi.new("core_object_t[10]")
for i = 0, 9 do
    upstream:put(objects + i)
end
upstream:close()
upstream:log():disable("info")
upstream:run()
assert(downstream:size() == 10)
for i = 0, 9 do
    assert(downstream:try_get() == ffi.cast("void*", objects + i), "object " .. i)
end

-- share() hands over the record itself.
local ptr, ctype, module = default:share()
assert(ptr == ffi.cast("void*", default) and ctype == "core_channel_t*" and module == "tarvex.core.channel")
assert(Channel.log() == ffi.C.core_channel_log())
assert(ffi.string(Channel.log().name) == "core.channel")
assert(default:log().is_obj == 1)
Log.disable("info")
io.stderr:write("done\n")
