-- The program entry: usage, load failures, run errors and exit statuses,
-- each run as its own tarvex process.
local tarvex = arg[0]

local function write(path, text)
    local file = assert(io.open(path, "w"))
    file:write(text)
    file:close()
end

local function run(command)
    local status = os.execute(command .. " >out.txt 2>err.txt")
    -- os.execute gives the wait status (status * 256) in Lua 5.1.
    local code = status >= 256 and math.floor(status / 256) or status
    local file = io.open("err.txt")
    local err = file:read("*a")
    file:close()
    return code, err
end

write("syntax.lua", "local = 1\n")
write("boom.lua", "local x = 1\nlocal y = 2\nerror(\"boom\")\n")
write("tableerr.lua", "error({})\n")
write("critical.lua", "require('tarvex.core.log').critical('still fine')\n")
write("ok.lua", "print('ok')\n")

local cases = {
    { "no arguments", tarvex, 1, "^usage: " .. tarvex:gsub("%p", "%%%0") .. " <file.lua> %.%.%.\n$" },
    { "missing script", tarvex .. " missing.lua", 1, "^core critical: missing.lua: cannot open/read file\n$" },
    { "syntax error", tarvex .. " syntax.lua", 1, "^core critical: syntax.lua: syntax error during pre%-compilation\n$" },
    { "runtime error", tarvex .. " boom.lua", 1, "^core critical: boom.lua: boom.lua:3: boom\n$" },
    { "error without string form", tarvex .. " tableerr.lua", 1, "^core critical: tableerr.lua: %(error object is a table value%)\n$" },
    { "critical line, normal end", tarvex .. " critical.lua", 0, "^core critical: still fine\n$" },
    { "normal end", tarvex .. " ok.lua a b", 0, "^$" },
}

for _, case in ipairs(cases) do
    local name, command, expected_code, pattern = unpack(case)
    local code, err = run(command)
    if code ~= expected_code then
        error(string.format("%s: exit %s, expected %d (stderr %q)", name, tostring(code), expected_code, err))
    end
    if not err:find(pattern) then
        error(string.format("%s: stderr %q does not match %q", name, err, pattern))
    end
end
print("entry cases pass")
