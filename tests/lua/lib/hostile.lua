-- The hostile-input reader tests' common ground: their fixtures, what a
-- reader must do with a capture cut after any number of bytes, the log lines
-- a call writes, FIFOs with a bounded writer, and one reading of a file by any
-- of the four readers that parse captures themselves.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local hostile = require("hostile")
--   local got = hostile.read("mmpcap", hostile.path("cut/native.30.pcap"), nil, "pull")
--   hostile.same(got, hostile.cut("mmpcap", got.path, 30, "pull"), hostile.reference("native.pcap"), "cut 30")
local ffi = require("ffi")
local readers = require("readers")
require("tarvex.core.log").enable("warning")

ffi.cdef [[
int mkfifo(const char* path, unsigned int mode);
]]
local C = ffi.C

local hostile = {}

hostile.dir = os.getenv("TEST_FIXTURE_DIR") .. "/hostile/"
hostile.check = readers.check
hostile.kinds = readers.kinds
hostile.uses = { "run", "pull" }

function hostile.path(name)
    return hostile.dir .. name
end

-- Where the records of native.pcap and swapped.pcap end: the file header's
-- end first, the file's end last.
hostile.bounds = {}
for offset in io.lines(hostile.path("bounds.txt"))():gmatch("%d+") do
    hostile.bounds[#hostile.bounds + 1] = tonumber(offset)
end
-- The cuts reach to the end of this record.
hostile.last_cut = hostile.bounds[4]

hostile.capture = require("stderr").capture

-- The reference frames (readers.lua digest lines) of a capture: all those
-- before the end or the first failure, as the mapping reader (which has no
-- snaplen limit) reads them.
local references = {}
function hostile.reference(name)
    if not references[name] then
        local reader, result
        hostile.capture(function()
            reader, result = readers.open("mmpcap", hostile.path(name))
        end)
        hostile.check(result == 0, "mmpcap cannot open %s", name)
        local _, digest = hostile.capture(readers.pull, reader)
        references[name] = digest.lines
    end
    return references[name]
end

hostile.failure = {
    header = "could not read next PCAP header, aborting",
    data = "could not read all of packet, aborting",
    length = "invalid packet length, larger then snaplen",
}

-- How a capture cut after `length` bytes ends: the number of whole records
-- before the cut, and the failure the cut makes (nil at a record boundary).
function hostile.cut_end(length)
    local frames = 0
    for i = 2, #hostile.bounds do
        if hostile.bounds[i] <= length then
            frames = i - 1
        end
    end
    local at = hostile.bounds[frames + 1]
    if length == at then
        return frames, nil
    end
    return frames, length - at < 16 and hostile.failure.header or hostile.failure.data
end

-- What reading a cut capture gives: `frames` of them delivered, then the
-- end of `use` ("run" or "pull") described by `failure` (nil: a clean end).
function hostile.expect(name, frames, failure, use)
    local logname = "input." .. name
    local want = { open = 0, frames = frames, log = {} }
    if use == "run" then
        want.result = failure and -1 or 0
    end
    if failure then
        want.log[1] = logname .. " warning: " .. failure
        if use == "pull" then
            want.log[2] = logname .. " warning: PCAP is broken, will not read next packet"
        end
    end
    return want
end

-- What opening a file must give when it is refused: `open` and the line.
function hostile.refused(name, open, message)
    return { open = open, log = { "input." .. name .. " critical: " .. message } }
end

local function size_of(path)
    local file = assert(io.open(path, "rb"))
    local size = file:seek("end")
    file:close()
    return size
end

-- What reading `path`, the capture cut after `length` bytes, must give.
function hostile.cut(name, path, length, use)
    if length < 24 then
        if (name == "mmpcap" or name == "zmmpcap") and size_of(path) == 0 then
            -- Nothing to map: a mapping of 0 bytes fails.
            return hostile.refused(name, -1, string.format("mmap(%s) error EINVAL", path))
        end
        return hostile.refused(name, -2, "could not read full PCAP header")
    end
    local frames, failure = hostile.cut_end(length)
    return hostile.expect(name, frames, failure, use)
end

-- One reading of `path` by reader `name` (compression `kind`) in `use`:
-- { path, open, frames (digest lines), result (run), packets, log }. A
-- broken producer is pulled once more, which logs that it is broken.
function hostile.read(name, path, kind, use)
    local got = { path = path }
    got.log = hostile.capture(function()
        local reader
        reader, got.open = readers.open(name, path, kind)
        if got.open ~= 0 then
            return
        end
        local digest
        if use == "run" then
            digest = readers.push(reader)
            got.result = digest.result
        else
            digest = readers.pull(reader)
            if reader.obj.is_broken == 1 then
                local produce, ctx = reader:produce()
                hostile.check(produce(ctx) == nil, "%s: a broken reader gave a frame", path)
            end
        end
        got.frames = digest.lines
        got.packets = reader:packets()
    end)
    return got
end

-- Fails unless a reading gave what was expected; its frames must be the
-- first ones of `reference` (digest lines of the whole capture).
function hostile.same(got, want, reference, what)
    local function lines(list)
        return table.concat(list, "\n")
    end
    hostile.check(got.open == want.open, "%s: open %s, expected %s; log:\n%s", what, tostring(got.open),
        tostring(want.open), lines(got.log))
    hostile.check(lines(got.log) == lines(want.log), "%s: log\n%s\nexpected\n%s", what, lines(got.log),
        lines(want.log))
    if want.open ~= 0 then
        return
    end
    hostile.check(got.result == want.result, "%s: result %s, expected %s", what, tostring(got.result),
        tostring(want.result))
    hostile.check(#got.frames == want.frames, "%s: %d frames, expected %d", what, #got.frames, want.frames)
    hostile.prefix(got, reference, what)
end

-- Fails unless a reading's frames are the first ones of `reference`, all
-- counted by packets().
function hostile.prefix(got, reference, what)
    hostile.check(got.packets == #got.frames, "%s: packets() %d after %d frames", what, got.packets, #got.frames)
    for i, line in ipairs(got.frames) do
        hostile.check(line == reference[i], "%s: frame %d is\n  %s\nexpected\n  %s", what, i, line,
            tostring(reference[i]))
    end
end

-- The oversized and odd captures and how reader `name` ends each: after
-- `frames` frames with `failure`, or refused at open (`open`, `message`).
function hostile.odd_cases(name)
    local cases = {
        { file = "beyond_file.pcap", frames = 1, failure = hostile.failure.data },
        { file = "over_snaplen.pcap", frames = 1, failure = hostile.failure.length },
        { file = "huge_incl.pcap", frames = 1, failure = hostile.failure.length },
        { file = "snaplen0.pcap", frames = 1, failure = hostile.failure.length },
    }
    if name == "fpcap" or name == "zpcap" then
        -- These allocate a frame buffer of snaplen bytes, so they bound it.
        cases[#cases + 1] = { file = "huge_snaplen.pcap", open = -2, message = "too large snaplen (4294967295)" }
    elseif name == "mmpcap" then
        cases[#cases + 1] = { file = "huge_snaplen.pcap", frames = 1, failure = hostile.failure.data }
    end
    return cases
end

-- Checks both uses of reader `name` on `path` against an odd case.
function hostile.check_case(name, path, kind, case, reference)
    for _, use in ipairs(hostile.uses) do
        local want = case.open and hostile.refused(name, case.open, case.message) or
            hostile.expect(name, case.frames, case.failure, use)
        hostile.same(hostile.read(name, path, kind, use), want, reference, string.format("%s %s %s", name, path, use))
        if case.open then
            return
        end
    end
end

-- Checks both uses of reader `name` on every cut of the captures `orders`
-- ("native", "swapped"); `suffix`: the compressed cuts' extension, with the
-- dot. Returns the number of readings checked.
function hostile.check_cuts(name, kind, orders, suffix)
    local count = 0
    for _, order in ipairs(orders) do
        local reference = hostile.reference(order .. ".pcap")
        for length = 0, hostile.last_cut do
            local path = hostile.path(string.format("cut/%s.%d.pcap%s", order, length, suffix or ""))
            for _, use in ipairs(hostile.uses) do
                local want = hostile.cut(name, path, length, use)
                hostile.same(hostile.read(name, path, kind, use), want, reference, string.format("%s %s", path, use))
                count = count + 1
                if want.open ~= 0 then
                    break
                end
            end
        end
    end
    return count
end

-- A new FIFO at `path` (in the work directory).
function hostile.fifo(path)
    os.remove(path)
    hostile.check(C.mkfifo(path, tonumber("600", 8)) == 0, "mkfifo %s", path)
    return path
end

-- Starts a writer that opens the FIFO, writes the file `source` into it (or
-- nothing without one) and closes it. The writer gives up after a few
-- seconds, so a reader that never opens the FIFO leaves nothing behind.
function hostile.writer(fifo, source)
    local body = source and string.format("cat '%s' >'%s'", source, fifo) or string.format(": >'%s'", fifo)
    os.execute(string.format("timeout 10 sh -c \"%s\" </dev/null >/dev/null 2>&1 &", body))
end

-- A directory with something in it (an empty one may have size 0).
function hostile.directory(path)
    os.execute(string.format("mkdir -p '%s' && : >'%s/entry'", path, path))
    return path
end

return hostile
