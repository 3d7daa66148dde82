-- A pull loop over a capture: counts the DNS queries each source address
-- sent. The starting point for a script that looks at every packet itself.
--   tarvex examples/sources.lua capture.pcap
local Object = require("tarvex.core.objects")
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local Dns = require("tarvex.core.object.dns")
local Ip = require("tarvex.lib.ip")

local input, layer = Fpcap.new(), Layer.new()
if not arg[2] or input:open(arg[2]) ~= 0 then
    io.stderr:write("usage: tarvex ", arg[1], " capture.pcap\n")
    os.exit(1)
end
layer:producer(input)
local produce, ctx = layer:produce()
local dns, per_source = Dns.new(), {}
while true do
    local before = input:packets()
    local obj = produce(ctx)
    if obj == nil and input:packets() == before then
        break -- the end of the capture, not a dropped frame
    end
    local udp = obj ~= nil and obj.obj_type == Object.PAYLOAD and obj.obj_prev
    if udp and udp.obj_type == Object.UDP then
        dns:reset()
        dns.obj_prev = obj
        if dns:parse_header() == 0 and dns.qr == 0 then
            local ip = obj:cast_to(Object.IP) or obj:cast_to(Object.IP6)
            local source = Ip.tostring(ip.src, true)
            per_source[source] = (per_source[source] or 0) + 1
        end
    end
end
for source, queries in pairs(per_source) do
    print(source, queries)
end
