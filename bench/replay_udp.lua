-- UDP replay scenario, tarvex side: a capture's payloads pushed through
-- fpcap -> layer -> udpcli as fast as they can be read (no timing filter).
--
--   tarvex replay_udp.lua CAPTURE PORT     prints "sent N RATE"
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local Udpcli = require("tarvex.output.udpcli")
local Clock = require("tarvex.lib.clock")

local capture, port = assert(arg[2], "CAPTURE"), assert(arg[3], "PORT")

local input, layer, udp = Fpcap.new(), Layer.new(), Udpcli.new()
assert(input:open(capture) == 0, "open " .. capture)
assert(udp:connect("127.0.0.1", port) == 0, "connect")
layer:receiver(udp)
input:receiver(layer)

local function now()
    local sec, nsec = Clock.monotonic()
    return sec + nsec / 1e9
end

local start = now()
assert(input:run() == 0, "run")
local seconds = now() - start
print(string.format("sent %d %.0f", udp:packets(), udp:packets() / seconds))
if udp:errors() > 0 then
    io.stderr:write(string.format("%d send errors\n", udp:errors()))
end
