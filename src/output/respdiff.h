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

core_log_t* output_respdiff_log();
void output_respdiff_init(output_respdiff_t* self, const char* path, size_t mapsize);
void output_respdiff_destroy(output_respdiff_t* self);
void output_respdiff_commit(output_respdiff_t* self, const char* origname, const char* recvname,
                            uint64_t start_time, uint64_t end_time);
core_receiver_t output_respdiff_receiver(output_respdiff_t* self);

}  // extern "C"
