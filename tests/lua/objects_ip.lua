-- Address text: dotted quads, the full and the compressed IPv6 forms, and
-- what tostring refuses.
local ffi = require("ffi")
local Ip = require("tarvex.lib.ip")

local failures = {}
local function expect(name, got, want)
    if got ~= want then
        failures[#failures + 1] = string.format("%s: %q, expected %q", name, tostring(got), want)
    end
end

local function bytes(ctype, list)
    local value = ffi.new(ctype)
    for i, b in ipairs(list) do
        value[i - 1] = b
    end
    return value
end

-- Eight 16-bit groups to the 16 address bytes.
local function ip6(groups)
    local list = {}
    for _, group in ipairs(groups) do
        list[#list + 1] = bit.rshift(group, 8)
        list[#list + 1] = bit.band(group, 0xff)
    end
    return bytes("uint8_t[16]", list)
end

local v6 = {
    { "all zero", { 0, 0, 0, 0, 0, 0, 0, 0 }, "::", "0000:0000:0000:0000:0000:0000:0000:0000" },
    { "loopback", { 0, 0, 0, 0, 0, 0, 0, 1 }, "::1", "0000:0000:0000:0000:0000:0000:0000:0001" },
    { "link-local prefix", { 0xfe80, 0, 0, 0, 0, 0, 0, 0 }, "fe80::", "fe80:0000:0000:0000:0000:0000:0000:0000" },
    { "equal zero runs, first wins", { 1, 0, 0, 2, 0, 0, 3, 4 }, "1::2:0:0:3:4",
        "0001:0000:0000:0002:0000:0000:0003:0004" },
    { "longer second run wins", { 1, 0, 0, 2, 0, 0, 0, 3 }, "1:0:0:2::3",
        "0001:0000:0000:0002:0000:0000:0000:0003" },
    { "two runs in a documentation address", { 0x2001, 0xdb8, 0, 0, 1, 0, 0, 1 }, "2001:db8::1:0:0:1",
        "2001:0db8:0000:0000:0001:0000:0000:0001" },
    { "single zero group stays", { 0x2001, 0xdb8, 0, 1, 1, 1, 1, 1 }, "2001:db8:0:1:1:1:1:1",
        "2001:0db8:0000:0001:0001:0001:0001:0001" },
    { "multicast", { 0xff02, 0, 0, 0, 0, 0, 1, 2 }, "ff02::1:2", "ff02:0000:0000:0000:0000:0000:0001:0002" },
    { "low byte only prints short", { 0xab, 0xa0b, 0x1000, 0xffff, 1, 0x10, 0x100, 0 },
        "ab:a0b:1000:ffff:1:10:100:0", "00ab:0a0b:1000:ffff:0001:0010:0100:0000" },
    { "run at the end", { 1, 2, 3, 4, 5, 0, 0, 0 }, "1:2:3:4:5::", "0001:0002:0003:0004:0005:0000:0000:0000" },
    { "no zero group", { 1, 2, 3, 4, 5, 6, 7, 8 }, "1:2:3:4:5:6:7:8", "0001:0002:0003:0004:0005:0006:0007:0008" },
}
for _, case in ipairs(v6) do
    local name, groups, pretty, full = unpack(case)
    local address = ip6(groups)
    expect(name .. " (pretty)", Ip.ip6string(address, true), pretty)
    expect(name .. " (full)", Ip.ip6string(address), full)
    expect(name .. " (pretty not exactly true)", Ip.ip6string(address, 1), full)
    expect(name .. " (tostring pretty)", Ip.tostring(address, true), pretty)
    expect(name .. " (tostring)", Ip.tostring(address), full)
end

local v4 = {
    { "documentation", { 192, 0, 2, 1 }, "192.0.2.1" },
    { "zero", { 0, 0, 0, 0 }, "0.0.0.0" },
    { "broadcast", { 255, 255, 255, 255 }, "255.255.255.255" },
}
for _, case in ipairs(v4) do
    local name, list, text = unpack(case)
    expect(name, Ip.ipstring(bytes("uint8_t[4]", list)), text)
    expect(name .. " (tostring)", Ip.tostring(bytes("uint8_t[4]", list)), text)
    expect(name .. " (char array)", Ip.tostring(bytes("char[4]", list)), text)
end

-- A record's address field reads as a reference to its array, and formats.
require("tarvex.core.object.ip_h")
local record = ffi.new("core_object_ip_t")
record.src = { 198, 51, 100, 7 }
expect("record field", Ip.tostring(record.src), "198.51.100.7")

local address4 = bytes("uint8_t[4]", { 192, 0, 2, 1 })
local refusals = {
    { "string", "192.0.2.1" },
    { "number", 3221225985 },
    { "table", { 192, 0, 2, 1 } },
    { "nil", nil },
    { "pointer to an address", ffi.cast("uint8_t*", address4) },
    { "pointer to an array", ffi.cast("uint8_t(*)[4]", address4) },
    { "four-byte integer", ffi.new("uint32_t", 1) },
    { "array of two 16-bit words", ffi.new("uint16_t[2]") },
    { "array of four 32-bit words", ffi.new("uint32_t[4]") },
    { "nested array", ffi.new("uint8_t[1][4]") },
    { "other size", ffi.new("uint8_t[6]") },
    { "empty array", ffi.new("uint8_t[0]") },
}
for _, case in ipairs(refusals) do
    expect("tostring of " .. case[1], Ip.tostring(case[2]), "")
    expect("tostring of " .. case[1] .. " (pretty)", Ip.tostring(case[2], true), "")
end

if #failures > 0 then
    error(table.concat(failures, "\n"), 0)
end
print("address text cases pass")
