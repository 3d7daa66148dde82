-- With display_file_line the line names the calling function's chunk and the
-- line where that function is defined, not the line of the call.
-- expect-stderr: ^@.*log_position\.lua\[10\] core critical: inside$
-- expect-stderr: ^@.*log_position\.lua\[0\] core critical: main chunk$
-- expect-stderr: ^core critical: plain again$
local Log = require("tarvex.core.log")
Log.display_file_line(true)


local function report()
    local unused = 1
    Log.critical("inside")
end
report()
Log.critical("main chunk")
Log.display_file_line("yes")
Log.critical("plain again")
