#pragma once
// Carriers: copies of the captured packets under the bytes a reassembler
// holds, so that a message it hands on can be written out as the packets it
// came in. One store per reassembly buffer, allocated with the pool only
// when carriers are asked for; a store that runs out of room says so, and the
// component notes which bytes lost their packets.
//
// How a component uses it:
//   tvx::CarrierPool pool;
//   pool.reset(count, bytes_each, entries_each);     // allocates; every store empty
//   tvx::CarrierStore& store = pool.at(buffer);
//   if (!store.add(*packet, id, lo, hi)) { ...no room: these bytes have no packet... }
//   store.retain([&](const tvx::Carrier& c) { return still_needed(c); });   // compacts
//   store.clear();
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/object.h"
#include "core/object/pcap.h"

namespace tvx {

struct Carrier {
    core_object_pcap_t packet;  // `bytes` point into the store
    uint64_t id;                // the piece it was, as the component numbers them
    uint32_t lo;                // what it carried, in the component's own offsets
    uint32_t hi;
    bool written;
};

// The captured frame at the bottom of `obj`'s chain; null for a chain without one.
inline const core_object_pcap_t* packet_of(const core_object_t* obj)
{
    for (; obj; obj = obj->obj_prev) {
        if (obj->obj_type == CORE_OBJECT_PCAP) {
            return reinterpret_cast<const core_object_pcap_t*>(obj);
        }
    }
    return nullptr;
}

class CarrierStore {
public:
    Carrier* begin() { return entries_; }
    Carrier* end() { return entries_ + count_; }
    uint32_t count() const { return count_; }
    bool empty() const { return count_ == 0; }

    // Set by the component when a piece it holds has no packet here.
    bool lost = false;
    uint32_t lost_hi = 0;

    void clear() { count_ = 0, used_ = 0, lost = false, lost_hi = 0; }

    // A copy of `packet` with its bytes; false when the store has no room for it.
    bool add(const core_object_pcap_t& packet, uint64_t id, uint32_t lo, uint32_t hi)
    {
        const size_t caplen = packet.bytes ? packet.caplen : 0;
        if (count_ == max_entries_ || caplen > capacity_ - used_) {
            return false;
        }
        Carrier& entry = entries_[count_++];
        entry.packet = packet;
        entry.packet.obj_prev = nullptr;
        entry.packet.caplen = static_cast<uint32_t>(caplen);
        if (caplen) {
            memcpy(area_ + used_, packet.bytes, caplen);
        }
        entry.packet.bytes = area_ + used_;
        entry.id = id;
        entry.lo = lo;
        entry.hi = hi;
        entry.written = false;
        used_ += caplen;
        return true;
    }

    // Keeps the entries `keep` says yes to, in their order, and moves their
    // bytes down over those dropped.
    template <class Keep>
    void retain(Keep&& keep)
    {
        uint32_t kept = 0;
        size_t used = 0;
        for (uint32_t i = 0; i < count_; i++) {
            Carrier entry = entries_[i];
            if (!keep(const_cast<const Carrier&>(entry))) {
                continue;
            }
            const size_t caplen = entry.packet.caplen;
            uint8_t* to = area_ + used;
            if (to != entry.packet.bytes) {
                memmove(to, entry.packet.bytes, caplen);
            }
            entry.packet.bytes = to;
            entries_[kept++] = entry;
            used += caplen;
        }
        count_ = kept;
        used_ = used;
    }

private:
    friend class CarrierPool;
    Carrier* entries_ = nullptr;
    uint8_t* area_ = nullptr;
    uint32_t count_ = 0;
    uint32_t max_entries_ = 0;
    size_t used_ = 0;
    size_t capacity_ = 0;
};

class CarrierPool {
public:
    void reset(uint32_t count, size_t bytes_each, uint32_t entries_each)
    {
        count_ = count;
        stores_.reset(new CarrierStore[count + 1]);
        entries_.reset(new Carrier[size_t(count) * entries_each + 1]);
        // Not value-initialised: pages are only touched once a store is used.
        area_.reset(new uint8_t[size_t(count) * bytes_each + 1]);
        for (uint32_t i = 0; i < count; i++) {
            CarrierStore& store = stores_[i];
            store.entries_ = entries_.get() + size_t(i) * entries_each;
            store.area_ = area_.get() + size_t(i) * bytes_each;
            store.max_entries_ = entries_each;
            store.capacity_ = bytes_each;
        }
    }

    void release() { stores_.reset(), entries_.reset(), area_.reset(), count_ = 0; }

    bool active() const { return count_ != 0; }
    CarrierStore& at(uint32_t store) { return stores_[store]; }

private:
    std::unique_ptr<CarrierStore[]> stores_;
    std::unique_ptr<Carrier[]> entries_;
    std::unique_ptr<uint8_t[]> area_;
    uint32_t count_ = 0;
};

}  // namespace tvx
