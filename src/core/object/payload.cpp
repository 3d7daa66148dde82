#include "core/object/payload.h"

#include "core/detail/object_copy.h"

// The link-layer padding behind the data travels with the copy, so that it
// stays readable at payload + len as in the source.
core_object_payload_t* core_object_payload_copy(const core_object_payload_t* self)
{
    return tvx::detail::copy_record(self, &core_object_payload_t::payload, [](const core_object_payload_t& payload) {
        size_t total;
        // A sum that does not fit is a size no allocation can meet.
        return __builtin_add_overflow(payload.len, payload.padding, &total) ? SIZE_MAX : total;
    });
}

void core_object_payload_free(core_object_payload_t* self)
{
    tvx::detail::free_record(self);
}
