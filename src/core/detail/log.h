#pragma once
// Logging macros for components: they pass the caller's source position.
// __FILE__ is relative to src/ (see -fmacro-prefix-map in CMakeLists.txt).
#include "core/log.h"

// Component records start with their `_log`, so the object pointer is its log handle.
inline const core_log_t* tvx_log_handle(const void* obj)
{
    return static_cast<const core_log_t*>(obj);
}
#define TVX_LOG_HANDLE(obj) tvx_log_handle(obj)

#define TVX_DEBUG(log, ...) core_log_debug(TVX_LOG_HANDLE(log), __FILE__, __LINE__, __VA_ARGS__)
#define TVX_INFO(log, ...) core_log_info(TVX_LOG_HANDLE(log), __FILE__, __LINE__, __VA_ARGS__)
#define TVX_NOTICE(log, ...) core_log_notice(TVX_LOG_HANDLE(log), __FILE__, __LINE__, __VA_ARGS__)
#define TVX_WARNING(log, ...) core_log_warning(TVX_LOG_HANDLE(log), __FILE__, __LINE__, __VA_ARGS__)
#define TVX_CRITICAL(log, ...) core_log_critical(TVX_LOG_HANDLE(log), __FILE__, __LINE__, __VA_ARGS__)
#define TVX_FATAL(log, ...) core_log_fatal(TVX_LOG_HANDLE(log), __FILE__, __LINE__, __VA_ARGS__)

// The checks every exported function starts with: a null record is reported on
// the module log, since there is no object log to report it on.
#define TVX_CHECK_SELF(self, module_log)                  \
    do {                                                  \
        if (!(self)) {                                    \
            TVX_FATAL(&(module_log), "self is nil");      \
        }                                                 \
    } while (0)

namespace tvx {
// Where a shared helper's log line should say it came from: the calling
// component's own source position.
struct Here {
    const char* file;
    size_t line;
};
// A log handle with the source position to report at: for shared helpers
// whose lines should read like the calling component's own.
struct LogSite {
    const core_log_t* log;
    const char* file;
    size_t line;
};
}  // namespace tvx
#define TVX_HERE (::tvx::Here{__FILE__, __LINE__})
#define TVX_LOG_SITE(obj) (tvx::LogSite{TVX_LOG_HANDLE(obj), __FILE__, __LINE__})
