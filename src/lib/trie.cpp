// Misuse of the trie and broken invariants abort through the platform's
// assert in every build type, so keep it switched on here.
#undef NDEBUG
#include <cassert>

#include "lib/trie.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int result_exact = 0;
constexpr int result_smaller = 1;
constexpr int result_none = -2;
constexpr int result_nomem = -12;

constexpr uint32_t flag_high = 1;
constexpr uint32_t flag_low = 2;
constexpr uint32_t flag_empty = 3;
constexpr unsigned bitmap_shift = 2;
constexpr uint64_t bitmap_mask = 0x1FFFF;
constexpr unsigned index_shift = 32;
constexpr uint32_t end_of_key_bit = 1;
// The byte recorded for a key that ends at the branching position; below
// every real byte value.
constexpr int no_byte = -256;

void* default_alloc(void*, size_t len)
{
    return malloc(len);
}

constexpr vask_mm_t default_mm = {nullptr, default_alloc, free};

// Without a hardware popcount in the baseline instruction set, std::popcount
// is a library call; the bitmap has 17 bits, a few inline operations do.
inline uint32_t count_bits(uint32_t bits)
{
    bits = bits - ((bits >> 1) & 0x55555555u);
    bits = (bits & 0x33333333u) + ((bits >> 2) & 0x33333333u);
    bits = (bits + (bits >> 4)) & 0x0F0F0F0Fu;
    return (bits * 0x01010101u) >> 24;
}

uint32_t node_flags(const trie_node_t* t)
{
    return t->head & 3;
}

bool isbranch(const trie_node_t* t)
{
    uint32_t flags = node_flags(t);
    return flags == flag_high || flags == flag_low;
}

uint32_t bitmap(const trie_node_t* t)
{
    assert(isbranch(t));
    return (t->head >> bitmap_shift) & bitmap_mask;
}

uint32_t branch_index(const trie_node_t* t)
{
    assert(isbranch(t));
    return t->head >> index_shift;
}

trie_node_t* twigs(const trie_node_t* t)
{
    assert(isbranch(t));
    return static_cast<trie_node_t*>(t->body);
}

uint32_t twig_count(const trie_node_t* t)
{
    return count_bits(bitmap(t));
}

bool hastwig(const trie_node_t* t, uint32_t bit)
{
    return bitmap(t) & bit;
}

uint32_t twigoff(const trie_node_t* t, uint32_t bit)
{
    return count_bits(bitmap(t) & (bit - 1));
}

uint64_t branch_head(uint32_t index, uint32_t flags, uint32_t bits)
{
    return uint64_t(index) << index_shift | uint64_t(bits) << bitmap_shift | flags;
}

// The child bit a key selects at a branch on (`index`, `flags`).
uint32_t nibble_bit(uint32_t index, uint32_t flags, const uint8_t* key, uint32_t len)
{
    if (index >= len) {
        return end_of_key_bit;
    }
    uint32_t nibble = flags == flag_high ? (key[index] >> 4) & 0xF : key[index] & 0xF;
    return 1u << (nibble + 1);
}

uint32_t twigbit(const trie_node_t* t, const uint8_t* key, uint32_t len)
{
    assert(isbranch(t));
    return nibble_bit(branch_index(t), node_flags(t), key, len);
}

// Key record: a 32-bit length followed by the bytes.
const uint32_t* key_record(const trie_node_t* t)
{
    assert(!isbranch(t));
    return reinterpret_cast<const uint32_t*>(static_cast<uintptr_t>(t->head));
}

uint32_t leaf_len(const trie_node_t* t)
{
    return *key_record(t);
}

const uint8_t* leaf_key(const trie_node_t* t)
{
    return reinterpret_cast<const uint8_t*>(key_record(t) + 1);
}

trie_val_t* leaf_slot(trie_node_t* t)
{
    assert(!isbranch(t));
    return &t->body;
}

void make_empty(trie_node_t* root)
{
    root->head = branch_head(0xFFFFFFFF, flag_empty, 0);
    root->body = nullptr;
}

