/* Baseline of the read+decode scenario: libpcap's pcap_next_ex over a capture
 * file, with the Ethernet (and VLAN), IPv4/IPv6 and UDP headers decoded by
 * hand, each length checked, as a careful hand-written tool would.
 *
 *   bench_libpcap_loop FILE      prints "<packets> <seconds> <udp payload bytes>" */
#include <pcap/pcap.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

static uint16_t be16(const uint8_t* at)
{
    return (uint16_t)(at[0] << 8 | at[1]);
}

/* UDP payload length of one frame, or 0 when it is not a whole UDP datagram. */
static size_t decode(const uint8_t* frame, size_t caplen)
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
    return ulen - 8;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline(argv[1], errbuf);
    if (!pcap) {
        fprintf(stderr, "%s\n", errbuf);
        return 1;
    }
    struct timespec start, stop;
    clock_gettime(CLOCK_MONOTONIC, &start);
    uint64_t packets = 0, bytes = 0;
    struct pcap_pkthdr* header;
    const u_char* data;
    while (pcap_next_ex(pcap, &header, &data) == 1) {
        packets++;
        bytes += decode(data, header->caplen);
    }
    clock_gettime(CLOCK_MONOTONIC, &stop);
    pcap_close(pcap);
    double seconds = (double)(stop.tv_sec - start.tv_sec) + (double)(stop.tv_nsec - start.tv_nsec) / 1e9;
    printf("%llu %.6f %llu\n", (unsigned long long)packets, seconds, (unsigned long long)bytes);
    return 0;
}
