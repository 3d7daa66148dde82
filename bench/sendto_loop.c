/* Baselines for the UDP replay scenarios, written straight against the socket
 * interface:
 *
 *   bench_sendto_loop sink PORT_FILE CPU      bind a loopback UDP port, write it to
 *                                             PORT_FILE, drain until 1 s of silence,
 *                                             print "received N"
 *   bench_sendto_loop send CAPTURE CPU PORT   send every UDP payload of CAPTURE with
 *                                             a plain sendto loop, print "sent N RATE"
 *   bench_sendto_loop names CAPTURE           print each DNS query as "name type"
 *                                             (a dnsperf input of the same queries)
 *   bench_sendto_loop window CAPTURE PORT SOCKETS WINDOW
 *                                             send every UDP payload of CAPTURE to
 *                                             127.0.0.1:PORT over SOCKETS connected
 *                                             sockets in turn, at most WINDOW without
 *                                             an answer, answers read 16 to a call as
 *                                             epoll reports them; print "answered N
 *                                             RATE" (the CPU floor of a generator that
 *                                             counts answers and matches nothing)
 *
 * The payloads are loaded into memory first, so the loop times nothing but
 * sendto. Captures are Ethernet with IPv4 or IPv6 and UDP, as generated. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

struct payloads {
    uint8_t* bytes;
    size_t* offset;
    size_t* len;
    size_t count;
};

static void pin(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof(set), &set);
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* The UDP payload inside an Ethernet frame, or NULL. */
static const uint8_t* udp_payload(const uint8_t* frame, size_t caplen, size_t* len)
{
    if (caplen < 14) {
        return NULL;
    }
    const unsigned ethertype = frame[12] << 8 | frame[13];
    const uint8_t* ip = frame + 14;
    size_t left = caplen - 14;
    const uint8_t* udp;
    if (ethertype == 0x0800 && left >= 20 && ip[9] == 17) {
        const size_t ihl = (ip[0] & 0x0f) * 4u;
        if (left < ihl + 8) {
            return NULL;
        }
        udp = ip + ihl;
        left -= ihl;
    } else if (ethertype == 0x86dd && left >= 48 && ip[6] == 17) {
        udp = ip + 40;
        left -= 40;
    } else {
        return NULL;
    }
    const size_t udp_len = (size_t)(udp[4] << 8 | udp[5]);
    if (udp_len < 8 || udp_len > left) {
        return NULL;
    }
    *len = udp_len - 8;
    return udp + 8;
}

static int load(const char* path, struct payloads* out)
{
    FILE* file = fopen(path, "rb");
    if (!file) {
        perror(path);
        return -1;
    }
    fseek(file, 0, SEEK_END);
    const long size = ftell(file);
    fseek(file, 0, SEEK_SET);
    uint8_t* data = malloc(size);
    if (!data || fread(data, 1, size, file) != (size_t)size || size < 24) {
        fprintf(stderr, "%s: cannot read\n", path);
        return -1;
    }
    fclose(file);
    size_t capacity = size / 40 + 1;
    out->bytes = malloc(size);
    out->offset = malloc(capacity * sizeof(size_t));
    out->len = malloc(capacity * sizeof(size_t));
    out->count = 0;
    size_t at = 24, used = 0;
    while (at + 16 <= (size_t)size && out->count < capacity) {
        uint32_t caplen;
        memcpy(&caplen, data + at + 8, 4);
        at += 16;
        if (at + caplen > (size_t)size) {
            break;
        }
        size_t len;
        const uint8_t* payload = udp_payload(data + at, caplen, &len);
        if (payload) {
            memcpy(out->bytes + used, payload, len);
            out->offset[out->count] = used;
            out->len[out->count] = len;
            out->count++;
            used += len;
        }
        at += caplen;
    }
    free(data);
    return 0;
}

static int sink(const char* port_file, int cpu)
{
    pin(cpu);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int rcvbuf = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t len = sizeof(addr);
    if (bind(fd, (struct sockaddr*)&addr, sizeof(addr)) || getsockname(fd, (struct sockaddr*)&addr, &len)) {
        perror("bind");
        return 1;
    }
    FILE* out = fopen(port_file, "w");
    fprintf(out, "%u\n", ntohs(addr.sin_port));
    fclose(out);
    uint64_t received = 0;
    uint8_t buf[65536];
    /* Up to 60 s for the first datagram, then until 1 s passes without one. */
    int limit = 60000;
    struct pollfd pfd = {fd, POLLIN, 0};
    while (poll(&pfd, 1, limit) == 1) {
        while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) >= 0) {
            received++;
        }
        limit = 1000;
    }
    printf("received %llu\n", (unsigned long long)received);
    return 0;
}

