-- The DNS messages of a capture, one line each, as tarvex parses them and as
-- tshark reports them, so that tests can compare the two:
--   "0x1001 0x8180 q0.example.com 1 3 1,1,1"   id, flags, question name and
--   type, answer count, answer types (numbers; "-" for none)
--   local M = require("dnsmessages")
--   if not M.have_tshark() then ... skip ... end
--   M.same(M.tarvex(path), M.tshark(path), "what")    -- sorted lists, error on a difference
local ffi = require("ffi")
local Capture = require("tarvex.input.capture")
local Decode = require("tarvex.tools.lib.decode")
local Dns = require("tarvex.core.object.dns")
local Label = require("tarvex.core.object.dns.label")
local Object = require("tarvex.core.objects")

local M = {}

local function line(id, flags, name, qtype, ancount, types)
    return string.format("0x%04x 0x%04x %s %s %d %s", id, flags, name, qtype, ancount,
        #types > 0 and table.concat(types, ",") or "-")
end

-- The messages on `port` (53 by default) that tarvex reads from `path`, TCP
-- streams and IP fragments put together; errors on one that does not parse.
function M.tarvex(path, port)
    local input = assert(Capture.open(path))
    local chain = Decode.pull(input, port or 53)
    local produce, ctx = chain:produce()
    local out = {}
    while true do
        local before = input:packets()
        local obj = produce(ctx)
        if obj == nil and input:packets() == before then
            break
        end
        local transport = obj ~= nil and obj.obj_prev
        if obj ~= nil and obj.obj_type == Object.PAYLOAD and transport ~= nil
            and (transport.obj_type == Object.UDP or transport.obj_type == Object.TCP) then
            local ports = transport:cast()
            if ports.sport == (port or 53) or ports.dport == (port or 53) then
                local payload = obj:cast()
                local dns = Dns.new(payload)
                local ret, qs, qls, rrs = dns:parse(64)
                assert(ret == 0 and #qs >= 1, path .. ": a message that does not parse")
                local bytes = ffi.cast("const uint8_t*", payload.payload)
                local types = {}
                for i = 1, dns.ancount do
                    types[i] = rrs[i].type
                end
                local name = Label.tostring(dns, qls[1], qs[1].labels):gsub("%.$", "")
                out[#out + 1] = line(dns.id, bytes[2] * 256 + bytes[3], name, qs[1].type, dns.ancount, types)
            end
        end
    end
    table.sort(out)
    return out
end

function M.have_tshark()
    return os.execute("command -v tshark >/dev/null 2>&1") == 0
end

-- What tshark reports, message by message: it joins the values of the
-- messages in one frame with commas, the answer types of all of them in one
-- list, which the answer counts cut apart again.
function M.tshark(path, port)
    local decode_as = port and port ~= 53 and (" -d udp.port==" .. port .. ",dns -d tcp.port==" .. port .. ",dns")
        or ""
    local pipe = io.popen("tshark -r '" .. path .. "' -o tcp.reassemble_out_of_order:TRUE" .. decode_as
        .. " -Y dns -T fields -e dns.id -e dns.flags -e dns.qry.name -e dns.qry.type -e dns.count.answers"
        .. " -e dns.resp.type 2>/dev/null")
    local out = {}
    for text in pipe:lines() do
        local fields = {}
        for field in (text .. "\t"):gmatch("([^\t]*)\t") do
            local values = {}
            for value in field:gmatch("[^,]+") do
                values[#values + 1] = value
            end
            fields[#fields + 1] = values
        end
        local next_type = 1
        for i = 1, #fields[1] do
            local ancount = tonumber(fields[5][i])
            local types = {}
            for n = 1, ancount do
                types[n] = tonumber(fields[6][next_type])
                next_type = next_type + 1
            end
            out[#out + 1] = line(tonumber(fields[1][i]), tonumber(fields[2][i]), fields[3][i],
                fields[4][i], ancount, types)
        end
    end
    pipe:close()
    table.sort(out)
    return out
end

-- Errors at the first difference between two sorted lists.
function M.same(got, want, what)
    for i = 1, math.max(#got, #want) do
        if got[i] ~= want[i] then
            error(string.format("%s: message %d is %s where %s was expected (%d messages, %d expected)", what, i,
                tostring(got[i]), tostring(want[i]), #got, #want), 2)
        end
    end
end

-- The lines of `list` that `keep(line)` says yes to.
function M.only(list, keep)
    local out = {}
    for _, text in ipairs(list) do
        if keep(text) then
            out[#out + 1] = text
        end
    end
    return out
end

return M
