-- Every pcapng reader on broken files (cut inside a block or its header,
-- block lengths not a multiple of 4, too small or huge, a trailing length
-- that differs, a bad byte-order magic or version, a packet block before any
-- interface or for an interface the section lacks, captured lengths past the
-- block or the snap length, a cut option, an unusable time-stamp
-- resolution): the packets before the fault are delivered, then one warning
-- and a clean stop (run -1, the producer broken), or open refuses with -2
-- and a critical line. Nothing is fatal, nothing is read past the data.
-- fixtures: pcapng
-- timeout: 120
-- expect-stdout: ^\d+ hostile readings pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ng = require("pcapng")
local readers = require("readers")
local capture = require("stderr").capture
require("tarvex.core.log").enable("warning")
local check = ng.check

local function has(lines, level, message)
    for _, line in ipairs(lines) do
        if line:find(level .. ": " .. message, 1, true) then
            return true
        end
    end
    return false
end

local count = 0
for case in io.lines(ng.dir .. "hostile/cases") do
    local name, packets, where, message = case:match("^(%S+) (%d+) (%S+) (.*)$")
    packets = tonumber(packets)
    for _, entry in ipairs(ng.readers) do
        local path = ng.dir .. "hostile/" .. name .. ".pcapng" .. entry.ext
        if ng.exists(path) then
            for _, use in ipairs({ "run", "pull" }) do
                local what = string.format("%s %s%s %s", entry.name, name, entry.ext, use)
                local lines, reader, result = capture(readers.open, entry.name, path, entry.kind)
                if where == "open" then
                    check(result == -2, "%s: open gave %d", what, result)
                    check(has(lines, "critical", message), "%s: no critical %q in\n%s", what, message,
                        table.concat(lines, "\n"))
                else
                    check(result == 0, "%s: open gave %d:\n%s", what, result, table.concat(lines, "\n"))
                    local got, ended
                    lines, got, ended = capture(ng.listing, reader, use)
                    check(#got == packets, "%s: %d packets, expected %d", what, #got, packets)
                    check(ended == -1, "%s: ended with %d", what, ended)
                    check(#lines == 1 and has(lines, "warning", message), "%s: not the one warning %q in\n%s", what,
                        message, table.concat(lines, "\n"))
                    if use == "pull" then
                        local produce, ctx = reader:produce()
                        lines = capture(produce, ctx)
                        check(has(lines, "warning", "pcapng is broken, will not read next packet"),
                            "%s: pull after the fault", what)
                    end
                end
                count = count + 1
            end
        end
    end
end
check(count > 300, "only %d readings", count)
print(string.format("%d hostile readings pass", count))
