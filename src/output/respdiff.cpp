#include "output/respdiff.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "core/detail/log.h"
#include "core/object/payload.h"

namespace {

core_log_t module_log = core_log_module_init("output.respdiff");

constexpr output_respdiff_t defaults = {
    core_log_object_init("output.respdiff", module_log), nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0,
};

// Both answers entries (4-byte time, 2-byte length, bytes) must fit this.
constexpr size_t answers_capacity = 0x20400;
constexpr uint32_t answer_present = 1;
constexpr uint32_t answer_missing = 0xFFFFFFFF;
// The entry's length field is 16 bits; longer responses are stored cut to it.
constexpr size_t answer_max_len = 0xFFFF;
constexpr const char db_version[] = "2018-05-21";

MDB_dbi* open_db(output_respdiff_t* self, const char* name, const char* failure)
{
    auto* dbi = static_cast<MDB_dbi*>(calloc(1, sizeof(MDB_dbi)));
    if (!dbi) {
        TVX_FATAL(self, "out of memory");
    }
    if (mdb_dbi_open(self->txn, name, MDB_CREATE, dbi)) {
        TVX_FATAL(self, "%s", failure);
    }
    return dbi;
}

const core_object_payload_t* as_payload(const core_object_t* obj)
{
    return obj && obj->obj_type == CORE_OBJECT_PAYLOAD ? reinterpret_cast<const core_object_payload_t*>(obj)
                                                       : nullptr;
}

void put_le32(uint8_t* at, uint32_t value)
{
    at[0] = value;
    at[1] = value >> 8;
    at[2] = value >> 16;
    at[3] = value >> 24;
}

// Writes one server's entry at `at`; returns its size.
size_t put_answer(output_respdiff_t* self, uint8_t* at, const output_respdiff_answer_t& answer, int server)
{
    if (!answer.bytes) {
        put_le32(at, answer_missing);
        at[4] = at[5] = 0;
        return 6;
    }
    size_t len = answer.len;
    if (len > answer_max_len) {
        TVX_WARNING(self, "response of server %d is %zu bytes, storing its first %zu", server, len, answer_max_len);
        len = answer_max_len;
    }
    put_le32(at, answer.time_us < answer_missing ? answer.time_us : answer_missing - 1);
    at[4] = len & 0xFF;
    at[5] = len >> 8;
    if (len) {
        memcpy(at + 6, answer.bytes, len);
    }
    return 6 + len;
}

void put_or_die(output_respdiff_t* self, MDB_dbi dbi, MDB_val* key, MDB_val* value, const char* what)
{
    int err = mdb_put(self->txn, dbi, key, value, 0);
    if (err == MDB_MAP_FULL) {
        TVX_FATAL(self, "mdb_put %s failed, database is full", what);
    }
    if (err) {
        TVX_FATAL(self, "mdb_put %s failed (%d)", what, err);
    }
}

void store_entry(output_respdiff_t* self, const uint8_t* query, size_t query_len,
                 const output_respdiff_answer_t* answers)
{
    if (12 + (answers[0].bytes ? answers[0].len : 0) + (answers[1].bytes ? answers[1].len : 0) > answers_capacity) {
        TVX_FATAL(self, "not enough buffer space for responses");
    }
    if (!self->txn) {
        TVX_FATAL(self, "no LMDB opened");
    }
    self->count++;

    uint8_t key_bytes[4];
    put_le32(key_bytes, self->id);
    MDB_val key = {sizeof(key_bytes), key_bytes};
    MDB_val value = {query_len, const_cast<uint8_t*>(query)};
    put_or_die(self, *self->qdb, &key, &value, "query");

    uint8_t entries[answers_capacity];
    size_t used = put_answer(self, entries, answers[0], 0);
    used += put_answer(self, entries + used, answers[1], 1);
    value = {used, entries};
    put_or_die(self, *self->rdb, &key, &value, "answers");
    self->id++;
}

// A chain carries no times: a present response is stored with time 1.
output_respdiff_answer_t chained_answer(const core_object_payload_t* response)
{
    if (!response) {
        return {nullptr, 0, answer_missing};
    }
    // A zero-length response is still a response: point at something.
    static const uint8_t nothing = 0;
    return {response->payload ? response->payload : &nothing, response->len, answer_present};
}

void store(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<output_respdiff_t*>(ctx);
    const core_object_payload_t* query = as_payload(obj);
    if (!query) {
        TVX_FATAL(self, "invalid first object");
    }
    const core_object_payload_t* first = as_payload(query->obj_prev);
    if (!first) {
        TVX_FATAL(self, "invalid second object");
    }
    const core_object_payload_t* second = nullptr;
    if (first->obj_prev) {
        second = as_payload(first->obj_prev);
        if (!second) {
            TVX_FATAL(self, "invalid third object");
        }
    }
    const output_respdiff_answer_t answers[2] = {chained_answer(first), chained_answer(second)};
    store_entry(self, query->payload, query->len, answers);
}

void put_meta(output_respdiff_t* self, const char* name, const void* data, size_t len)
{
    char what[32];
    snprintf(what, sizeof(what), "meta.%s", name);
    MDB_val key = {strlen(name), const_cast<char*>(name)};
    MDB_val value = {len, const_cast<void*>(data)};
    put_or_die(self, *self->meta, &key, &value, what);
}

}  // namespace

