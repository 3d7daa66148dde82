/* ck_ring.h is C only (it does not compile as C++), so its sizes are taken here. */
#include <ck_ring.h>
#include <stdio.h>

void layout_ck_types(void)
{
    printf("type ck_ring_buffer_t %zu %zu\n", sizeof(ck_ring_buffer_t), _Alignof(ck_ring_buffer_t));
    printf("type ck_ring_t %zu %zu\n", sizeof(ck_ring_t), _Alignof(ck_ring_t));
}
