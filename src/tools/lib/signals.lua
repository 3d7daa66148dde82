-- Ctrl-C and SIGTERM as a request to stop: once held, they stay pending
-- instead of ending the process, and a tool looks at them between two
-- records, so it finishes the record in hand, closes its outputs and prints
-- its summary.
--   local Signals = require("tarvex.tools.lib.signals")
--   Signals.hold()
--   while not Signals.requested() do ... end
module("tarvex.tools.lib.signals", package.seeall)

local ffi = require("ffi")
local C = ffi.C

pcall(ffi.cdef, [[
typedef struct { uint64_t bits[16]; } tools_sigset_t;
int sigemptyset(tools_sigset_t* set);
int sigaddset(tools_sigset_t* set, int signum);
int sigismember(const tools_sigset_t* set, int signum);
int sigprocmask(int how, const tools_sigset_t* set, tools_sigset_t* old);
int sigpending(tools_sigset_t* set);
]])

local SIGINT, SIGTERM = 2, 15
local SIG_BLOCK = ffi.os == "Linux" and 0 or 1

Signals = {}

local stop_signals, pending = ffi.new("tools_sigset_t"), ffi.new("tools_sigset_t")
C.sigemptyset(stop_signals)
C.sigaddset(stop_signals, SIGINT)
C.sigaddset(stop_signals, SIGTERM)

-- From here on a stop signal waits to be asked for (one that comes during
-- the set-up is not lost either).
function Signals.hold()
    C.sigprocmask(SIG_BLOCK, stop_signals, nil)
end

-- Whether a stop signal has come (it stays pending: asking again says so too).
function Signals.requested()
    C.sigpending(pending)
    return C.sigismember(pending, SIGINT) == 1 or C.sigismember(pending, SIGTERM) == 1
end

return Signals
