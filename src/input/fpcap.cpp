#include "input/fpcap.h"

#include <cerrno>
#include <cstdlib>
#include <type_traits>

#include "core/detail/log.h"
#include "core/detail/pcap_file.h"
#include "core/detail/stdio_open.h"

static_assert(std::is_standard_layout_v<input_fpcap_t>);

namespace {

core_log_t module_log = core_log_module_init("input.fpcap");

constexpr input_fpcap_t make_defaults()
{
    input_fpcap_t record{};
    record._log = core_log_object_init("input.fpcap", module_log);
    record.prod_pkt.obj_type = CORE_OBJECT_PCAP;
    return record;
}
constexpr input_fpcap_t defaults = make_defaults();

// The reader is the only user of its stream, so the unlocked read is safe and
// saves a lock round trip per read.
struct StdioSource {
    FILE* file;
    size_t take(size_t count, uint8_t* dst, const uint8_t** view)
    {
        *view = dst;
        return fread_unlocked(dst, 1, count, file);
    }
};

int read_header(input_fpcap_t* self)
{
    StdioSource source{self->file};
    uint8_t raw[tvx::pcap::file_header_size];
    const uint8_t* view = raw;
    const size_t got = source.take(sizeof(raw), raw, &view);
    tvx::pcap::FileHeader header;
    const auto result = tvx::pcap::parse_file_header(view, got, true, header);
    if (result != tvx::pcap::HeaderResult::ok) {
        TVX_PCAP_REPORT_HEADER(self, result, header);
        return -2;
    }
    tvx::pcap::adopt_header(*self, header);
    // One byte at least, so that an opened reader never has a null buffer.
    self->buf = static_cast<uint8_t*>(malloc(header.snaplen ? header.snaplen : 1));
    if (!self->buf) {
        TVX_FATAL(self, "out of memory");
    }
    self->prod_pkt.bytes = self->buf;
    if (self->use_fadvise) {
        tvx::pcap::advise_sequential(self->file);
    }
    TVX_PCAP_REPORT_OPENED(self, header);
    return 0;
}

// After a rejected header the stream is set but there is no buffer: such a
// reader is refused like one that was never opened.
void check_opened(input_fpcap_t* self)
{
    if (!self->file || !self->buf) {
        TVX_FATAL(self, "no PCAP opened");
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<input_fpcap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    StdioSource source{self->file};
    return tvx::pcap::pull_one(*self, source, self->buf, TVX_HERE);
}

}  // namespace

extern "C" core_log_t* input_fpcap_log()
{
    return &module_log;
}

extern "C" void input_fpcap_init(input_fpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

extern "C" void input_fpcap_destroy(input_fpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->file && !self->extern_file) {
        fclose(self->file);
    }
    self->file = nullptr;
    free(self->buf);
    self->buf = nullptr;
}

extern "C" int input_fpcap_open(input_fpcap_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::stdio::open_path(self, file, TVX_LOG_SITE(self), read_header);
}

extern "C" int input_fpcap_openfp(input_fpcap_t* self, FILE* fp)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::stdio::open_stream(self, fp, TVX_LOG_SITE(self), read_header);
}

extern "C" void input_fpcap_fadvise_sequential(input_fpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    self->use_fadvise = 1;
    tvx::pcap::advise_sequential(self->file);
}

extern "C" int input_fpcap_run(input_fpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    StdioSource source{self->file};
    return tvx::pcap::push_all(*self, source, self->buf, TVX_HERE);
}

extern "C" core_producer_t input_fpcap_producer(input_fpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    return produce;
}
