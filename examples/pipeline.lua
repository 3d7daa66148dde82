-- The smallest push pipeline: a capture read, decoded, and every UDP payload
-- sent to a DNS server as it is, as fast as the reader goes.
--   tarvex examples/pipeline.lua capture.pcap 127.0.0.1 53
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local Udpcli = require("tarvex.output.udpcli")

local path, host, port = arg[2], arg[3], arg[4]
if not (path and host and port) then
    io.stderr:write("usage: tarvex ", arg[1], " capture.pcap HOST PORT\n")
    os.exit(1)
end
local input, layer, sender = Fpcap.new(), Layer.new(), Udpcli.new()
if input:open(path) ~= 0 or sender:connect(host, port) ~= 0 then
    os.exit(1)
end
input:receiver(layer)  -- push: the reader calls the decoder for every frame
layer:receiver(sender) -- the decoder hands each payload to the sender
input:run()
print(string.format("read %d packets, sent %d payloads, %d errors", input:packets(), sender:packets(),
    sender:errors()))
