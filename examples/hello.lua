-- Shows the engine working: versions, a log line and a built-in module.
-- Run with -h for its options.
local Getopt = require("tarvex.lib.getopt")
local Log = require("tarvex.core.log")

local opts = Getopt.new({
    { "q", "quiet", false, "Do not log the start line", "?" },
})
opts.usage_desc = arg[1] .. " [options...]"

-- Exits through the interpreter's close, so that open components are
-- released by their finalisers.
local function fail(text)
    io.stderr:write(arg[1]:match("[^/]*$"), ": ", text, "\n")
    os.exit(1, true)
end
local ok, left = pcall(opts.parse, opts)
if not ok then
    -- Only the reason: the parser's own source position means nothing here.
    fail(tostring(left):gsub("^[^:]*:%d+: ", "") .. " (run with -h for the options)")
end
if opts:val("help") then
    opts:usage()
    return
end
if #left > 0 then
    fail("unexpected argument " .. left[1])
end

print(string.format("tarvex %s (%d.%d.%d)", TARVEX_VERSION, TARVEX_MAJOR_VERSION,
    TARVEX_MINOR_VERSION, TARVEX_PATCH_VERSION))
if not opts:val("quiet") then
    Log.enable("info")
end
Log.info("script %s started with %d arguments", arg[1], #arg - 1)
print("errstr(2) = " .. Log.errstr(2))
