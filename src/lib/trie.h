#pragma once
// Ordered map from byte-string keys to pointer-sized values, built as a
// QP-trie: branches on 4-bit nibbles, each branch's children packed in an
// array indexed by popcount over a 17-bit bitmap.
//
// The records below are laid out here for C++ callers and the unit tests;
// scripts see trie_t and trie_it_t as opaque.
#include <cstddef>
#include <cstdint>

extern "C" {

typedef void* trie_val_t;

typedef void* (*vask_mm_alloc_t)(void* ctx, size_t len);
typedef void (*vask_mm_free_t)(void* p);

// Where a trie gets its memory; a null `free` means nothing is released
// piece by piece (a pool).
typedef struct vask_mm {
    void* ctx;
    vask_mm_alloc_t alloc;
    vask_mm_free_t free;
} vask_mm_t;

// Two words. Leaf: `head` is the address of the key record (4-byte aligned,
// so its low two bits are 0) and `body` is the value slot. Branch: `head`
// holds flags in bits 0-1 (1 high nibble, 2 low nibble; 3 marks an empty
// trie's root), the bitmap in bits 2-18 and the byte index in bits 32-63;
// `body` is the child array.
typedef struct trie_node {
    uint64_t head;
    void* body;
} trie_node_t;

typedef struct trie {
    trie_node_t root;
    size_t weight;
    vask_mm_t mm;
} trie_t;

#define TRIE_STACK_INLINE 60

// Path from the root to the current leaf; `len` 0 means finished. The
// first entries live in the record, deeper paths move to the heap.
typedef struct trie_it {
    trie_node_t** stack;
    uint32_t len;
    uint32_t capacity;
    trie_node_t* inline_stack[TRIE_STACK_INLINE];
} trie_it_t;

trie_t* trie_create(vask_mm_t* mm);
void trie_free(trie_t* tbl);
void trie_clear(trie_t* tbl);
size_t trie_weight(const trie_t* tbl);
trie_val_t* trie_get_try(trie_t* tbl, const uint8_t* key, uint32_t len);
trie_val_t* trie_get_first(trie_t* tbl, uint8_t** key, uint32_t* len);
trie_val_t* trie_get_ins(trie_t* tbl, const uint8_t* key, uint32_t len);
int trie_get_leq(trie_t* tbl, const uint8_t* key, uint32_t len, trie_val_t** val);
int trie_apply(trie_t* tbl, int (*f)(trie_val_t*, void*), void* d);

trie_it_t* trie_it_begin(trie_t* tbl);
void trie_it_next(trie_it_t* it);
bool trie_it_finished(trie_it_t* it);
void trie_it_free(trie_it_t* it);
const uint8_t* trie_it_key(trie_it_t* it, size_t* len);
trie_val_t* trie_it_val(trie_it_t* it);

}  // extern "C"
