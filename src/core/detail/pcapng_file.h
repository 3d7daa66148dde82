#pragma once
// The pcapng file format as every pcapng reader reads it: blocks framed by a
// type, a total length and the same length repeated at the end; sections
// (section header blocks, each with its own byte order) holding interfaces
// (interface description blocks: link type, snap length, time-stamp
// resolution and offset) and packets (enhanced, simple and obsolete packet
// blocks) that name their interface. Every other block is skipped.
//
// How a reader uses it: it supplies the byte source of the PCAP format code
// (core/detail/pcap_file.h: `size_t take(size_t count, uint8_t* dst, const
// uint8_t** view)`); a source that never copies says so with
//     static constexpr bool in_place = true;
// and is handed no buffer. For the others the block buffer (`buf`,
// `buf_size`) grows to the largest block seen, so a run of packets costs no
// allocation once the first large block has been read.
//
// The reader record must have: _log, recv, ctx, is_swapped, is_nanosec,
// is_broken, prod_pkt, pkts, version_major, version_minor,
// snaplen, linktype, sections, interfaces, interface_count, interface_room,
// and, unless its source takes in place, buf and buf_size.
// Then, in the reader's .cpp:
//     open:  if (tvx::pcapng::open(*self, source, TVX_HERE) != 0) return -2;
//     run:   return tvx::pcapng::push_all(*self, source, TVX_HERE);
//     pull:  return tvx::pcapng::pull_one(*self, source, TVX_HERE);
//     destroy: tvx::pcapng::release(*self);
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/detail/cursor.h"
#include "core/detail/log.h"
#include "core/detail/pcap_file.h"
#include "core/object.h"
#include "core/object/pcap.h"

namespace tvx::pcapng {

constexpr uint32_t block_section = 0x0A0D0D0A;
constexpr uint32_t block_interface = 1;
constexpr uint32_t block_obsolete_packet = 2;
constexpr uint32_t block_simple_packet = 3;
constexpr uint32_t block_enhanced_packet = 6;
constexpr uint32_t byte_order_magic = 0x1A2B3C4D;

// Type and total length; a section header also has its byte-order magic.
constexpr size_t block_header_size = 8;
constexpr size_t smallest_block = 12;
constexpr size_t smallest_section = 28;
// Bounds what one block may make a reader allocate (libpcap's limit too).
constexpr uint32_t block_limit = 16 * 1024 * 1024;
// Bounds the interface table a hostile file can make a reader allocate.
constexpr uint32_t interface_limit = 65536;
// The snap length a record carries when its interface sets none (0).
constexpr uint32_t unlimited_snaplen = pcap::snaplen_limit;

// Division of any 64-bit value by a fixed divisor that is not a power of two,
// by one multiplication: the divisor's reciprocal rounded up to 65 bits,
// whose top bit is implicit (`magic` holds the low 64, `shift` is
// floor(log2(divisor))). Exact for every dividend, so a packet's stamp costs
// no divide instruction whatever its interface's resolution.
struct Divisor {
    uint64_t magic = 0;
    uint32_t shift = 0;

