#include "core/object/ip6.h"

#include "core/detail/object_copy.h"

core_object_ip6_t* core_object_ip6_copy(const core_object_ip6_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_ip6_free(core_object_ip6_t* self)
{
    tvx::detail::free_record(self);
}
