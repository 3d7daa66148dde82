// The plain PCAP readers on any file: the stdio reader (fpcap) and the
// mapping reader (mmpcap), each once pushing every frame (run) and once
// pulling them one by one (producer). The input is the file.
//
// Every frame must lie in the reader's frame buffer or in the mapping, and
// all four readings must agree: same open result, same frames, same end.
// Only where the header's snaplen is above the stdio reader's limit does
// the stdio reader refuse what the mapping reader reads.
#include <cstddef>
#include <cstdint>

#include "input/fpcap.h"
#include "input/mmpcap.h"
#include "support/capture.h"

namespace {

constexpr uint32_t stdio_snaplen_limit = 262144;

struct Stdio {
    static int run(input_fpcap_t* self) { return input_fpcap_run(self); }
    static core_producer_t producer(input_fpcap_t* self) { return input_fpcap_producer(self); }
    static std::vector<fuzz::Area> areas(const input_fpcap_t& self) { return {{self.buf, self.snaplen}}; }
};

struct Mapped {
    static int run(input_mmpcap_t* self) { return input_mmpcap_run(self); }
    static core_producer_t producer(input_mmpcap_t* self) { return input_mmpcap_producer(self); }
    static std::vector<fuzz::Area> areas(const input_mmpcap_t& self) { return {{self.buf, self.len}}; }
};

fuzz::Reading read_stdio(const char* path, bool pull, uint32_t& snaplen)
{
    input_fpcap_t reader;
    input_fpcap_init(&reader);
    fuzz::Reading out;
    out.opened = input_fpcap_open(&reader, path);
    if (out.opened == 0) {
        snaplen = reader.snaplen;
        pull ? fuzz::Drive<Stdio, input_fpcap_t>::pull(reader, out)
             : fuzz::Drive<Stdio, input_fpcap_t>::push(reader, out);
    }
    input_fpcap_destroy(&reader);
    return out;
}

fuzz::Reading read_mapped(const char* path, bool pull, uint32_t& snaplen)
{
    input_mmpcap_t reader;
    input_mmpcap_init(&reader);
    fuzz::Reading out;
    out.opened = input_mmpcap_open(&reader, path);
    if (out.opened == 0) {
        snaplen = reader.snaplen;
        pull ? fuzz::Drive<Mapped, input_mmpcap_t>::pull(reader, out)
             : fuzz::Drive<Mapped, input_mmpcap_t>::push(reader, out);
    }
    input_mmpcap_destroy(&reader);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fuzz::MemFile file(data, size);
    uint32_t stdio_snaplen = 0, mapped_snaplen = 0;
    const fuzz::Reading stdio_push = read_stdio(file.path(), false, stdio_snaplen);
    const fuzz::Reading stdio_pull = read_stdio(file.path(), true, stdio_snaplen);
    const fuzz::Reading mapped_push = read_mapped(file.path(), false, mapped_snaplen);
    const fuzz::Reading mapped_pull = read_mapped(file.path(), true, mapped_snaplen);
    FUZZ_CHECK(stdio_push == stdio_pull);
    FUZZ_CHECK(mapped_push == mapped_pull);
    if (mapped_push.opened == 0 && mapped_snaplen > stdio_snaplen_limit) {
        FUZZ_CHECK(stdio_push.opened == -2);
        return 0;
    }
    // An empty file cannot be mapped (-1); the stdio reader finds no header (-2).
    if (size == 0) {
        FUZZ_CHECK(stdio_push.opened == -2 && mapped_push.opened == -1);
        return 0;
    }
    FUZZ_CHECK(stdio_push == mapped_push);
    return 0;
}
