-- DNS queries as payload records and answers read by their bytes, for the
-- sender tests; the loopback servers' port lists.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local dnsq = require("dnsq")
--   local ports = dnsq.ports("streamsrv")          -- { ["tcp.echo"] = "40001", ... }
--   local query = dnsq.payload(dnsq.query(7, "a.test"))
--   sender_fn(sender_ctx, query.obj)
--   dnsq.id(response, 0), dnsq.qr(response, 0)    -- 2 when the length field is included
local ffi = require("ffi")
require("tarvex.core.object.payload_h")
local Clock = require("tarvex.lib.clock")
local Dns = require("tarvex.core.object.dns")

local dnsq = {}

-- Every record and buffer handed to C stays referenced from here.
local keep = {}

function dnsq.ports(fixture)
    local path = os.getenv("TEST_FIXTURE_DIR") .. "/" .. fixture .. "/ports"
    local file = io.open(path)
    if not file then
        print("no port list " .. path)
        os.exit(77)
    end
    local ports = {}
    for line in file:lines() do
        local name, port = line:match("^(%S+)%s+(%d+)$")
        if name then
            ports[name] = port
        end
    end
    file:close()
    return ports
end

local function u16(n)
    return string.char(math.floor(n / 256) % 256, n % 256)
end
dnsq.u16 = u16

function dnsq.name(text)
    local wire = {}
    for label in text:gmatch("[^.]+") do
        wire[#wire + 1] = string.char(#label) .. label
    end
    return table.concat(wire) .. "\0"
end

-- A recursion-desired query for `name` (type A unless given).
function dnsq.query(id, name, qtype)
    return u16(id) .. "\1\0" .. u16(1) .. u16(0) .. u16(0) .. u16(0) .. dnsq.name(name) .. u16(qtype or 1) .. u16(1)
end

function dnsq.frame(message)
    return u16(#message) .. message
end

-- A payload record over a copy of `bytes`; .obj is the record as core_object_t*.
function dnsq.payload(bytes, prev)
    local buf = ffi.new("uint8_t[?]", #bytes + 1)
    ffi.copy(buf, bytes, #bytes)
    local rec = ffi.new("core_object_payload_t")
    rec.obj_type = 40
    rec.payload = buf
    rec.len = #bytes
    if prev then
        rec.obj_prev = ffi.cast("const core_object_t*", prev)
    end
    keep[#keep + 1] = buf
    keep[#keep + 1] = rec
    return { rec = rec, obj = ffi.cast("const core_object_t*", rec) }
end

-- A DNS record (the DNS class) over a payload of `bytes`; `includes` marks
-- bytes that start with the stream length field. The header parse points
-- the record at the bytes; a record too short to parse is pointed by hand.
function dnsq.dns(bytes, includes)
    local payload = dnsq.payload(bytes)
    local rec = Dns.new(payload.obj)
    rec.includes_dnslen = includes and 1 or 0
    rec:parse_header()
    rec.payload = payload.rec.payload
    rec.len = #bytes
    keep[#keep + 1] = rec
    return { rec = rec, obj = ffi.cast("const core_object_t*", rec), payload = payload }
end

-- The response as a parsed DNS record (kept until the next call), or nil
-- when its header does not parse.
function dnsq.parsed(pkt, includes)
    local rec = Dns.new(pkt)
    rec.includes_dnslen = includes and 1 or 0
    if rec:parse_header() ~= 0 then
        return nil
    end
    keep.parsed = rec
    return rec
end

-- Any record type over nothing, for "not a query" cases.
function dnsq.record(obj_type, prev)
    local rec = ffi.new("core_object_payload_t")
    rec.obj_type = obj_type
    if prev then
        rec.obj_prev = ffi.cast("const core_object_t*", prev)
    end
    keep[#keep + 1] = rec
    return ffi.cast("const core_object_t*", rec)
end

-- The producer's result as a payload record, or nil.
function dnsq.response(obj)
    if obj == nil then
        return nil
    end
    return ffi.cast("const core_object_payload_t*", obj)
end

function dnsq.bytes(pkt)
    return ffi.string(pkt.payload, pkt.len)
end

function dnsq.id(pkt, offset)
    offset = offset or 0
    return pkt.payload[offset] * 256 + pkt.payload[offset + 1]
end

function dnsq.qr(pkt, offset)
    offset = offset or 0
    return pkt.payload[offset + 2] >= 128
end

function dnsq.rcode(pkt, offset)
    offset = offset or 0
    return pkt.payload[offset + 3] % 16
end

function dnsq.now()
    local sec, nsec = Clock.monotonic()
    return sec + nsec / 1e9
end

pcall(ffi.cdef, "int poll(void* fds, unsigned long nfds, int timeout);")

-- Waits `sec` seconds without a busy loop.
function dnsq.sleep(sec)
    ffi.C.poll(nil, 0, math.floor(sec * 1000))
end

function dnsq.check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

function dnsq.hex(text)
    return (text:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

-- Connects a sender or DNS client to 127.0.0.1 `port`, with a timeout when
-- `sec` is given; returns it with send(obj) and produce() shorthands, the
-- latter giving the response record (or nil).
function dnsq.connected(sender, port, sec, nsec)
    if sec then
        sender:timeout(sec, nsec)
    end
    local result = sender:connect("127.0.0.1", port)
    dnsq.check(result == 0, "connect to %s gave %d", tostring(port), result)
    local send, ctx = sender:receive()
    local produce, pctx = sender:produce()
    return sender, function(obj) send(ctx, obj) end, function() return dnsq.response(produce(pctx)) end
end

-- Non-blocking produce until something other than an empty response; also
-- gives how many empty ones came first.
function dnsq.produce_until(produce, limit)
    local empties, deadline = 0, dnsq.now() + (limit or 10)
    while dnsq.now() < deadline do
        local got = produce()
        if got == nil or got.len > 0 then
            return got, empties
        end
        empties = empties + 1
    end
    error("no response in time")
end

return dnsq
