/* Baseline of the read+decode scenario: libpcap's pcap_next_ex over a capture
 * file, with the Ethernet (and VLAN), IPv4/IPv6 and UDP headers decoded by
 * hand, each length checked, as a careful hand-written tool would.
 *
 *   bench_libpcap_loop FILE      prints "<packets> <seconds> <udp payload bytes>" */
#include <pcap/pcap.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "frame_decode.h"

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
