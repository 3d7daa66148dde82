/* Baseline for the channel scenario: the raw ck_ring SPSC ring between two
 * threads, with the channel's capacity and yield policy (sched_yield while
 * full or empty). The producer passes pointers to pooled object records;
 * the consumer reads each record's type, as the tarvex consumer does.
 *
 *   bench_ck_ring COUNT CAPACITY PRODUCER_CPU CONSUMER_CPU
 *   prints "<items per second>"
 */
#define _GNU_SOURCE
#include <ck_ring.h>
#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define POOL 1024

struct object {
    const struct object* obj_prev;
    int32_t obj_type;
};

static ck_ring_t ring;
static ck_ring_buffer_t* slots;
static uint64_t count;
static atomic_int ready;
static int consumer_cpu;
static uint64_t type_sum;

static void pin(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

static void* consume(void* unused)
{
    (void)unused;
    pin(consumer_cpu);
    uint64_t sum = 0;
    atomic_store(&ready, 1);
    for (uint64_t got = 0; got < count;) {
        void* item;
        if (!ck_ring_dequeue_spsc(&ring, slots, &item)) {
            sched_yield();
            continue;
        }
        sum += (uint64_t)((const struct object*)item)->obj_type;
        got++;
    }
    type_sum = sum;
    return NULL;
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: %s COUNT CAPACITY PRODUCER_CPU CONSUMER_CPU\n", argv[0]);
        return 1;
    }
    count = strtoull(argv[1], NULL, 10);
    const unsigned int capacity = (unsigned int)strtoul(argv[2], NULL, 10);
    pin(atoi(argv[3]));
    consumer_cpu = atoi(argv[4]);
    static struct object pool[POOL];
    for (int i = 0; i < POOL; i++) {
        pool[i].obj_type = 1;
    }
    slots = calloc(capacity, sizeof(*slots));
    if (!slots) {
        return 1;
    }
    ck_ring_init(&ring, capacity);

    pthread_t consumer;
    if (pthread_create(&consumer, NULL, consume, NULL) != 0) {
        return 1;
    }
    while (!atomic_load(&ready)) {
        sched_yield();
    }
    const double start = now();
    for (uint64_t i = 0; i < count; i++) {
        while (!ck_ring_enqueue_spsc(&ring, slots, &pool[i % POOL])) {
            sched_yield();
        }
    }
    pthread_join(consumer, NULL);
    const double elapsed = now() - start;
    if (type_sum != count) {
        fprintf(stderr, "lost items: %llu of %llu\n", (unsigned long long)type_sum, (unsigned long long)count);
        return 1;
    }
    printf("%.0f\n", (double)count / elapsed);
    free(slots);
    return 0;
}
