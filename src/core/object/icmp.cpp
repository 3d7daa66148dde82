#include "core/object/icmp.h"

#include "core/detail/object_copy.h"

core_object_icmp_t* core_object_icmp_copy(const core_object_icmp_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_icmp_free(core_object_icmp_t* self)
{
    tvx::detail::free_record(self);
}
