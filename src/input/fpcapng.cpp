#include "input/fpcapng.h"

#include <type_traits>

#include "core/detail/log.h"
#include "core/detail/pcap_file.h"
#include "core/detail/pcapng_file.h"
#include "core/detail/stdio_open.h"

static_assert(std::is_standard_layout_v<input_fpcapng_t>);

namespace {

core_log_t module_log = core_log_module_init("input.fpcapng");

constexpr input_fpcapng_t make_defaults()
{
    input_fpcapng_t record{};
    record._log = core_log_object_init("input.fpcapng", module_log);
    record.prod_pkt.obj_type = CORE_OBJECT_PCAP;
    return record;
}
constexpr input_fpcapng_t defaults = make_defaults();

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

int read_header(input_fpcapng_t* self)
{
    if (self->use_fadvise) {
        tvx::pcap::advise_sequential(self->file);
    }
    StdioSource source{self->file};
    return tvx::pcapng::open(*self, source, TVX_HERE);
}

// After a rejected header the stream is set but no section was read: such a
// reader is refused like one that was never opened.
void check_opened(input_fpcapng_t* self)
{
    if (!self->file || self->sections == 0) {
        TVX_FATAL(self, "no pcapng opened");
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<input_fpcapng_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    StdioSource source{self->file};
    return tvx::pcapng::pull_one(*self, source, TVX_HERE);
}

}  // namespace

extern "C" core_log_t* input_fpcapng_log()
{
    return &module_log;
}

extern "C" void input_fpcapng_init(input_fpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

extern "C" void input_fpcapng_destroy(input_fpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->file && !self->extern_file) {
        fclose(self->file);
    }
    self->file = nullptr;
    tvx::pcapng::release(*self);
}

extern "C" int input_fpcapng_open(input_fpcapng_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::stdio::open_path(self, file, TVX_LOG_SITE(self), read_header);
}

extern "C" int input_fpcapng_openfp(input_fpcapng_t* self, FILE* fp)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::stdio::open_stream(self, fp, TVX_LOG_SITE(self), read_header);
}

extern "C" void input_fpcapng_fadvise_sequential(input_fpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    self->use_fadvise = 1;
    tvx::pcap::advise_sequential(self->file);
}

extern "C" int input_fpcapng_run(input_fpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    StdioSource source{self->file};
    return tvx::pcapng::push_all(*self, source, TVX_HERE);
}

extern "C" core_producer_t input_fpcapng_producer(input_fpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    return produce;
}
