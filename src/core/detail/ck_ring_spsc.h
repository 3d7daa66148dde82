#pragma once
// The single-producer, single-consumer pointer ring of Concurrency Kit, usable
// from C++. ck_ring.h itself does not compile as C++, so its two records are
// mirrored here field for field (checked against the real ones in
// ck_ring_spsc.c) and the ring operations live in that C file.
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
TVX_RING_INTERNAL bool tvx_ring_enqueue_spsc(struct ck_ring* ring, struct ck_ring_buffer* buffer,
                                             const void* entry);
// Consumer side: false when the ring is empty.
TVX_RING_INTERNAL bool tvx_ring_dequeue_spsc(struct ck_ring* ring, const struct ck_ring_buffer* buffer,
                                             void** entry);
// Consumer side: hands every entry found in the ring, in order, to
// recv(ctx, entry) and returns how many it handed on (0 when empty).
// The same type as core_receiver_t: entries are object pointers.
struct core_object;
typedef void (*tvx_ring_receiver_t)(void* ctx, const struct core_object* entry);
TVX_RING_INTERNAL unsigned int tvx_ring_drain_spsc(struct ck_ring* ring, const struct ck_ring_buffer* buffer,
                                                  tvx_ring_receiver_t recv, void* ctx);
// Entries in the ring, a snapshot from either side.
TVX_RING_INTERNAL unsigned int tvx_ring_size(const struct ck_ring* ring);

#ifdef __cplusplus
}
#endif
