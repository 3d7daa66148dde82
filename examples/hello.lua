-- Shows the engine working: versions, a log line and a built-in module.
-- Run with -h for its options.
package.path = arg[1]:match("^(.-)[^/]*$") .. "lib/?.lua;" .. package.path
local Cli = require("cli")
local Log = require("tarvex.core.log")

local opts = Cli.new({
    { "q", "quiet", false, "Do not log the start line", "?" },
}, "[options...]")

opts:no_more_args()

print(string.format("tarvex %s (%d.%d.%d)", TARVEX_VERSION, TARVEX_MAJOR_VERSION,
    TARVEX_MINOR_VERSION, TARVEX_PATCH_VERSION))
if not opts:val("quiet") then
    Log.enable("info")
end
Log.info("script %s started with %d arguments", arg[1], #arg - 1)
print("errstr(2) = " .. Log.errstr(2))
