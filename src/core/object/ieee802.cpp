#include "core/object/ieee802.h"

#include "core/detail/object_copy.h"

core_object_ieee802_t* core_object_ieee802_copy(const core_object_ieee802_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_ieee802_free(core_object_ieee802_t* self)
{
    tvx::detail::free_record(self);
}
