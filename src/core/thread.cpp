#include "core/thread.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include <lua.hpp>

#include "core/detail/log.h"
#include "core/globals.h"

static_assert(std::is_standard_layout_v<core_thread_t>);
static_assert(std::is_standard_layout_v<core_thread_item_t>);

namespace {

core_log_t module_log = core_log_module_init("core.thread");

// Threads whose function may still run: counted before the create, given back
// as the very last thing a thread does (after its state is closed), so that a
// count of 0 means no thread touches anything of another state any more.
std::atomic<size_t> running_threads{0};

const core_thread_t thread_defaults = {
    core_log_object_init("core.thread", module_log),
    0,
    nullptr,
    nullptr,
    nullptr,
    PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_COND_INITIALIZER,
    nullptr,
    0,
};

void lock(core_thread_t* self)
{
    if (pthread_mutex_lock(&self->lock) != 0) {
        TVX_FATAL(self, "mutex lock failed");
    }
}

void unlock(core_thread_t* self)
{
    if (pthread_mutex_unlock(&self->lock) != 0) {
        TVX_FATAL(self, "mutex unlock failed");
    }
}

void wait(core_thread_t* self)
{
    if (pthread_cond_wait(&self->cond, &self->lock) != 0) {
        TVX_FATAL(self, "cond wait failed");
    }
}

// An item is one allocation: the record, then the texts it points at.
core_thread_item_t* new_item(core_thread_t* self, size_t text_len)
{
    if (text_len > SIZE_MAX - sizeof(core_thread_item_t)) {
        TVX_FATAL(self, "out of memory");
    }
    auto* item = static_cast<core_thread_item_t*>(calloc(1, sizeof(core_thread_item_t) + text_len));
    if (!item) {
        TVX_FATAL(self, "out of memory");
    }
    return item;
}

char* copy_text(char* to, const char* from, size_t len)
{
    memcpy(to, from, len);
    to[len] = 0;
    return to;
}

void append(core_thread_t* self, core_thread_item_t* item)
{
    lock(self);
    if (!self->last) {
        self->stack = item;
    } else {
        self->last->next = item;
    }
    self->last = item;
    if (pthread_cond_signal(&self->cond) != 0) {
        TVX_FATAL(self, "cond signal failed");
    }
    unlock(self);
}

void report_error(core_thread_t* self, lua_State* L)
{
    const char* message = lua_tostring(L, -1);
    if (message) {
        TVX_CRITICAL(self, "%s", message);
    } else {
        TVX_CRITICAL(self, "(error object is a %s value)", luaL_typename(L, -1));
    }
    lua_pop(L, 1);
}

// Runs on the new thread: a fresh interpreter state that loads the thread
// module and hands it the record and the function's dump. An error ends only
// this thread.
void* thread_entry(void* arg)
{
    auto* self = static_cast<core_thread_t*>(arg);
    lua_State* L = luaL_newstate();
    if (!L) {
        TVX_FATAL(self, "could not create new Lua state");
    }
    luaL_openlibs(L);
    tarvex_globals(L);

    lua_getglobal(L, "require");
    lua_pushstring(L, "tarvex.core.thread");
    if (lua_pcall(L, 1, 1, 0) != 0) {
        report_error(self, L);
    } else {
        lua_getfield(L, -1, "_in_thread");
        lua_pushlightuserdata(L, self);
        lua_pushlstring(L, self->bytecode, self->bytecode_len);
        if (lua_pcall(L, 2, 0, 0) != 0) {
            report_error(self, L);
        }
        // Threads this function started and left running use what this
        // state holds: they are joined before the state is closed.
        lua_getfield(L, -1, "_join_started");
        if (lua_pcall(L, 0, 0, 0) != 0) {
            report_error(self, L);
        }
    }
    lua_close(L);
    running_threads.fetch_sub(1, std::memory_order_release);
    return nullptr;
}

}  // namespace

extern "C" core_log_t* core_thread_log()
{
    return &module_log;
}

extern "C" void core_thread_init(core_thread_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = thread_defaults;
}

extern "C" size_t core_thread_running()
{
    return running_threads.load(std::memory_order_acquire);
}

