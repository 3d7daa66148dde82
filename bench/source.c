/* A benchmark-only producer: hands `count` object pointers, taken in turn
 * from a pool of `pool` records of `object_size` bytes, to a receiver, the
 * way an input component pushes downstream. */
#include <stddef.h>
#include <stdint.h>

typedef void (*bench_receiver_t)(void* ctx, const void* obj);

void bench_source_run(bench_receiver_t recv, void* ctx, const void* objects, size_t object_size,
                      size_t pool, uint64_t count)
{
    const char* first = objects;
    const char* end = first + pool * object_size;
    const char* obj = first;
    for (uint64_t i = 0; i < count; i++) {
        recv(ctx, obj);
        obj += object_size;
        if (obj == end) {
            obj = first;
        }
    }
}

/* A benchmark-only sink receiver: adds up the type of every object it gets,
 * as the raw ring baseline's consumer does. */
typedef struct bench_sink {
    uint64_t type_sum;
} bench_sink_t;

struct bench_object {
    const struct bench_object* obj_prev;
    int32_t obj_type;
};

void bench_sink_receive(void* ctx, const void* obj)
{
    ((bench_sink_t*)ctx)->type_sum += (uint64_t)((const struct bench_object*)obj)->obj_type;
}

bench_receiver_t bench_sink_receiver(void)
{
    return bench_sink_receive;
}
