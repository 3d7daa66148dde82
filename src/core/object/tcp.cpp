#include "core/object/tcp.h"

#include "core/detail/object_copy.h"

core_object_tcp_t* core_object_tcp_copy(const core_object_tcp_t* self)
{
    return tvx::detail::copy_record(self);
}

void core_object_tcp_free(core_object_tcp_t* self)
{
    tvx::detail::free_record(self);
}
