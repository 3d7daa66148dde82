#include "core/object/null.h"

#include "core/detail/object_copy.h"

core_object_null_t* core_object_null_copy(const core_object_null_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_null_free(core_object_null_t* self)
{
    tvx::detail::free_record(self);
}
