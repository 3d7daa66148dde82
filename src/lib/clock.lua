-- Clock: the real-time and monotonic clocks as seconds and nanoseconds.
module("tarvex.lib.clock", package.seeall)

require("tarvex.lib.clock_h")
local ffi = require("ffi")
local C = ffi.C

Clock = {}

local function reading(clkid)
    local now = C.lib_clock_gettime(clkid)
    return tonumber(now.sec), tonumber(now.nsec)
end

function Clock.realtime()
    return reading(C.LIB_CLOCK_REALTIME)
end

function Clock.monotonic()
    return reading(C.LIB_CLOCK_MONOTONIC)
end

-- Sleeps that many seconds (a signal cuts it short).
function Clock.sleep(seconds)
    C.lib_clock_sleep(seconds)
end

return Clock
