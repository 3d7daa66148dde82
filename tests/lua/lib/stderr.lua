-- Standard error of a call, for tests that check the log lines a reader
-- writes without ending the process.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local lines, result = require("stderr").capture(reader.run, reader)
local ffi = require("ffi")
local compat = require("tarvex.core.compat")

ffi.cdef [[
int dup(int fd);
int dup2(int from, int to);
int close(int fd);
int fileno(void* stream);
]]
local C = ffi.C

local stderr = {}

-- Runs fn(...) with standard error sent to a file; returns the lines written
-- there (object addresses taken out: "input.fpcap warning: ...") and fn's
-- results. Each log line is one write, so nothing of it stays buffered. (A
-- sanitizer report made meanwhile is in stderr.capture in the work directory.)
function stderr.capture(fn, ...)
    local file = assert(io.open("stderr.capture", "w+"))
    local saved = C.dup(2)
    C.dup2(C.fileno(compat.file_pointer(file)), 2)
    local results = { pcall(fn, ...) }
    C.dup2(saved, 2)
    C.close(saved)
    file:seek("set", 0)
    local lines = {}
    for line in file:lines() do
        lines[#lines + 1] = (line:gsub("^([%w.]+)%[0x%x+%] ", "%1 "))
    end
    file:close()
    if not results[1] then
        error(results[2], 0)
    end
    return lines, unpack(results, 2)
end

return stderr