void* mm_alloc(trie_t* tbl, size_t len)
{
    return tbl->mm.alloc(tbl->mm.ctx, len);
}

void mm_free(trie_t* tbl, void* p)
{
    if (tbl->mm.free) {
        tbl->mm.free(p);
    }
}

bool mk_leaf(trie_t* tbl, const uint8_t* key, uint32_t len, trie_node_t* leaf)
{
    auto* record = static_cast<uint32_t*>(mm_alloc(tbl, size_t(len) + sizeof(uint32_t)));
    if (!record) {
        return false;
    }
    assert((reinterpret_cast<uintptr_t>(record) & 3) == 0);
    *record = len;
    if (len) {
        memcpy(record + 1, key, len);
    }
    leaf->head = reinterpret_cast<uintptr_t>(record);
    leaf->body = nullptr;
    return true;
}

void free_leaf(trie_t* tbl, trie_node_t* leaf)
{
    mm_free(tbl, const_cast<uint32_t*>(key_record(leaf)));
}

void clear_node(trie_t* tbl, trie_node_t* t)
{
    if (!isbranch(t)) {
        free_leaf(tbl, t);
        return;
    }
    trie_node_t* children = twigs(t);
    for (uint32_t i = 0, n = twig_count(t); i < n; i++) {
        clear_node(tbl, &children[i]);
    }
    mm_free(tbl, children);
}

const trie_node_t* find_equal(const trie_t* tbl, const uint8_t* key, uint32_t len)
{
    if (tbl->weight == 0) {
        return nullptr;
    }
    const trie_node_t* t = &tbl->root;
    while (isbranch(t)) {
        uint32_t bit = twigbit(t, key, len);
        if (!hastwig(t, bit)) {
            return nullptr;
        }
        t = &twigs(t)[twigoff(t, bit)];
    }
    if (leaf_len(t) != len || (len && memcmp(leaf_key(t), key, len) != 0)) {
        return nullptr;
    }
    return t;
}

int apply_node(trie_node_t* t, int (*f)(trie_val_t*, void*), void* d)
{
    if (!isbranch(t)) {
        return f(leaf_slot(t), d);
    }
    trie_node_t* children = twigs(t);
    for (uint32_t i = 0, n = twig_count(t); i < n; i++) {
        if (int result = apply_node(&children[i], f, d)) {
            return result;
        }
    }
    return 0;
}

// Node stack (shared with iterators): root first, current node on top.

void ns_init(trie_it_t* ns)
{
    ns->stack = ns->inline_stack;
    ns->len = 0;
    ns->capacity = TRIE_STACK_INLINE;
}

void ns_release(trie_it_t* ns)
{
    if (ns->stack != ns->inline_stack) {
        free(ns->stack);
    }
    ns->stack = ns->inline_stack;
    ns->capacity = TRIE_STACK_INLINE;
}

trie_node_t* ns_top(const trie_it_t* ns)
{
    assert(ns->len > 0);
    return ns->stack[ns->len - 1];
}

int ns_push(trie_it_t* ns, trie_node_t* t)
{
    if (ns->len == ns->capacity) {
        if (ns->capacity > UINT32_MAX / 2) {
            return result_nomem;
        }
        uint32_t capacity = ns->capacity * 2;
        trie_node_t** grown;
        if (ns->stack == ns->inline_stack) {
            grown = static_cast<trie_node_t**>(malloc(capacity * sizeof(trie_node_t*)));
            if (grown) {
                memcpy(grown, ns->stack, ns->len * sizeof(trie_node_t*));
            }
        } else {
            grown = static_cast<trie_node_t**>(realloc(ns->stack, capacity * sizeof(trie_node_t*)));
        }
        if (!grown) {
            return result_nomem;
        }
        ns->stack = grown;
        ns->capacity = capacity;
    }
    ns->stack[ns->len++] = t;
    return 0;
}

