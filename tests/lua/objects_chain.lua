-- A chain built the way the decoder builds one: walking, casting, type names.
local ffi = require("ffi")
local Object = require("tarvex.core.objects")

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

local function record(name, number, beneath)
    local r = ffi.new("core_object_" .. name .. "_t")
    r.obj_type = number
    r.obj_prev = beneath and beneath:uncast() or nil
    return r
end

local pcap = record("pcap", Object.PCAP)
local ether = record("ether", Object.ETHER, pcap)
local ip = record("ip", Object.IP, ether)
local udp = record("udp", Object.UDP, ip)
local payload = record("payload", Object.PAYLOAD, udp)
ip.src = { 192, 0, 2, 1 }
ip.dst = { 10, 0, 0, 255 }
udp.sport = 5353

local found = payload:uncast():cast_to(Object.IP)
check(ffi.istype("core_object_ip_t*", found), "cast_to(IP) gave %s", tostring(found))
check(found == ffi.cast("core_object_ip_t*", ip), "cast_to(IP) gave another record")
check(found:source() == "192.0.2.1" and found:destination() == "10.0.0.255", "IP address text")
check(payload:uncast():cast_to(Object.TCP) == nil, "cast_to(TCP) found something")
check(payload:uncast():cast_to(Object.PCAP) == ffi.cast("core_object_pcap_t*", pcap), "cast_to(PCAP)")
check(ffi.istype("core_object_payload_t*", payload:uncast():cast_to()), "cast_to() is cast()")
check(payload:uncast():cast_to(Object.UDP).sport == 5353, "UDP fields through the chain")

-- Walking with prev() and naming every layer.
local names = {}
local object = payload:uncast()
while object ~= nil do
    names[#names + 1] = object:type()
    object = object:prev()
end
check(table.concat(names, " ") == "payload udp ip ether pcap", "chain reads %s", table.concat(names, " "))

-- A copy from the middle of the chain is detached; the original stays linked.
local copy = udp:copy()
check(copy:prev() == nil and udp:prev() == ip:uncast(), "copy of the UDP record")
check(copy:uncast():cast_to(Object.IP) == nil, "a detached copy has nothing beneath")
copy:free()

-- uncast then cast is the same address with the specific type.
local back = udp:uncast():cast()
check(ffi.istype("core_object_udp_t*", back) and back == ffi.cast("core_object_udp_t*", udp), "uncast/cast")
check(udp:cast() == udp and Object.uncast(udp:uncast()) == udp:uncast(), "cast and uncast on themselves")

-- Type names of every number; numbers outside the table.
local expected = {
    [0] = "none", [1] = "pcap", [2] = "dnstap", [10] = "ether", [11] = "null", [12] = "loop", [13] = "linuxsll",
    [14] = "ieee802", [15] = "gre", [20] = "ip", [21] = "ip6", [22] = "icmp", [23] = "icmp6",
    [30] = "udp", [31] = "tcp", [40] = "payload", [50] = "dns",
}
for number = -1, 60 do
    local header = ffi.new("core_object_t", { obj_type = number })
    check(header:type() == expected[number], "type() of %d is %s", number, tostring(header:type()))
end
for constant, number in pairs({ NONE = 0, PCAP = 1, DNSTAP = 2, ETHER = 10, NULL = 11, LOOP = 12, LINUXSLL = 13,
    IEEE802 = 14, GRE = 15, IP = 20, IP6 = 21, ICMP = 22, ICMP6 = 23, UDP = 30, TCP = 31, PAYLOAD = 40,
    DNS = 50 }) do
    check(Object[constant] == number, "Object.%s", constant)
end

-- cast() on a type without a record is a script error, not a crash.
for _, number in ipairs({ 99, 0, -7 }) do
    local header = ffi.new("core_object_t", { obj_type = number })
    local ok, err = pcall(header.cast, header)
    check(not ok and tostring(err):find("unknown object type " .. number, 1, true), "cast() of %d: %s", number,
        tostring(err))
end

-- Record classes name their type; on records with a field called type the
-- field wins, and the class function or the header still give the name.
local classes = { "pcap", "ether", "null", "loop", "linuxsll", "ieee802", "gre", "ip", "ip6", "icmp", "icmp6",
    "udp", "tcp", "payload" }
for _, name in ipairs(classes) do
    local class = require("tarvex.core.object." .. name)
    local r = record(name, Object[name:upper()])
    check(class.type(r) == name and r:uncast():type() == name, "%s: type()", name)
    if name ~= "ether" and name ~= "icmp" and name ~= "icmp6" then
        check(r:type() == name, "%s: rec:type()", name)
    end
end
local icmp = record("icmp", Object.ICMP)
icmp.type = 8
check(icmp.type == 8 and not pcall(function() return icmp:type() end), "icmp.type is the field")

-- IPv6 address text, full and compressed.
local ip6 = record("ip6", Object.IP6)
ip6.src[0], ip6.src[1], ip6.src[15] = 0x20, 0x01, 1
ip6.dst[0], ip6.dst[1] = 0xfe, 0x80
check(ip6:source() == "2001:0000:0000:0000:0000:0000:0000:0001", "ip6 source %s", ip6:source())
check(ip6:source(true) == "2001::1", "ip6 pretty source %s", ip6:source(true))
check(ip6:destination(true) == "fe80::" and ip6:destination(1) == "fe80:0000:0000:0000:0000:0000:0000:0000",
    "ip6 destination")

-- The script layer agrees with the component layer on the TCP nibbles.
local tcp = record("tcp", Object.TCP)
local byte = ffi.cast("uint8_t*", tcp) + ffi.offsetof("core_object_tcp_t", "flags") - 1
tcp.off = 5
check(byte[0] == 0x05, "off is not the low nibble (%02x)", byte[0])
tcp.x2 = 0xa
check(byte[0] == 0xa5, "x2 is not the high nibble (%02x)", byte[0])
local copied = tcp:copy()
check(copied.off == 5 and copied.x2 == 0xa, "nibbles survive a copy")
copied:free()

print("object chain cases pass")
