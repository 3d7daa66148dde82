-- Runs tarvex (or any command) as a child process and returns its exit
-- status with what it printed, for tests whose cases end the process.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local sub = require("subprocess")
--   local code, out, err = sub.tarvex("print(1)")
local subprocess = {}

local function slurp(path)
    local file = io.open(path)
    if not file then
        return ""
    end
    local text = file:read("*a")
    file:close()
    return text
end

-- A whole file's text; "" when it cannot be read.
subprocess.read = slurp

-- The lines of a program's output, each without its newline.
function subprocess.lines(text)
    local out = {}
    for line in text:gmatch("([^\n]*)\n") do
        out[#out + 1] = line
    end
    return out
end

function subprocess.write(path, text)
    local file = assert(io.open(path, "w"))
    file:write(text)
    file:close()
end

-- Runs a shell command; returns exit status, stdout, stderr.
function subprocess.run(command)
    local status = os.execute(command .. " >sub.out 2>sub.err </dev/null")
    -- os.execute gives the wait status (exit status * 256) in Lua 5.1.
    local code = status >= 256 and math.floor(status / 256) or status
    return code, slurp("sub.out"), slurp("sub.err")
end

local counter = 0

-- Runs a script text with this tarvex; extra words follow the script path.
function subprocess.tarvex(script, args)
    counter = counter + 1
    local path = string.format("sub%d.lua", counter)
    subprocess.write(path, script)
    return subprocess.run(string.format("%s %s %s", arg[0], path, args or ""))
end

-- Checks a table of { name, script, exit, stderr pattern } cases.
function subprocess.expect_all(cases, prelude)
    for _, case in ipairs(cases) do
        local name, script, exit, pattern = case[1], case[2], case[3], case[4]
        local code, _, err = subprocess.tarvex((prelude or "") .. script)
        if code ~= exit then
            error(string.format("%s: exit %d, expected %d; stderr: %s", name, code, exit, err), 0)
        end
        if pattern and not err:find(pattern) then
            error(string.format("%s: stderr %q does not match %q", name, err, pattern), 0)
        end
    end
end

return subprocess
