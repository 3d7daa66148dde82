-- Shows the engine working: versions, a log line and a built-in module.
local Log = require("tarvex.core.log")
print(string.format("tarvex %s (%d.%d.%d)", TARVEX_VERSION, TARVEX_MAJOR_VERSION,
    TARVEX_MINOR_VERSION, TARVEX_PATCH_VERSION))
Log.enable("info")
Log.info("script %s started with %d arguments", arg[1], #arg - 1)
print("errstr(2) = " .. Log.errstr(2))
