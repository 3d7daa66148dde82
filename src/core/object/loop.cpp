#include "core/object/loop.h"

#include "core/detail/object_copy.h"

core_object_loop_t* core_object_loop_copy(const core_object_loop_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_loop_free(core_object_loop_t* self)
{
    tvx::detail::free_record(self);
}
