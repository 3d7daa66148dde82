#pragma once
// Reassembly buffers: a pool of equal buffers allocated when the limits are
// set, and the bounded list of byte ranges already filled in one of them.
// TCP streams and IP fragments both write pieces at offsets into a buffer and
// need to know what is whole, what overlaps and where the holes are.
//
// How a component uses it:
//   tvx::BufferPool pool;
//   pool.reset(count, size);                 // allocates; every buffer free
//   uint32_t buffer = pool.acquire();        // BufferPool::none when all are taken
//   uint8_t* bytes = pool.at(buffer);
//   tvx::RangeSet<16> have;
//   auto added = have.add(offset, offset + len, [&](uint32_t from, uint32_t to) {
//       memcpy(bytes + from, data + (from - offset), to - from);   // only the new bytes
//   });
//   if (!added.fits) { ...too many holes: nothing was written... }
//   added.overlap                            // bytes of the piece already present
//   have.covers_from_zero(end)               // [0, end) whole
//   pool.release(buffer);
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tvx {

template <size_t MaxRanges>
struct RangeSet {
    struct Range {
        uint32_t start;
        uint32_t end;  // one past the last byte
    };
    struct Added {
        bool fits;
        uint32_t overlap;
    };

    uint32_t count = 0;
    Range ranges[MaxRanges] = {};  // disjoint, not touching, in ascending order

    void clear() { count = 0; }
    bool empty() const { return count == 0; }
    uint32_t extent() const { return count ? ranges[count - 1].end : 0; }

    bool covers_from_zero(uint32_t end) const
    {
        return count == 1 && ranges[0].start == 0 && ranges[0].end >= end;
    }

    // Bytes of [start, end) already present.
    uint32_t covered(uint32_t start, uint32_t end) const
    {
        uint32_t total = 0;
        for (uint32_t i = 0; i < count; i++) {
            const uint32_t from = ranges[i].start > start ? ranges[i].start : start;
            const uint32_t to = ranges[i].end < end ? ranges[i].end : end;
            if (from < to) {
                total += to - from;
            }
        }
        return total;
    }

    // Adds [start, end), calling fill(from, to) for each part not yet present,
    // in ascending order. When the ranges would number more than MaxRanges,
    // nothing is added or filled and `fits` is false.
    template <class Fill>
    Added add(uint32_t start, uint32_t end, Fill&& fill)
    {
        if (start >= end) {
            return {true, 0};
        }
        // Ranges [first, last) touch or overlap the new one and merge with it.
        uint32_t first = 0;
        while (first < count && ranges[first].end < start) {
            first++;
        }
        uint32_t last = first;
        while (last < count && ranges[last].start <= end) {
            last++;
        }
        if (first == last && count == MaxRanges) {
            return {false, 0};
        }
        uint32_t overlap = 0;
        uint32_t at = start;
        for (uint32_t i = first; i < last; i++) {
            if (ranges[i].start > at) {
                fill(at, ranges[i].start < end ? ranges[i].start : end);
            }
            const uint32_t from = ranges[i].start > start ? ranges[i].start : start;
            const uint32_t to = ranges[i].end < end ? ranges[i].end : end;
            if (from < to) {
                overlap += to - from;
            }
            if (ranges[i].end > at) {
                at = ranges[i].end;
            }
        }
        if (at < end) {
            fill(at, end);
        }
        Range merged{start, end};
        if (first < last) {
            merged.start = ranges[first].start < start ? ranges[first].start : start;
            merged.end = ranges[last - 1].end > end ? ranges[last - 1].end : end;
        }
        // Replace ranges [first, last) by the merged one.
        const uint32_t removed = last - first;
        if (removed == 0) {
            for (uint32_t i = count; i > first; i--) {
                ranges[i] = ranges[i - 1];
            }
            count++;
        } else {
            for (uint32_t i = last; i < count; i++) {
                ranges[i - removed + 1] = ranges[i];
            }
            count -= removed - 1;
        }
        ranges[first] = merged;
        return {true, overlap};
    }

    void pop_front()
    {
        for (uint32_t i = 1; i < count; i++) {
            ranges[i - 1] = ranges[i];
        }
        count -= count ? 1 : 0;
    }

    // Drops the first `shift` offsets (everything below is gone) and moves the
    // rest down by as much.
    void drop_front(uint32_t shift)
    {
        uint32_t kept = 0;
        for (uint32_t i = 0; i < count; i++) {
            if (ranges[i].end <= shift) {
                continue;
            }
            const uint32_t start = ranges[i].start > shift ? ranges[i].start - shift : 0;
            ranges[kept++] = {start, ranges[i].end - shift};
        }
        count = kept;
    }
};

class BufferPool {
public:
    static constexpr uint32_t none = UINT32_MAX;

    void reset(uint32_t count, size_t size)
    {
        count_ = count;
        size_ = size;
        // Not value-initialised: the pages are only touched once a buffer is used.
        bytes_.reset(new uint8_t[size_ * count_ + 1]);
        free_list_.reset(new uint32_t[count_ + 1]);
        for (uint32_t i = 0; i < count_; i++) {
            free_list_[i] = count_ - 1 - i;
        }
        free_ = count_;
    }

    uint32_t acquire()
    {
        if (free_ == 0) {
            return none;
        }
        return free_list_[--free_];
    }

    void release(uint32_t buffer) { free_list_[free_++] = buffer; }

    uint8_t* at(uint32_t buffer) { return bytes_.get() + size_t(buffer) * size_; }
    size_t size() const { return size_; }
    uint32_t count() const { return count_; }
    uint32_t available() const { return free_; }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    std::unique_ptr<uint32_t[]> free_list_;
    uint32_t count_ = 0;
    uint32_t free_ = 0;
    size_t size_ = 0;
};

}  // namespace tvx
