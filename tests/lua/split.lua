-- The Split class: wiring, both delivery orders, and the kept receivers.
jit.off()
local ffi = require("ffi")
local Split = require("tarvex.filter.split")
require("tarvex.core.object_h")

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

local seen = {}
local callbacks = {}
-- A script receiver: records its name and the object it was handed.
local function receiver(name)
    local cb = ffi.cast("core_receiver_t", function(_, obj)
        seen[#seen + 1] = name .. ":" .. tostring(tonumber(ffi.cast("intptr_t", obj)))
    end)
    callbacks[#callbacks + 1] = cb
    return { receive = function() return cb, nil end }
end

local function run(split, objects)
    seen = {}
    local recv, ctx = split:receive()
    for i = 1, objects do
        recv(ctx, ffi.cast("const core_object_t*", i))
    end
    return table.concat(seen, " ")
end

local split = Split.new()
check(ffi.istype("filter_split_t", split.obj), "record")
check(ffi.string(split:log().name) == "filter.split", "object log name")
check(split:log().is_obj == 1, "object log")
check(Split.log() == ffi.C.filter_split_log(), "module log")
for _, name in ipairs({ "R1", "R2", "R3" }) do
    split:receiver(receiver(name))
end
check(#split.receivers == 3, "receivers kept")
local order = run(split, 6)
check(order == "R1:1 R3:2 R2:3 R1:4 R3:5 R2:6", "round-robin %s", order)

split:sendall()
order = run(split, 2)
check(order == "R3:1 R2:1 R1:1 R3:2 R2:2 R1:2", "send-all %s", order)
split:roundrobin()
check(split.obj.mode == ffi.C.FILTER_SPLIT_MODE_ROUNDROBIN, "mode back to round-robin")

local one = Split.new()
one:receiver(receiver("only"))
order = run(one, 2)
check(order == "only:1 only:2", "one receiver %s", order)
one:sendall()
order = run(one, 2)
check(order == "only:1 only:2", "one receiver, send-all %s", order)

-- Splits chain: a split is itself a receiver.
local outer = Split.new()
outer:sendall()
outer:receiver(split)
outer:receiver(receiver("side"))
order = run(outer, 1)
check(order == "side:1 R1:1", "chained %s", order)
print("split class passes")
