-- Threads from a script: items of every kind cross to the new state and
-- convert back, pop blocks and keeps push order, strings are cut at an
-- embedded NUL, upvalues and arg are absent in the new state.
-- timeout: 60
-- reject-stderr: critical
-- expect-stdout: ^thread cases pass$
local Channel = require("tarvex.core.channel")
local Thread = require("tarvex.core.thread")
local ffi = require("ffi")

local function number(p)
    return tonumber(ffi.cast("intptr_t", p))
end

-- push("a", 1, ch) then pop(3) in the thread: the string, the number and a
-- core_channel_t* to the same record. The thread answers through a channel.
local upvalue = "from the creating state"
local ch, answers = Channel.new(16), Channel.new(64)
local t = Thread.new()
t:push("a", 1, ch)
t:push(answers)
t:push("x\0hidden")
ch:put(ffi.cast("void*", 42))
assert(t:start(function(thr)
    local ffi = require("ffi")
    local s, n, c = thr:pop(3)
    local out = thr:pop()
    local function say(ok)
        out:put(ffi.cast("void*", ok and 1 or 0))
    end
    say(s == "a")
    say(n == 1)
    say(ffi.istype("core_channel_t*", c) and c:size() == 1 and tonumber(ffi.cast("intptr_t", c:get())) == 42)
    say(thr:pop() == "x")
    say(upvalue == nil and arg == nil and TARVEX_VERSION ~= nil)
    say(select("#", thr:pop(0)) == 0)
    -- Pops wait for pushes that happen after the thread started, in order.
    for i = 1, 100 do
        local a, b = thr:pop(2)
        say(a == i and b == "s" .. i)
    end
    say(thr:pop() == "last")
end) == 0)
local seen = 0
local function collect(upto)
    while seen < upto do
        seen = seen + 1
        assert(number(answers:get()) == 1, "thread check " .. seen)
    end
end
for i = 1, 100 do
    t:push(i, nil, "s" .. i)
    -- Every other time, wait until the thread has popped and is waiting again.
    if i % 2 == 0 then
        collect(6 + i)
    end
end
t:push("last")
collect(6 + 100 + 1)
assert(t:stop() == 0)
assert(answers:try_get() == nil)

-- A value without share() cannot be pushed: a script error in this thread.
local t2 = Thread.new()
for _, value in ipairs({ true, {}, function() end }) do
    local ok, err = pcall(t2.push, t2, value)
    assert(not ok and err:find("has no share%(%)"), tostring(err))
end
local ok = pcall(t2.push, t2, ffi.new("core_object_t"))
assert(not ok)
assert(t2.stack == nil, "nothing was queued")

-- Objects pushed to a running thread, and the running thread object itself,
-- stay alive while the script holds neither: the thread keeps using them.
local function spawn(answer)
    local work = Channel.new(8)
    local t = Thread.new()
    t:push(work, answer)
    assert(t:start(function(thr)
        local ffi = require("ffi")
        local work, answer = thr:pop(2)
        thr = nil
        local ok = thr == nil
        for round = 1, 50 do
            collectgarbage("collect")
            for i = 1, 7 do
                work:put(ffi.cast("void*", i))
            end
            for i = 1, 7 do
                ok = ok and tonumber(ffi.cast("intptr_t", work:get())) == i
            end
        end
        answer:put(ffi.cast("void*", ok and 1 or 0))
    end) == 0)
end
local answer = Channel.new(4)
spawn(answer)
for _ = 1, 20 do
    collectgarbage("collect")
end
assert(number(answer:get()) == 1, "the unreferenced thread and its channel still worked")

assert(ffi.string(Thread.log().name) == "core.thread")
assert(t:log().is_obj == 1)
print("thread cases pass")
