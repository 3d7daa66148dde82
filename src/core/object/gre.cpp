#include "core/object/gre.h"

#include "core/detail/object_copy.h"

core_object_gre_t* core_object_gre_copy(const core_object_gre_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_gre_free(core_object_gre_t* self)
{
    tvx::detail::free_record(self);
}
