#include "input/mmpcapng.h"

#include <type_traits>

#include "core/detail/log.h"
#include "core/detail/mapped_file.h"
#include "core/detail/pcapng_file.h"

static_assert(std::is_standard_layout_v<input_mmpcapng_t>);

namespace {

core_log_t module_log = core_log_module_init("input.mmpcapng");

constexpr input_mmpcapng_t make_defaults()
{
    input_mmpcapng_t record{};
    record._log = core_log_object_init("input.mmpcapng", module_log);
    record.prod_pkt.obj_type = CORE_OBJECT_PCAP;
    record.fd = -1;
    return record;
}
constexpr input_mmpcapng_t defaults = make_defaults();

// Bytes straight from the mapping: never copied, so a record's bytes stay
// valid until the mapping goes.
struct MappingSource {
    static constexpr bool in_place = true;
    input_mmpcapng_t& self;
    size_t take(size_t count, uint8_t*, const uint8_t** view)
    {
        const size_t left = self.len - self.at;
        if (left < count) {
            return left;
        }
        *view = self.map + self.at;
        self.at += count;
        return count;
    }
    const uint8_t* ahead(size_t& left) const
    {
        left = self.len - self.at;
        return self.map + self.at;
    }
    void advance(size_t count) { self.at += count; }
};

// Past a rejected header the mapping is there but no section was read: such
// a reader is refused like one that was never opened.
void check_opened(input_mmpcapng_t* self)
{
    if (self->map == tvx::mapped_file::none() || self->sections == 0) {
        TVX_FATAL(self, "no pcapng opened");
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<input_mmpcapng_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    MappingSource source{*self};
    return tvx::pcapng::pull_one(*self, source, TVX_HERE);
}

}  // namespace

extern "C" core_log_t* input_mmpcapng_log()
{
    return &module_log;
}

extern "C" void input_mmpcapng_init(input_mmpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    self->map = tvx::mapped_file::none();
}

extern "C" void input_mmpcapng_destroy(input_mmpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::mapped_file::close(self->fd, self->len, self->map);
    tvx::pcapng::release(*self);
}

extern "C" int input_mmpcapng_open(input_mmpcapng_t* self, const char* file)
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
    MappingSource source{*self};
    return tvx::pcapng::open(*self, source, TVX_HERE);
}

extern "C" int input_mmpcapng_run(input_mmpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    MappingSource source{*self};
    return tvx::pcapng::push_all(*self, source, TVX_HERE);
}

extern "C" core_producer_t input_mmpcapng_producer(input_mmpcapng_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    return produce;
}
