-- Channel scenario: object pointers from the main state to a worker
-- thread's state through a channel. Either both ends are components (a C
-- source pushing into the channel's receiver, the worker's channel run
-- delivering to a C sink) or both ends are script loops (put and get). The
-- consumer reads each object's type, as the raw ring baseline does.
--
--   tarvex channel.lua COUNT CAPACITY SOURCE_LIBRARY PRODUCER_CPU CONSUMER_CPU
--   prints "script <items/s>" and "component <items/s>"
local Channel = require("tarvex.core.channel")
local Thread = require("tarvex.core.thread")
require("tarvex.core.object_h")
local ffi = require("ffi")
local C = ffi.C

local count = assert(tonumber(arg[2]), "COUNT")
local capacity = assert(tonumber(arg[3]), "CAPACITY")
local source = ffi.load(assert(arg[4], "SOURCE_LIBRARY"))

ffi.cdef [[
struct bench_timespec { long sec; long nsec; };
int clock_gettime(int clock, struct bench_timespec* ts);
void bench_source_run(core_receiver_t recv, void* ctx, const void* objects, size_t object_size,
                      size_t pool, uint64_t count);
]]
local source_path = arg[4]
local producer_cpu = assert(tonumber(arg[5]), "PRODUCER_CPU")
local consumer_cpu = assert(tonumber(arg[6]), "CONSUMER_CPU")

-- Each side pins its own operating-system thread, as the baseline does.
local PIN = [[
typedef struct { unsigned long bits[16]; } bench_cpu_set_t;
unsigned long pthread_self(void);
int pthread_setaffinity_np(unsigned long thread, size_t size, const bench_cpu_set_t* set);
]]
local function pin(ffi, cpu)
    local set = ffi.new("bench_cpu_set_t")
    set.bits[math.floor(cpu / 64)] = 2 ^ (cpu % 64)
    ffi.C.pthread_setaffinity_np(ffi.C.pthread_self(), ffi.sizeof(set), set)
end
ffi.cdef(PIN)
pin(ffi, producer_cpu)
local CLOCK_MONOTONIC = 1
local POOL = 1024

local function now()
    local ts = ffi.new("struct bench_timespec")
    C.clock_gettime(CLOCK_MONOTONIC, ts)
    return tonumber(ts.sec) + tonumber(ts.nsec) / 1e9
end

local pool = ffi.new("core_object_t[?]", POOL)
for i = 0, POOL - 1 do
    pool[i].obj_type = 1
end

local function consumer(thr)
    local ffi = require("ffi")
    require("tarvex.core.object_h")
    local objects, reply, mode, library, pin_decl, cpu = thr:pop(6)
    ffi.cdef(pin_decl)
    local set = ffi.new("bench_cpu_set_t")
    set.bits[math.floor(cpu / 64)] = 2 ^ (cpu % 64)
    ffi.C.pthread_setaffinity_np(ffi.C.pthread_self(), ffi.sizeof(set), set)
    local sum = 0
    if mode == "run" then
        ffi.cdef [[
        typedef struct bench_sink { uint64_t type_sum; } bench_sink_t;
        core_receiver_t bench_sink_receiver(void);
        ]]
        local sink_lib = ffi.load(library)
        local sink = ffi.new("bench_sink_t")
        objects.recv, objects.ctx = sink_lib.bench_sink_receiver(), sink
        reply:put(ffi.cast("void*", 1)) -- ready
        objects:run()
        sum = tonumber(sink.type_sum)
    else
        reply:put(ffi.cast("void*", 1)) -- ready
        while true do
            local obj = objects:get()
            if obj == nil then
                break
            end
            sum = sum + ffi.cast("const core_object_t*", obj).obj_type
        end
    end
    reply:put(ffi.cast("void*", sum))
end

-- One measured transfer: start the worker, wait until it is consuming, then
-- time from the first put to the worker's last get.
local function measure(produce, mode)
    local objects, reply = Channel.new(capacity), Channel.new(4)
    objects:log():disable("info")
    local t = Thread.new()
    t:push(objects, reply, mode, source_path, PIN, consumer_cpu)
    assert(t:start(consumer) == 0)
    assert(reply:get() ~= nil)
    local start = now()
    produce(objects)
    objects:close()
    local sum = tonumber(ffi.cast("intptr_t", reply:get()))
    local elapsed = now() - start
    assert(t:stop() == 0)
    assert(sum == count, "lost items: " .. sum .. " of " .. count)
    return count / elapsed
end

local function script_loop(objects)
    for i = 0, count - 1 do
        objects:put(pool + i % POOL)
    end
end

local function component(objects)
    source.bench_source_run(C.core_channel_receiver(), objects, pool, ffi.sizeof("core_object_t"), POOL, count)
end

print(string.format("script %.0f", measure(script_loop, "get")))
print(string.format("component %.0f", measure(component, "run")))
