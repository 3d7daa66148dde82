#include "input/zmmpcapng.h"

#include <cstdlib>
#include <type_traits>

#include "core/detail/decompress.h"
#include "core/detail/log.h"
#include "core/detail/mapped_file.h"
#include "core/detail/pcapng_file.h"
#include "core/detail/zreader.h"
#include "core/detail/zstream.h"

static_assert(std::is_standard_layout_v<input_zmmpcapng_t>);

namespace {

core_log_t module_log = core_log_module_init("input.zmmpcapng");

constexpr input_zmmpcapng_t make_defaults()
{
    input_zmmpcapng_t record{};
    record._log = core_log_object_init("input.zmmpcapng", module_log);
    record.prod_pkt.obj_type = CORE_OBJECT_PCAP;
    record.fd = -1;
    return record;
}
constexpr input_zmmpcapng_t defaults = make_defaults();

using Stream = tvx::zstream::DecodedStream<input_zmmpcapng_t, tvx::zstream::MappedFeed<input_zmmpcapng_t>>;

// After a failed open the file may be mapped without a decoder or a section:
// such a reader is refused like one that was never mapped.
void check_opened(input_zmmpcapng_t* self)
{
    if (self->map == tvx::mapped_file::none() || !self->comp_ctx || self->sections == 0) {
        TVX_FATAL(self, "no pcapng opened");
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<input_zmmpcapng_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    Stream source(*self, TVX_LOG_SITE(self));
    return tvx::pcapng::pull_one(*self, source, TVX_HERE);
}

}  // namespace

extern "C" core_log_t* input_zmmpcapng_log()
{
    return &module_log;
}

extern "C" void input_zmmpcapng_init(input_zmmpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    self->map = tvx::mapped_file::none();
}

extern "C" void input_zmmpcapng_destroy(input_zmmpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    free(self->out);
    self->out = nullptr;
    tvx::decompress::release(tvx::zreader::decoder_slot(self->comp_ctx), TVX_LOG_SITE(self));
    tvx::mapped_file::close(self->fd, self->len, self->map);
    tvx::pcapng::release(*self);
}

extern "C" int input_zmmpcapng_have_support(input_zmmpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::decompress::supported(self->compression) ? 1 : 0;
}

extern "C" int input_zmmpcapng_open(input_zmmpcapng_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    if (!file) {
        TVX_FATAL(self, "file is nil");
    }
    if (self->fd != -1) {
        TVX_FATAL(self, "already opened");
    }
    if (tvx::mapped_file::open(file, self->fd, self->len, self->map, TVX_LOG_SITE(self)) != 0) {
        return -1;
    }
    self->at = 0;
    const int result = tvx::zreader::start_decoder(*self, nullptr, TVX_LOG_SITE(self));
    if (result != 0) {
        return result;
    }
    Stream source(*self, TVX_LOG_SITE(self));
    return tvx::pcapng::open(*self, source, TVX_HERE);
}

extern "C" int input_zmmpcapng_run(input_zmmpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    Stream source(*self, TVX_LOG_SITE(self));
    return tvx::pcapng::push_all(*self, source, TVX_HERE);
}

extern "C" core_producer_t input_zmmpcapng_producer(input_zmmpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    return produce;
}
