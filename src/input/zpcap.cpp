#include "input/zpcap.h"

#include <cerrno>
#include <cstdlib>
#include <type_traits>

#include "core/detail/decompress.h"
#include "core/detail/log.h"
#include "core/detail/pcap_file.h"
#include "core/detail/stdio_open.h"
#include "core/detail/zreader.h"
#include "core/detail/zstream.h"

static_assert(std::is_standard_layout_v<input_zpcap_t>);
static_assert(sizeof(input_zpcap_type_t) == 4);

namespace {

core_log_t module_log = core_log_module_init("input.zpcap");

constexpr input_zpcap_t make_defaults()
{
    input_zpcap_t record{};
    record._log = core_log_object_init("input.zpcap", module_log);
    record.prod_pkt.obj_type = CORE_OBJECT_PCAP;
    return record;
}
constexpr input_zpcap_t defaults = make_defaults();

int start(input_zpcap_t* self)
{
    const int result = tvx::zreader::start_decoder(*self, self->file, TVX_LOG_SITE(self));
    if (result != 0) {
        return result;
    }
    if (self->use_fadvise) {
        tvx::pcap::advise_sequential(self->file);
    }
    return tvx::zreader::with_stdio_source(self, TVX_LOG_SITE(self), [self](auto& source) {
        return tvx::zreader::read_header(*self, source, true, TVX_LOG_SITE(self));
    });
}

// After a failed open the stream may be set without a decoder or a frame
// buffer: such a reader is refused like one that was never opened.
void check_opened(input_zpcap_t* self)
{
    if (!self->file || !self->comp_ctx || !self->buf) {
        TVX_FATAL(self, "no PCAP opened");
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<input_zpcap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    return tvx::zreader::with_stdio_source(self, TVX_LOG_SITE(self), [self](auto& source) {
        return tvx::pcap::pull_one(*self, source, self->buf, TVX_HERE);
    });
}

}  // namespace

extern "C" core_log_t* input_zpcap_log()
{
    return &module_log;
}

extern "C" void input_zpcap_init(input_zpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

extern "C" void input_zpcap_destroy(input_zpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::decompress::release(tvx::zreader::decoder_slot(self->comp_ctx), TVX_LOG_SITE(self));
    free(self->in);
    self->in = nullptr;
    free(self->out);
    self->out = nullptr;
    free(self->buf);
    self->buf = nullptr;
    if (self->file && !self->extern_file) {
        fclose(self->file);
    }
    self->file = nullptr;
}

extern "C" int input_zpcap_have_support(input_zpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::decompress::supported(self->compression) ? 1 : 0;
}

extern "C" int input_zpcap_open(input_zpcap_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::stdio::open_path(self, file, TVX_LOG_SITE(self), start);
}

extern "C" int input_zpcap_openfp(input_zpcap_t* self, FILE* fp)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::stdio::open_stream(self, fp, TVX_LOG_SITE(self), start);
}

extern "C" void input_zpcap_fadvise_sequential(input_zpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    self->use_fadvise = 1;
    tvx::pcap::advise_sequential(self->file);
}

extern "C" int input_zpcap_run(input_zpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    return tvx::zreader::with_stdio_source(self, TVX_LOG_SITE(self), [self](auto& source) {
        return tvx::pcap::push_all(*self, source, self->buf, TVX_HERE);
    });
}

extern "C" core_producer_t input_zpcap_producer(input_zpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    return produce;
}
