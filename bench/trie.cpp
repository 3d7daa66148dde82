// Trie insert and exact lookup of a million IPv4 and a million IPv6 keys,
// beside std::map and std::unordered_map doing the same in the same run.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bench.h"
#include "lib/trie.h"

namespace {

constexpr size_t key_count = 1000000;

template <size_t N>
using Key = std::array<uint8_t, N>;

template <size_t N>
struct KeyHash {
    size_t operator()(const Key<N>& key) const
    {
        return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(key.data()), N));
    }
};

// Addresses as a capture sees them: IPv4 clients spread over a few /16s,
// IPv6 clients under a handful of /48s.
template <size_t N>
std::vector<Key<N>> make_keys(uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<Key<N>> keys(key_count);
    for (auto& key : keys) {
        for (auto& byte : key) {
            byte = rng();
        }
        key[0] = N == 4 ? 10 : 0x20;
        key[1] = N == 4 ? rng() % 8 : 0x01;
        if (N == 16) {
            key[2] = 0x0d;
            key[3] = 0xb8;
            key[4] = rng() % 4;
        }
    }
    return keys;
}

template <size_t N>
void run(const char* family)
{
    std::vector<Key<N>> keys = make_keys<N>(N);
    std::vector<Key<N>> order = keys;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    char insert_name[40], lookup_name[40];
    snprintf(insert_name, sizeof(insert_name), "trie insert, 1M %s keys", family);
    snprintf(lookup_name, sizeof(lookup_name), "trie exact lookup, 1M %s keys", family);

    double trie_insert, trie_lookup;
    {
        trie_t* tbl = trie_create(nullptr);
        bench::Stopwatch insert;
        for (size_t i = 0; i < keys.size(); i++) {
            *trie_get_ins(tbl, keys[i].data(), N) = reinterpret_cast<void*>(i + 1);
        }
        trie_insert = insert.seconds();
        bench::Stopwatch lookup;
        uintptr_t sum = 0;
        for (const auto& key : order) {
            sum += reinterpret_cast<uintptr_t>(*trie_get_try(tbl, key.data(), N));
        }
        trie_lookup = lookup.seconds();
        bench::keep(sum);
        trie_free(tbl);
    }
    double map_insert, map_lookup;
    {
        std::map<Key<N>, void*> map;
        bench::Stopwatch insert;
        for (size_t i = 0; i < keys.size(); i++) {
            map[keys[i]] = reinterpret_cast<void*>(i + 1);
        }
        map_insert = insert.seconds();
        bench::Stopwatch lookup;
        uintptr_t sum = 0;
        for (const auto& key : order) {
            sum += reinterpret_cast<uintptr_t>(map.find(key)->second);
        }
        map_lookup = lookup.seconds();
        bench::keep(sum);
    }
    double hash_insert, hash_lookup;
    {
        std::unordered_map<Key<N>, void*, KeyHash<N>> map;
        bench::Stopwatch insert;
        for (size_t i = 0; i < keys.size(); i++) {
            map[keys[i]] = reinterpret_cast<void*>(i + 1);
        }
        hash_insert = insert.seconds();
        bench::Stopwatch lookup;
        uintptr_t sum = 0;
        for (const auto& key : order) {
            sum += reinterpret_cast<uintptr_t>(map.find(key)->second);
        }
        hash_lookup = lookup.seconds();
        bench::keep(sum);
    }
    bench::group(insert_name);
    bench::baseline("std::map", map_insert, key_count);
    bench::baseline("std::unordered_map", hash_insert, key_count);
    bench::result("trie", trie_insert, key_count);
    bench::group(lookup_name);
    bench::baseline("std::map", map_lookup, key_count);
    bench::baseline("std::unordered_map", hash_lookup, key_count);
    bench::result("trie", trie_lookup, key_count);
}

}  // namespace

int main()
{
    run<4>("IPv4");
    run<16>("IPv6");
    return 0;
}
