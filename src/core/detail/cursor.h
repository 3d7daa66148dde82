#pragma once
// Bounded reader: a cursor over (at, left) whose every take checks the
// remaining length before it reads, so no byte past the end is ever touched.
//
// How a component uses it:
//   tvx::Cursor frame(pcap->bytes, pcap->caplen);
//   uint16_t type;
//   if (!frame.skip(12) || !frame.take_u16be(type)) { ...cut short... }
//   tvx::Cursor datagram = frame.prefix(declared_len);   // stay inside a length field
// A failed take leaves the cursor where it was and the output untouched.
// Big-endian takes are for wire headers; take_u*host/take_u*le are for file
// formats written in the writer's own byte order (PCAP).
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tvx {

struct Cursor {
    const uint8_t* at = nullptr;
    size_t left = 0;

    constexpr Cursor() = default;
    constexpr Cursor(const uint8_t* start, size_t length) : at(start), left(length) {}

    bool has(size_t count) const { return left >= count; }

    bool skip(size_t count)
    {
        if (left < count) {
            return false;
        }
        at += count;
        left -= count;
        return true;
    }

    bool take_u8(uint8_t& out)
    {
        if (left < 1) {
            return false;
        }
        out = at[0];
        at += 1;
        left -= 1;
        return true;
    }

    bool take_u16be(uint16_t& out)
    {
        if (left < 2) {
            return false;
        }
        out = static_cast<uint16_t>((at[0] << 8) | at[1]);
        at += 2;
        left -= 2;
        return true;
    }

    bool take_u32be(uint32_t& out)
    {
        if (left < 4) {
            return false;
        }
        out = (uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) | (uint32_t(at[2]) << 8) | uint32_t(at[3]);
        at += 4;
        left -= 4;
        return true;
    }

    // Native byte order of this host (the value as a plain memory read gives it).
    bool take_u16host(uint16_t& out) { return take_raw(&out, sizeof(out)); }
    bool take_u32host(uint32_t& out) { return take_raw(&out, sizeof(out)); }

    bool take_u16le(uint16_t& out)
    {
        if (left < 2) {
            return false;
        }
        out = static_cast<uint16_t>(at[0] | (at[1] << 8));
        at += 2;
        left -= 2;
        return true;
    }

    bool take_u32le(uint32_t& out)
    {
        if (left < 4) {
            return false;
        }
        out = uint32_t(at[0]) | (uint32_t(at[1]) << 8) | (uint32_t(at[2]) << 16) | (uint32_t(at[3]) << 24);
        at += 4;
        left -= 4;
        return true;
    }

    // Copies `count` bytes out.
    bool take_bytes(void* out, size_t count) { return take_raw(out, count); }

    // Hands out a view of the next `count` bytes without copying.
    bool take_view(const uint8_t*& out, size_t count)
    {
        if (left < count) {
            return false;
        }
        out = at;
        at += count;
        left -= count;
        return true;
    }

    // The first `count` bytes as their own cursor (all that is left when fewer
    // remain); this cursor is not moved. For staying inside a declared length.
    Cursor prefix(size_t count) const { return Cursor(at, count < left ? count : left); }

private:
    bool take_raw(void* out, size_t count)
    {
        if (left < count) {
            return false;
        }
        memcpy(out, at, count);
        at += count;
        left -= count;
        return true;
    }
};

}  // namespace tvx
