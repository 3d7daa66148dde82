#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "lib/trie.h"

namespace {

using Key = std::string;

const uint8_t* bytes(const Key& key)
{
    return reinterpret_cast<const uint8_t*>(key.data());
}

trie_val_t* insert(trie_t* tbl, const Key& key, uintptr_t value)
{
    trie_val_t* slot = trie_get_ins(tbl, bytes(key), key.size());
    if (slot) {
        *slot = reinterpret_cast<void*>(value);
    }
    return slot;
}

trie_val_t* lookup(trie_t* tbl, const Key& key)
{
    return trie_get_try(tbl, bytes(key), key.size());
}

uintptr_t value_of(const trie_val_t* slot)
{
    return reinterpret_cast<uintptr_t>(*slot);
}

std::vector<Key> iterate(trie_t* tbl)
{
    std::vector<Key> keys;
    trie_it_t* it = trie_it_begin(tbl);
    EXPECT_NE(it, nullptr);
    for (; !trie_it_finished(it); trie_it_next(it)) {
        size_t len = 0;
        const uint8_t* key = trie_it_key(it, &len);
        keys.emplace_back(reinterpret_cast<const char*>(key), len);
    }
    trie_it_free(it);
    return keys;
}

struct Trie {
    trie_t* tbl = trie_create(nullptr);
    ~Trie() { trie_free(tbl); }
};

uint32_t flags_of(const trie_node_t& node)
{
    return node.head & 3;
}

uint32_t bitmap_of(const trie_node_t& node)
{
    return (node.head >> 2) & 0x1FFFF;
}

uint32_t index_of(const trie_node_t& node)
{
    return node.head >> 32;
}

uint32_t nibble_bit(unsigned nibble)
{
    return 1u << (nibble + 1);
}

TEST(Trie, EmptyTrie)
{
    Trie t;
    EXPECT_EQ(trie_weight(t.tbl), 0u);
    EXPECT_EQ(flags_of(t.tbl->root), 3u);
    EXPECT_EQ(bitmap_of(t.tbl->root), 0u);
    EXPECT_EQ(index_of(t.tbl->root), 0xFFFFFFFFu);
    EXPECT_EQ(lookup(t.tbl, ""), nullptr);
    uint8_t marker = 0;
    uint8_t* key = &marker;
    uint32_t len = 77;
    EXPECT_EQ(trie_get_first(t.tbl, &key, &len), nullptr);
    EXPECT_EQ(key, &marker);
    EXPECT_EQ(len, 77u);
    trie_val_t* val = reinterpret_cast<trie_val_t*>(&marker);
    EXPECT_EQ(trie_get_leq(t.tbl, bytes("a"), 1, &val), -2);
    EXPECT_EQ(val, nullptr);
    EXPECT_EQ(trie_apply(t.tbl, [](trie_val_t*, void*) { return 1; }, nullptr), 0);
    EXPECT_TRUE(iterate(t.tbl).empty());
}

TEST(Trie, KeyOrder)
{
    struct Case {
        std::vector<Key> inserted;
        std::vector<Key> ordered;
    };
    const Case cases[] = {
        {{"b", "ab", "a"}, {"a", "ab", "b"}},
        {{"a", "", "b"}, {"", "a", "b"}},
        {{"", "a"}, {"", "a"}},
        {{Key("\x00", 1), "", Key("\x00\x00", 2)}, {"", Key("\x00", 1), Key("\x00\x00", 2)}},
        {{"\xff", "\x7f", "\x80", "\x01"}, {"\x01", "\x7f", "\x80", "\xff"}},
        {{"abc", "abd", "ab", "abcd", "b", "a"}, {"a", "ab", "abc", "abcd", "abd", "b"}},
        {{"\x10", "\x11", "\x20", "\x1f", "\x2f\x01"}, {"\x10", "\x11", "\x1f", "\x20", "\x2f\x01"}},
    };
    for (const auto& c : cases) {
        Trie t;
        for (size_t i = 0; i < c.inserted.size(); i++) {
            ASSERT_NE(insert(t.tbl, c.inserted[i], i + 1), nullptr);
        }
        EXPECT_EQ(trie_weight(t.tbl), c.inserted.size());
        EXPECT_EQ(iterate(t.tbl), c.ordered);
        uint8_t* first = nullptr;
        uint32_t first_len = 0;
        ASSERT_NE(trie_get_first(t.tbl, &first, &first_len), nullptr);
        EXPECT_EQ(Key(reinterpret_cast<char*>(first), first_len), c.ordered.front());
        std::vector<Key> applied;
        struct Walk {
            std::vector<Key>* seen;
            const std::vector<Key>* inserted;
        } walk{&applied, &c.inserted};
        trie_apply(
            t.tbl,
            [](trie_val_t* slot, void* d) {
                auto* w = static_cast<Walk*>(d);
                w->seen->push_back((*w->inserted)[value_of(slot) - 1]);
                return 0;
            },
            &walk);
        EXPECT_EQ(applied, c.ordered);
        for (size_t i = 0; i < c.inserted.size(); i++) {
            trie_val_t* slot = lookup(t.tbl, c.inserted[i]);
            ASSERT_NE(slot, nullptr);
            EXPECT_EQ(value_of(slot), i + 1);
        }
    }
}

TEST(Trie, InsertExistingKeepsSlotAndWeight)
{
    Trie t;
    trie_val_t* slot = insert(t.tbl, "key", 5);
    insert(t.tbl, "kez", 6);
    trie_val_t* again = trie_get_ins(t.tbl, bytes("key"), 3);
    EXPECT_EQ(again, lookup(t.tbl, "key"));
    EXPECT_EQ(value_of(again), 5u);
    EXPECT_EQ(trie_weight(t.tbl), 2u);
    // A single key is a leaf at the root.
    Trie one;
    slot = insert(one.tbl, "only", 1);
    EXPECT_EQ(slot, &one.tbl->root.body);
    EXPECT_EQ(trie_get_ins(one.tbl, bytes("only"), 4), slot);
    EXPECT_EQ(trie_weight(one.tbl), 1u);
}

TEST(Trie, LookupMisses)
{
    Trie t;
    for (const Key& key : std::vector<Key>{"abc", "abd", "b"}) {
        insert(t.tbl, key, 1);
    }
    for (const Key& key : std::vector<Key>{"", "a", "ab", "abcd", "abe", "c", "ba", Key("abc\0", 4)}) {
        EXPECT_EQ(lookup(t.tbl, key), nullptr) << key;
    }
    // Bytes skipped by the branches must still be compared at the leaf.
    EXPECT_EQ(lookup(t.tbl, "xbc"), nullptr);
    EXPECT_EQ(trie_get_try(t.tbl, bytes("abc"), 4), nullptr);
}

TEST(Trie, BranchShapes)
{
    Trie t;
    insert(t.tbl, "\x10", 1);
    insert(t.tbl, "\x11", 2);
    const trie_node_t& root = t.tbl->root;
    EXPECT_EQ(flags_of(root), 2u);
    EXPECT_EQ(index_of(root), 0u);
    EXPECT_EQ(bitmap_of(root), nibble_bit(0) | nibble_bit(1));

    insert(t.tbl, "\x20", 3);
    EXPECT_EQ(flags_of(root), 1u);
    EXPECT_EQ(index_of(root), 0u);
    EXPECT_EQ(bitmap_of(root), nibble_bit(1) | nibble_bit(2));
    const auto* children = static_cast<const trie_node_t*>(root.body);
    EXPECT_EQ(flags_of(children[0]), 2u);
    EXPECT_EQ(index_of(children[0]), 0u);
    EXPECT_EQ(flags_of(children[1]), 0u);

    struct Case {
        std::vector<Key> keys;
        uint32_t index, flags, bitmap;
    };
    const Case cases[] = {
        {{"a", "ab"}, 1, 1, 1u | nibble_bit(0x6)},
        {{"", "x"}, 0, 1, 1u | nibble_bit(0x7)},
        {{"abc", "abd"}, 2, 2, nibble_bit(0x3) | nibble_bit(0x4)},
        {{"abc", "abs"}, 2, 1, nibble_bit(0x6) | nibble_bit(0x7)},
        {{"a", "b", "c", "ab"}, 0, 2, nibble_bit(1) | nibble_bit(2) | nibble_bit(3)},
        {{"\x01", "\x11", "\x21", "\xf1"}, 0, 1, nibble_bit(0) | nibble_bit(1) | nibble_bit(2) | nibble_bit(0xf)},
    };
    for (const auto& c : cases) {
        Trie shaped;
        for (const Key& key : c.keys) {
            insert(shaped.tbl, key, 1);
        }
        EXPECT_EQ(index_of(shaped.tbl->root), c.index) << c.keys.back();
        EXPECT_EQ(flags_of(shaped.tbl->root), c.flags) << c.keys.back();
        EXPECT_EQ(bitmap_of(shaped.tbl->root), c.bitmap) << c.keys.back();
    }
}

TEST(Trie, LessOrEqual)
{
    struct Case {
        std::vector<Key> keys;
        Key query;
        int result;
        Key found;
    };
    const Case cases[] = {
        {{"\x0a", "\x14", "\x1e"}, "\x19", 1, "\x14"},
        {{"\x0a", "\x14", "\x1e"}, "\x14", 0, "\x14"},
        {{"\x0a", "\x14", "\x1e"}, "\x05", -2, ""},
        {{"\x0a", "\x14", "\x1e"}, "\x28", 1, "\x1e"},
        {{"\x0a", "\x14", "\x1e"}, "\x0b", 1, "\x0a"},
        {{"\x0a", "\x14", "\x1e"}, Key("\x14\x00", 2), 1, "\x14"},
        {{"\x0a", "\x14", "\x1e"}, "", -2, ""},
        {{"a"}, "ab", 1, "a"},
        {{"a"}, "a", 0, "a"},
        {{"a"}, "", -2, ""},
        {{"a"}, "b", 1, "a"},
        {{"ab"}, "a", -2, ""},
        {{"", "b"}, "a", 1, ""},
        {{"a", "ab", "b"}, "aa", 1, "a"},
        {{"a", "ab", "b"}, "ac", 1, "ab"},
        {{"a", "ab", "b"}, "abc", 1, "ab"},
        {{"a", "ab", "b"}, "c", 1, "b"},
        {{"a", "ab", "b"}, "`", -2, ""},
        {{"abc", "abd", "abz"}, "abe", 1, "abd"},
        {{"abc", "abd", "abz"}, "abb", -2, ""},
        {{"abc", "abd", "abz"}, "ab", -2, ""},
        {{"abc", "abd", "abz", "a"}, "ab", 1, "a"},
        {{"abc", "abd", "abz", "a"}, "abcc", 1, "abc"},
        {{"abc", "xyz"}, "m", 1, "abc"},
        {{"abc", "xyz"}, "xa", 1, "abc"},
        {{"abc", "xyz"}, "zzz", 1, "xyz"},
        {{"\x10", "\x11", "\x20"}, "\x1f", 1, "\x11"},
        {{"\x10", "\x11", "\x20"}, "\x0f", -2, ""},
        {{"\x10", "\x11", "\x20"}, "\x21", 1, "\x20"},
        {{"\x10\x05", "\x10\x07", "\x30"}, "\x10\x06", 1, "\x10\x05"},
        {{"\x10\x05", "\x10\x07", "\x30"}, "\x20", 1, "\x10\x07"},
        {{"\x10\x05", "\x10\x07", "\x30"}, "\x10", -2, ""},
    };
    for (const auto& c : cases) {
        Trie t;
        for (size_t i = 0; i < c.keys.size(); i++) {
            insert(t.tbl, c.keys[i], i + 1);
        }
        trie_val_t* val = nullptr;
        int result = trie_get_leq(t.tbl, bytes(c.query), c.query.size(), &val);
        EXPECT_EQ(result, c.result) << "query " << c.query;
        if (c.result >= 0) {
            ASSERT_NE(val, nullptr);
            EXPECT_EQ(val, lookup(t.tbl, c.found)) << "query " << c.query;
        } else {
            EXPECT_EQ(val, nullptr);
        }
    }
}

TEST(Trie, ApplyStopsAtFirstNonzero)
{
    Trie t;
    for (uintptr_t i = 1; i <= 6; i++) {
        insert(t.tbl, Key(1, char('a' + i)), i);
    }
    struct Case {
        uintptr_t stop_at;
        int result;
        int visited;
    };
    const Case cases[] = {{3, 30, 3}, {1, 10, 1}, {6, 60, 6}, {0, 0, 6}};
    for (const auto& c : cases) {
        struct State {
            uintptr_t stop_at;
            int visited;
        } state{c.stop_at, 0};
        int result = trie_apply(
            t.tbl,
            [](trie_val_t* slot, void* d) {
                auto* s = static_cast<State*>(d);
                s->visited++;
                return value_of(slot) == s->stop_at ? int(value_of(slot)) * 10 : 0;
            },
            &state);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(state.visited, c.visited);
    }
}

TEST(Trie, IteratorEnds)
{
    Trie t;
    trie_it_t* it = trie_it_begin(t.tbl);
    ASSERT_NE(it, nullptr);
    EXPECT_TRUE(trie_it_finished(it));
    trie_it_free(it);

    insert(t.tbl, "a", 1);
    insert(t.tbl, "b", 2);
    it = trie_it_begin(t.tbl);
    EXPECT_FALSE(trie_it_finished(it));
    *trie_it_val(it) = reinterpret_cast<void*>(uintptr_t(9));
    trie_it_next(it);
    EXPECT_FALSE(trie_it_finished(it));
    EXPECT_EQ(value_of(trie_it_val(it)), 2u);
    EXPECT_EQ(trie_it_key(it, nullptr)[0], 'b');
    trie_it_next(it);
    EXPECT_TRUE(trie_it_finished(it));
    trie_it_free(it);
    trie_it_free(nullptr);
    EXPECT_EQ(value_of(lookup(t.tbl, "a")), 9u);
}

TEST(Trie, ClearEmptiesAndKeepsWorking)
{
    Trie t;
    for (int i = 0; i < 100; i++) {
        insert(t.tbl, std::to_string(i), i);
    }
    trie_clear(t.tbl);
    EXPECT_EQ(trie_weight(t.tbl), 0u);
    EXPECT_EQ(flags_of(t.tbl->root), 3u);
    EXPECT_EQ(lookup(t.tbl, "5"), nullptr);
    insert(t.tbl, "5", 5);
    EXPECT_EQ(iterate(t.tbl), std::vector<Key>{"5"});
    trie_free(nullptr);
}

// Paths deeper than the 60 inline stack entries: every key is a prefix of
// the next, or shares a long run of 0xff with it.
TEST(Trie, DeepPathsUseTheHeapStack)
{
    for (bool prefixes : {true, false}) {
        Trie t;
        std::map<Key, uintptr_t> model;
        for (uintptr_t i = 0; i < 300; i++) {
            Key key = prefixes ? Key(i, 'a') : Key(i, '\xff') + Key(1, '\0');
            insert(t.tbl, key, i + 1);
            model[key] = i + 1;
        }
        std::vector<Key> expected;
        for (const auto& [key, value] : model) {
            expected.push_back(key);
        }
        EXPECT_EQ(iterate(t.tbl), expected);
        for (uintptr_t i = 0; i < 300; i += 7) {
            Key query = prefixes ? Key(i, 'a') + "b" : Key(i, '\xff') + Key(1, '\x01');
            trie_val_t* val = nullptr;
            ASSERT_EQ(trie_get_leq(t.tbl, bytes(query), query.size(), &val), 1);
            auto below = std::prev(model.upper_bound(query));
            EXPECT_EQ(value_of(val), below->second);
        }
    }
}

// A context that counts what it hands out and can be told to fail.
struct CountingMm {
    int allocations = 0;
    int releases = 0;
    int fail_after = -1;
    static void* alloc(void* ctx, size_t len)
    {
        auto* self = static_cast<CountingMm*>(ctx);
        if (self->fail_after == 0) {
            return nullptr;
        }
        if (self->fail_after > 0) {
            self->fail_after--;
        }
        self->allocations++;
        return malloc(len);
    }
};

CountingMm* counting_mm_current = nullptr;

void counting_free(void* p)
{
    counting_mm_current->releases++;
    free(p);
}

TEST(Trie, MemoryContext)
{
    CountingMm counts;
    counting_mm_current = &counts;
    vask_mm_t mm = {&counts, CountingMm::alloc, counting_free};
    trie_t* tbl = trie_create(&mm);
    ASSERT_NE(tbl, nullptr);
    mm.alloc = nullptr;  // the trie keeps its own copy
    for (int i = 0; i < 50; i++) {
        insert(tbl, std::to_string(i).insert(0, 1, 'k'), i);
    }
    EXPECT_GT(counts.allocations, 50);
    trie_free(tbl);
    EXPECT_EQ(counts.allocations, counts.releases);

    // A pool context: nothing is released piece by piece.
    std::vector<void*> pool;
    vask_mm_t pool_mm = {&pool,
                         [](void* ctx, size_t len) {
                             void* p = malloc(len);
                             static_cast<std::vector<void*>*>(ctx)->push_back(p);
                             return p;
                         },
                         nullptr};
    tbl = trie_create(&pool_mm);
    for (int i = 0; i < 20; i++) {
        insert(tbl, std::to_string(i), i);
    }
    trie_free(tbl);
    for (void* p : pool) {
        free(p);
    }
}

TEST(Trie, FailedAllocationLeavesTrieUnchanged)
{
    const std::vector<Key> keys = {"abc", "abd", "abz", "b", "", "abcd", "\x10", "\x11"};
    for (size_t n = 1; n <= keys.size(); n++) {
        for (int fail_after : {0, 1}) {
            CountingMm counts;
            counting_mm_current = &counts;
            vask_mm_t mm = {&counts, CountingMm::alloc, counting_free};
            trie_t* tbl = trie_create(&mm);
            for (size_t i = 0; i + 1 < n; i++) {
                insert(tbl, keys[i], i + 1);
            }
            std::vector<Key> before = iterate(tbl);
            counts.fail_after = fail_after;
            trie_val_t* slot = trie_get_ins(tbl, bytes(keys[n - 1]), keys[n - 1].size());
            // A new key takes a key record and, except into an empty trie, an array.
            bool needs_two = n > 1;
            if (fail_after == 0 || needs_two) {
                EXPECT_EQ(slot, nullptr) << "key " << n << " fail_after " << fail_after;
                EXPECT_EQ(trie_weight(tbl), n - 1);
                EXPECT_EQ(iterate(tbl), before);
                EXPECT_EQ(lookup(tbl, keys[n - 1]), nullptr);
            }
            counts.fail_after = -1;
            trie_free(tbl);
            EXPECT_EQ(counts.allocations, counts.releases);
        }
    }
    vask_mm_t failing = {nullptr, [](void*, size_t) -> void* { return nullptr; }, free};
    EXPECT_EQ(trie_create(&failing), nullptr);
}

Key random_key(std::mt19937& rng)
{
    // Short keys from a small alphabet give shared prefixes and exact
    // prefixes; some keys take any byte value.
    std::uniform_int_distribution<int> length(0, 12);
    std::uniform_int_distribution<int> small(0, 5);
    std::uniform_int_distribution<int> any(0, 255);
    bool full = rng() % 4 == 0;
    Key key(length(rng), '\0');
    for (char& c : key) {
        c = full ? char(any(rng)) : char("\x00\x01\x10\x11\x7f\xff"[small(rng)]);
    }
    return key;
}

TEST(Trie, RandomAgainstStdMap)
{
    std::mt19937 rng(20240611);
    Trie t;
    std::map<Key, uintptr_t> model;
    for (uintptr_t i = 1; i <= 100000; i++) {
        Key key = random_key(rng);
        trie_val_t* slot = trie_get_ins(t.tbl, bytes(key), key.size());
        ASSERT_NE(slot, nullptr);
        auto [where, added] = model.emplace(key, i);
        if (added) {
            ASSERT_EQ(*slot, nullptr);
            *slot = reinterpret_cast<void*>(i);
        } else {
            ASSERT_EQ(value_of(slot), where->second);
        }
    }
    ASSERT_EQ(trie_weight(t.tbl), model.size());

    trie_it_t* it = trie_it_begin(t.tbl);
    for (const auto& [key, value] : model) {
        ASSERT_FALSE(trie_it_finished(it));
        size_t len = 0;
        const uint8_t* stored = trie_it_key(it, &len);
        ASSERT_EQ(Key(reinterpret_cast<const char*>(stored), len), key);
        ASSERT_EQ(value_of(trie_it_val(it)), value);
        trie_it_next(it);
    }
    EXPECT_TRUE(trie_it_finished(it));
    trie_it_free(it);

    for (int i = 0; i < 100000; i++) {
        Key query = random_key(rng);
        auto exact = model.find(query);
        trie_val_t* slot = lookup(t.tbl, query);
        if (exact == model.end()) {
            ASSERT_EQ(slot, nullptr);
        } else {
            ASSERT_NE(slot, nullptr);
            ASSERT_EQ(value_of(slot), exact->second);
        }
        trie_val_t* val = nullptr;
        int result = trie_get_leq(t.tbl, bytes(query), query.size(), &val);
        auto above = model.upper_bound(query);
        if (above == model.begin()) {
            ASSERT_EQ(result, -2);
            ASSERT_EQ(val, nullptr);
        } else {
            auto below = std::prev(above);
            ASSERT_EQ(result, below->first == query ? 0 : 1);
            ASSERT_EQ(value_of(val), below->second);
        }
    }
}

using TrieDeathTest = ::testing::Test;

TEST(TrieDeathTest, MisuseAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Trie t;
    insert(t.tbl, "a", 1);
    trie_val_t* val = nullptr;
    EXPECT_DEATH(trie_get_try(nullptr, bytes("a"), 1), "lib/trie.*Assertion.*tbl");
    EXPECT_DEATH(trie_weight(nullptr), "lib/trie.*tbl");
    EXPECT_DEATH(trie_get_ins(nullptr, bytes("a"), 1), "lib/trie.*tbl");
    EXPECT_DEATH(trie_get_leq(nullptr, bytes("a"), 1, &val), "lib/trie.*tbl");
    EXPECT_DEATH(trie_get_leq(t.tbl, bytes("a"), 1, nullptr), "lib/trie.*val");
    EXPECT_DEATH(trie_apply(t.tbl, nullptr, nullptr), "lib/trie.*f");
    EXPECT_DEATH(trie_it_next(nullptr), "lib/trie.*it");
    EXPECT_DEATH(trie_it_finished(nullptr), "lib/trie.*it");
    EXPECT_DEATH(
        {
            trie_it_t* it = trie_it_begin(t.tbl);
            trie_it_next(it);
            trie_it_next(it);
        },
        "lib/trie.*it->len > 0");
    EXPECT_DEATH(
        {
            trie_it_t* it = trie_it_begin(t.tbl);
            trie_it_next(it);
            trie_it_key(it, nullptr);
        },
        "lib/trie.*it->len > 0");
    EXPECT_DEATH(
        {
            trie_it_t* it = trie_it_begin(t.tbl);
            trie_it_next(it);
            trie_it_val(it);
        },
        "lib/trie.*it->len > 0");
}

}  // namespace
