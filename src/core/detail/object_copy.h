#pragma once
// Copy and free of one layer record. A copy is one heap block that the caller
// owns, detached from its chain (obj_prev null). Records that point at
// captured bytes carry a private copy of those bytes right behind the record
// in the same block, so one free releases both and the copy stays valid after
// the component that lent the source reuses its buffer.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "core/log.h"
#include "core/object.h"

namespace tvx::detail {

template <class Record>
concept LayerRecord = std::is_standard_layout_v<Record> && std::is_trivially_copyable_v<Record> &&
                      requires(Record record) {
                          { record.obj_prev } -> std::convertible_to<const core_object_t*>;
                          { record.obj_type } -> std::convertible_to<int32_t>;
                      };

// Where a copy or free was called from: the record's own copy or free
// function. The functions below take it through default arguments of
// __builtin_FILE/__builtin_LINE, which give the caller's position (clang 14
// has no std::source_location).
struct CallSite {
    const char* file;
    unsigned line;
};

// Layer records have no log of their own: reports go to the global log and
// name the source file of the record's copy or free function.
[[noreturn]] inline void record_fatal(const char* message, const CallSite& where)
{
    core_log_fatal(nullptr, where.file, where.line, "%s", message);
}

// The record followed by room for `trailing` bytes, all in one allocation.
template <LayerRecord Record>
Record* detached_copy(const Record* self, size_t trailing, const CallSite& where)
{
    if (trailing > SIZE_MAX - sizeof(Record)) {
        record_fatal("out of memory", where);
    }
    auto* copy = static_cast<Record*>(std::malloc(sizeof(Record) + trailing));
    if (!copy) {
        record_fatal("out of memory", where);
    }
    std::memcpy(copy, self, sizeof(Record));
    copy->obj_prev = nullptr;
    return copy;
}

template <LayerRecord Record>
Record* copy_record(const Record* self, const char* file = __builtin_FILE(), unsigned line = __builtin_LINE())
{
    const CallSite where{file, line};
    if (!self) {
        record_fatal("self is nil", where);
    }
    return detached_copy(self, 0, where);
}

// `bytes` names the record's byte pointer field; `count(record)` says how many
// bytes it points at. A null pointer stays null in the copy and gets no room;
// a non-null one points into the copy, even when there are no bytes to copy.
template <LayerRecord Record, class Count>
    requires std::invocable<Count, const Record&>
Record* copy_record(const Record* self, const uint8_t* Record::*bytes, Count count,
                    const char* file = __builtin_FILE(), unsigned line = __builtin_LINE())
{
    const CallSite where{file, line};
    if (!self) {
        record_fatal("self is nil", where);
    }
    const uint8_t* source = self->*bytes;
    const size_t trailing = source ? static_cast<size_t>(count(*self)) : 0;
    Record* copy = detached_copy(self, trailing, where);
    if (source) {
        auto* room = reinterpret_cast<uint8_t*>(copy) + sizeof(Record);
        if (trailing) {
            std::memcpy(room, source, trailing);
        }
        copy->*bytes = room;
    }
    return copy;
}

template <LayerRecord Record>
void free_record(Record* self, const char* file = __builtin_FILE(), unsigned line = __builtin_LINE())
{
    const CallSite where{file, line};
    if (!self) {
        record_fatal("self is nil", where);
    }
    std::free(self);
}

}  // namespace tvx::detail
