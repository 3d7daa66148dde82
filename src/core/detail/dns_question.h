#pragma once
// The part of a DNS message that pairs an answer with its query: the header's
// id, flags and counts, and the first question with its name folded to lower
// case (names compare case-insensitively) in wire form.
//
//   tvx::dns::Question q;
//   if (!tvx::dns::read_question(bytes, len, q)) { ...not a DNS message with a question... }
//   if (q.qr == 0 && q.same_question(other)) { ... }
// Compression pointers are followed (bounded), so an answer that points its
// question name at another copy still reads the same name.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/detail/cursor.h"

namespace tvx::dns {

constexpr size_t header_size = 12;
constexpr size_t max_name = 255;

struct Question {
    uint16_t id = 0;
    uint8_t qr = 0;
    uint8_t opcode = 0;
    uint8_t tc = 0;
    uint8_t rcode = 0;
    uint16_t qdcount = 0;
    uint16_t qtype = 0;
    uint16_t qclass = 0;
    uint8_t name_len = 0;  // wire form, the root's zero octet included
    uint8_t name[max_name];

    bool same_question(const Question& other) const
    {
        return qtype == other.qtype && qclass == other.qclass && name_len == other.name_len &&
               memcmp(name, other.name, name_len) == 0;
    }
};

inline uint8_t fold(uint8_t c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + ('a' - 'A')) : c;
}

// The header alone: false when the message is shorter than one.
inline bool read_header(const uint8_t* bytes, size_t len, Question& out)
{
    Cursor at(bytes, len);
    uint8_t flags_hi, flags_lo;
    if (!at.take_u16be(out.id) || !at.take_u8(flags_hi) || !at.take_u8(flags_lo) || !at.take_u16be(out.qdcount)) {
        return false;
    }
    out.qr = flags_hi >> 7;
    out.opcode = (flags_hi >> 3) & 0xf;
    out.tc = (flags_hi >> 1) & 1;
    out.rcode = flags_lo & 0xf;
    return true;
}

// Header and first question. False when the header is cut, there is no
// question, or the name is malformed (a label past the end, a pointer loop,
// a name over 255 octets). `FoldCase` false keeps the name's letters as sent,
// for showing it rather than comparing it.
template <bool FoldCase = true>
inline bool read_question(const uint8_t* bytes, size_t len, Question& out)
{
    if (!read_header(bytes, len, out) || out.qdcount == 0 || len < header_size) {
        return false;
    }
    size_t offset = header_size;
    size_t resume = 0;  // where the question goes on after the first pointer
    size_t written = 0;
    int jumps = 0;
    while (true) {
        if (offset >= len) {
            return false;
        }
        const uint8_t label = bytes[offset];
        if ((label & 0xc0) == 0xc0) {
            if (offset + 1 >= len || ++jumps > 16) {
                return false;
            }
            if (!resume) {
                resume = offset + 2;
            }
            offset = static_cast<size_t>(((label & 0x3f) << 8) | bytes[offset + 1]);
            continue;
        }
        if (label & 0xc0) {
            return false;  // the reserved label kinds
        }
        if (offset + 1 + label > len || written + 1 + label > max_name) {
            return false;
        }
        out.name[written++] = label;
        for (size_t i = 0; i < label; i++) {
            const uint8_t c = bytes[offset + 1 + i];
            out.name[written++] = FoldCase ? fold(c) : c;
        }
        offset += 1 + label;
        if (label == 0) {
            break;
        }
    }
    out.name_len = static_cast<uint8_t>(written);
    Cursor rest(bytes, len);
    if (!rest.skip(resume ? resume : offset) || !rest.take_u16be(out.qtype) || !rest.take_u16be(out.qclass)) {
        return false;
    }
    return true;
}

// After read_header: the first question, or none (an empty name, type and
// class 0) when the message has none readable, so that such a message still
// pairs by socket or client and id.
inline void read_question_or_none(const uint8_t* bytes, size_t len, Question& out)
{
    if (!out.qdcount || !read_question(bytes, len, out)) {
        out.name_len = 0;
        out.qtype = out.qclass = 0;
    }
}

}  // namespace tvx::dns
