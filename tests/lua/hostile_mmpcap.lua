-- The memory-mapped PCAP reader on damaged and odd input: a capture cut after
-- every byte of its file header and first three records (both byte orders),
-- frames longer than the file or the snaplen, snaplen 0 and 0xffffffff, a
-- directory, /dev/null and a FIFO. Every case ends with its result and
-- message, in run and in pull use; none is fatal, so all share this process.
-- fixtures: hostile
-- timeout: 60
-- expect-stdout: ^mmpcap: \d+ hostile cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local hostile = require("hostile")

local count = hostile.check_cuts("mmpcap", nil, { "native", "swapped" })

for _, case in ipairs(hostile.odd_cases("mmpcap")) do
    hostile.check_case("mmpcap", hostile.path(case.file), nil, case, hostile.reference(case.file))
    count = count + 1
end

-- Nothing that is not a regular file can be mapped. A FIFO is refused at
-- once, with or without a writer: the reader does not wait for one only to
-- find that a pipe cannot be mapped.
local unmappable = {
    { hostile.directory("a_directory"), "ENODEV" },
    { "/dev/null", "EINVAL" },
    { hostile.fifo("capture.fifo"), "EINVAL" },
}
for _, case in ipairs(unmappable) do
    local message = string.format("mmap(%s) error %s", case[1], case[2])
    hostile.check_case("mmpcap", case[1], nil, { open = -1, message = message })
    count = count + 1
end

print(string.format("mmpcap: %d hostile cases pass", count))
