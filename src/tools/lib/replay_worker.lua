-- One replay worker: opens the capture, decodes it (fragments and TCP
-- streams reassembled) and drives a replayer through it, again from the
-- start while loops are left or until told to stop. The same code runs in
-- the tool's own state (one worker) or in a thread's (several).
--   local problem = Worker.run(replayer, { path = p, port = 53, loops = 1, forever = false })
--   -- nil: the whole input went through; else a one-line reason
--   Worker.thread                -- a function for Thread:start, fed by Worker.push
module("tarvex.tools.lib.replay_worker", package.seeall)

Worker = {}

-- Runs to the end. nil, or what went wrong. `job.first` is an input opened
-- already (standard input can be opened only once), `job.slice` the seconds
-- run between two calls of `between` (the caller's progress and stop
-- checks), if given.
function Worker.run(replayer, job, between)
    local Capture = require("tarvex.input.capture")
    local Decode = require("tarvex.tools.lib.decode")
    local passes = 0
    local function next_input()
        local input, why = job.first, nil
        job.first = nil
        if not input then
            input, why = Capture.open(job.path)
            if not input then
                return nil, why
            end
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
        return "the capture ends inside a record; replayed up to there"
    end
    return nil
end

-- The thread's function: its items are the replayer, a status channel, and
-- the job's fields. It puts 1 on the channel when the run went through, 2
-- when it did not (after its reason on stderr, as one line).
function Worker.thread(thr)
    local ffi = require("ffi")
    require("tarvex.core.channel")
    local Replayer = require("tarvex.output.replayer")
    local W = require("tarvex.tools.lib.replay_worker")
    local record, status, number, path, port, loops, forever = thr:pop(7)
    local job = { path = path, port = port, loops = loops, forever = forever == 1 }
    local ok, problem = pcall(W.run, Replayer.wrap(record), job)
    if not ok or problem then
        io.stderr:write(string.format("tarvex replay: worker %d: %s\n", number, tostring(problem)))
        status:put(ffi.cast("void*", 2))
    else
        status:put(ffi.cast("void*", 1))
    end
end

-- Pushes a job to a started thread in the order Worker.thread pops it.
function Worker.push(thr, replayer, status, number, job)
    thr:push(replayer, status, number, job.path, job.port, job.loops, job.forever and 1 or 0)
end

return Worker