static int send_all(const char* capture, int port, int cpu)
{
    pin(cpu);
    struct payloads p;
    if (load(capture, &p)) {
        return 1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons(port),
                             .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    uint64_t sent = 0;
    const double start = now();
    for (size_t i = 0; i < p.count; i++) {
        if (sendto(fd, p.bytes + p.offset[i], p.len[i], 0, (struct sockaddr*)&to, sizeof(to)) >= 0) {
            sent++;
        }
    }
    const double seconds = now() - start;
    printf("sent %llu %.0f\n", (unsigned long long)sent, sent / seconds);
    return 0;
}

static int window_loop(const char* capture, int port, int sockets, int window)
{
    struct payloads p;
    if (load(capture, &p) || sockets < 1 || sockets > 1024 || window < 1) {
        return 1;
    }
    int* fds = calloc(sockets, sizeof(int));
    const int ep = epoll_create1(0);
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons(port),
                             .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    for (int i = 0; i < sockets; i++) {
        fds[i] = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        if (fds[i] < 0 || connect(fds[i], (struct sockaddr*)&to, sizeof(to))) {
            perror("socket");
            return 1;
        }
        struct epoll_event ev = {.events = EPOLLIN, .data.u32 = (uint32_t)i};
        epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
    }
    enum { batch = 16 };
    static uint8_t room[batch][4096];
    struct iovec iov[batch];
    struct mmsghdr msgs[batch];
    for (int i = 0; i < batch; i++) {
        iov[i].iov_base = room[i];
        iov[i].iov_len = sizeof(room[i]);
        memset(&msgs[i], 0, sizeof(msgs[i]));
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    size_t sent = 0, answered = 0, lost = 0;
    int turn = 0;
    const double start = now();
    while (answered + lost < p.count) {
        while (sent < p.count && sent - answered - lost < (size_t)window) {
            if (send(fds[turn], p.bytes + p.offset[sent], p.len[sent], 0) < 0) {
                lost++;
            }
            turn = (turn + 1) % sockets;
            sent++;
        }
        struct epoll_event events[64];
        const int ready = epoll_wait(ep, events, 64, 1000);
        if (ready <= 0) {
            break; /* a second without an answer: the rest are lost */
        }
        for (int i = 0; i < ready; i++) {
            int got;
            while ((got = recvmmsg(fds[events[i].data.u32], msgs, batch, MSG_DONTWAIT, NULL)) > 0) {
                answered += (size_t)got;
                if (got < batch) {
                    break;
                }
            }
        }
    }
    const double seconds = now() - start;
    printf("answered %zu %.0f\n", answered, answered / seconds);
    return 0;
}

static const char* qtype_name(unsigned type)
{
    switch (type) {
    case 1: return "A";
    case 2: return "NS";
    case 15: return "MX";
    case 16: return "TXT";
    case 28: return "AAAA";
    case 65: return "HTTPS";
    default: return NULL;
    }
}

static int names(const char* capture)
{
    struct payloads p;
    if (load(capture, &p)) {
        return 1;
    }
    for (size_t i = 0; i < p.count; i++) {
        const uint8_t* msg = p.bytes + p.offset[i];
        size_t len = p.len[i], at = 12;
        char name[256];
        size_t used = 0;
        while (at < len && msg[at] != 0 && msg[at] < 64 && at + 1 + msg[at] <= len && used + msg[at] + 1 < sizeof(name)) {
            memcpy(name + used, msg + at + 1, msg[at]);
            used += msg[at];
            name[used++] = '.';
            at += 1 + msg[at];
        }
        if (at + 5 > len || msg[at] != 0 || used == 0) {
            continue;
        }
        name[used - 1] = 0;
        const char* type = qtype_name(msg[at + 1] << 8 | msg[at + 2]);
        if (type) {
            printf("%s %s\n", name, type);
        }
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 4 && !strcmp(argv[1], "sink")) {
        return sink(argv[2], atoi(argv[3]));
    }
    if (argc == 5 && !strcmp(argv[1], "send")) {
        return send_all(argv[2], atoi(argv[4]), atoi(argv[3]));
    }
    if (argc == 3 && !strcmp(argv[1], "names")) {
        return names(argv[2]);
    }
    if (argc == 6 && !strcmp(argv[1], "window")) {
        return window_loop(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
    }
    fprintf(stderr, "usage: %s sink PORT_FILE CPU | send CAPTURE CPU PORT | names CAPTURE"
            " | window CAPTURE PORT SOCKETS WINDOW\n", argv[0]);
    return 2;
}
