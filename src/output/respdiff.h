#pragma once
// Response-diff writer: stores query / response / response triples in an LMDB
// environment laid out for the respdiff comparison tool.
#include <cstddef>
#include <cstdint>
#include <lmdb.h>

#include "core/log.h"
#include "core/object.h"

extern "C" {

typedef struct output_respdiff {
    core_log_t _log;
    MDB_env* env;
    MDB_txn* txn;
    MDB_dbi* qdb;
    MDB_dbi* rdb;
    MDB_dbi* meta;
    uint32_t id;
    size_t count;
} output_respdiff_t;

// One server's answer to a stored query; null `bytes` when it gave none.
// `time_us` is the time from sending the query to receiving the answer;
// 0xFFFFFFFF is kept for "no answer", so a present answer's time stops
// just below it.
typedef struct output_respdiff_answer {
    const uint8_t* bytes;
    size_t len;
    uint32_t time_us;
} output_respdiff_answer_t;

core_log_t* output_respdiff_log();
void output_respdiff_init(output_respdiff_t* self, const char* path, size_t mapsize);
void output_respdiff_destroy(output_respdiff_t* self);
void output_respdiff_commit(output_respdiff_t* self, const char* origname, const char* recvname,
                            uint64_t start_time, uint64_t end_time);
core_receiver_t output_respdiff_receiver(output_respdiff_t* self);
// Stores a query with the answers of server 0 and server 1 (`answers[0]`,
// `answers[1]`) under the next key, with the same checks and failures as
// the store callback.
void output_respdiff_store(output_respdiff_t* self, const uint8_t* query, size_t query_len,
                           const output_respdiff_answer_t* answers);

}  // extern "C"