// Position of the top node in its parent's child array.
uint32_t ns_top_position(const trie_it_t* ns)
{
    assert(ns->len >= 2);
    const trie_node_t* parent = ns->stack[ns->len - 2];
    ptrdiff_t pindex = ns->stack[ns->len - 1] - twigs(parent);
    assert(pindex >= 0 && pindex <= 16);
    return pindex;
}

int ns_first_leaf(trie_it_t* ns)
{
    for (trie_node_t* t = ns_top(ns); isbranch(t); t = ns_top(ns)) {
        if (int err = ns_push(ns, &twigs(t)[0])) {
            return err;
        }
    }
    return 0;
}

int ns_last_leaf(trie_it_t* ns)
{
    for (trie_node_t* t = ns_top(ns); isbranch(t); t = ns_top(ns)) {
        if (int err = ns_push(ns, &twigs(t)[twig_count(t) - 1])) {
            return err;
        }
    }
    return 0;
}

// From a leaf on top to the next leaf in key order; result_none past the last.
int ns_next_leaf(trie_it_t* ns)
{
    while (ns->len >= 2) {
        uint32_t position = ns_top_position(ns);
        const trie_node_t* parent = ns->stack[ns->len - 2];
        if (position + 1 < twig_count(parent)) {
            ns->stack[ns->len - 1] = &twigs(parent)[position + 1];
            return ns_first_leaf(ns);
        }
        ns->len--;
    }
    return result_none;
}

// From a node on top to the greatest leaf before everything below it;
// result_none when nothing precedes it.
int ns_prev_leaf(trie_it_t* ns)
{
    while (ns->len >= 2) {
        uint32_t position = ns_top_position(ns);
        if (position > 0) {
            ns->stack[ns->len - 1] = &twigs(ns->stack[ns->len - 2])[position - 1];
            return ns_last_leaf(ns);
        }
        ns->len--;
    }
    return result_none;
}

// A search stack on the caller's frame, released on every way out.
struct SearchStack {
    trie_it_t ns;
    explicit SearchStack(trie_t* tbl)
    {
        ns_init(&ns);
        ns.stack[ns.len++] = &tbl->root;
    }
    ~SearchStack() { ns_release(&ns); }
    SearchStack(const SearchStack&) = delete;
    SearchStack& operator=(const SearchStack&) = delete;
};

// Where a key leaves the existing structure: the position of its first
// difference from the stored keys (flags 0 when the key is stored), and
// the stored byte at that position (no_byte when the stored key ends there).
struct BranchPoint {
    uint32_t index;
    uint32_t flags;
    int leaf_byte;
};

// Leaves on top of the stack the node at which the key departs: a branch
// at exactly that position, or the node that a new branch must be put above.
int ns_find_branch(trie_it_t* ns, const uint8_t* key, uint32_t len, BranchPoint* point)
{
    // Every key below a branch agrees up to its position, so any leaf of the
    // subtree where the key's own child is missing will do for the comparison.
    for (trie_node_t* t = ns_top(ns); isbranch(t); t = ns_top(ns)) {
        uint32_t bit = twigbit(t, key, len);
        uint32_t position = hastwig(t, bit) ? twigoff(t, bit) : 0;
        if (int err = ns_push(ns, &twigs(t)[position])) {
            return err;
        }
    }
    const trie_node_t* leaf = ns_top(ns);
    const uint8_t* stored = leaf_key(leaf);
    uint32_t stored_len = leaf_len(leaf);
    uint32_t common = len < stored_len ? len : stored_len;
    uint32_t index = 0;
    while (index < common && key[index] == stored[index]) {
        index++;
    }
    point->index = index;
    if (index == len && index == stored_len) {
        point->flags = 0;
        point->leaf_byte = no_byte;
        return 0;
    }
    bool inside_both = index < len && index < stored_len;
    point->flags = inside_both && ((key[index] ^ stored[index]) & 0xF0) == 0 ? flag_low : flag_high;
    point->leaf_byte = index < stored_len ? stored[index] : no_byte;
    while (ns->len >= 2) {
        const trie_node_t* parent = ns->stack[ns->len - 2];
        assert(isbranch(parent));
        uint32_t parent_index = branch_index(parent);
        if (parent_index > point->index || (parent_index == point->index && node_flags(parent) >= point->flags)) {
            ns->len--;
        } else {
            break;
        }
    }
    return 0;
}

