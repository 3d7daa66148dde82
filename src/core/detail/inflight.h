#pragma once
// Queries in flight: a fixed number of slots (the run's window), allocated
// once, each found by (socket, DNS id) through an open-addressing index, kept
// in order of sending so that the oldest is the first to time out, and in a
// list per socket so that a closed connection finds what it carried.
//
// How a component uses it:
//   tvx::InFlight table;
//   table.reset(window);                       // allocates; forgets everything
//   if (table.find(conn, id) != table.none) ... // an id still in flight there: wait
//   uint32_t slot = table.add(conn, id, now_ns);   // table.full() first
//   uint32_t hit = table.find(conn, answer_id);  // then compare questions
//   table.remove(hit);
//   for (uint32_t s = table.oldest(); s != table.none && expired(s); s = table.oldest()) table.remove(s);
//   for (uint32_t s = table.first_on(conn); s != table.none; s = table.next_on(s)) ...
//   for (uint32_t s = table.last_on(conn); s != table.none; s = table.prev_on(s)) ...   // newest first
// The caller keeps what else it needs per slot (question, bytes) in arrays of
// the same size, indexed by slot.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tvx {

class InFlight {
public:
    static constexpr uint32_t none = UINT32_MAX;

    struct Slot {
        uint32_t conn = none;
        uint16_t id = 0;
        uint64_t sent_ns = 0;
        uint32_t older = none, newer = none;        // order of sending, over the run
        uint32_t prev_on = none, next_on = none;    // order of sending, per socket
        uint32_t next_free = none;
    };

    // Room for `window` slots (at least 1). Sockets are numbered by the
    // caller; their lists grow as higher numbers come.
    void reset(uint32_t window)
    {
        capacity_ = window ? window : 1;
        slots_ = std::make_unique<Slot[]>(capacity_);
        for (uint32_t i = 0; i < capacity_; i++) {
            slots_[i].next_free = i + 1 < capacity_ ? i + 1 : none;
        }
        free_ = 0;
        size_ = 0;
        oldest_ = newest_ = none;
        uint32_t cells = 2;
        while (cells < capacity_ * 2u && cells < (1u << 31)) {
            cells <<= 1;
        }
        mask_ = cells - 1;
        index_ = std::make_unique<uint32_t[]>(cells);
        for (uint32_t i = 0; i < cells; i++) {
            index_[i] = none;
        }
        heads_.clear();
        tails_.clear();
    }

    bool full() const { return size_ == capacity_; }
    uint32_t size() const { return size_; }
    uint32_t capacity() const { return capacity_; }
    Slot& operator[](uint32_t slot) { return slots_[slot]; }
    const Slot& operator[](uint32_t slot) const { return slots_[slot]; }

    uint32_t find(uint32_t conn, uint16_t id) const
    {
        for (uint32_t cell = hash(conn, id);; cell = (cell + 1) & mask_) {
            const uint32_t slot = index_[cell];
            if (slot == none) {
                return none;
            }
            if (slots_[slot].conn == conn && slots_[slot].id == id) {
                return slot;
            }
        }
    }

    // A new slot, newest of the run and of its socket. Not when full().
    uint32_t add(uint32_t conn, uint16_t id, uint64_t sent_ns)
    {
        const uint32_t slot = free_;
        Slot& s = slots_[slot];
        free_ = s.next_free;
        s = Slot{};
        s.conn = conn;
        s.id = id;
        s.sent_ns = sent_ns;
        link_run(slot);
        link_conn(slot);
        uint32_t cell = hash(conn, id);
        while (index_[cell] != none) {
            cell = (cell + 1) & mask_;
        }
        index_[cell] = slot;
        size_++;
        return slot;
    }

    void remove(uint32_t slot)
    {
        unindex(slot);
        unlink_run(slot);
        unlink_conn(slot);
        slots_[slot].conn = none;
        slots_[slot].next_free = free_;
        free_ = slot;
        size_--;
    }