    uint64_t divide(uint64_t value) const
    {
        const uint64_t high = uint64_t((unsigned __int128)value * magic >> 64);
        // (value + high) >> (shift + 1), without the 65-bit sum.
        return (((value - high) >> 1) + high) >> shift;
    }
};

// `divisor` must not be 0 or a power of two.
Divisor divisor_of(uint64_t divisor);

struct Interface {
    uint32_t linktype;  // as the records carry it (translated LINKTYPE)
    uint32_t snaplen;   // never 0: unlimited_snaplen stands for "no limit"
    uint64_t units;     // time-stamp units per second
    uint64_t nsec_per_unit;  // when a unit is a whole number of nanoseconds, else 0
    int64_t offset;     // seconds added to every stamp (if_tsoffset)
    // Worked out once per interface for to_timespec: units of 2^-units_shift
    // seconds (units_are_power_of_two) split by shift and mask; other units
    // divide by `per_second`, and a fraction finer than a nanosecond by
    // `per_nsec` (units / 10^9).
    uint32_t units_shift;
    bool units_are_power_of_two;
    Divisor per_second;
    Divisor per_nsec;
};

enum class Frame {
    ok,
    end,
    short_header,
    short_data,
    bad_length,
    too_large,
    trailer_mismatch,
    bad_byte_order,
    bad_version,
    malformed,
    bad_resolution,
    too_many_interfaces,
    no_interface,
    bad_interface,
    too_long,
    past_block,
    not_pcapng,
    short_section,
};

// A failed read and the numbers its message shows.
struct Failure {
    Frame frame = Frame::ok;
    uint32_t first = 0;
    uint32_t second = 0;
};

// The text of a failure, formatted into `text`.
const char* describe(const Failure& failure, char* text, size_t size);
void report(const core_log_t* log, Here site, bool critical, const Failure& failure);

// The stamp of a packet in `interface`'s units as seconds and nanoseconds.
inline core_timespec_t to_timespec(const Interface& interface, uint64_t stamp)
{
    uint64_t sec, nsec;
    if (interface.units_are_power_of_two) {
        sec = stamp >> interface.units_shift;
        const uint64_t fraction = stamp & (interface.units - 1);
        nsec = uint64_t((unsigned __int128)fraction * 1000000000u >> interface.units_shift);
    } else {
        sec = interface.per_second.divide(stamp);
        const uint64_t fraction = stamp - sec * interface.units;
        nsec = interface.nsec_per_unit ? fraction * interface.nsec_per_unit : interface.per_nsec.divide(fraction);
    }
    // Unsigned arithmetic: a hostile offset wraps instead of overflowing.
    return core_timespec_t{int64_t(sec + uint64_t(interface.offset)), int64_t(nsec)};
}

// Parses the body of an interface description block (after type and length,
// before the trailing length) into `out`.
Failure parse_interface(Cursor body, bool swapped, Interface& out);

// The byte order of a section from its byte-order magic as read in host
// order: 0 native, 1 swapped, -1 not a section header.
int section_order(uint32_t magic);

inline uint32_t order32(uint32_t value, bool swapped)
{
    return swapped ? __builtin_bswap32(value) : value;
}

inline uint16_t order16(uint16_t value, bool swapped)
{
    return swapped ? __builtin_bswap16(value) : value;
}

template <class Source>
constexpr bool takes_in_place()
{
    if constexpr (requires { Source::in_place; }) {
        return Source::in_place;
    } else {
        return false;
    }
}

void* grow(void* old, size_t size);

// Room for `count` bytes in the block buffer of a copying source.
template <class Reader>
inline void reserve(Reader& self, size_t count)
{
    if (self.buf_size >= count) {
        return;
    }
    size_t size = self.buf_size < 65536 ? 65536 : self.buf_size * 2;
    while (size < count) {
        size *= 2;
    }
    self.buf = static_cast<uint8_t*>(grow(self.buf, size));
    if (!self.buf) {
        TVX_FATAL(&self, "out of memory");
    }
    self.buf_size = size;
}

struct Block {
    uint32_t type;
    Cursor body;  // between the length and the trailing length
};

// The rest of a block once its type and length are known: the length's
// bounds, the body, and the trailing length. `raw_length` is the length as
// the file holds it; `fixed` is what was already taken of the block.
template <class Reader, class Source>
[[gnu::always_inline]] inline Failure read_body(Reader& self, Source& source, Block& block, uint32_t type, uint32_t raw_length,
                         bool swapped, size_t fixed, uint32_t smallest)
{
    const uint32_t length = order32(raw_length, swapped);
    // One unsigned comparison bounds the length on both sides; which bound
    // failed is only worked out for the failure.
    if ((length % 4 != 0) | (length - smallest > block_limit - smallest)) [[unlikely]] {
        if (length % 4 != 0 || length < smallest) {
            return {Frame::bad_length, length};
        }
        return {Frame::too_large, length};
    }
    const size_t rest = length - fixed;
    const uint8_t* body = nullptr;
    if constexpr (takes_in_place<Source>()) {
        if (source.take(rest, nullptr, &body) != rest) [[unlikely]] {
            return {Frame::short_data};
        }
    } else {
        reserve(self, rest);
        body = self.buf;
        if (source.take(rest, self.buf, &body) != rest) [[unlikely]] {
            return {Frame::short_data};
        }
    }
    // rest >= 4: the smallest block holds its trailing length.
    Cursor trailer(body + rest - 4, 4);
    uint32_t raw_trailing;
    trailer.take_u32host(raw_trailing);
    // Both in the file's byte order: equal exactly when their values are.
    if (raw_trailing != raw_length) [[unlikely]] {
        return {Frame::trailer_mismatch, length, order32(raw_trailing, swapped)};
    }
    block.type = type;
    block.body = Cursor(body, rest - 4);
    return {};
}

// A section header block after its type: its byte-order magic tells how to
// read its length and everything after it, and becomes the reader's once the
// block is whole.
template <class Reader, class Source>
[[gnu::noinline]] Failure read_section(Reader& self, Source& source, Block& block, uint32_t raw_length)
{
    uint8_t raw[4];
    const uint8_t* view = raw;
    if (source.take(4, raw, &view) != 4) {
        return {Frame::short_header};
    }
    uint32_t magic;
    Cursor(view, 4).take_u32host(magic);
    const int order = section_order(magic);
    if (order < 0) {
        return {Frame::bad_byte_order};
    }
    const bool swapped = order == 1;
    const Failure failure =
        read_body(self, source, block, block_section, raw_length, swapped, block_header_size + 4, smallest_section);
    if (failure.frame == Frame::ok) {
        self.is_swapped = swapped;
    }
    return failure;
}

// Reads the next block whole. A section header block is recognised before
// its length is read, since only its byte-order magic tells how to read it;
// it then sets the reader's byte order.
// `first`: the file's first block, which must be a section header.
template <class Reader, class Source>
[[gnu::always_inline]] inline Failure read_block(Reader& self, Source& source, Block& block, bool first = false)
{
    uint8_t raw[block_header_size];
    const uint8_t* view = raw;
    const size_t got = source.take(block_header_size, raw, &view);
    if (got != block_header_size) [[unlikely]] {
        return {got == 0 ? Frame::end : Frame::short_header};
    }
    uint32_t type, raw_length;
    Cursor header(view, block_header_size);
    header.take_u32host(type);
    header.take_u32host(raw_length);
    // Only the section header's type reads the same in both byte orders, so
    // it tells a pcapng file before anything else is known.
    if (type == block_section) [[unlikely]] {
        return read_section(self, source, block, raw_length);
    }
    if (first) {
        return {Frame::not_pcapng};
    }
    const bool swapped = self.is_swapped;
    return read_body(self, source, block, order32(type, swapped), raw_length, swapped, block_header_size,
                     smallest_block);
}

// A section header: its version (1.x; minor versions add nothing a reader
// must know) and an empty interface table.
template <class Reader>
Failure begin_section(Reader& self, Cursor body)
{
    uint16_t major, minor;
    if (!body.take_u16host(major) || !body.take_u16host(minor)) {
        return {Frame::malformed, block_section};
    }
    major = order16(major, self.is_swapped);
    minor = order16(minor, self.is_swapped);
    if (major != 1) {
        return {Frame::bad_version, major, minor};
    }
    self.version_major = major;
    self.version_minor = minor;
    self.sections++;
    self.interface_count = 0;
    return {};
}

template <class Reader>
Failure add_interface(Reader& self, Cursor body)
{
    if (self.interface_count >= interface_limit) {
        return {Frame::too_many_interfaces, interface_limit};
    }
    Interface interface{};
    const Failure failure = parse_interface(body, self.is_swapped, interface);
    if (failure.frame != Frame::ok) {
        return failure;
    }
    if (self.interface_count == self.interface_room) {
        const uint32_t room = self.interface_room ? self.interface_room * 2 : 4;
        void* table = grow(self.interfaces, room * sizeof(Interface));
        if (!table) {
            TVX_FATAL(&self, "out of memory");
        }
        self.interfaces = table;
        self.interface_room = room;
    }
    static_cast<Interface*>(self.interfaces)[self.interface_count++] = interface;
    if (self.sections == 1 && self.interface_count == 1) {
        // What a reader says of the whole file: its first interface.
        self.linktype = interface.linktype;
        self.snaplen = interface.snaplen;
        self.is_nanosec = interface.units > 1000000;
    }
    return {};
}

template <class Reader>
Failure find_interface(const Reader& self, uint32_t id, const Interface*& out)
{
    if (id >= self.interface_count) [[unlikely]] {
        if (self.interface_count == 0) {
            return {Frame::no_interface};
        }
        return {Frame::bad_interface, id, self.interface_count};
    }
    out = static_cast<const Interface*>(self.interfaces) + id;
    return {};
}

// The part of a packet block that fills the record once its interface and
// captured length are known and checked.
template <class Reader>
inline void fill_record(Reader& self, const Interface& interface, core_object_pcap_t& record, const uint8_t* bytes,
                        uint32_t caplen, uint32_t len)
{
    self.pkts++;
    record.linktype = interface.linktype;
    record.snaplen = interface.snaplen;
    record.is_swapped = self.is_swapped;
    record.caplen = caplen;
    record.len = len;
    record.bytes = bytes;
}

// Fills `record` from an enhanced packet block, the packets of nearly every
// pcapng file: the fixed fields (interface, stamp high and low, captured and
// original length) are read in one bounded take.
template <class Reader>
[[gnu::always_inline]] inline Failure take_enhanced(Reader& self, Cursor body, core_object_pcap_t& record)
{
    const uint8_t* at;
    if (!body.take_view(at, 20)) [[unlikely]] {
        return {Frame::malformed, block_enhanced_packet};
    }
    Cursor fields(at, 20);
    uint32_t id, high, low, caplen, len;
    fields.take_u32host(id);
    fields.take_u32host(high);
    fields.take_u32host(low);
    fields.take_u32host(caplen);
    fields.take_u32host(len);
    if (self.is_swapped) {
        id = __builtin_bswap32(id);
        high = __builtin_bswap32(high);
        low = __builtin_bswap32(low);
        caplen = __builtin_bswap32(caplen);
        len = __builtin_bswap32(len);
    }
    const Interface* interface = nullptr;
    const Failure failure = find_interface(self, id, interface);
    if (failure.frame != Frame::ok) [[unlikely]] {
        return failure;
    }
    if (caplen > interface->snaplen) [[unlikely]] {
        return {Frame::too_long, caplen, interface->snaplen};
    }
    if (caplen > body.left) [[unlikely]] {
        return {Frame::past_block, caplen};
    }
    record.ts = to_timespec(*interface, (uint64_t(high) << 32) | low);
    fill_record(self, *interface, record, body.at, caplen, len);
    return {};
}

// Fills `record` from a simple or an obsolete packet block.
template <class Reader>
Failure take_other_packet(Reader& self, const Block& block, core_object_pcap_t& record)
{
    Cursor body = block.body;
    const bool swapped = self.is_swapped;
    uint32_t id = 0, high = 0, low = 0, caplen, len;
    if (block.type == block_simple_packet) {
        if (!body.take_u32host(len)) {
            return {Frame::malformed, block.type};
        }
        len = order32(len, swapped);
    } else {
        uint16_t short_id = 0;
        if (!body.take_u16host(short_id) || !body.skip(2) || !body.take_u32host(high) || !body.take_u32host(low) ||
            !body.take_u32host(caplen) || !body.take_u32host(len)) {
            return {Frame::malformed, block.type};
        }
        id = order16(short_id, swapped);
        high = order32(high, swapped);
        low = order32(low, swapped);
        caplen = order32(caplen, swapped);
        len = order32(len, swapped);
    }
    const Interface* interface = nullptr;
    const Failure failure = find_interface(self, id, interface);
    if (failure.frame != Frame::ok) {
        return failure;
    }
    if (block.type == block_simple_packet) {
        // No captured length: what the block holds, up to the snap length;
        // the rest of the block is padding.
        caplen = len < interface->snaplen ? len : interface->snaplen;
        if (caplen > body.left) {
            caplen = uint32_t(body.left);
        }
        record.ts = core_timespec_t{0, 0};
    } else {
        if (caplen > interface->snaplen) {
            return {Frame::too_long, caplen, interface->snaplen};
        }
        if (caplen > body.left) {
            return {Frame::past_block, caplen};
        }
        record.ts = to_timespec(*interface, (uint64_t(high) << 32) | low);
    }
    fill_record(self, *interface, record, body.at, caplen, len);
    return {};
}

// A source that shows what it holds ahead without taking it (the mapping):
// `const uint8_t* ahead(size_t& left)` and `void advance(size_t count)`.
template <class Source>
constexpr bool shows_ahead()
{
    return requires(Source& source, size_t left) {
        source.ahead(left);
        source.advance(left);
    };
}

// The common case read straight from a source that shows ahead: an enhanced
// packet block in the host's byte order, whole, with its trailer, interface
// and lengths right, is taken with one look and one advance. Anything else
// (false) is left where it is for the block-by-block path, which reads it
// again and tells what is wrong with it.
template <class Reader, class Source>
[[gnu::always_inline]] inline bool take_enhanced_ahead(Reader& self, Source& source, core_object_pcap_t& record)
{
    constexpr size_t fixed = block_header_size + 20;
    size_t left;
    const uint8_t* at = source.ahead(left);
    if (left < fixed || self.is_swapped) [[unlikely]] {
        return false;
    }
    auto word = [at](size_t index) {
        uint32_t value;
        memcpy(&value, at + 4 * index, sizeof(value));
        return value;
    };
    const uint32_t length = word(1);
    if (word(0) != block_enhanced_packet || length % 4 != 0 || length < fixed + 4 || length > block_limit ||
        length > left) [[unlikely]] {
        return false;
    }
    uint32_t trailing;
    memcpy(&trailing, at + length - 4, sizeof(trailing));
    const uint32_t id = word(2);
    if (trailing != length || id >= self.interface_count) [[unlikely]] {
        return false;
    }
    const Interface& interface = static_cast<const Interface*>(self.interfaces)[id];
    const uint32_t caplen = word(5);
    if (caplen > interface.snaplen || caplen > length - fixed - 4) [[unlikely]] {
        return false;
    }
    record.ts = to_timespec(interface, (uint64_t(word(3)) << 32) | word(4));
    fill_record(self, interface, record, at + fixed, caplen, word(6));
    source.advance(length);
    return true;
}

// Reads blocks up to the next packet and fills `record` from it.
template <class Reader, class Source>
[[gnu::always_inline]] inline Failure next_frame(Reader& self, Source& source, core_object_pcap_t& record)
{
    if constexpr (shows_ahead<Source>()) {
        if (take_enhanced_ahead(self, source, record)) [[likely]] {
            return {};
        }
    }
    for (;;) {
        Block block;
        Failure failure = read_block(self, source, block);
        if (failure.frame != Frame::ok) [[unlikely]] {
            return failure;
        }
        if (block.type == block_enhanced_packet) [[likely]] {
            return take_enhanced(self, block.body, record);
        }
        switch (block.type) {
        case block_section:
            failure = begin_section(self, block.body);
            break;
        case block_interface:
            failure = add_interface(self, block.body);
            break;
        case block_simple_packet:
        case block_obsolete_packet:
            return take_other_packet(self, block, record);
        default:
            // Statistics, name resolution, custom blocks and the like.
            break;
        }
        if (failure.frame != Frame::ok) {
            return failure;
        }
    }
}

// Reads the first section header and the blocks after it up to the first
// interface description, so that the reader knows the link type before the
// first packet. 0, or -2 after a critical line. A packet block ahead of any
// interface is refused here: it cannot be read.
template <class Reader, class Source>
int open(Reader& self, Source& source, Here site)
{
    Block block;
    Failure failure = read_block(self, source, block, true);
    if (failure.frame == Frame::end || failure.frame == Frame::short_header || failure.frame == Frame::short_data) {
        failure = {Frame::short_section};
    }
    if (failure.frame == Frame::ok) {
        failure = begin_section(self, block.body);
    }
    while (failure.frame == Frame::ok && self.interface_count == 0) {
        failure = read_block(self, source, block);
        if (failure.frame != Frame::ok) {
            break;
        }
        switch (block.type) {
        case block_section:
            failure = begin_section(self, block.body);
            break;
        case block_interface:
            failure = add_interface(self, block.body);
            break;
        case block_enhanced_packet:
        case block_simple_packet:
        case block_obsolete_packet:
            failure = {Frame::no_interface};
            break;
        default:
            break;
        }
    }
    // A file of section headers only holds no packets: it ends cleanly.
    if (failure.frame == Frame::end) {
        failure = {};
    }
    if (failure.frame != Frame::ok) {
        report(TVX_LOG_HANDLE(&self), site, true, failure);
        // A reader with no section is refused by run and the producer.
        self.sections = 0;
        return -2;
    }
    core_log_debug(TVX_LOG_HANDLE(&self), site.file, site.line, "pcapng v%u.%u linktype:%u snaplen:%u%s",
                   self.version_major, self.version_minor, self.linktype, self.snaplen,
                   self.is_swapped ? " swapped" : "");
    return 0;
}

// run: every remaining packet to the receiver; 0 at a clean end, -1 (after
// a warning) on a read error. Packets delivered before the error stay counted.
template <class Reader, class Source>
int push_all(Reader& self, Source& source, Here site)
{
    core_object_pcap_t record{};
    record.obj_type = CORE_OBJECT_PCAP;
    for (;;) {
        const Failure failure = next_frame(self, source, record);
        if (failure.frame == Frame::ok) {
            self.recv(self.ctx, reinterpret_cast<const core_object_t*>(&record));
            continue;
        }
        if (failure.frame == Frame::end) {
            return 0;
        }
        report(TVX_LOG_HANDLE(&self), site, false, failure);
        return -1;
    }
}

// The producer step: the next packet in prod_pkt, or null at the end; a read
// error is logged, breaks the reader and gives null, as does every pull after.
template <class Reader, class Source>
const core_object_t* pull_one(Reader& self, Source& source, Here site)
{
    if (self.is_broken) {
        core_log_warning(TVX_LOG_HANDLE(&self), site.file, site.line,
                         "pcapng is broken, will not read next packet");
        return nullptr;
    }
    const Failure failure = next_frame(self, source, self.prod_pkt);
    if (failure.frame == Frame::ok) {
        return reinterpret_cast<const core_object_t*>(&self.prod_pkt);
    }
    if (failure.frame != Frame::end) {
        report(TVX_LOG_HANDLE(&self), site, false, failure);
        self.is_broken = 1;
    }
    return nullptr;
}

// Frees what the format code allocated in the reader (block buffer and
// interface table).
template <class Reader>
void release(Reader& self)
{
    free(self.interfaces);
    self.interfaces = nullptr;
    self.interface_count = 0;
    self.interface_room = 0;
    if constexpr (requires { self.buf_size; }) {
        free(self.buf);
        self.buf = nullptr;
        self.buf_size = 0;
    }
}

}  // namespace tvx::pcapng