// The lock and condition variable need no releasing on this platform. A
// thread started and never stopped is joined first: it reads this record
// (and its items) until it ends. A state only gets here with such a thread
// once it has finished (a state left with running threads is not closed), so
// the join does not wait.
extern "C" void core_thread_destroy(core_thread_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->thr_id != 0) {
        pthread_join(self->thr_id, nullptr);
        self->thr_id = 0;
    }
    free(self->bytecode);
    self->bytecode = nullptr;
    self->bytecode_len = 0;
    core_thread_item_t* item = self->stack;
    while (item) {
        core_thread_item_t* next = item->next;
        free(item);
        item = next;
    }
    self->stack = nullptr;
    self->last = nullptr;
    self->at = nullptr;
}

extern "C" int core_thread_start(core_thread_t* self, const char* bytecode, size_t len)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->bytecode) {
        TVX_FATAL(self, "bytecode already set");
    }
    if (!bytecode && len) {
        TVX_FATAL(self, "bytecode is nil");
    }
    // One byte at least, so that an empty dump still marks the object started.
    self->bytecode = static_cast<char*>(malloc(len ? len : 1));
    if (!self->bytecode) {
        TVX_FATAL(self, "out of memory");
    }
    if (len) {
        memcpy(self->bytecode, bytecode, len);
    }
    self->bytecode_len = len;

    pthread_t id;
    running_threads.fetch_add(1, std::memory_order_acq_rel);
    const int err = pthread_create(&id, nullptr, thread_entry, self);
    if (err != 0) {
        running_threads.fetch_sub(1, std::memory_order_acq_rel);
        TVX_CRITICAL(self, "pthread_create() error: %s", core_log_errstr(err));
        return -1;
    }
    self->thr_id = id;
    return 0;
}

extern "C" int core_thread_stop(core_thread_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    // Joining a thread that was never created, or one already joined, is
    // undefined and crashes in glibc; report it as the join would.
    if (self->thr_id == 0) {
        TVX_CRITICAL(self, "pthread_join() error: %s", core_log_errstr(ESRCH));
        return -1;
    }
    const int err = pthread_join(self->thr_id, nullptr);
    if (err != 0) {
        TVX_CRITICAL(self, "pthread_join() error: %s", core_log_errstr(err));
        return -1;
    }
    self->thr_id = 0;
    return 0;
}

extern "C" void core_thread_push(core_thread_t* self, void* ptr, const char* type, size_t type_len,
                                 const char* module, size_t module_len)
{
    TVX_CHECK_SELF(self, module_log);
    if (!ptr) {
        TVX_FATAL(self, "ptr is nil");
    }
    if (!type) {
        TVX_FATAL(self, "type is nil");
    }
    if (!type_len) {
        TVX_FATAL(self, "type_len is zero");
    }
    if (!module) {
        TVX_FATAL(self, "module is nil");
    }
    if (!module_len) {
        TVX_FATAL(self, "module_len is zero");
    }
    if (type_len > SIZE_MAX / 2 - 1 || module_len > SIZE_MAX / 2 - 1) {
        TVX_FATAL(self, "out of memory");
    }
    core_thread_item_t* item = new_item(self, type_len + 1 + module_len + 1);
    char* text = reinterpret_cast<char*>(item + 1);
    item->ptr = ptr;
    item->type = copy_text(text, type, type_len);
    item->module = copy_text(text + type_len + 1, module, module_len);
    append(self, item);
}

extern "C" void core_thread_push_string(core_thread_t* self, const char* str, size_t len)
{
    TVX_CHECK_SELF(self, module_log);
    if (!str) {
        TVX_FATAL(self, "str is nil");
    }
    if (!len) {
        TVX_FATAL(self, "len is zero");
    }
    if (len == SIZE_MAX) {
        TVX_FATAL(self, "out of memory");
    }
    core_thread_item_t* item = new_item(self, len + 1);
    item->str = copy_text(reinterpret_cast<char*>(item + 1), str, len);
    append(self, item);
}

extern "C" void core_thread_push_number(core_thread_t* self, double num)
{
    TVX_CHECK_SELF(self, module_log);
    core_thread_item_t* item = new_item(self, 0);
    item->num = num;
    append(self, item);
}

extern "C" const core_thread_item_t* core_thread_pop(core_thread_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    lock(self);
    if (!self->at) {
        while (!self->stack) {
            wait(self);
        }
        self->at = self->stack;
    } else {
        while (!self->at->next) {
            wait(self);
        }
        self->at = self->at->next;
    }
    const core_thread_item_t* item = self->at;
    unlock(self);
    return item;
}
