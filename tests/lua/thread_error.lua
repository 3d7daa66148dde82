-- An error raised in a thread ends only that thread: one critical line on
-- the thread's object log, stop() returns 0 and the script goes on. A
-- second stop has nothing left to join.
-- expect-stderr: ^core\.thread\[0x[0-9a-f]+\] critical: .*thread_error\.lua:\d+: boom in the thread$
-- expect-stderr: ^core\.thread\[0x[0-9a-f]+\] critical: pthread_join\(\) error: ESRCH$
-- expect-stdout: ^still running$
-- stderr-lines: 2
local Thread = require("tarvex.core.thread")

local t = Thread.new()
assert(t:start(function(thr)
    error("boom in the thread")
end) == 0)
assert(t:stop() == 0)
print("still running")
assert(t:stop() == -1)
