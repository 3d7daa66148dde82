#pragma once
// Builds frames in memory for the decoder tests: each function wraps a
// payload in one header, so a frame reads outside in:
//   ether(ipv4(udp(bytes("query"))))
// Lengths are filled in unless given explicitly; checksums are fixed values
// (the decoder does not check them).
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace frames {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes left, const Bytes& right)
{
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

inline Bytes bytes(std::initializer_list<uint8_t> list)
{
    return Bytes(list);
}

inline Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

inline Bytes zeros(size_t count, uint8_t value = 0)
{
    return Bytes(count, value);
}

inline Bytes be16(uint16_t v)
{
    return {uint8_t(v >> 8), uint8_t(v)};
}

inline Bytes be32(uint32_t v)
{
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

inline Bytes host32(uint32_t v)
{
    Bytes out(4);
    memcpy(out.data(), &v, 4);
    return out;
}

inline Bytes cut(Bytes frame, size_t length)
{
    frame.resize(length < frame.size() ? length : frame.size());
    return frame;
}

inline Bytes pad(Bytes frame, size_t length)
{
    if (frame.size() < length) {
        frame.resize(length, 0);
    }
    return frame;
}

inline const Bytes mac_dst = {0x02, 0, 0, 0, 0, 0x02};
inline const Bytes mac_src = {0x02, 0, 0, 0, 0, 0x01};

inline Bytes ether(const Bytes& payload, uint16_t type = 0x0800)
{
    return mac_dst + mac_src + be16(type) + payload;
}

// The four bytes after a TPID: tag control information, then the next type.
inline Bytes tag(uint16_t tci, uint16_t next_type, const Bytes& payload)
{
    return be16(tci) + be16(next_type) + payload;
}

inline Bytes sll(const Bytes& payload, uint16_t protocol = 0x0800)
{
    return be16(0) + be16(1) + be16(6) + bytes({2, 0, 0, 0, 0, 1, 0, 0}) + be16(protocol) + payload;
}

struct V4 {
    uint8_t proto = 17;
    uint8_t hl = 5;  // words; options are zero bytes
    uint16_t off = 0;
    std::optional<uint16_t> len = std::nullopt;  // total length; default header + payload
    uint8_t version = 4;
};

inline Bytes ipv4(const Bytes& payload, V4 o = {})
{
    const size_t header_len = o.hl * 4u;
    const uint16_t len = o.len ? *o.len : uint16_t(header_len + payload.size());
    Bytes head = bytes({uint8_t(o.version << 4 | o.hl), 0}) + be16(len) + be16(0x1234) + be16(o.off) +
                 bytes({64, o.proto}) + be16(0) + bytes({10, 0, 0, 1}) + bytes({10, 0, 0, 2});
    if (header_len > 20) {
        head = head + zeros(header_len - 20);
    }
    return head + payload;
}

struct V6 {
    uint8_t nxt = 17;
    std::optional<uint16_t> plen = std::nullopt;
};

inline const Bytes v6_src = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
inline const Bytes v6_dst = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

inline Bytes ipv6(const Bytes& payload, V6 o = {})
{
    const uint16_t plen = o.plen ? *o.plen : uint16_t(payload.size());
    return be32(0x60012345) + be16(plen) + bytes({o.nxt, 64}) + v6_src + v6_dst + payload;
}

// Hop-by-hop / destination options style: next header, length L, then 6 + 8L bytes.
inline Bytes ext(uint8_t next, uint8_t units, const Bytes& payload, uint8_t fill = 0)
{
    return bytes({next, units}) + zeros(6 + 8u * units, fill) + payload;
}

inline Bytes frag(uint8_t next, uint16_t offlg, uint32_t ident, const Bytes& payload, uint8_t reserved = 0)
{
    return bytes({next, reserved}) + be16(offlg) + be32(ident) + payload;
}

// Routing header: next, L, type, segments left, 4 reserved bytes, then the 8L bytes given.
inline Bytes routing(uint8_t next, uint8_t type, uint8_t segments, const Bytes& data, const Bytes& payload)
{
    return bytes({next, uint8_t(data.size() / 8), type, segments}) + zeros(4) + data + payload;
}

inline Bytes udp(const Bytes& payload, uint16_t sport = 1053, uint16_t dport = 53, std::optional<uint16_t> ulen = {})
{
    return be16(sport) + be16(dport) + be16(ulen ? *ulen : uint16_t(8 + payload.size())) + be16(0xbeef) + payload;
}

inline Bytes tcp(const Bytes& payload, const Bytes& options = {}, std::optional<uint8_t> off = {})
{
    const uint8_t words = off ? *off : uint8_t(5 + options.size() / 4);
    return be16(40000) + be16(53) + be32(1000) + be32(2000) + bytes({uint8_t(words << 4 | 0x3), 0x18}) +
           be16(65535) + be16(0xabcd) + be16(7) + options + payload;
}

inline Bytes icmp(uint8_t type = 8, uint8_t code = 0)
{
    return bytes({type, code}) + be16(0xf7ff) + zeros(4);
}

inline Bytes gre(uint16_t flags = 0, uint16_t protocol = 0x6558)
{
    return be16(flags) + be16(protocol);
}

}  // namespace frames
