-- A script that ends while its threads run, by returning, by os.exit (closing
-- the state or not), by a run error, or after a thread could not start: the
-- threads use channels and records of the ending state, so the process ends
-- without freeing them, with the script's status and its stdout flushed.
-- Each case runs as its own tarvex process, many times (a freed channel under
-- a running thread crashed in a few runs out of thirty). A thread whose
-- function returns while a thread it started runs joins that thread before
-- its state is closed.
-- timeout: 240
-- expect-stdout: ^thread exit cases pass$
local tarvex = arg[0]
local Channel = require("tarvex.core.channel")
local Thread = require("tarvex.core.thread")
local ffi = require("ffi")

local function write(path, text)
    local file = assert(io.open(path, "w"))
    file:write(text)
    file:close()
end

local function read(path)
    local file = assert(io.open(path))
    local text = file:read("*a")
    file:close()
    return text
end

-- The exit code, or nil when a signal ended the process (os.execute gives
-- the wait status in Lua 5.1: code * 256, or the signal number).
local function run(command)
    local status = os.execute(command .. " >out.txt 2>err.txt")
    if status % 256 ~= 0 then
        return nil, read("err.txt"), read("out.txt"), status % 256
    end
    return math.floor(status / 256), read("err.txt"), read("out.txt")
end

-- Workers blocked on channels nobody closes; a few more each spinning in a
-- get on a channel that has an item only now and then, so that some thread
-- is inside core_channel_get whenever the state goes.
local prelude = [[
local Channel = require("tarvex.core.channel")
local Thread = require("tarvex.core.thread")
local ffi = require("ffi")
local keep = {}
local function blocked(n)
    for i = 1, n do
        local ch, t = Channel.new(16), Thread.new()
        t:push(ch)
        assert(t:start(function(thr)
            local ch = thr:pop()
            while true do
                ch:get()
            end
        end) == 0)
        ch:put(ffi.cast("void*", 1))
        keep[#keep + 1] = ch
    end
end
blocked(4)
io.stdout:write("buffered line")
]]

local cases = {
    { "return", "return", 0, "" },
    { "os.exit closing the state", "os.exit(3, true)", 3, "" },
    { "os.exit without closing", "os.exit(false)", 1, "" },
    { "run error", "error('gone')", 1, "^core critical: case%.lua: case%.lua:%d+: gone\n$" },
    { "collected before the end", "keep = nil collectgarbage() collectgarbage()", 0, "" },
}
for _, case in ipairs(cases) do
    local name, ending, expected, err_pattern = unpack(case)
    write("case.lua", prelude .. ending .. "\n")
    for round = 1, 30 do
        local code, err, out, signal = run(tarvex .. " case.lua")
        if code ~= expected or out ~= "buffered line" or not err:find(err_pattern) then
            error(string.format("%s, run %d: exit %s (signal %s), expected %d, stdout %q, stderr %q", name, round,
                tostring(code), tostring(signal), expected, out, err))
        end
    end
end

-- A thread that cannot start: under an address-space limit the creates fail
-- after some tens of workers, and the script gives up as the split example
-- does (os.exit(1, true)) while the started ones wait in get().
write("limit.lua", [[
local Channel = require("tarvex.core.channel")
local Thread = require("tarvex.core.thread")
local keep = {}
for i = 1, 1000 do
    local ch, t = Channel.new(16), Thread.new()
    t:push(ch)
    if t:start(function(thr) thr:pop():get() end) ~= 0 then
        io.stdout:write("cannot start worker ", i)
        os.exit(1, true)
    end
    keep[i] = { ch, t }
end
io.stdout:write("all started")
]])
write("probe.lua", "io.stdout:write('alive')\n")
-- Two ways to make the creates fail: an address-space limit (a sanitizer
-- build reserves more than any such limit, and cannot start under one), and
-- as root a process limit for an unprivileged user (root ignores its own).
local limiters = {
    { "address-space limit", "ulimit -v 400000 && exec " .. tarvex },
    { "process limit", "setpriv --reuid=65534 --regid=65534 --clear-groups bash -c 'ulimit -u 40 && exec "
        .. tarvex .. " \"$0\"'" },
}
local tried = 0
for _, limiter in ipairs(limiters) do
    local how, limited = unpack(limiter)
    local code, _, out = run(limited .. " probe.lua")
    if code == 0 and out == "alive" then
        tried = tried + 1
        for round = 1, 10 do
            local code, err, out, signal = run(limited .. " limit.lua")
            -- A thread may also fail at its own state (fatal, status 1).
            if code ~= 1 or not (out:find("^cannot start worker %d+$") or err:find("could not create new Lua state")) then
                error(string.format("cannot start under a %s, run %d: exit %s (signal %s), stdout %q, stderr %q",
                    how, round, tostring(code), tostring(signal), out, err))
            end
        end
    end
end
if tried == 0 then
    print("no limit to make a thread fail to start here: the cannot-start case is skipped")
end

-- In process: a thread whose function returns while a thread it started is
-- still in get() joins it first; it ends once its channel is closed.
local function nested_round()
    local done = Channel.new(4)
    local t = Thread.new()
    t:push(done)
    assert(t:start(function(thr)
        local Channel = require("tarvex.core.channel")
        local Thread = require("tarvex.core.thread")
        local ffi = require("ffi")
        local done = thr:pop()
        local work, child = Channel.new(16), Thread.new()
        child:push(work, done)
        assert(child:start(function(thr)
            local ffi = require("ffi")
            local work, done = thr:pop(2)
            local got = 0
            while work:get() ~= nil do
                got = got + 1
            end
            done:put(ffi.cast("void*", got))
        end) == 0)
        for i = 1, 100 do
            work:put(ffi.cast("void*", i))
        end
        work:close()
        -- No stop(): the child still drains the channel this state frees.
    end) == 0)
    assert(t:stop() == 0)
    assert(tonumber(ffi.cast("intptr_t", done:get())) == 100)
end
for _ = 1, 30 do
    nested_round()
end
assert(ffi.C.core_thread_running() == 0)

-- pop() belongs to the thread's own function: on the creating side it is a
-- script error, before or after the start, instead of a wait for ever.
local t = Thread.new()
t:push("item")
local ok, err = pcall(t.pop, t)
assert(not ok and err:find("pop%(%) is only for the thread's own function"), tostring(err))
assert(t:start(function(thr) assert(thr:pop() == "item") end) == 0)
ok, err = pcall(function() local first = t:pop(2) return first end)
assert(not ok and err:find("thread_exit%.lua:%d+: pop%(%) is only"), tostring(err))
assert(t:stop() == 0)
print("thread exit cases pass")
