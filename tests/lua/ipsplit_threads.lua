-- IP split, copy filter and channels across threads: each client's packets
-- reach one worker thread only, every copy arrives whole, and the workers
-- free what they get.
-- timeout: 60
local ffi = require("ffi")
local Object = require("tarvex.core.objects")
local Channel = require("tarvex.core.channel")
local Thread = require("tarvex.core.thread")
local IpSplit = require("tarvex.filter.ipsplit")
local Copy = require("tarvex.filter.copy")

local function worker(thr)
    local ffi = require("ffi")
    require("tarvex.core.channel")
    require("tarvex.core.objects")
    local inbox, outbox = thr:pop(2)
    local packets, clients = 0, {}
    while true do
        local obj = inbox:get()
        if obj == nil then
            break
        end
        local payload = ffi.cast("core_object_payload_t*", obj)
        assert(payload.obj_type == 40 and payload.len == 1, "payload copy")
        local ip = ffi.cast("core_object_ip_t*", payload.obj_prev)
        assert(ip.obj_type == 20 and ip.obj_prev == nil, "ip copy at the bottom")
        -- The packet's own byte tells its client; the address was overwritten.
        local client = payload.payload[0]
        local number = ffi.cast("uint32_t*", ip.src)[0]
        assert(number >= 1 and number <= 200 and ip.dst[0] == 192, "client number in the copy")
        clients[client] = true
        packets = packets + 1
        ffi.C.core_object_free(ffi.cast("core_object_t*", ip))
        ffi.C.core_object_free(ffi.cast("core_object_t*", payload))
    end
    outbox:put(ffi.cast("void*", packets))
    for client in pairs(clients) do
        outbox:put(ffi.cast("void*", client + 1))
    end
    outbox:put(nil)
end

local workers, clients, rounds = 3, 200, 10
local ipsplit = IpSplit.new()
ipsplit:random(11)
ipsplit:overwrite_src()
local inboxes, outboxes, threads = {}, {}, {}
for i = 1, workers do
    local copy = Copy.new()
    copy:obj_type(Object.PAYLOAD)
    copy:obj_type(Object.IP)
    inboxes[i], outboxes[i] = Channel.new(64), Channel.new()
    copy:receiver(inboxes[i])
    ipsplit:receiver(copy, i)
    threads[i] = Thread.new()
    assert(threads[i]:start(worker) == 0)
    threads[i]:push(inboxes[i], outboxes[i])
end

-- One reused pair of records, as a decoder lends them.
local byte = ffi.new("uint8_t[1]")
local ip = ffi.new("core_object_ip_t", { obj_type = Object.IP })
local payload = ffi.new("core_object_payload_t", {
    obj_prev = ffi.cast("core_object_t*", ip), obj_type = Object.PAYLOAD, payload = byte, len = 1 })
local recv, ctx = ipsplit:receive()
for _ = 1, rounds do
    for client = 0, clients - 1 do
        ip.src[0], ip.src[1], ip.src[2], ip.src[3] = 10, 0, 0, client
        ip.dst[0] = 192
        byte[0] = client
        recv(ctx, ffi.cast("core_object_t*", payload))
    end
end
for i = 1, workers do
    inboxes[i]:close()
end

local total, owner = 0, {}
for i = 1, workers do
    total = total + tonumber(ffi.cast("intptr_t", outboxes[i]:get()))
    while true do
        local item = outboxes[i]:get()
        if item == nil then
            break
        end
        local client = tonumber(ffi.cast("intptr_t", item)) - 1
        assert(owner[client] == nil, "client " .. client .. " reached two workers")
        owner[client] = i
    end
    assert(threads[i]:stop() == 0)
end
assert(total == clients * rounds, "packets " .. total)
local seen = 0
for _ in pairs(owner) do
    seen = seen + 1
end
assert(seen == clients, "clients " .. seen)
print("ipsplit across threads passes")