bool is_branch_at(const trie_node_t* t, const BranchPoint& point)
{
    return isbranch(t) && branch_index(t) == point.index && node_flags(t) == point.flags;
}

}  // namespace

extern "C" {

trie_t* trie_create(vask_mm_t* mm)
{
    const vask_mm_t& context = mm ? *mm : default_mm;
    assert(context.alloc);
    auto* tbl = static_cast<trie_t*>(context.alloc(context.ctx, sizeof(trie_t)));
    if (!tbl) {
        return nullptr;
    }
    make_empty(&tbl->root);
    tbl->weight = 0;
    tbl->mm = context;
    return tbl;
}

void trie_clear(trie_t* tbl)
{
    assert(tbl);
    if (tbl->weight) {
        clear_node(tbl, &tbl->root);
    }
    make_empty(&tbl->root);
    tbl->weight = 0;
}

void trie_free(trie_t* tbl)
{
    if (!tbl) {
        return;
    }
    trie_clear(tbl);
    mm_free(tbl, tbl);
}

size_t trie_weight(const trie_t* tbl)
{
    assert(tbl);
    return tbl->weight;
}

trie_val_t* trie_get_try(trie_t* tbl, const uint8_t* key, uint32_t len)
{
    assert(tbl);
    const trie_node_t* leaf = find_equal(tbl, key, len);
    return leaf ? leaf_slot(const_cast<trie_node_t*>(leaf)) : nullptr;
}

trie_val_t* trie_get_first(trie_t* tbl, uint8_t** key, uint32_t* len)
{
    assert(tbl);
    if (tbl->weight == 0) {
        return nullptr;
    }
    trie_node_t* t = &tbl->root;
    while (isbranch(t)) {
        t = &twigs(t)[0];
    }
    if (key) {
        *key = const_cast<uint8_t*>(leaf_key(t));
    }
    if (len) {
        *len = leaf_len(t);
    }
    return leaf_slot(t);
}

trie_val_t* trie_get_ins(trie_t* tbl, const uint8_t* key, uint32_t len)
{
    assert(tbl);
    if (tbl->weight == 0) {
        if (!mk_leaf(tbl, key, len, &tbl->root)) {
            return nullptr;
        }
        tbl->weight = 1;
        return leaf_slot(&tbl->root);
    }
    SearchStack search(tbl);
    BranchPoint point;
    if (ns_find_branch(&search.ns, key, len, &point)) {
        return nullptr;
    }
    trie_node_t* t = ns_top(&search.ns);
    if (point.flags == 0) {
        return leaf_slot(t);
    }
    trie_node_t leaf;
    if (!mk_leaf(tbl, key, len, &leaf)) {
        return nullptr;
    }
    if (is_branch_at(t, point)) {
        // The key's nibble is new at an existing branch: widen its array.
        uint32_t bit = twigbit(t, key, len);
        assert(!hastwig(t, bit));
        uint32_t count = twig_count(t);
        uint32_t position = twigoff(t, bit);
        auto* grown = static_cast<trie_node_t*>(mm_alloc(tbl, (count + 1) * sizeof(trie_node_t)));
        if (!grown) {
            free_leaf(tbl, &leaf);
            return nullptr;
        }
        trie_node_t* old = twigs(t);
        memcpy(grown, old, position * sizeof(trie_node_t));
        memcpy(grown + position + 1, old + position, (count - position) * sizeof(trie_node_t));
        grown[position] = leaf;
        mm_free(tbl, old);
        t->head |= uint64_t(bit) << bitmap_shift;
        t->body = grown;
        tbl->weight++;
        return leaf_slot(&grown[position]);
    }
    // The key departs above t: a new two-way branch takes t's place.
    uint32_t new_bit = nibble_bit(point.index, point.flags, key, len);
    uint32_t old_bit = end_of_key_bit;
    if (point.leaf_byte != no_byte) {
        auto byte = static_cast<uint8_t>(point.leaf_byte);
        old_bit = nibble_bit(0, point.flags, &byte, 1);
    }
    assert(new_bit != old_bit);
    auto* pair = static_cast<trie_node_t*>(mm_alloc(tbl, 2 * sizeof(trie_node_t)));
    if (!pair) {
        free_leaf(tbl, &leaf);
        return nullptr;
    }
    uint32_t new_position = new_bit < old_bit ? 0 : 1;
    pair[new_position] = leaf;
    pair[1 - new_position] = *t;
    t->head = branch_head(point.index, point.flags, new_bit | old_bit);
    t->body = pair;
    tbl->weight++;
    return leaf_slot(&pair[new_position]);
}

int trie_get_leq(trie_t* tbl, const uint8_t* key, uint32_t len, trie_val_t** val)
{
    assert(tbl);
    assert(val);
    *val = nullptr;
    if (tbl->weight == 0) {
        return result_none;
    }
    SearchStack search(tbl);
    trie_it_t* ns = &search.ns;
    BranchPoint point;
    if (ns_find_branch(ns, key, len, &point)) {
        return result_nomem;
    }
    if (point.flags == 0) {
        *val = leaf_slot(ns_top(ns));
        return result_exact;
    }
    int key_byte = point.index < len ? key[point.index] : no_byte;
    // Everything below the departure node sorts on the stored key's side.
    bool key_below = key_byte < point.leaf_byte;
    trie_node_t* t = ns_top(ns);
    if (!is_branch_at(t, point)) {
        if (ns->len == 1) {
            if (key_below) {
                return result_none;
            }
            if (ns_last_leaf(ns)) {
                return result_nomem;
            }
            *val = leaf_slot(ns_top(ns));
            return result_smaller;
        }
        ns->len--;
        t = ns_top(ns);
    }
    uint32_t bit = twigbit(t, key, len);
    int position = static_cast<int>(twigoff(t, bit));
    if (!hastwig(t, bit) || key_below) {
        position--;
    }
    int found;
    if (position >= 0) {
        found = ns_push(ns, &twigs(t)[position]);
        if (found == 0) {
            found = ns_last_leaf(ns);
        }
    } else {
        found = ns_prev_leaf(ns);
    }
    if (found) {
        return found;
    }
    *val = leaf_slot(ns_top(ns));
    return result_smaller;
}

int trie_apply(trie_t* tbl, int (*f)(trie_val_t*, void*), void* d)
{
    assert(tbl);
    assert(f);
    if (tbl->weight == 0) {
        return 0;
    }
    return apply_node(&tbl->root, f, d);
}

trie_it_t* trie_it_begin(trie_t* tbl)
{
    assert(tbl);
    auto* it = static_cast<trie_it_t*>(malloc(sizeof(trie_it_t)));
    if (!it) {
        return nullptr;
    }
    ns_init(it);
    if (tbl->weight == 0) {
        return it;
    }
    it->stack[it->len++] = &tbl->root;
    if (ns_first_leaf(it)) {
        trie_it_free(it);
        return nullptr;
    }
    return it;
}

void trie_it_next(trie_it_t* it)
{
    assert(it);
    assert(it->len > 0);
    if (ns_next_leaf(it)) {
        it->len = 0;
    }
}

bool trie_it_finished(trie_it_t* it)
{
    assert(it);
    return it->len == 0;
}

void trie_it_free(trie_it_t* it)
{
    if (!it) {
        return;
    }
    ns_release(it);
    free(it);
}

const uint8_t* trie_it_key(trie_it_t* it, size_t* len)
{
    assert(it);
    assert(it->len > 0);
    const trie_node_t* leaf = ns_top(it);
    if (len) {
        *len = leaf_len(leaf);
    }
    return leaf_key(leaf);
}

trie_val_t* trie_it_val(trie_it_t* it)
{
    assert(it);
    assert(it->len > 0);
    return leaf_slot(ns_top(it));
}

}  // extern "C"
