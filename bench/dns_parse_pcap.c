/* DNS parse scenario, baseline: a plain libpcap pcap_next_ex loop that
 * decodes Ethernet (with VLAN tags), IPv4 or IPv6 and UDP by hand, then
 * walks the DNS header and every question name label by label.
 *
 *   bench_dns_parse_pcap FILE    prints "packets <n> messages <n> rate <packets/s>"
 */
#include <pcap/pcap.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

static uint16_t be16(const uint8_t* at)
{
    return (uint16_t)(at[0] << 8 | at[1]);
}

/* The UDP payload of an Ethernet frame, or NULL. */
static const uint8_t* udp_payload(const uint8_t* frame, size_t caplen, size_t* len)
{
    size_t at = 12;
    if (caplen < at + 2) {
        return NULL;
    }
    uint16_t type = be16(frame + at);
    at += 2;
    while (type == 0x8100 || type == 0x88a8 || type == 0x9100) {
        if (caplen < at + 4) {
            return NULL;
        }
        type = be16(frame + at + 2);
        at += 4;
    }
    if (type == 0x0800) {
        if (caplen < at + 20 || frame[at + 9] != 17) {
            return NULL;
        }
        at += (size_t)(frame[at] & 0x0f) * 4;
    } else if (type == 0x86dd) {
        if (caplen < at + 40 || frame[at + 6] != 17) {
            return NULL;
        }
        at += 40;
    } else {
        return NULL;
    }
    if (caplen < at + 8) {
        return NULL;
    }
    *len = caplen - at - 8;
    return frame + at + 8;
}

/* Header and questions; 1 when all of them are there. */
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
                at += 2;
                break;
            }
            if (label & 0xc0) {
                at += 1;
                break;
            }
            at += 1 + label;
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
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    struct pcap_pkthdr* header;
    const u_char* frame;
    uint64_t packets = 0, messages = 0;
    while (pcap_next_ex(pcap, &header, &frame) == 1) {
        packets++;
        size_t len;
        const uint8_t* msg = udp_payload(frame, header->caplen, &len);
        if (msg) {
            messages += (uint64_t)walk_dns(msg, len);
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    pcap_close(pcap);
    double elapsed = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    printf("packets %llu messages %llu rate %.0f\n", (unsigned long long)packets, (unsigned long long)messages,
           (double)packets / elapsed);
    return 0;
}
