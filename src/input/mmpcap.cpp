#include "input/mmpcap.h"

#include <type_traits>

#include "core/detail/log.h"
#include "core/detail/mapped_file.h"
#include "core/detail/pcap_file.h"

static_assert(std::is_standard_layout_v<input_mmpcap_t>);

namespace {

core_log_t module_log = core_log_module_init("input.mmpcap");

constexpr input_mmpcap_t make_defaults()
{
    input_mmpcap_t record{};
    record._log = core_log_object_init("input.mmpcap", module_log);
    record.prod_pkt.obj_type = CORE_OBJECT_PCAP;
    record.fd = -1;
    return record;
}
constexpr input_mmpcap_t defaults = make_defaults();

// Bytes straight from the mapping: never copied, so a record's bytes stay
// valid until the mapping goes.
struct MappingSource {
    input_mmpcap_t& self;
    size_t take(size_t count, uint8_t*, const uint8_t** view)
    {
        const size_t left = self.len - self.at;
        if (left < count) {
            return left;
        }
        *view = self.buf + self.at;
        self.at += count;
        return count;
    }
};

// Past a rejected header the mapping is there but `at` is 0: such a reader is
// refused like one that was never opened.
void check_opened(input_mmpcap_t* self)
{
    if (self->buf == tvx::mapped_file::none() || self->at < tvx::pcap::file_header_size) {
        TVX_FATAL(self, "no PCAP opened");
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<input_mmpcap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    MappingSource source{*self};
    return tvx::pcap::pull_one(*self, source, nullptr, TVX_HERE);
}

}  // namespace

extern "C" core_log_t* input_mmpcap_log()
{
    return &module_log;
}

extern "C" void input_mmpcap_init(input_mmpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    self->buf = tvx::mapped_file::none();
}

extern "C" void input_mmpcap_destroy(input_mmpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::mapped_file::close(self->fd, self->len, self->buf);
}

extern "C" int input_mmpcap_open(input_mmpcap_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    if (!file) {
        TVX_FATAL(self, "file is nil");
    }
    if (self->fd != -1) {
        TVX_FATAL(self, "already opened");
    }
    if (tvx::mapped_file::open(file, self->fd, self->len, self->buf, TVX_LOG_SITE(self)) != 0) {
        return -1;
    }
    self->at = 0;
    MappingSource source{*self};
    const uint8_t* view = nullptr;
    const size_t got = source.take(tvx::pcap::file_header_size, nullptr, &view);
    tvx::pcap::FileHeader header;
    // Nothing is allocated from the header, so any snaplen will do.
    const auto result = tvx::pcap::parse_file_header(view, got == tvx::pcap::file_header_size ? got : 0, false,
                                                     header);
    if (result != tvx::pcap::HeaderResult::ok) {
        self->at = 0;
        TVX_PCAP_REPORT_HEADER(self, result, header);
        return -2;
    }
    tvx::pcap::adopt_header(*self, header);
    TVX_PCAP_REPORT_OPENED(self, header);
    return 0;
}

extern "C" int input_mmpcap_run(input_mmpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    MappingSource source{*self};
    return tvx::pcap::push_all(*self, source, nullptr, TVX_HERE);
}

extern "C" core_producer_t input_mmpcap_producer(input_mmpcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    return produce;
}
