#include "core/object/icmp6.h"

#include "core/detail/object_copy.h"

core_object_icmp6_t* core_object_icmp6_copy(const core_object_icmp6_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_icmp6_free(core_object_icmp6_t* self)
{
    tvx::detail::free_record(self);
}
