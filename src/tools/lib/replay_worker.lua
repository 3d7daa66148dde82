-- One replay worker: opens the capture, decodes it (fragments and TCP
-- streams reassembled) and drives a replayer through it, again from the
-- start while loops are left or until told to stop; that runs in the
-- tool's own state when there is one worker. Several run in threads, each
-- on its lane of a replay feed that the tool's state fills from one reader.
--   local problem = Worker.run(replayer, { path = p, port = 53, loops = 1, forever = false })
--   -- nil: the whole input went through; else a one-line reason
--   Worker.thread                -- a function for Thread:start, given its job by Worker.push
module("tarvex.tools.lib.replay_worker", package.seeall)

Worker = {}

local CUT = "the capture ends inside a record; replayed up to there"

-- The capture of the next pass: the one opened already (standard input can
-- be opened only once), else opened anew. The input, or nil and why.
local function open_pass(job)
    local input = job.first
    job.first = nil
    if input then
        return input
    end
    return require("tarvex.input.capture").open(job.path)
end

-- Runs to the end. nil, or what went wrong. `job.first` is an input opened
-- already (standard input can be opened only once), `job.slice` the seconds
-- run between two calls of `between` (the caller's progress and stop
-- checks), if given.
function Worker.run(replayer, job, between)
    local Decode = require("tarvex.tools.lib.decode")
    local passes = 0
    local function next_input()
        local input, why = open_pass(job)
        if not input then
            return nil, why
        end
        replayer:input(Decode.pull(input, job.port, input), input)
        passes = passes + 1
        return input
    end
    local input, why = next_input()
    if not input then
        return why
    end
    while true do
        local status = replayer:run(job.slice or 0.25)
        if between then
            between()
        end
        if status == "failed" then
            return "the replay could not start (see the log above)"
        elseif status == "done" then
            break
        elseif status == "input ended" then
            job.packets = input:packets()
            job.cut = input.obj.is_broken ~= 0
            local more = job.forever or passes < job.loops
            if more and not job.cut and replayer.obj.stopping == 0 and job.path ~= "-" then
                input, why = next_input()
                if not input then
                    replayer:input(nil)
                    return why
                end
            else
                replayer:input(nil)
            end
        end
    end
    if job.cut then
        return CUT
    end
    return nil
end

-- The reading side of several workers: opens the capture (again while
-- loops are left) and moves its queries into `feed`. pump(seconds) gives
-- "busy" (call again), "full" (a lane is full: wait a little) or "done"
-- and nil or a one-line reason; the feed is closed then. stop() ends the
-- reading early.
function Worker.feeder(feed, job)
    local Decode = require("tarvex.tools.lib.decode")
    local passes, input, done, problem = 0, nil, false, nil
    local function next_input()
        local why
        input, why = open_pass(job)
        if not input then
            return why
        end
        feed:input(Decode.pull(input, job.port, input), input)
        passes = passes + 1
        return nil
    end
    local function finish(why)
        feed:input(nil)
        feed:close()
        done, problem = true, why
        return "done", why
    end
    local self = {}
    function self.pump(seconds)
        if done then
            return "done", problem
        end
        if not input then
            local why = next_input()
            if why then
                return finish(why)
            end
        end
        local status = feed:pump(seconds)
        if status ~= "ended" then
            return status == "full" and "full" or "busy"
        end
        if input.obj.is_broken ~= 0 then
            return finish(CUT)
        end
        if (job.forever or passes < job.loops) and job.path ~= "-" then
            local why = next_input()
            return why and finish(why) or "busy"
        end
        return finish(nil)
    end
    function self.stop()
        if not done then
            finish(nil)
        end
    end
    return self
end

-- Runs a replayer fed by lane `lane` of a replay feed until the lane ends
-- and what is in flight came back (or the run was stopped). nil, or what
-- went wrong.
function Worker.fed(replayer, feed, lane)
    replayer:feed(feed, lane)
    while true do
        local status = replayer:run(0.25)
        if status == "failed" then
            return "the replay could not start (see the log above)"
        elseif status == "done" then
            return nil
        elseif status == "input ended" then
            replayer:input(nil)
        end
    end
end

-- The thread's function: its items are the replayer, a status channel, the
-- worker's number and the feed whose lane of that number it replays. It
-- puts 1 on the channel when the run went through, 2 when it did not
-- (after its reason on stderr, as one line).
function Worker.thread(thr)
    local ffi = require("ffi")
    require("tarvex.core.channel")
    local Replayer = require("tarvex.output.replayer")
    local Feed = require("tarvex.output.replay_feed")
    local W = require("tarvex.tools.lib.replay_worker")
    local record, status, number, feed = thr:pop(4)
    local ok, problem = pcall(W.fed, Replayer.wrap(record), Feed.wrap(feed), number)
    if not ok or problem then
        io.stderr:write(string.format("tarvex replay: worker %d: %s\n", number, tostring(problem)))
        status:put(ffi.cast("void*", 2))
    else
        status:put(ffi.cast("void*", 1))
    end
end

-- Pushes a job to a started thread in the order Worker.thread pops it.
function Worker.push(thr, replayer, status, number, feed)
    thr:push(replayer, status, number, feed)
end

return Worker
