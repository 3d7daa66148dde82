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

#include "frame_decode.h"

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
