-- The README's common jobs run as written, from a directory outside the
-- checkout, with the tarvex that `cmake --install` put in a staging root
-- found on the path: every command block of that section goes into one
-- shell script (the server's port made free, the live
-- captures left to their own test), which must end with status 0, and the
-- first replay prints what the README shows.
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local source, build = os.getenv("TEST_SOURCE_DIR"), os.getenv("TEST_BUILD_DIR")

if os.execute("command -v unbound >/dev/null") ~= 0 then
    print("unbound is not installed")
    os.exit(77)
end

local readme = sub.read(source .. "/README.md")
local section = readme:match("\n## Common jobs\n(.-)\n## ")
assert(section, "no Common jobs section")

-- A free UDP and TCP port for the server, in place of the README's.
local port = io.popen("/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind((\"127.0.0.1\", 0)); " ..
    "print(s.getsockname()[1])'"):read("*l")

local lines = { "set -eu", "trap 'kill $(jobs -p) 2>/dev/null || true' EXIT" }
local commands = 0
for block in section:gmatch("```\n(.-)\n```") do
    -- A block of commands has a tarvex line; the others are what they print.
    if ("\n" .. block):find("\ntarvex ") then
        for line in (block .. "\n"):gmatch("([^\n]*)\n") do
            line = line:gsub("5353", port)
            if line:find("^tarvex capture ") then
                line = "# " .. line
            elseif line:find("^unbound ") then
                -- Wait for the server to serve before the first query.
                line = line:gsub(" &$", " 2>unbound.log &") ..
                    "\nfor i in $(seq 100); do grep -q 'start of service' unbound.log && break; sleep 0.1; done"
            elseif line:find("^tarvex ") then
                commands = commands + 1
                line = line .. " >>jobs.out"
            end
            lines[#lines + 1] = line
        end
    end
end
assert(commands >= 8, "tarvex commands found: " .. commands)

-- Only the sample and the installed tool on the path: no checkout around.
assert(os.execute("DESTDIR=$PWD/root cmake --install " .. build .. " --prefix /usr >/dev/null && mkdir -p bin" ..
    " && ln -sf $PWD/root/usr/bin/tarvex bin/tarvex && cp " .. build .. "/sample/sample.pcap .") == 0)
sub.write("jobs.sh", table.concat(lines, "\n") .. "\n")
local code, _, err = sub.run("env PATH=$PWD/bin:/usr/bin:/bin:/usr/sbin:/sbin bash jobs.sh")
assert(code == 0, "the README's jobs failed: exit " .. code .. "\n" .. err)
local out = sub.read("jobs.out")
assert(out:find("\nread +6\nsent +6\nanswered +6 +100%.00%%\n") and out:find("\nrcode REFUSED +6 +100%.00%%\n"), out)
print(commands .. " README commands ran")
