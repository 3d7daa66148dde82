-- DNS parse scenario, tarvex side: read, decode and parse every DNS message
-- of a capture (header, every question, every record) in a pull loop driven
-- from the script, reusing one DNS object, one label array, one question and
-- one record for the whole file.
--
--   tarvex dns_parse.lua FILE      prints "dns <packets> <seconds> <messages>"
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local Dns = require("tarvex.core.object.dns")
local Label = require("tarvex.core.object.dns.label")
local Q = require("tarvex.core.object.dns.q")
local Rr = require("tarvex.core.object.dns.rr")
local Clock = require("tarvex.lib.clock")
local ffi = require("ffi")
local C = ffi.C

local file = assert(arg[2], "FILE")
local input = Fpcap.new()
input:fadvise_sequential()
assert(input:open(file) == 0, "cannot open " .. file)
local layer = Layer.new()
layer:producer(input)
local produce, ctx = layer:produce()

local PAYLOAD, NUM_LABELS = 40, 16
local dns = Dns.new()
local labels, q, rr = Label.new(NUM_LABELS), Q.new(), Rr.new()

local packets, messages = 0, 0
local start_sec, start_nsec = Clock.monotonic()
while true do
    local obj = produce(ctx)
    if obj == nil then
        break
    end
    packets = packets + 1
    if obj.obj_type == PAYLOAD then
        C.core_object_dns_reset(dns)
        dns.obj_prev = obj
        if C.core_object_dns_parse_header(dns) == 0 then
            local ok = true
            for _ = 1, dns.qdcount do
                if C.core_object_dns_parse_q(dns, q, labels, NUM_LABELS) ~= 0 then
                    ok = false
                    break
                end
            end
            if ok then
                for _ = 1, dns.ancount + dns.nscount + dns.arcount do
                    if C.core_object_dns_parse_rr(dns, rr, labels, NUM_LABELS) ~= 0 then
                        ok = false
                        break
                    end
                end
            end
            if ok then
                messages = messages + 1
            end
        end
    end
end
local end_sec, end_nsec = Clock.monotonic()
local seconds = (end_sec - start_sec) + (end_nsec - start_nsec) / 1e9
assert(packets == input:packets(), "a frame was dropped")
print(string.format("dns %d %.6f %d", packets, seconds, messages))
