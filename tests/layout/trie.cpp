#include "layout.h"
#include "lib/trie.h"

// trie_t and trie_it_t are opaque to scripts; only the memory context is
// laid out on both sides.
LAYOUT_REGISTER {
    LAYOUT_TYPE(vask_mm_t);
    LAYOUT_FIELD(vask_mm_t, ctx);
    LAYOUT_FIELD(vask_mm_t, alloc);
    LAYOUT_FIELD(vask_mm_t, free);
} LAYOUT_END;
