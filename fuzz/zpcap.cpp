// The compressed PCAP readers on any compressed file, for one compression
// kind per target (FUZZ_KIND_lz4, _zstd, _gzip, _xz): the stdio reader
// (zpcap) and the mapping reader (zmmpcap), each once pushing every frame
// (run) and once pulling them (producer). The input is the compressed file.
//
// Corrupt compressed data ends the process by design (the fatal messages
// below): here such an input ends the reading and the target moves on.
// Every frame must lie in the decompressed output or the frame buffer; push
// and pull of one reader must agree, fatal or not. The two readers must agree
// too, except where they differ by design: the stdio reader limits snaplen,
// and for gzip its gz file interface also reads data that is not gzip at all
// (zlib's transparent mode) while the mapping reader also reads zlib data,
// so they are compared there only on gzip input that neither found corrupt.
//
// The mapping reader takes any snaplen and allocates a frame buffer that
// large (up to 4 GiB). Untouched, that costs little, but the address
// sanitizer marks the whole block on every free, which would take most of
// the fuzzing time; a header the stdio reader refused as too large is given
// to the mapping reader only up to `mapped_snaplen_limit`.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "input/zmmpcap.h"
#include "input/zpcap.h"
#include "support/capture.h"
#include "support/log_hooks.h"

namespace {

#if defined(FUZZ_KIND_lz4)
constexpr int kind = 1;
#elif defined(FUZZ_KIND_zstd)
constexpr int kind = 2;
#elif defined(FUZZ_KIND_gzip)
constexpr int kind = 3;
#elif defined(FUZZ_KIND_xz)
constexpr int kind = 4;
#else
#error "build with FUZZ_KIND_lz4, FUZZ_KIND_zstd, FUZZ_KIND_gzip or FUZZ_KIND_xz"
#endif

constexpr uint32_t stdio_snaplen_limit = 262144;
constexpr uint32_t mapped_snaplen_limit = 16 << 20;

struct Stdio {
    static int run(input_zpcap_t* self) { return input_zpcap_run(self); }
    static core_producer_t producer(input_zpcap_t* self) { return input_zpcap_producer(self); }
    static std::vector<fuzz::Area> areas(const input_zpcap_t& self)
    {
        return {{self.buf, self.snaplen}, {self.out, self.out_size}};
    }
};

struct Mapped {
    static int run(input_zmmpcap_t* self) { return input_zmmpcap_run(self); }
    static core_producer_t producer(input_zmmpcap_t* self) { return input_zmmpcap_producer(self); }
    static std::vector<fuzz::Area> areas(const input_zmmpcap_t& self)
    {
        return {{self.buf, self.snaplen}, {self.out, self.out_size}};
    }
};

struct Outcome {
    fuzz::Reading reading;
    bool corrupt = false;  // reading ended on a fatal about corrupt data
    uint32_t snaplen = 0;

    bool operator==(const Outcome&) const = default;
};

template <class Ops, class Reader, class Init, class Open, class Destroy>
Outcome read(const char* path, bool pull, Init init, Open open, Destroy destroy)
{
    Reader reader;
    init(&reader);
    reader.compression = decltype(reader.compression)(kind);
    Outcome out;
    try {
        out.reading.opened = open(&reader, path);
        if (out.reading.opened == 0) {
            out.snaplen = reader.snaplen;
            pull ? fuzz::Drive<Ops, Reader>::pull(reader, out.reading)
                 : fuzz::Drive<Ops, Reader>::push(reader, out.reading);
        }
    } catch (const fuzz::ExpectedFatal&) {
        out.corrupt = true;
        out.reading.pkts = reader.pkts;
    }
    destroy(&reader);
    return out;
}

Outcome read_stdio(const char* path, bool pull)
{
    return read<Stdio, input_zpcap_t>(path, pull, input_zpcap_init, input_zpcap_open, input_zpcap_destroy);
}

Outcome read_mapped(const char* path, bool pull)
{
    return read<Mapped, input_zmmpcap_t>(path, pull, input_zmmpcap_init, input_zmmpcap_open, input_zmmpcap_destroy);
}

// The snaplen of a header the stdio reader has just refused as too large, or 0.
uint32_t refused_snaplen()
{
    const fuzz::Critical line = fuzz::last_critical();
    unsigned snaplen = 0;
    if (strcmp(line.format, "too large snaplen (%u)") == 0 &&
        sscanf(line.text, "too large snaplen (%u)", &snaplen) == 1) {
        return snaplen;
    }
    return 0;
}

bool starts_gzip(const uint8_t* data, size_t size)
{
    return size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::expect_fatal({"LZ4F_decompress() failed: %s", "ZSTD_decompressStream() failed: %s",
                        "inflate() failed: %d: %s", "gzfread() failed: %d: %s", "lzma_code() failed: %d"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fuzz::MemFile file(data, size);
    const Outcome stdio_push = read_stdio(file.path(), false);
    const Outcome stdio_pull = read_stdio(file.path(), true);
    FUZZ_CHECK(stdio_push == stdio_pull);
    if (stdio_pull.reading.opened == -2 && refused_snaplen() > mapped_snaplen_limit) {
        return 0;
    }
    const Outcome mapped_push = read_mapped(file.path(), false);
    const Outcome mapped_pull = read_mapped(file.path(), true);
    FUZZ_CHECK(mapped_push == mapped_pull);
    if (size == 0 || stdio_push.corrupt || mapped_push.corrupt) {
        return 0;
    }
    if (kind == 3 && !starts_gzip(data, size)) {
        return 0;
    }
    if (mapped_push.reading.opened == 0 && mapped_push.snaplen > stdio_snaplen_limit) {
        FUZZ_CHECK(stdio_push.reading.opened == -2);
        return 0;
    }
    FUZZ_CHECK(stdio_push == mapped_push);
    return 0;
}
