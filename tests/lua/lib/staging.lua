-- What the install, man page, completion and package tests share: a scratch
-- directory outside the checkout (removed afterwards, even when a check
-- fails), shell quoting, commands run from that directory with a bare
-- environment, and skipping when a peer tool is missing.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local staging = require("staging")
--   staging.need("dpkg-deb")
--   staging.with_scratch(function(dir) ... staging.outside(dir, "tarvex --version") ... end)
local sub = require("subprocess")

local staging = {}

staging.source = os.getenv("TEST_SOURCE_DIR")
staging.build = os.getenv("TEST_BUILD_DIR")
staging.sample = staging.build .. "/sample/sample.pcap"

function staging.quote(word)
    return "'" .. tostring(word):gsub("'", "'\\''") .. "'"
end
local q = staging.quote

function staging.check(condition, text, ...)
    if not condition then
        error(string.format(text, ...), 0)
    end
end

function staging.have(command)
    return (sub.run("command -v " .. q(command))) == 0
end

-- Skips the test (status 77) when a command it talks to is not installed.
function staging.need(...)
    for _, command in ipairs({ ... }) do
        if not staging.have(command) then
            print("skipped: " .. command .. " is not installed")
            os.exit(77)
        end
    end
end

-- Runs a command line (pipes included: it runs in a subshell, so that the
-- redirections of the whole apply to all of it); fails the test unless it
-- exits 0. Returns stdout, stderr.
function staging.run(command)
    local code, out, err = sub.run("(" .. command .. ")")
    staging.check(code == 0, "%s: exit %d\nstdout: %s\nstderr: %s", command, code, out, err)
    return out, err
end

-- The command run from `dir` with PATH holding only the system directories
-- and nothing else inherited, so that it cannot lean on the build tree. A
-- subshell, so that the caller's redirections stay in the caller's directory.
function staging.outside(dir, command)
    return string.format("(cd %s && env -i PATH=/usr/bin:/bin HOME=%s LANG=C.UTF-8 %s)", q(dir), q(dir), command)
end

-- Calls body(dir) with a fresh directory under /tmp, then removes it; an
-- error in body is raised again after the removal.
function staging.with_scratch(body)
    local pipe = assert(io.popen("mktemp -d /tmp/tarvex-test.XXXXXX"))
    local dir = pipe:read("*l")
    pipe:close()
    staging.check(dir and dir:match("^/tmp/tarvex%-test%.") ~= nil, "mktemp gave no directory")
    local ok, err = pcall(body, dir)
    os.execute("rm -rf " .. q(dir))
    if not ok then
        error(err, 0)
    end
end

function staging.exists(path)
    return os.execute("test -e " .. q(path)) == 0
end

-- Every tool table, in the order help lists them.
function staging.tools()
    local Tools = require("tarvex.tools")
    local tools = {}
    for _, name in ipairs(Tools.names) do
        tools[#tools + 1] = Tools.load(name)
    end
    return tools
end

return staging
