-- DNS wire helpers for sender tests: build a query, and walk a whole message
-- (header, questions, resource records with compression) to check that a
-- reply is well formed.
--   local wire = require("dnscheck")
--   local q = wire.query(0x1234, "a.test", 1)
--   local msg = assert(wire.parse(reply_bytes))   -- msg.id, msg.qr, msg.rcode, msg.qname, msg.answers
local wire = {}

local function u16(s, at)
    return s:byte(at) * 256 + s:byte(at + 1)
end

function wire.query(id, name, qtype)
    local parts = { string.char(math.floor(id / 256) % 256, id % 256, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0) }
    for label in name:gmatch("[^.]+") do
        parts[#parts + 1] = string.char(#label) .. label
    end
    parts[#parts + 1] = string.char(0, 0, qtype or 1, 0, 1)
    return table.concat(parts)
end

-- A name at `at` (1-based); returns the text and the position after it.
local function name_at(s, at)
    local labels, after, hops = {}, nil, 0
    while true do
        if at > #s then
            return nil, "name runs past the end"
        end
        local len = s:byte(at)
        if len == 0 then
            after = after or at + 1
            break
        elseif len >= 192 then
            if at + 1 > #s then
                return nil, "cut compression pointer"
            end
            hops = hops + 1
            if hops > 64 then
                return nil, "compression loop"
            end
            after = after or at + 2
            at = u16(s, at) - 49152 + 1
        elseif len >= 64 then
            return nil, "bad label type"
        else
            if at + len > #s then
                return nil, "label runs past the end"
            end
            labels[#labels + 1] = s:sub(at + 1, at + len)
            at = at + 1 + len
        end
    end
    return table.concat(labels, "."), after
end

function wire.parse(s)
    if #s < 12 then
        return nil, "shorter than a header"
    end
    local msg = {
        id = u16(s, 1),
        qr = s:byte(3) >= 128,
        rcode = s:byte(4) % 16,
        answers = {},
    }
    local qd, an, ns, ar = u16(s, 5), u16(s, 7), u16(s, 9), u16(s, 11)
    local at = 13
    for i = 1, qd do
        local name, after = name_at(s, at)
        if not name then
            return nil, after
        end
        if after + 3 > #s then
            return nil, "cut question"
        end
        if i == 1 then
            msg.qname, msg.qtype = name, u16(s, after)
        end
        at = after + 4
    end
    for i = 1, an + ns + ar do
        local name, after = name_at(s, at)
        if not name then
            return nil, after
        end
        if after + 9 > #s then
            return nil, "cut record header"
        end
        local rdlen = u16(s, after + 8)
        if after + 9 + rdlen > #s then
            return nil, "cut rdata"
        end
        if i <= an then
            msg.answers[#msg.answers + 1] = { name = name, type = u16(s, after), rdata = s:sub(after + 10, after + 9 + rdlen) }
        end
        at = after + 10 + rdlen
    end
    if at ~= #s + 1 then
        return nil, string.format("%d bytes after the last record", #s + 1 - at)
    end
    return msg
end

return wire
