#include "core/object/ip.h"

#include "core/detail/object_copy.h"

core_object_ip_t* core_object_ip_copy(const core_object_ip_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_ip_free(core_object_ip_t* self)
{
    tvx::detail::free_record(self);
}
