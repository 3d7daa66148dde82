-- Timespec: time values (core_timespec_t) and the far-future value that
-- stands for "no limit".
module("tarvex.core.timespec", package.seeall)

require("tarvex.core.timespec_h")
local ffi = require("ffi")

Timespec = {}

-- 2^62 in both fields: later than any real clock reading, yet far enough from
-- the int64 limit that adding a gap to it cannot overflow.
function Timespec.max_init()
    local far = ffi.new("core_timespec_t")
    far.sec = 4611686018427387904LL
    far.nsec = 4611686018427387904LL
    return far
end

return Timespec
