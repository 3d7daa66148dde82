-- The IpSplit class on hand-made IP and IPv6 chains.
jit.off()
local ffi = require("ffi")
local IpSplit = require("tarvex.filter.ipsplit")
require("tarvex.core.object.ip_h")
require("tarvex.core.object.ip6_h")
require("tarvex.core.object.ether_h")

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

local got = {}
local callbacks = {}
local function receiver(name)
    local cb = ffi.cast("core_receiver_t", function(_, obj)
        got[#got + 1] = name
    end)
    callbacks[#callbacks + 1] = cb
    return { receive = function() return cb, nil end }
end

local function ip4(a, b, c, d)
    local ip = ffi.new("core_object_ip_t")
    ip.obj_type = 20
    ip.src[0], ip.src[1], ip.src[2], ip.src[3] = a, b, c, d
    ip.dst[0], ip.dst[1], ip.dst[2], ip.dst[3] = 192, 0, 2, 53
    return ip
end

local function send(ipsplit, records)
    got = {}
    local recv, ctx = ipsplit:receive()
    for _, rec in ipairs(records) do
        recv(ctx, ffi.cast("const core_object_t*", rec))
    end
    return table.concat(got, " ")
end

local function clients(n)
    local list = {}
    for i = 1, n do
        list[i] = ip4(10, 0, 0, i)
    end
    return list
end

-- The generator, computed here in 64-bit integers (only the low 31 bits count).
local function lcg(state)
    return (state * 1103515245ULL + 12345ULL) % 2147483648ULL
end

-- No srand yet in this process: the state starts from 1.
do
    local s = IpSplit.new()
    for _, name in ipairs({ "R1", "R2", "R3" }) do
        s:receiver(receiver(name))
    end
    s:random()
    local ring, cursor, state, expected = { "R1", "R3", "R2" }, 1, 1ULL, {}
    for i = 1, 20 do
        state = lcg(state)
        local x = tonumber(state % 3) + 1
        while x > 1 do
            x = x - 1
            cursor = cursor % 3 + 1
        end
        expected[i] = ring[cursor]
    end
    local order = send(s, clients(20))
    check(order == table.concat(expected, " "), "unseeded random %s", order)
end

-- Sequential by weight, numbered per receiver.
local s = IpSplit.new()
check(ffi.string(s:log().name) == "filter.ipsplit" and s:log().is_obj == 1, "object log")
check(IpSplit.log() == ffi.C.filter_ipsplit_log(), "module log")
s:receiver(receiver("R1"), 2)
s:receiver(receiver("R2"))
check(#s.receivers == 2, "receivers kept")
s:overwrite_src()
local list = clients(6)
local order = send(s, list)
check(order == "R1 R1 R2 R1 R1 R2", "weights %s", order)
local numbers = {}
for i, rec in ipairs(list) do
    numbers[i] = ffi.cast("uint32_t*", rec.src)[0]
end
check(table.concat(numbers, " ") == "1 2 1 3 4 2", "numbers %s", table.concat(numbers, " "))
if ffi.abi("le") then
    local second = list[2].src
    check(second[0] == 2 and second[1] == 0 and second[2] == 0 and second[3] == 0, "2.0.0.0")
end
-- The same clients again: same receivers, whatever the mode now says.
s:random(3)
order = send(s, clients(6))
check(order == "R1 R1 R2 R1 R1 R2", "repeated clients %s", order)

-- Destination overwrite on IPv6: only the first four bytes.
local six = IpSplit.new()
six:receiver(receiver("A"))
six:overwrite_dst()
local ip6 = ffi.new("core_object_ip6_t")
ip6.obj_type = 21
for i = 0, 15 do
    ip6.dst[i] = 0xa0 + i
end
send(six, { ip6 })
check(ffi.cast("uint32_t*", ip6.dst)[0] == 1 and ip6.dst[4] == 0xa4 and ip6.dst[15] == 0xaf, "ip6 dst")
six:overwrite_none()
local untouched = ip4(10, 9, 9, 9)
send(six, { untouched })
check(untouched.src[0] == 10 and untouched.dst[0] == 192, "overwrite none")
six:sequential()
check(six.obj.mode == ffi.C.IPSPLIT_MODE_SEQUENTIAL, "sequential")

-- Same seed, same assignment.
local runs = {}
for run = 1, 2 do
    local r = IpSplit.new()
    r:receiver(receiver("X"), 3)
    r:receiver(receiver("Y"), 2)
    r:receiver(receiver("Z"))
    r:random(1234)
    runs[run] = send(r, clients(50))
end
check(runs[1] == runs[2], "seeded runs differ")

-- ARP over Ethernet is counted and dropped.
local ether = ffi.new("core_object_ether_t")
ether.obj_type = 10
ether.type = 0x0806
check(send(s, { ether }) == "", "discarded object reached a receiver")
check(s:discarded() == 1, "discarded %d", s:discarded())
print("ipsplit class passes")
