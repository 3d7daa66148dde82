-- Shows the engine working: versions, a log line and a built-in module.
-- Run with -h for its options.
local Getopt = require("tarvex.lib.getopt")
local Log = require("tarvex.core.log")

local opts = Getopt.new({
    { "q", "quiet", false, "Do not log the start line", "?" },
})
opts.usage_desc = arg[1] .. " [options...]"
opts:parse()
if opts:val("help") then
    opts:usage()
    return
end

print(string.format("tarvex %s (%d.%d.%d)", TARVEX_VERSION, TARVEX_MAJOR_VERSION,
    TARVEX_MINOR_VERSION, TARVEX_PATCH_VERSION))
if not opts:val("quiet") then
    Log.enable("info")
end
Log.info("script %s started with %d arguments", arg[1], #arg - 1)
print("errstr(2) = " .. Log.errstr(2))
