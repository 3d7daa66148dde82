#pragma once
// One script function run in a new operating-system thread with its own
// interpreter state; its inputs arrive through an item queue that only grows.
#include <cstddef>
#include <pthread.h>

#include "core/log.h"

extern "C" {

typedef struct core_thread_item core_thread_item_t;
struct core_thread_item {
    core_thread_item_t* next;
    void* ptr;
    char* type;
    char* module;
    char* str;
    double num;
};

typedef struct core_thread {
    core_log_t _log;
    pthread_t thr_id;
    core_thread_item_t* stack;
    core_thread_item_t* last;
    const core_thread_item_t* at;
    pthread_mutex_t lock;
    pthread_cond_t cond;
    char* bytecode;
    size_t bytecode_len;
} core_thread_t;

core_log_t* core_thread_log();
// Threads started and not yet finished, in the whole process.
size_t core_thread_running();
void core_thread_init(core_thread_t* self);
void core_thread_destroy(core_thread_t* self);
int core_thread_start(core_thread_t* self, const char* bytecode, size_t len);
int core_thread_stop(core_thread_t* self);
void core_thread_push(core_thread_t* self, void* ptr, const char* type, size_t type_len, const char* module,
                      size_t module_len);
void core_thread_push_string(core_thread_t* self, const char* str, size_t len);
void core_thread_push_number(core_thread_t* self, double num);
const core_thread_item_t* core_thread_pop(core_thread_t* self);

}  // extern "C"
