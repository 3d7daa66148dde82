-- The replay feed: a capture's queries read, decoded (as replay decodes:
-- fragments and TCP streams reassembled) and moved into two lanes, each
-- drained by a thread of its own (waiting 100 us when it runs dry, as a
-- replayer does), beside the same reading and decoding with
-- nothing after it. The reader waits as the tool does when a lane is full.
--   tarvex replay_feed.lua FILE      prints "decode <queries/s>" and "feed <queries/s>"
local ffi = require("ffi")
local C = ffi.C
local Capture = require("tarvex.input.capture")
local Decode = require("tarvex.tools.lib.decode")
local Feed = require("tarvex.output.replay_feed")
local Thread = require("tarvex.core.thread")
local Clock = require("tarvex.lib.clock")

local file = assert(arg[2], "FILE")
local function now()
    local sec, nsec = Clock.monotonic()
    return sec + nsec / 1e9
end

local function decoded()
    local input = assert(Capture.open(file))
    return Decode.pull(input, 53, input), input
end

-- Reading and decoding alone: every record pulled, none looked at.
local chain, input = decoded()
local produce, ctx = chain:produce()
local records = 0
local start = now()
while true do
    local before = input.obj.pkts
    local obj = produce(ctx)
    if obj == nil and input.obj.pkts == before then
        break
    end
    records = records + 1
end
print(string.format("decode %.0f", records / (now() - start)))

local function drain(thr)
    local ffi = require("ffi")
    local Feed = require("tarvex.output.replay_feed")
    local Clock = require("tarvex.lib.clock")
    local record, lane, done = thr:pop(3)
    local _, ctx, waiting = Feed.wrap(record):lane(lane)
    local got = 0
    while true do
        if ffi.C.output_replay_feed_produce(ctx) ~= nil then
            got = got + 1
        elseif waiting[0] == 0 then
            break
        else
            Clock.sleep(0.0001)  -- as a replayer waits on a lane run dry
        end
    end
    done:put(ffi.cast("void*", got + 1))
end

local Channel = require("tarvex.core.channel")
local feed = Feed.new(2, 4096)
chain, input = decoded()
feed:input(chain, input)
local threads, dones = {}, {}
for lane = 1, 2 do
    dones[lane], threads[lane] = Channel.new(4), Thread.new()
    threads[lane]:push(feed, lane, dones[lane])
    assert(threads[lane]:start(drain) == 0)
end
start = now()
while true do
    local status = feed:pump(0.005)
    if status == "ended" then
        break
    elseif status == "full" then
        Clock.sleep(0.0005)
    end
end
feed:close()
local got = 0
for lane = 1, 2 do
    got = got + tonumber(ffi.cast("intptr_t", dones[lane]:get())) - 1
end
local elapsed = now() - start
for lane = 1, 2 do
    assert(threads[lane]:stop() == 0)
end
assert(got == feed:counts().queries, "lost queries: " .. got .. " of " .. feed:counts().queries)
print(string.format("feed %.0f", got / elapsed))
