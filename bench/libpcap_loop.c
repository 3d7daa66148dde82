/* Baseline of the read+decode scenario: libpcap's pcap_next_ex over a capture
 * file, with the Ethernet (and VLAN), IPv4/IPv6 and UDP headers decoded by
 * hand, each length checked, as a careful hand-written tool would. With
 * "dns" it also walks each payload's DNS header and question names label by
 * label (the baseline of the DNS parse scenario).
 *
 *   bench_libpcap_loop FILE [dns]  prints "<packets> <seconds> <udp payload bytes> [<dns messages>]" */
#include <pcap/pcap.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

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

/* 1 when the DNS header and every question are whole. */
static int walk_dns(const uint8_t* msg, size_t len)
{
    if (len < 12) {
        return 0;
    }
    volatile uint16_t id = be16(msg), flags = be16(msg + 2);
    (void)id;
    (void)flags;
    unsigned qdcount = be16(msg + 4);
    size_t at = 12;
    for (unsigned q = 0; q < qdcount; q++) {
        for (;;) {
            if (at >= len) {
                return 0;
            }
            uint8_t label = msg[at];
            if ((label & 0xc0) == 0xc0) {
                if (at + 2 > len) {
                    return 0;
                }
                at += 2;
                break;
            }
            if (label & 0xc0) {
                at += 1;
                break;
            }
            at += 1 + (size_t)label;
            if (label == 0) {
                break;
            }
        }
        if (at + 4 > len) {
            return 0;
        }
        volatile uint16_t qtype = be16(msg + at), qclass = be16(msg + at + 2);
        (void)qtype;
        (void)qclass;
        at += 4;
    }
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 2 && !(argc == 3 && strcmp(argv[2], "dns") == 0)) {
        fprintf(stderr, "usage: %s FILE [dns]\n", argv[0]);
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
    const int dns = argc == 3;
    uint64_t packets = 0, bytes = 0, messages = 0;
    struct pcap_pkthdr* header;
    const u_char* data;
    while (pcap_next_ex(pcap, &header, &data) == 1) {
        packets++;
        const uint8_t* payload = NULL;
        size_t len = decode(data, header->caplen, &payload);
        bytes += len;
        if (dns && payload) {
            messages += (uint64_t)walk_dns(payload, len);
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &stop);
    pcap_close(pcap);
    double seconds = (double)(stop.tv_sec - start.tv_sec) + (double)(stop.tv_nsec - start.tv_nsec) / 1e9;
    printf("%llu %.6f %llu", (unsigned long long)packets, seconds, (unsigned long long)bytes);
    if (dns) {
        printf(" %llu", (unsigned long long)messages);
    }
    printf("\n");
    return 0;
}
