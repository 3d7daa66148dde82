#include "core/detail/pcapng_file.h"

#include <cstdio>

namespace tvx::pcapng {

namespace {

constexpr uint16_t option_end = 0;
constexpr uint16_t option_tsresol = 9;
constexpr uint16_t option_tsoffset = 14;

// Units per second of an if_tsresol value: bit 7 clear, a negative power of
// ten; set, a negative power of two. 0 when a second cannot be counted in 64
// bits at that resolution.
uint64_t units_of(uint8_t resolution)
{
    const unsigned exponent = resolution & 0x7f;
    if (resolution & 0x80) {
        return exponent < 64 ? uint64_t(1) << exponent : 0;
    }
    if (exponent > 19) {
        return 0;
    }
    uint64_t units = 1;
    for (unsigned i = 0; i < exponent; i++) {
        units *= 10;
    }
    return units;
}

}  // namespace

int section_order(uint32_t magic)
{
    if (magic == byte_order_magic) {
        return 0;
    }
    if (magic == __builtin_bswap32(byte_order_magic)) {
        return 1;
    }
    return -1;
}

Failure parse_interface(Cursor body, bool swapped, Interface& out)
{
    uint16_t linktype, reserved;
    uint32_t snaplen;
    if (!body.take_u16host(linktype) || !body.take_u16host(reserved) || !body.take_u32host(snaplen)) {
        return {Frame::malformed, block_interface};
    }
    out.linktype = pcap::linktype_of(order16(linktype, swapped));
    snaplen = order32(snaplen, swapped);
    out.snaplen = snaplen ? snaplen : unlimited_snaplen;
    out.units = 1000000;
    out.offset = 0;
    // Options: code, length, value padded to 4 bytes; the end-of-options
    // option or the end of the block ends them.
    while (body.left > 0) {
        uint16_t code, length;
        const uint8_t* value;
        if (!body.take_u16host(code) || !body.take_u16host(length)) {
            return {Frame::malformed, block_interface};
        }
        code = order16(code, swapped);
        length = order16(length, swapped);
        if (code == option_end) {
            break;
        }
        if (!body.take_view(value, length)) {
            return {Frame::malformed, block_interface};
        }
        // The last option's padding may be missing; nothing follows it anyway.
        const size_t padding = (4 - length % 4) % 4;
        body.skip(padding < body.left ? padding : body.left);
        if (code == option_tsresol && length >= 1) {
            out.units = units_of(value[0]);
            if (out.units == 0) {
                return {Frame::bad_resolution, value[0]};
            }
        } else if (code == option_tsoffset && length >= 8) {
            uint64_t offset;
            Cursor(value, 8).take_bytes(&offset, 8);
            out.offset = int64_t(swapped ? __builtin_bswap64(offset) : offset);
        }
    }
    out.nsec_per_unit = out.units <= 1000000000 && 1000000000 % out.units == 0 ? 1000000000 / out.units : 0;
    out.units_are_power_of_two = (out.units & (out.units - 1)) == 0;
    if (out.units_are_power_of_two) {
        out.units_shift = unsigned(__builtin_ctzll(out.units));
    } else {
        out.per_second = divisor_of(out.units);
        if (out.nsec_per_unit == 0) {
            // Not a power of two and no whole nanoseconds: 10^10 to 10^19.
            out.per_nsec = divisor_of(out.units / 1000000000);
        }
    }
    return {};
}

Divisor divisor_of(uint64_t divisor)
{
    // The reciprocal ceil(2^(65+shift) / divisor) lies in [2^64, 2^65): its
    // low 64 bits are twice floor(2^(64+shift) / divisor), plus one when the
    // doubled remainder reaches the divisor, plus one to round up (the
    // division is never exact, the divisor not being a power of two).
    const uint32_t shift = 63 - unsigned(__builtin_clzll(divisor));
    const unsigned __int128 power = (unsigned __int128)1 << (64 + shift);
    const uint64_t quotient = uint64_t(power / divisor);
    const uint64_t remainder = uint64_t(power % divisor);
    uint64_t magic = quotient + quotient;
    const uint64_t twice_remainder = remainder + remainder;
    if (twice_remainder >= divisor || twice_remainder < remainder) {
        magic += 1;
    }
    return Divisor{magic + 1, shift};
}

void* grow(void* old, size_t size)
{
    return realloc(old, size);
}

const char* describe(const Failure& failure, char* text, size_t size)
{
    switch (failure.frame) {
    case Frame::ok:
    case Frame::end:
        return "";
    case Frame::short_header:
        return "could not read next pcapng block header, aborting";
    case Frame::short_data:
        return "could not read all of pcapng block, aborting";
    case Frame::bad_length:
        snprintf(text, size, "invalid pcapng block length (%u)", failure.first);
        return text;
    case Frame::too_large:
        snprintf(text, size, "too large pcapng block (%u)", failure.first);
        return text;
    case Frame::trailer_mismatch:
        snprintf(text, size, "pcapng block length %u does not match its trailing length %u", failure.first,
                 failure.second);
        return text;
    case Frame::bad_byte_order:
        return "invalid pcapng byte-order magic";
    case Frame::bad_version:
        snprintf(text, size, "unsupported pcapng version v%u.%u", failure.first, failure.second);
        return text;
    case Frame::malformed:
        snprintf(text, size, "malformed pcapng block (type %u)", failure.first);
        return text;
    case Frame::bad_resolution:
        snprintf(text, size, "unsupported pcapng time-stamp resolution (%u)", failure.first);
        return text;
    case Frame::too_many_interfaces:
        snprintf(text, size, "too many pcapng interfaces (more than %u)", failure.first);
        return text;
    case Frame::no_interface:
        return "packet block before any interface description";
    case Frame::bad_interface:
        snprintf(text, size, "packet for interface %u, section has %u", failure.first, failure.second);
        return text;
    case Frame::too_long:
        snprintf(text, size, "invalid packet length, larger then snaplen (%u > %u)", failure.first,
                 failure.second);
        return text;
    case Frame::past_block:
        snprintf(text, size, "packet length %u runs past its block", failure.first);
        return text;
    case Frame::not_pcapng:
        return "invalid pcapng header";
    case Frame::short_section:
        return "could not read full pcapng header";
    }
    return "";
}

void report(const core_log_t* log, Here site, bool critical, const Failure& failure)
{
    char text[128];
    const char* message = describe(failure, text, sizeof(text));
    if (critical) {
        core_log_critical(log, site.file, site.line, "%s", message);
    } else {
        core_log_warning(log, site.file, site.line, "%s", message);
    }
}

}  // namespace tvx::pcapng
