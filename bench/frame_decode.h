/* The hand-written decode of the read+decode baselines: the Ethernet (and
 * VLAN), IPv4/IPv6 and UDP headers of one frame, each length checked, as a
 * careful hand-written tool would. */
#pragma once
#include <stddef.h>
#include <stdint.h>

static uint16_t be16(const uint8_t* at)
{
    return (uint16_t)(at[0] << 8 | at[1]);
}

/* UDP payload length of one frame, or 0 when it is not a whole UDP datagram;
 * `payload` is set to its first byte. */
static size_t decode(const uint8_t* frame, size_t caplen, const uint8_t** payload)
{
    if (caplen < 14) {
        return 0;
    }
    size_t at = 12;
    uint16_t type = be16(frame + at);
    at += 2;
    while ((type == 0x8100 || type == 0x88a8) && caplen >= at + 4) {
        type = be16(frame + at + 2);
        at += 4;
    }
    uint8_t proto;
    size_t end;
    if (type == 0x0800) {
        if (caplen < at + 20 || frame[at] >> 4 != 4) {
            return 0;
        }
        size_t header = (size_t)(frame[at] & 0x0f) * 4;
        size_t len = be16(frame + at + 2);
        if (header < 20 || len < header || caplen < at + len) {
            return 0;
        }
        if (be16(frame + at + 6) & 0x3fff) {
            return 0;
        }
        proto = frame[at + 9];
        end = at + len;
        at += header;
    } else if (type == 0x86dd) {
        if (caplen < at + 40 || frame[at] >> 4 != 6) {
            return 0;
        }
        size_t plen = be16(frame + at + 4);
        if (caplen < at + 40 + plen) {
            return 0;
        }
        proto = frame[at + 6];
        end = at + 40 + plen;
        at += 40;
    } else {
        return 0;
    }
    if (proto != 17 || end < at + 8) {
        return 0;
    }
    size_t ulen = be16(frame + at + 4);
    if (ulen < 8 || at + ulen > end) {
        return 0;
    }
    *payload = frame + at + 8;
    return ulen - 8;
}