extern "C" core_log_t* output_respdiff_log()
{
    return &module_log;
}

extern "C" void output_respdiff_init(output_respdiff_t* self, const char* path, size_t mapsize)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    if (!path) {
        TVX_FATAL(self, "path is nil");
    }
    if (mkdir(path, 0775) && errno != EEXIST) {
        TVX_FATAL(self, "mkdir(%s) error %s", path, core_log_errstr(errno));
    }
    if (mdb_env_create(&self->env)) {
        TVX_FATAL(self, "mdb_env_create failed");
    }
    if (mdb_env_set_mapsize(self->env, mapsize)) {
        TVX_FATAL(self, "mdb_env_set_mapsize(%lu) failed", static_cast<unsigned long>(mapsize));
    }
    if (mdb_env_set_maxdbs(self->env, 3)) {
        TVX_FATAL(self, "mdb_env_set_maxdbs failed");
    }
    if (mdb_env_open(self->env, path, 0, 0664)) {
        TVX_FATAL(self, "mdb_env_open(%s) failed", path);
    }
    if (mdb_txn_begin(self->env, nullptr, 0, &self->txn)) {
        TVX_FATAL(self, "mdb_txn_begin failed for queries");
    }
    self->qdb = open_db(self, "queries", "mdb_dbi_open failed for queries");
    self->rdb = open_db(self, "answers", "mdb_dbi_open failed for responses");
    self->meta = open_db(self, "meta", "mdb_dbi_open failed for meta");
}

extern "C" void output_respdiff_destroy(output_respdiff_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    // LMDB may not close an environment with a write transaction open; an
    // uncommitted run is dropped, as nothing of it was durable.
    if (self->txn) {
        mdb_txn_abort(self->txn);
        self->txn = nullptr;
    }
    if (self->env) {
        mdb_env_close(self->env);
        self->env = nullptr;
    }
    free(self->qdb);
    free(self->rdb);
    free(self->meta);
    self->qdb = self->rdb = self->meta = nullptr;
}

extern "C" void output_respdiff_commit(output_respdiff_t* self, const char* origname, const char* recvname,
                                       uint64_t start_time, uint64_t end_time)
{
    TVX_CHECK_SELF(self, module_log);
    if (!origname) {
        TVX_FATAL(self, "origname is nil");
    }
    if (!recvname) {
        TVX_FATAL(self, "recvname is nil");
    }
    if (!self->txn) {
        TVX_FATAL(self, "no LMDB opened");
    }
    uint8_t servers[4], start[4], end[4];
    put_le32(servers, 2);
    put_le32(start, static_cast<uint32_t>(start_time));
    put_le32(end, static_cast<uint32_t>(end_time));
    put_meta(self, "version", db_version, sizeof(db_version) - 1);
    put_meta(self, "servers", servers, sizeof(servers));
    put_meta(self, "name0", origname, strlen(origname));
    put_meta(self, "name1", recvname, strlen(recvname));
    put_meta(self, "start_time", start, sizeof(start));
    put_meta(self, "end_time", end, sizeof(end));
    MDB_txn* txn = self->txn;
    // A failed commit frees the transaction too: never abort it again.
    self->txn = nullptr;
    if (mdb_txn_commit(txn)) {
        TVX_FATAL(self, "mdb_txn_commit failed");
    }
}

extern "C" void output_respdiff_store(output_respdiff_t* self, const uint8_t* query, size_t query_len,
                                      const output_respdiff_answer_t* answers)
{
    TVX_CHECK_SELF(self, module_log);
    store_entry(self, query, query_len, answers);
}

extern "C" core_receiver_t output_respdiff_receiver(output_respdiff_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->txn) {
        TVX_FATAL(self, "no LMDB opened");
    }
    return store;
}
