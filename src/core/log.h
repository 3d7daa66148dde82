#pragma once
// Levelled logger shared by components and scripts: object, module and
// global handles, lines on standard error, one write per line.
#include <cstddef>
#include <cstdint>

extern "C" {

typedef struct core_log_settings {
    uint8_t debug;
    uint8_t info;
    uint8_t notice;
    uint8_t warning;
    uint8_t display_file_line;
} core_log_settings_t;

typedef struct core_log {
    char name[32];
    uint8_t is_obj;
    core_log_settings_t settings;
    const core_log_settings_t* module;
} core_log_t;

void core_log_debug(const core_log_t* l, const char* file, size_t line, const char* msg, ...)
    __attribute__((format(printf, 4, 5)));
void core_log_info(const core_log_t* l, const char* file, size_t line, const char* msg, ...)
    __attribute__((format(printf, 4, 5)));
void core_log_notice(const core_log_t* l, const char* file, size_t line, const char* msg, ...)
    __attribute__((format(printf, 4, 5)));
void core_log_warning(const core_log_t* l, const char* file, size_t line, const char* msg, ...)
    __attribute__((format(printf, 4, 5)));
void core_log_critical(const core_log_t* l, const char* file, size_t line, const char* msg, ...)
    __attribute__((format(printf, 4, 5)));
[[noreturn]] void core_log_fatal(const core_log_t* l, const char* file, size_t line, const char* msg, ...)
    __attribute__((format(printf, 4, 5)));

const char* core_log_errstr(int err);
core_log_t* core_log_log();

}  // extern "C"

// Switch values: 0 = ask the next handle, 3 = on, anything else = off.
constexpr uint8_t CORE_LOG_UNSET = 0;
constexpr uint8_t CORE_LOG_OFF = 2;
constexpr uint8_t CORE_LOG_ON = 3;

// A module log record: process-wide, named after the module, no fallback module.
constexpr core_log_t core_log_module_init(const char* name)
{
    core_log_t log{};
    for (size_t i = 0; i < sizeof(log.name) - 1 && name[i]; i++) {
        log.name[i] = name[i];
    }
    return log;
}

// The `_log` of a component's default record: an object log falling back to `module`.
constexpr core_log_t core_log_object_init(const char* name, const core_log_t& module)
{
    core_log_t log = core_log_module_init(name);
    log.is_obj = 1;
    log.module = &module.settings;
    return log;
}
