-- Helpers for the capture input and writer tests: fixture listings, whole
-- files, and a receiver that keeps what it is handed.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local pcapio = require("pcapio")
local ffi = require("ffi")
require("tarvex.core.object.pcap_h")
require("tarvex.core.receiver_h")

local pcapio = {}

function pcapio.fixture(name)
    return os.getenv("TEST_FIXTURE_DIR") .. "/pcapio/" .. name
end

local function unhex(hex)
    if hex == "-" then
        return ""
    end
    return (hex:gsub("..", function(byte) return string.char(tonumber(byte, 16)) end))
end

-- The records of a capture as pcapio.py listed them.
function pcapio.listing(name)
    local records = {}
    for line in io.lines(pcapio.fixture(name .. ".txt")) do
        local sec, frac, caplen, len, hex = line:match("^(%d+) (%d+) (%d+) (%d+) (%S+)$")
        records[#records + 1] = {
            sec = tonumber(sec), frac = tonumber(frac), caplen = tonumber(caplen), len = tonumber(len),
            bytes = unhex(hex),
        }
    end
    return records
end

function pcapio.read(path)
    local file = assert(io.open(path, "rb"))
    local data = file:read("*a")
    file:close()
    return data
end

-- A PCAP record as a plain table (the record itself is only lent).
function pcapio.snapshot(obj)
    local pkt = ffi.cast("const core_object_pcap_t*", obj)
    assert(pkt.obj_type == 1, "not a PCAP record")
    return {
        sec = tonumber(pkt.ts.sec), nsec = tonumber(pkt.ts.nsec), caplen = pkt.caplen, len = pkt.len,
        bytes = ffi.string(pkt.bytes, pkt.caplen), is_swapped = pkt.is_swapped, linktype = pkt.linktype,
        snaplen = pkt.snaplen, prev = pkt.obj_prev,
    }
end

-- A receiver written in Lua: collects a snapshot of every object pushed to it.
function pcapio.collector()
    local seen = {}
    local callback = ffi.cast("core_receiver_t", function(_, obj)
        seen[#seen + 1] = pcapio.snapshot(obj)
    end)
    return {
        seen = seen,
        receive = function() return callback, nil end,
        free = function() callback:free() end,
    }
end

-- Fails with a message naming the record and field that differ.
function pcapio.expect_records(seen, listed, extra)
    assert(#seen == #listed, string.format("%d records, expected %d", #seen, #listed))
    for i, want in ipairs(listed) do
        local got = seen[i]
        local function check(field, value, expected)
            if value ~= expected then
                error(string.format("record %d: %s is %s, expected %s", i, field, tostring(value),
                    tostring(expected)), 2)
            end
        end
        check("ts.sec", got.sec, want.sec)
        check("ts.nsec", got.nsec, want.frac * 1000)
        check("caplen", got.caplen, want.caplen)
        check("len", got.len, want.len)
        check("bytes", got.bytes, want.bytes)
        for field, value in pairs(extra or {}) do
            check(field, got[field], value)
        end
    end
end

return pcapio
