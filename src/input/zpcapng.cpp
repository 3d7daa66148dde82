#include "input/zpcapng.h"

#include <cstdlib>
#include <type_traits>

#include "core/detail/decompress.h"
#include "core/detail/log.h"
#include "core/detail/pcap_file.h"
#include "core/detail/pcapng_file.h"
#include "core/detail/stdio_open.h"
#include "core/detail/zreader.h"

static_assert(std::is_standard_layout_v<input_zpcapng_t>);

namespace {

core_log_t module_log = core_log_module_init("input.zpcapng");

constexpr input_zpcapng_t make_defaults()
{
    input_zpcapng_t record{};
    record._log = core_log_object_init("input.zpcapng", module_log);
    record.prod_pkt.obj_type = CORE_OBJECT_PCAP;
    return record;
}
constexpr input_zpcapng_t defaults = make_defaults();

int start(input_zpcapng_t* self)
{
    const int result = tvx::zreader::start_decoder(*self, self->file, TVX_LOG_SITE(self));
    if (result != 0) {
        return result;
    }
    if (self->use_fadvise) {
        tvx::pcap::advise_sequential(self->file);
    }
    return tvx::zreader::with_stdio_source(self, TVX_LOG_SITE(self), [self](auto& source) {
        return tvx::pcapng::open(*self, source, TVX_HERE);
    });
}

// After a failed open the stream may be set without a decoder or a section:
// such a reader is refused like one that was never opened.
void check_opened(input_zpcapng_t* self)
{
    if (!self->file || !self->comp_ctx || self->sections == 0) {
        TVX_FATAL(self, "no pcapng opened");
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<input_zpcapng_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    return tvx::zreader::with_stdio_source(self, TVX_LOG_SITE(self), [self](auto& source) {
        return tvx::pcapng::pull_one(*self, source, TVX_HERE);
    });
}

}  // namespace

extern "C" core_log_t* input_zpcapng_log()
{
    return &module_log;
}

extern "C" void input_zpcapng_init(input_zpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

extern "C" void input_zpcapng_destroy(input_zpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::decompress::release(tvx::zreader::decoder_slot(self->comp_ctx), TVX_LOG_SITE(self));
    free(self->in);
    self->in = nullptr;
    free(self->out);
    self->out = nullptr;
    tvx::pcapng::release(*self);
    if (self->file && !self->extern_file) {
        fclose(self->file);
    }
    self->file = nullptr;
}

extern "C" int input_zpcapng_have_support(input_zpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::decompress::supported(self->compression) ? 1 : 0;
}

extern "C" int input_zpcapng_open(input_zpcapng_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::stdio::open_path(self, file, TVX_LOG_SITE(self), start);
}

extern "C" int input_zpcapng_openfp(input_zpcapng_t* self, FILE* fp)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::stdio::open_stream(self, fp, TVX_LOG_SITE(self), start);
}

extern "C" void input_zpcapng_fadvise_sequential(input_zpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    self->use_fadvise = 1;
    tvx::pcap::advise_sequential(self->file);
}

extern "C" int input_zpcapng_run(input_zpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    return tvx::zreader::with_stdio_source(self, TVX_LOG_SITE(self), [self](auto& source) {
        return tvx::pcapng::push_all(*self, source, TVX_HERE);
    });
}

extern "C" core_producer_t input_zpcapng_producer(input_zpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    return produce;
}
