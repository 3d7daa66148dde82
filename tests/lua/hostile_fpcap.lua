-- The PCAP file reader on damaged and odd input: a capture cut after every
-- byte of its file header and first three records (both byte orders), frames
-- longer than the file or the snaplen, snaplen 0 and 0xffffffff, a directory,
-- /dev/null and FIFOs. Every case ends with its result and message, in run
-- and in pull use; nothing here is fatal, so all cases share this process.
-- fixtures: hostile
-- timeout: 60
-- expect-stdout: ^fpcap: \d+ hostile cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local hostile = require("hostile")

local count = hostile.check_cuts("fpcap", nil, { "native", "swapped" })

for _, case in ipairs(hostile.odd_cases("fpcap")) do
    hostile.check_case("fpcap", hostile.path(case.file), nil, case, hostile.reference(case.file))
    count = count + 1
end

-- A directory opens (stdio opens one for reading) but yields no bytes.
local header = { open = -2, message = "could not read full PCAP header" }
for _, path in ipairs({ hostile.directory("a_directory"), "/dev/null" }) do
    hostile.check_case("fpcap", path, nil, header)
    count = count + 1
end

-- A FIFO: opening waits for a writer, so each case starts one first. What
-- it writes is read to its end; a writer that writes nothing gives a header
-- that cannot be read, not a wait.
for _, use in ipairs(hostile.uses) do
    hostile.writer(hostile.fifo("capture.fifo"), hostile.path("native.pcap"))
    hostile.same(hostile.read("fpcap", "capture.fifo", nil, use), hostile.expect("fpcap", 4, nil, use),
        hostile.reference("native.pcap"), "FIFO " .. use)
    count = count + 1
end
hostile.writer(hostile.fifo("empty.fifo"))
hostile.same(hostile.read("fpcap", "empty.fifo", nil, "run"), hostile.refused("fpcap", -2, header.message), {},
    "FIFO, nothing written")

print(string.format("fpcap: %d hostile cases pass", count + 1))
