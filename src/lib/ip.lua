-- Ip: address bytes (network order) as text.
module("tarvex.lib.ip", package.seeall)

local ffi = require("ffi")
local bit = require("bit")

Ip = {}

-- The length of a one-dimensional byte array (or a reference to one, as a
-- record's src field reads), else nil: pointers and wider elements would let
-- the formatters index past the value.
local function byte_array_length(value)
    if type(value) ~= "cdata" then
        return nil
    end
    local count = tostring(ffi.typeof(value)):match("^ctype<[^%[%*]*%[(%d+)%]>$")
    if not count or ffi.sizeof(value) ~= tonumber(count) then
        return nil
    end
    return tonumber(count)
end

function Ip.tostring(ip, pretty)
    local length = byte_array_length(ip)
    if length == 4 then
        return Ip.ipstring(ip)
    elseif length == 16 then
        return Ip.ip6string(ip, pretty)
    end
    return ""
end

-- Bytes read as unsigned, so that a char array prints as it does on the wire.
local function byte(address, index)
    return bit.band(address[index], 0xff)
end

function Ip.ipstring(ip)
    return string.format("%d.%d.%d.%d", byte(ip, 0), byte(ip, 1), byte(ip, 2), byte(ip, 3))
end

local function compressed(ip6)
    local groups = {}
    for k = 0, 7 do
        local high, low = byte(ip6, 2 * k), byte(ip6, 2 * k + 1)
        if high ~= 0 then
            groups[k + 1] = string.format("%x%02x", high, low)
        elseif low ~= 0 then
            groups[k + 1] = string.format("%x", low)
        else
            groups[k + 1] = "0"
        end
    end
    -- The longest run of zero groups; of equally long runs the first.
    local best_start, best_length = 0, 0
    local run_start, run_length = 0, 0
    for i = 1, 8 do
        if groups[i] == "0" then
            if run_length == 0 then
                run_start = i
            end
            run_length = run_length + 1
            if run_length > best_length then
                best_start, best_length = run_start, run_length
            end
        else
            run_length = 0
        end
    end
    -- A single zero group is never compressed.
    if best_length < 2 then
        return table.concat(groups, ":")
    end
    return table.concat(groups, ":", 1, best_start - 1) .. "::"
        .. table.concat(groups, ":", best_start + best_length, 8)
end

function Ip.ip6string(ip6, pretty)
    if pretty == true then
        return compressed(ip6)
    end
    local bytes = {}
    for i = 0, 15 do
        bytes[i + 1] = byte(ip6, i)
    end
    return string.format("%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x",
        unpack(bytes))
end

return Ip
