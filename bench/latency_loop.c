/*
 * The floor a load generator's latency figures are held against: one
 * connected UDP socket, queries sent evenly spaced at a rate, waiting in
 * ppoll for an answer until the next send is due (so that the sink keeps
 * the other core), each answer timed from its send to its receive on the
 * monotonic clock.
 *
 *   bench_latency_loop PORT QPS SECONDS
 *
 * Prints "answered N sent M p50_us X p99_us Y" for the answers to
 * 127.0.0.1:PORT; a query is known by its id, which no two queries in
 * flight share while fewer than 65,536 are outstanding.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static uint64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static int by_value(const void *a, const void *b)
{
    uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
    return x < y ? -1 : x > y;
}

static uint64_t sent_at[65536];

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: bench_latency_loop PORT QPS SECONDS\n");
        return 2;
    }
    int port = atoi(argv[1]);
    double qps = atof(argv[2]), seconds = atof(argv[3]);
    size_t total = (size_t)(qps * seconds);
    if (port <= 0 || qps <= 0 || total == 0) {
        fprintf(stderr, "bench_latency_loop: bad arguments\n");
        return 2;
    }
    uint64_t *latency = malloc(total * sizeof *latency);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port),
                             .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    int buffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (!latency || fd < 0 || connect(fd, (struct sockaddr *)&to, sizeof to) != 0) {
        perror("bench_latency_loop");
        return 1;
    }
    /* A query for a.test. type A, recursion desired. */
    uint8_t query[] = {0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
    uint8_t answer[4096];
    uint64_t gap = (uint64_t)(1e9 / qps), start = now_ns(), answered = 0, sent = 0;
    uint64_t end = start + (uint64_t)(seconds * 1e9) + 1000000000u; /* a second for the last answers */
    while (now_ns() < end && answered < total) {
        uint64_t now = now_ns();
        if (sent < total && now >= start + sent * gap) {
            uint16_t id = (uint16_t)sent;
            query[0] = (uint8_t)(id >> 8);
            query[1] = (uint8_t)id;
            sent_at[id] = now_ns();
            if (send(fd, query, sizeof query, 0) == (ssize_t)sizeof query)
                sent++;
            continue;
        }
        uint64_t next = sent < total ? start + sent * gap : end;
        uint64_t wait = next > now ? next - now : 0;
        struct timespec until = {.tv_sec = (time_t)(wait / 1000000000u), .tv_nsec = (long)(wait % 1000000000u)};
        struct pollfd readable = {.fd = fd, .events = POLLIN};
        if (ppoll(&readable, 1, &until, NULL) <= 0)
            continue;
        ssize_t got;
        while ((got = recv(fd, answer, sizeof answer, MSG_DONTWAIT)) >= 0) {
            uint64_t at = now_ns();
            uint16_t id = (uint16_t)(answer[0] << 8 | answer[1]);
            if (got >= 12 && (answer[2] & 0x80) && sent_at[id] && answered < total) {
                latency[answered++] = at - sent_at[id];
                sent_at[id] = 0;
            }
        }
    }
    if (answered == 0) {
        printf("answered 0 sent %llu p50_us 0 p99_us 0\n", (unsigned long long)sent);
        return 1;
    }
    qsort(latency, answered, sizeof *latency, by_value);
    printf("answered %llu sent %llu p50_us %.1f p99_us %.1f\n", (unsigned long long)answered,
           (unsigned long long)sent, latency[answered / 2] / 1e3, latency[answered * 99 / 100] / 1e3);
    return 0;
}
