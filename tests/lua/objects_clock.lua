-- Clock readings and the far-future time value.
local ffi = require("ffi")
local Clock = require("tarvex.lib.clock")
local Timespec = require("tarvex.core.timespec")
local C = ffi.C

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

for _, read in ipairs({ C.lib_clock_gettime, C.lib_clock_getres }) do
    for _, id in ipairs({ 2, -1, 1000 }) do
        local reading = read(id)
        check(reading.sec == 0 and reading.nsec == 0, "clock %d reads %s.%s", id, tostring(reading.sec),
            tostring(reading.nsec))
    end
end
local resolution = C.lib_clock_getres(C.LIB_CLOCK_MONOTONIC)
check(resolution.sec > 0 or resolution.nsec > 0, "monotonic resolution is zero")

local sec, nsec = Clock.realtime()
check(type(sec) == "number" and type(nsec) == "number", "realtime gives numbers")
check(sec >= os.time() - 1 and nsec >= 0 and nsec < 1e9, "realtime %d.%09d", sec, nsec)

local last_sec, last_nsec = Clock.monotonic()
for _ = 1, 10000 do
    local s, ns = Clock.monotonic()
    check(s > last_sec or (s == last_sec and ns >= last_nsec), "monotonic went back")
    last_sec, last_nsec = s, ns
end

local far = Timespec.max_init("ignored")
check(ffi.istype("core_timespec_t", far), "max_init gives a core_timespec_t")
check(far.sec == 4611686018427387904LL and far.nsec == 4611686018427387904LL, "max_init is %s %s",
    tostring(far.sec), tostring(far.nsec))
check(Timespec.max_init() ~= far, "max_init gives a new value each time")

print("clock cases pass")
