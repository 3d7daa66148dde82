-- Thread: one script function run in a new operating-system thread with its
-- own interpreter state, the record itself (core_thread_t) with these methods.
module("tarvex.core.thread", package.seeall)

require("tarvex.core.thread_h")
require("tarvex.core.log")
local ffi = require("ffi")
local C = ffi.C

Thread = {}

-- A started thread and every object pushed to it must outlive the running
-- function: collecting either would free memory under the other thread. The
-- objects are held by their thread object (weakly, so an unstarted thread can
-- still be collected), and a started thread object is held until stop().
local pushed = setmetatable({}, { __mode = "k" })
local running = {}

-- In a thread's own state, the address of its record: pop() is for the
-- function of that thread alone (on the creating side it would wait for
-- items that only that side can push, or take them from the thread).
local own_record = nil

function Thread.new()
    local self = ffi.new("core_thread_t")
    C.core_thread_init(self)
    ffi.gc(self, C.core_thread_destroy)
    return self
end

function Thread:log()
    if self == nil then
        return C.core_thread_log()
    end
    return self._log
end

function Thread:start(func)
    local bytecode = string.dump(func)
    local result = C.core_thread_start(self, bytecode, #bytecode)
    if result == 0 then
        running[self] = true
    end
    return result
end

function Thread:stop()
    local result = C.core_thread_stop(self)
    if result == 0 then
        running[self] = nil
    end
    return result
end

local function keep(self, value)
    local list = pushed[self]
    if not list then
        list = {}
        pushed[self] = list
    end
    list[#list + 1] = value
end

function Thread:push(...)
    for i = 1, select("#", ...) do
        local value = select(i, ...)
        local kind = type(value)
        if kind == "string" then
            C.core_thread_push_string(self, value, #value)
        elseif kind == "number" then
            C.core_thread_push_number(self, value)
        elseif value ~= nil then
            local ok, share = pcall(function() return value.share end)
            if not ok or type(share) ~= "function" then
                error("cannot push a " .. kind .. " value: it has no share()", 2)
            end
            local ptr, ctype, module = share(value)
            C.core_thread_push(self, ptr, ctype, #ctype, module, #module)
            keep(self, value)
        end
    end
end

local function convert(item)
    if item.ptr ~= nil then
        require(ffi.string(item.module))
        return ffi.cast(ffi.string(item.type), item.ptr)
    elseif item.str ~= nil then
        return ffi.string(item.str)
    end
    return item.num
end

function Thread:pop(num)
    if self == nil or own_record == nil or ffi.cast("const void*", self) ~= own_record then
        error("pop() is only for the thread's own function (its argument), not the creating side", 2)
    end
    if num == nil or num == 1 then
        return convert(C.core_thread_pop(self))
    end
    local items = {}
    for i = 1, num do
        items[i] = convert(C.core_thread_pop(self))
    end
    return unpack(items, 1, #items)
end

-- The entry point of a new thread's state: the function runs with its own
-- thread object as its only argument.
function Thread._in_thread(thr, bytecode)
    local self = ffi.cast("core_thread_t*", thr)
    own_record = ffi.cast("const void*", self)
    local func, err = loadstring(bytecode)
    if not func then
        error(err, 0)
    end
    func(self)
end

-- Called by the thread's entry when its function has ended, before its state
-- closes: the threads it started and did not stop are joined (they may use
-- its channels and objects), in whatever order.
function Thread._join_started()
    for thread in pairs(running) do
        C.core_thread_stop(thread)
        running[thread] = nil
    end
end

ffi.metatype("core_thread_t", { __index = Thread })

return Thread
