// The plain pcapng readers on any file: the stdio reader (fpcapng) and the
// mapping reader (mmpcapng), each once pushing every packet (run) and once
// pulling them one by one (producer). The input is the file.
//
// Every packet must lie in the reader's block buffer or in the mapping, and
// all four readings must agree: same open result, same packets, same end.
#include <cstddef>
#include <cstdint>

#include "input/fpcapng.h"
#include "input/mmpcapng.h"
#include "support/capture.h"

namespace {

struct Stdio {
    static int run(input_fpcapng_t* self) { return input_fpcapng_run(self); }
    static core_producer_t producer(input_fpcapng_t* self) { return input_fpcapng_producer(self); }
    static std::vector<fuzz::Area> areas(const input_fpcapng_t& self) { return {{self.buf, self.buf_size}}; }
};

struct Mapped {
    static int run(input_mmpcapng_t* self) { return input_mmpcapng_run(self); }
    static core_producer_t producer(input_mmpcapng_t* self) { return input_mmpcapng_producer(self); }
    static std::vector<fuzz::Area> areas(const input_mmpcapng_t& self) { return {{self.map, self.len}}; }
};

fuzz::Reading read_stdio(const char* path, bool pull)
{
    input_fpcapng_t reader;
    input_fpcapng_init(&reader);
    fuzz::Reading out;
    out.opened = input_fpcapng_open(&reader, path);
    if (out.opened == 0) {
        pull ? fuzz::Drive<Stdio, input_fpcapng_t>::pull(reader, out)
             : fuzz::Drive<Stdio, input_fpcapng_t>::push(reader, out);
    }
    input_fpcapng_destroy(&reader);
    return out;
}

fuzz::Reading read_mapped(const char* path, bool pull)
{
    input_mmpcapng_t reader;
    input_mmpcapng_init(&reader);
    fuzz::Reading out;
    out.opened = input_mmpcapng_open(&reader, path);
    if (out.opened == 0) {
        pull ? fuzz::Drive<Mapped, input_mmpcapng_t>::pull(reader, out)
             : fuzz::Drive<Mapped, input_mmpcapng_t>::push(reader, out);
    }
    input_mmpcapng_destroy(&reader);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fuzz::MemFile file(data, size);
    const fuzz::Reading stdio_push = read_stdio(file.path(), false);
    const fuzz::Reading stdio_pull = read_stdio(file.path(), true);
    const fuzz::Reading mapped_push = read_mapped(file.path(), false);
    const fuzz::Reading mapped_pull = read_mapped(file.path(), true);
    FUZZ_CHECK(stdio_push == stdio_pull);
    FUZZ_CHECK(mapped_push == mapped_pull);
    // An empty file cannot be mapped (-1); the stdio reader finds no header (-2).
    if (size == 0) {
        FUZZ_CHECK(stdio_push.opened == -2 && mapped_push.opened == -1);
        return 0;
    }
    FUZZ_CHECK(stdio_push == mapped_push);
    return 0;
}
