#pragma once
// The single-producer, single-consumer pointer ring of Concurrency Kit, usable
// from C++. ck_ring.h itself does not compile as C++, so its two records are
// mirrored here field for field (checked against the real ones in
// ck_ring_spsc.c). Set-up and size are ck's own calls in that C file; the
// channel writes ck's enqueue and dequeue protocol inline on this record,
// since a call into C per object was most of a channel's cost.
#include <ck_md.h>
#include <stdbool.h>

// The members of struct ck_ring, in order, as ck_ring.h declares them.
#define TVX_CK_RING_FIELDS                                  \
    unsigned int c_head;                                    \
    char pad[CK_MD_CACHELINE - sizeof(unsigned int)];       \
    unsigned int p_tail;                                    \
    unsigned int p_head;                                    \
    char _pad[CK_MD_CACHELINE - sizeof(unsigned int) * 2];  \
    unsigned int size;                                      \
    unsigned int mask;

#ifdef __cplusplus
struct ck_ring {
    TVX_CK_RING_FIELDS
};
typedef struct ck_ring ck_ring_t;

struct ck_ring_buffer {
    void* value;
};
typedef struct ck_ring_buffer ck_ring_buffer_t;

extern "C" {
#else
#include <ck_ring.h>
#endif

#define TVX_RING_INTERNAL __attribute__((visibility("hidden")))

// `size` is the number of slots, a power of two; the ring holds size - 1 entries.
TVX_RING_INTERNAL void tvx_ring_init(struct ck_ring* ring, unsigned int size);
// Producer side: false when the ring is full.
TVX_RING_INTERNAL unsigned int tvx_ring_size(const struct ck_ring* ring);

#ifdef __cplusplus
}
#endif
