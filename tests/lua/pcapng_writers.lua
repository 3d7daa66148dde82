-- Every pcapng reader (stdio, mapping, and both compressed ones with every
-- compression), in run and pull use, delivers the packets of pcapng files
-- made by editcap and mergecap exactly as the PCAP reader delivers their
-- PCAP originals (bytes, stamps, lengths, link type), microsecond and
-- nanosecond, one interface per link type in the merged file; and the
-- packets of files written block by block: a big-endian section, a 2^-20
-- time-stamp resolution, several sections and interfaces with simple,
-- obsolete and unknown blocks, a file with no packets.
-- fixtures: pcapng
-- timeout: 300
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ng = require("pcapng")
local readers = require("readers")
local check, dir = ng.check, ng.dir

if not ng.exists(dir .. "merged.pcapng") then
    print("no editcap or mergecap: skipped")
    os.exit(77)
end

local eth_usec = ng.pcap_listing(dir .. "eth_usec.pcap")
local expected = {
    { "eth_usec.pcapng", eth_usec, 1 },
    { "eth_nsec.pcapng", ng.pcap_listing(dir .. "eth_nsec.pcap"), 1 },
    { "sll.pcapng", ng.pcap_listing(dir .. "sll.pcap"), 113 },
    { "raw.pcapng", ng.pcap_listing(dir .. "raw.pcap"), 12 },
    { "merged.pcapng", ng.merged(eth_usec, ng.pcap_listing(dir .. "sll.pcap"), ng.pcap_listing(dir .. "raw.pcap")), 1 },
    { "be.pcapng", ng.pcap_listing(dir .. "be.pcap"), 1 },
    { "pow2.pcapng", ng.pcap_listing(dir .. "pow2.pcap"), 1 },
    { "mixed.pcapng", ng.file_lines(dir .. "mixed.expect"), 1 },
    { "empty.pcapng", {}, 0 },
}
-- The merged file really has three link types in it.
local kinds = {}
for _, line in ipairs(expected[5][2]) do
    kinds[line:match("linktype=(%d+)")] = true
end
check(kinds["1"] and kinds["113"] and kinds["12"], "merged listing lacks a link type")

local count = 0
for _, entry in ipairs(ng.readers) do
    for _, case in ipairs(expected) do
        local file, want, linktype = case[1], case[2], case[3]
        for _, use in ipairs({ "run", "pull" }) do
            local what = string.format("%s %s%s %s", entry.name, file, entry.ext, use)
            local reader, result = readers.open(entry.name, dir .. file .. entry.ext, entry.kind)
            check(result == 0, "%s: open gave %d", what, result)
            check(reader.obj.linktype == linktype, "%s: linktype %d", what, reader.obj.linktype)
            local got, ended, places = ng.listing(reader, use)
            check(ended == 0, "%s: ended with %d", what, ended)
            ng.same(got, want, what)
            check(reader:packets() == #want, "%s: packets() %d", what, reader:packets())
            check(places.other == 0, "%s: %d records outside the reader's buffers", what, places.other)
            if entry.name == "mmpcapng" then
                check(places.map == #want, "%s: records not in the mapping", what)
            end
            if file == "be.pcapng" then
                check(reader.obj.is_swapped == 1 and reader.obj.prod_pkt.is_swapped == (use == "pull" and 1 or 0),
                    "%s: not marked swapped", what)
            end
            count = count + 1
        end
    end
end

-- editcap keeps the snap length of the original in the interface.
local reader = readers.open("mmpcapng", dir .. "eth_usec.pcapng")
check(reader.obj.snaplen == 65535, "snaplen %d", reader.obj.snaplen)
check(reader.obj.interface_count == 1 and reader.obj.sections == 1, "one section, one interface")
reader = readers.open("mmpcapng", dir .. "merged.pcapng")
-- A record handed out stays readable while the mapping reader lives.
local produce, ctx = reader:produce()
local first = produce(ctx):cast()
local kept = { ts = { sec = first.ts.sec, nsec = first.ts.nsec }, caplen = first.caplen, len = first.len,
    linktype = first.linktype, bytes = first.bytes }
local kept_line = ng.line(first)
while produce(ctx) ~= nil do
end
check(reader.obj.interface_count == 3, "merged: %d interfaces", reader.obj.interface_count)
check(ng.line(kept) == kept_line, "mapped record changed")

print(string.format("%d readings match", count))