    // Puts a slot on another socket, as sent anew at `sent_ns` (a query sent
    // again after its connection ended).
    void move(uint32_t slot, uint32_t conn, uint64_t sent_ns)
    {
        unindex(slot);
        unlink_run(slot);
        unlink_conn(slot);
        Slot& s = slots_[slot];
        s.conn = conn;
        s.sent_ns = sent_ns;
        link_run(slot);
        link_conn(slot);
        uint32_t cell = hash(conn, s.id);
        while (index_[cell] != none) {
            cell = (cell + 1) & mask_;
        }
        index_[cell] = slot;
    }

    uint32_t oldest() const { return oldest_; }
    uint32_t first_on(uint32_t conn) const { return conn < heads_.size() ? heads_[conn] : none; }
    uint32_t next_on(uint32_t slot) const { return slots_[slot].next_on; }
    uint32_t last_on(uint32_t conn) const { return conn < tails_.size() ? tails_[conn] : none; }
    uint32_t prev_on(uint32_t slot) const { return slots_[slot].prev_on; }

private:
    uint32_t hash(uint32_t conn, uint16_t id) const
    {
        uint64_t key = (uint64_t(conn) << 16) | id;
        key *= 0x9e3779b97f4a7c15ull;
        return static_cast<uint32_t>(key >> 32) & mask_;
    }

    // Linear probing without tombstones: the cells after the hole that
    // belong at or before it move back into it.
    void unindex(uint32_t slot)
    {
        const Slot& s = slots_[slot];
        uint32_t cell = hash(s.conn, s.id);
        while (index_[cell] != slot) {
            cell = (cell + 1) & mask_;
        }
        uint32_t hole = cell;
        for (uint32_t next = (hole + 1) & mask_; index_[next] != none; next = (next + 1) & mask_) {
            const Slot& other = slots_[index_[next]];
            const uint32_t home = hash(other.conn, other.id);
            // Moves back when its home is not in the cyclic range (hole, next].
            const bool stays = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
            if (!stays) {
                index_[hole] = index_[next];
                hole = next;
            }
        }
        index_[hole] = none;
    }

    void link_run(uint32_t slot)
    {
        Slot& s = slots_[slot];
        s.older = newest_;
        s.newer = none;
        if (newest_ != none) {
            slots_[newest_].newer = slot;
        } else {
            oldest_ = slot;
        }
        newest_ = slot;
    }

    void unlink_run(uint32_t slot)
    {
        Slot& s = slots_[slot];
        (s.older != none ? slots_[s.older].newer : oldest_) = s.newer;
        (s.newer != none ? slots_[s.newer].older : newest_) = s.older;
        s.older = s.newer = none;
    }

    void link_conn(uint32_t slot)
    {
        Slot& s = slots_[slot];
        if (s.conn >= heads_.size()) {
            heads_.resize(s.conn + 1, none);
            tails_.resize(s.conn + 1, none);
        }
        s.prev_on = tails_[s.conn];
        s.next_on = none;
        if (tails_[s.conn] != none) {
            slots_[tails_[s.conn]].next_on = slot;
        } else {
            heads_[s.conn] = slot;
        }
        tails_[s.conn] = slot;
    }

    void unlink_conn(uint32_t slot)
    {
        Slot& s = slots_[slot];
        (s.prev_on != none ? slots_[s.prev_on].next_on : heads_[s.conn]) = s.next_on;
        (s.next_on != none ? slots_[s.next_on].prev_on : tails_[s.conn]) = s.prev_on;
        s.prev_on = s.next_on = none;
    }

    std::unique_ptr<Slot[]> slots_;
    std::unique_ptr<uint32_t[]> index_;
    std::vector<uint32_t> heads_, tails_;
    uint32_t capacity_ = 0, free_ = none, size_ = 0, mask_ = 0;
    uint32_t oldest_ = none, newest_ = none;
};

}  // namespace tvx
