-- The pcapng tests' common ground: the fixture directory, every reader and
-- compression to try, and a listing of the records a reader delivers (stamp,
-- lengths, link type, a hash of the bytes) that the fixture generator writes
-- too, so records compare with PCAP originals and with generated listings.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local ng = require("pcapng")
--   local lines, result = ng.listing(reader, "pull")
local ffi = require("ffi")
local readers = require("readers")

local ng = {}

ng.dir = os.getenv("TEST_FIXTURE_DIR") .. "/pcapng/"
ng.check = readers.check
ng.kinds = readers.kinds

-- Every pcapng reader with the file suffix and kind it reads.
ng.readers = { { name = "fpcapng", ext = "" }, { name = "mmpcapng", ext = "" } }
for _, compressed in ipairs({ "zpcapng", "zmmpcapng" }) do
    for _, kind in ipairs(readers.kinds) do
        ng.readers[#ng.readers + 1] = { name = compressed, ext = "." .. kind.ext, kind = kind.kind }
    end
end

function ng.exists(path)
    local file = io.open(path, "rb")
    if file then
        file:close()
    end
    return file ~= nil
end

function ng.line(pcap)
    return string.format("%d.%09d caplen=%d len=%d linktype=%d hash=%08x", tonumber(pcap.ts.sec),
        tonumber(pcap.ts.nsec), pcap.caplen, pcap.len, pcap.linktype, readers.hash(pcap.bytes, pcap.caplen) % 2 ^ 32)
end

-- The listing of every record the reader delivers in `use` ("run" or
-- "pull"), with run's result (pull: -1 when the reader ended broken), and
-- where the records lay (readers.lua places).
function ng.listing(reader, use)
    local lines, places = {}, { out = 0, buf = 0, map = 0, other = 0 }
    local function add(obj)
        local pcap = obj:cast()
        lines[#lines + 1] = ng.line(pcap)
        local where = readers.place(reader, pcap.bytes, pcap.caplen)
        places[where] = places[where] + 1
    end
    local result = 0
    if use == "run" then
        local callback = ffi.cast("core_receiver_t", function(_, obj) add(obj) end)
        reader:receiver({ receive = function() return callback, nil end })
        result = reader:run()
        callback:free()
    else
        local produce, ctx = reader:produce()
        while true do
            local obj = produce(ctx)
            if obj == nil then
                break
            end
            add(obj)
        end
        result = reader.obj.is_broken == 1 and -1 or 0
    end
    return lines, result, places
end

-- The listing of a PCAP file as the stdio PCAP reader reads it.
function ng.pcap_listing(path)
    local reader, result = readers.open("fpcap", path)
    ng.check(result == 0, "fpcap cannot open %s", path)
    return (ng.listing(reader, "pull"))
end

function ng.file_lines(path)
    local lines = {}
    for line in io.lines(path) do
        lines[#lines + 1] = line
    end
    return lines
end

function ng.same(got, want, what)
    ng.check(#got == #want, "%s: %d records, expected %d", what, #got, #want)
    for i = 1, #want do
        ng.check(got[i] == want[i], "%s: record %d is\n  %s\nexpected\n  %s", what, i, got[i], want[i])
    end
end

-- Records of several listings in time order, as a merge writes them.
function ng.merged(...)
    local all = {}
    for _, listing in ipairs({ ... }) do
        for _, line in ipairs(listing) do
            all[#all + 1] = line
        end
    end
    local function stamp(line)
        local sec, nsec = line:match("^(%d+)%.(%d+) ")
        return tonumber(sec) * 1e9 + tonumber(nsec)
    end
    table.sort(all, function(a, b) return stamp(a) < stamp(b) end)
    return all
end

return ng
