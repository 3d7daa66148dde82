#include "core/object/dnstap.h"

#include <type_traits>

#include "core/detail/object_copy.h"

static_assert(std::is_standard_layout_v<core_object_dnstap_t>);

// The logged record travels with the copy, so that a copy handed to another
// thread can still be written out after the reader has read on.
core_object_dnstap_t* core_object_dnstap_copy(const core_object_dnstap_t* self)
{
    return tvx::detail::copy_record(self, &core_object_dnstap_t::frame,
                                    [](const core_object_dnstap_t& tap) { return tap.frame_len; });
}

void core_object_dnstap_free(core_object_dnstap_t* self)
{
    tvx::detail::free_record(self);
}
