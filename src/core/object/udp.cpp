#include "core/object/udp.h"

#include "core/detail/object_copy.h"

core_object_udp_t* core_object_udp_copy(const core_object_udp_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_udp_free(core_object_udp_t* self)
{
    tvx::detail::free_record(self);
}
