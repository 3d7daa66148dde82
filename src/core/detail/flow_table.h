#pragma once
// Flow table: a fixed number of slots, allocated when the limit is set (never
// per packet), found by key through a seeded hash index, and kept in order of
// use so that the longest-unused slot is the first to expire or give way.
//
// How a component uses it:
//   tvx::FlowTable<Key, Flow> flows;
//   flows.reset(max_flows);                     // allocates; forgets every slot
//   auto* slot = flows.find(key);               // also makes it the most recent
//   if (!slot) {
//       if (flows.full()) { flows.remove(flows.oldest()); ... }   // evict, count it
//       slot = flows.insert(key);               // slot->value is Flow{}
//   }
//   while (auto* old = flows.oldest(); old && expired(old->value)) { flows.remove(old); }
//   flows.index_of(slot)                        // 0 .. capacity-1, stable while it lives
// Key is trivially copyable and compared by its bytes, so a key struct must be
// zero-filled before its fields are set (padding included).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <type_traits>

namespace tvx {

// A seeded multiply-xorshift hash over a key's bytes; the seed keeps hostile
// traffic from aiming many keys at one bucket.
inline uint64_t hash_bytes(const void* data, size_t size, uint64_t seed)
{
    const auto* at = static_cast<const uint8_t*>(data);
    uint64_t hash = seed ^ (size * 0x9e3779b97f4a7c15ull);
    while (size >= 8) {
        uint64_t word;
        memcpy(&word, at, 8);
        hash = (hash ^ word) * 0xbf58476d1ce4e5b9ull;
        hash ^= hash >> 31;
        at += 8;
        size -= 8;
    }
    uint64_t tail = 0;
    memcpy(&tail, at, size);
    hash = (hash ^ tail) * 0x94d049bb133111ebull;
    return hash ^ (hash >> 29);
}

template <class Key, class Value>
class FlowTable {
    static_assert(std::is_trivially_copyable_v<Key>);

public:
    static constexpr uint32_t none = UINT32_MAX;

    struct Slot {
        Key key;
        Value value;

    private:
        friend class FlowTable;
        uint32_t bucket_next = none;  // next slot of the same bucket, or of the free list
        uint32_t older = none;        // neighbours in order of use
        uint32_t newer = none;
        uint32_t bucket = none;
    };

    // Room for `capacity` slots (at least 1); every slot is forgotten.
    void reset(uint32_t capacity)
    {
        capacity_ = capacity ? capacity : 1;
        slots_ = std::make_unique<Slot[]>(capacity_);
        uint32_t buckets = 1;
        while (buckets < capacity_ * 2u && buckets < (1u << 31)) {
            buckets <<= 1;
        }
        mask_ = buckets - 1;
        buckets_ = std::make_unique<uint32_t[]>(buckets);
        for (uint32_t i = 0; i < buckets; i++) {
            buckets_[i] = none;
        }
        for (uint32_t i = 0; i < capacity_; i++) {
            slots_[i].bucket_next = i + 1 < capacity_ ? i + 1 : none;
        }
        free_ = 0;
        oldest_ = newest_ = none;
        size_ = 0;
        seed_ = (uint64_t(std::random_device{}()) << 32) ^ std::random_device{}();
    }

    uint32_t capacity() const { return capacity_; }
    uint32_t size() const { return size_; }
    bool full() const { return free_ == none; }
    uint32_t index_of(const Slot* slot) const { return static_cast<uint32_t>(slot - slots_.get()); }
    // The live slot at an index index_of gave.
    Slot& at(uint32_t index) { return slots_[index]; }

    // The slot of `key`, made the most recently used when `touch`; null when absent.
    Slot* find(const Key& key, bool touch = true)
    {
        for (uint32_t i = buckets_[bucket_of(key)]; i != none; i = slots_[i].bucket_next) {
            if (memcmp(&slots_[i].key, &key, sizeof(Key)) == 0) {
                if (touch) {
                    unlink_use(i);
                    link_newest(i);
                }
                return &slots_[i];
            }
        }
        return nullptr;
    }

    // A new slot for `key` (which must be absent), the most recent; null when full.
    Slot* insert(const Key& key)
    {
        if (free_ == none) {
            return nullptr;
        }
        const uint32_t i = free_;
        Slot& slot = slots_[i];
        free_ = slot.bucket_next;
        slot.key = key;
        slot.value = Value{};
        slot.bucket = bucket_of(key);
        slot.bucket_next = buckets_[slot.bucket];
        buckets_[slot.bucket] = i;
        link_newest(i);
        size_++;
        return &slot;
    }

    void remove(Slot* slot)
    {
        const uint32_t i = index_of(slot);
        for (uint32_t* link = &buckets_[slot->bucket]; *link != none; link = &slots_[*link].bucket_next) {
            if (*link == i) {
                *link = slot->bucket_next;
                break;
            }
        }
        unlink_use(i);
        slot->bucket_next = free_;
        free_ = i;
        size_--;
    }

    Slot* oldest() { return oldest_ == none ? nullptr : &slots_[oldest_]; }

private:
    uint32_t bucket_of(const Key& key) const
    {
        return static_cast<uint32_t>(hash_bytes(&key, sizeof(Key), seed_)) & mask_;
    }

    void link_newest(uint32_t i)
    {
        slots_[i].older = newest_;
        slots_[i].newer = none;
        if (newest_ != none) {
            slots_[newest_].newer = i;
        } else {
            oldest_ = i;
        }
        newest_ = i;
    }

    void unlink_use(uint32_t i)
    {
        Slot& slot = slots_[i];
        if (slot.older != none) {
            slots_[slot.older].newer = slot.newer;
        } else {
            oldest_ = slot.newer;
        }
        if (slot.newer != none) {
            slots_[slot.newer].older = slot.older;
        } else {
            newest_ = slot.older;
        }
        slot.older = slot.newer = none;
    }

    std::unique_ptr<Slot[]> slots_;
    std::unique_ptr<uint32_t[]> buckets_;
    uint32_t capacity_ = 0;
    uint32_t mask_ = 0;
    uint32_t free_ = none;
    uint32_t oldest_ = none;
    uint32_t newest_ = none;
    uint32_t size_ = 0;
    uint64_t seed_ = 0;
};

}  // namespace tvx
