/* Baseline for the pacing scenario: a plain clock_nanosleep loop on the
 * monotonic clock with the two schedules of the timing filter's keep and
 * fixed modes, measuring how late each wake-up is.
 *
 *   bench_pacing keep|fixed COUNT GAP_NS     prints "p50 NS p99 NS"
 *
 * keep: packet k is due at start + k * GAP (absolute schedule);
 * fixed: each packet is due GAP after the previous one actually left. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int by_value(const void* a, const void* b)
{
    const int64_t x = *(const int64_t*)a, y = *(const int64_t*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv)
{
    if (argc != 4 || (strcmp(argv[1], "keep") && strcmp(argv[1], "fixed"))) {
        fprintf(stderr, "usage: %s keep|fixed COUNT GAP_NS\n", argv[0]);
        return 2;
    }
    const int keep = !strcmp(argv[1], "keep");
    const long count = atol(argv[2]);
    const int64_t gap = atoll(argv[3]);
    int64_t* late = calloc(count, sizeof(int64_t));
    const int64_t start = now_ns();
    int64_t left = start;
    for (long k = 1; k <= count; k++) {
        const int64_t due = keep ? start + k * gap : left + gap;
        const struct timespec until = {due / 1000000000LL, due % 1000000000LL};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL)) {
        }
        left = now_ns();
        late[k - 1] = left - due;
    }
    qsort(late, count, sizeof(int64_t), by_value);
    printf("p50 %lld p99 %lld\n", (long long)late[count / 2], (long long)late[count * 99 / 100]);
    return 0;
}
