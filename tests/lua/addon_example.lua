-- The example add-on, loaded from addons/ through the system's loaders: the
-- zero input pushes and is pulled, the null output counts and drains.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/addons/?.lua;" .. package.path
local ffi = require("ffi")
local Zero = require("tarvex.input.zero")
local Null = require("tarvex.output.null")
assert(Zero == require("example.input.zero") and Null == require("example.output.null"))
require("tarvex.core.object.pcap_h")

-- The record the input hands out: an empty PCAP record at the bottom of
-- its chain.
local seen = {}
local probe = ffi.cast("core_receiver_t", function(ctx, obj)
    local pkt = ffi.cast("const core_object_pcap_t*", obj)
    seen[#seen + 1] = { obj_type = pkt.obj_type, prev = pkt.obj_prev == nil, caplen = pkt.caplen,
        len = pkt.len, bytes = pkt.bytes ~= nil, linktype = pkt.linktype, ctx = ctx }
end)
local zero = Zero.new()
local marker = ffi.new("int[1]")
zero:receiver({ receive = function() return probe, marker end })
zero:run(2)
probe:free()
assert(#seen == 2, "two records")
for _, s in ipairs(seen) do
    assert(s.obj_type == 1 and s.prev and s.caplen == 0 and s.len == 0 and s.bytes and s.linktype == 1)
    assert(s.ctx == ffi.cast("void*", marker), "the receiver's context is passed on")
end

-- { what, set up and run, expected input count, expected output count, result }
local cases = {
    { "push 0", function(z, n) z:receiver(n) z:run(0) end, 0, 0 },
    { "push 100000", function(z, n) z:receiver(n) z:run(100000) end, 100000, 100000 },
    { "push twice", function(z, n) z:receiver(n) z:run(3) z:run(4) end, 7, 7 },
    { "pull with a limit", function(z, n) z:limit(5) n:producer(z) return n:run() end, 5, 5, 5 },
    { "pull a limit of 0", function(z, n) z:limit(0) n:producer(z) return n:run() end, 0, 0, 0 },
    { "pull a given number", function(z, n) n:producer(z) return n:run(100000) end, 100000, 100000, 100000 },
    { "pull more than the limit", function(z, n) z:limit(3) n:producer(z) n:run(2) return n:run(10) end, 3, 3, 1 },
    { "pull ends and stays ended", function(z, n) z:limit(2) n:producer(z) n:run() return n:run() end, 2, 2, 0 },
}
for _, case in ipairs(cases) do
    local name, run, produced, counted, result = unpack(case)
    local z, n = Zero.new(), Null.new()
    local got = run(z, n)
    assert(z:packets() == produced, name .. ": input count " .. z:packets())
    assert(n:packets() == counted, name .. ": output count " .. n:packets())
    assert(got == result, name .. ": run gave " .. tostring(got))
end

-- Two outputs share the callback but keep their own counts.
local a, b = Null.new(), Null.new()
local za, zb = Zero.new(), Zero.new()
za:receiver(a)
zb:receiver(b)
za:run(3)
zb:run(5)
assert(a:packets() == 3 and b:packets() == 5)

-- The producer pair can be called from a script loop directly.
local z = Zero.new()
z:limit(2)
local prod, ctx = z:produce()
assert(prod(ctx) ~= nil and prod(ctx) ~= nil and prod(ctx) == nil)

assert(ffi.string(Zero.log().name) == "example.input.zero" and Zero.new():log().is_obj == 1)
assert(ffi.string(Null.log().name) == "example.output.null" and Null.new():log().is_obj == 1)
print("add-on example cases pass")
