-- DoH scenario, tarvex side: a capture's queries pushed through
-- fpcap -> layer -> dohcli onto one HTTP/2 connection (as many streams in
-- flight as the server allows), then every answer pulled.
--
--   tarvex doh.lua CAPTURE PORT METHOD     prints "answered N RATE"
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local Dohcli = require("tarvex.output.dohcli")
local Clock = require("tarvex.lib.clock")
local ffi = require("ffi")

local capture, port, method = assert(arg[2], "CAPTURE"), assert(arg[3], "PORT"), arg[4] or "POST"

local input, layer, doh = Fpcap.new(), Layer.new(), Dohcli.new()
doh:method(method)
doh:timeout(5, 0)
assert(input:open(capture) == 0, "open " .. capture)
assert(doh:connect("127.0.0.1", port) == 0, "connect")
layer:receiver(doh)
input:receiver(layer)

local function now()
    local sec, nsec = Clock.monotonic()
    return sec + nsec / 1e9
end

local start = now()
assert(input:run() == 0, "run")
local produce, ctx = doh:produce()
while true do
    local answer = produce(ctx)
    if answer == nil or (doh:in_flight() == 0 and ffi.cast("const core_object_payload_t*", answer).len == 0) then
        break
    end
end
local seconds = now() - start
print(string.format("answered %d %.0f", doh:received(), doh:received() / seconds))
if doh:received() ~= doh:packets() then
    io.stderr:write(string.format("%d sent, %d answered, %d errors, peak %d streams\n", doh:packets(),
        doh:received(), doh:errors(), doh:peak()))
end
