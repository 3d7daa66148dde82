-- expect-exit: 1
-- expect-stderr: ^core fatal: stop here 3$
-- reject-stderr: not reached
local Log = require("tarvex.core.log")
Log.fatal("stop here %d", require("ffi").new("int64_t", 3))
Log.critical("not reached")
