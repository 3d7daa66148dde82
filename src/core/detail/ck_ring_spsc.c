/* The ck_ring calls behind channels, compiled as C (ck_ring.h is C only). */
#include "core/detail/ck_ring_spsc.h"

#include <stddef.h>

/* The C++ mirror of struct ck_ring must not drift from the real record. */
struct tvx_ck_ring_mirror {
    TVX_CK_RING_FIELDS
};
#define TVX_SAME_FIELD(f)                                                                  \
    _Static_assert(offsetof(struct ck_ring, f) == offsetof(struct tvx_ck_ring_mirror, f) && \
                       sizeof(((struct ck_ring*)0)->f) == sizeof(((struct tvx_ck_ring_mirror*)0)->f), \
                   "ck_ring mirror differs in " #f)
TVX_SAME_FIELD(c_head);
TVX_SAME_FIELD(p_tail);
TVX_SAME_FIELD(p_head);
TVX_SAME_FIELD(size);
TVX_SAME_FIELD(mask);
_Static_assert(sizeof(struct ck_ring) == sizeof(struct tvx_ck_ring_mirror), "ck_ring mirror size");
_Static_assert(_Alignof(struct ck_ring) == _Alignof(struct tvx_ck_ring_mirror), "ck_ring mirror alignment");
_Static_assert(sizeof(struct ck_ring_buffer) == sizeof(void*), "ck_ring_buffer is one pointer");

void tvx_ring_init(struct ck_ring* ring, unsigned int size)
{
    ck_ring_init(ring, size);
}

unsigned int tvx_ring_size(const struct ck_ring* ring)
{
    return ck_ring_size(ring);
}
