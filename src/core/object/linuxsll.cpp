#include "core/object/linuxsll.h"

#include "core/detail/object_copy.h"

core_object_linuxsll_t* core_object_linuxsll_copy(const core_object_linuxsll_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_linuxsll_free(core_object_linuxsll_t* self)
{
    tvx::detail::free_record(self);
}
