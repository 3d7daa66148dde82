-- Shows the engine working: versions, a log line and a built-in module.
-- Options come through the same command-line helper the tools use.
--   tarvex examples/hello.lua [-s]
local Cli = require("tarvex.tools.lib.cli")
local Log = require("tarvex.core.log")

local cli = Cli.script({
    summary = "versions, a log line and a built-in module",
    usage = "[options...]",
    options = {
        { "s", "silent", false, "Do not log the start line" },
    },
})
cli:no_more_args()

print(string.format("tarvex %s (%d.%d.%d)", TARVEX_VERSION, TARVEX_MAJOR_VERSION,
    TARVEX_MINOR_VERSION, TARVEX_PATCH_VERSION))
if not cli:val("silent") then
    Log.enable("info")
end
Log.info("script %s started with %d arguments", arg[1], #arg - 1)
print("errstr(2) = " .. Log.errstr(2))
