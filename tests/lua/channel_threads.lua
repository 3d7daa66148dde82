-- A million items from the main interpreter state to a thread's state
-- through one channel whose 32-bit indices wrap on the way, then many rounds
-- in which the last items are put immediately before close while the
-- consumer is already waiting (with get and with run): nothing may be lost,
-- duplicated or reordered.
-- timeout: 120
-- reject-stderr: critical
-- expect-stdout: ^1000000 items in order$
-- expect-stdout: ^3000 rounds complete$
local Channel = require("tarvex.core.channel")
local Thread = require("tarvex.core.thread")
local ffi = require("ffi")

local COUNT = 1000000
local ROUNDS = 3000
local READY = -1

local function item(n)
    return ffi.cast("void*", n)
end

local function number(p)
    return tonumber(ffi.cast("intptr_t", p))
end

local function worker(thr)
    local ffi = require("ffi")
    local READY = -1
    local function item(n)
        return ffi.cast("void*", n)
    end
    local function number(p)
        return tonumber(ffi.cast("intptr_t", p))
    end
    local big, reply, out = thr:pop(3)

    -- Count the items that arrive in order; a wrong one ends the count.
    local expected, wrong = 1, nil
    while true do
        local p = big:get()
        if p == nil then
            break
        end
        if not wrong and number(p) ~= expected then
            wrong = expected
        end
        expected = expected + 1
    end
    reply:put(item(wrong and -1000 - wrong or expected - 1))

    while true do
        local mode = thr:pop()
        if mode == "end" then
            break
        end
        local ch = thr:pop()
        if mode == "get" then
            reply:put(item(READY))
            local got = 0
            while ch:get() ~= nil do
                got = got + 1
            end
            reply:put(item(got))
        else
            ch:receiver(out)
            reply:put(item(READY))
            ch:run()
            reply:put(item(0))
        end
    end
end

local t = Thread.new()
local big, reply, out = Channel.new(), Channel.new(16), Channel.new(16)
local words = ffi.cast("uint32_t*", big.ring)
local start = 0xffffffff - COUNT / 2
words[0], words[16], words[17] = start, start, start
big:log():disable("info")
t:push(big, reply, out)
assert(t:start(worker) == 0)

for i = 1, COUNT do
    big:put(item(i))
end
big:close()
local passed = number(reply:get())
assert(passed == COUNT, "items passed in order: " .. passed)
print(COUNT .. " items in order")

for round = 1, ROUNDS do
    local count = 1 + round % 3
    local mode = round % 2 == 0 and "get" or "run"
    local ch = Channel.new(4)
    ch:log():disable("info")
    t:push(mode, ch)
    assert(number(reply:get()) == READY)
    for i = 1, count do
        ch:put(item(i))
    end
    ch:close()
    local got = number(reply:get())
    if mode == "run" then
        for i = 1, count do
            local p = out:try_get()
            assert(p ~= nil and number(p) == i, "round " .. round .. ": item " .. i .. " missing from run")
        end
        assert(out:try_get() == nil, "round " .. round .. ": run delivered too much")
    else
        assert(got == count, "round " .. round .. ": get returned " .. got .. " of " .. count)
    end
end
t:push("end")
assert(t:stop() == 0)
print(ROUNDS .. " rounds complete")
