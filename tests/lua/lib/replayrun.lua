-- Runs `tarvex replay` with a JSON result and reads the result back, for
-- the tests that look at whole runs.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local Run = require("replayrun")
--   local code, result, out, err = Run.replay("-p 5300 -c 4", capture, "run.json")
--   Run.accounted("label", result)
local sub = require("subprocess")
local Json = require("tarvex.tools.lib.json")

local Run = {}

-- A JSON file decoded; nil when it is missing.
function Run.load(path)
    local handle = io.open(path, "rb")
    if not handle then
        return nil
    end
    local result = assert(Json.decode(handle:read("*a")), path .. " is not JSON")
    handle:close()
    return result
end

-- Runs the tool quietly on `capture`; its exit status, the decoded result
-- (nil when none was written), stdout and stderr.
function Run.replay(args, capture, json_path)
    json_path = json_path or "replay.json"
    os.remove(json_path)
    local code, out, err = sub.run(string.format("%s replay -q -r %s --json %s %s", arg[0], capture, json_path, args))
    return code, Run.load(json_path), out, err
end

-- Every query read ended as answered, timed out or not sent.
function Run.accounted(label, result)
    assert(result, label .. ": no result written")
    local q = result.queries
    assert(q.answered + q.timed_out + q.not_sent == q.read, string.format(
        "%s: %d answered + %d timed out + %d not sent ~= %d read", label, q.answered, q.timed_out, q.not_sent, q.read))
end

-- A check that does not stop the script, so that one run's fault does not
-- hide the next ones; Run.done() fails with all of them at the end.
local faults = {}
function Run.expect(cond, message)
    if not cond then
        faults[#faults + 1] = message
    end
    return cond
end

function Run.done(passed)
    if #faults > 0 then
        error(#faults .. " failed:\n" .. table.concat(faults, "\n"), 0)
    end
    print(passed)
end

function Run.show(result)
    return result and Json.encode(result.queries) or "no result"
end

return Run
