#include "core/object/ether.h"

#include "core/detail/object_copy.h"

core_object_ether_t* core_object_ether_copy(const core_object_ether_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_ether_free(core_object_ether_t* self)
{
    tvx::detail::free_record(self);
}
