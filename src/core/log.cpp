#include "core/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

core_log_t global_log = core_log_module_init("core");

using Switch = uint8_t core_log_settings_t::*;

// Object switch, then its module's, then the global log's; only 3 means on.
bool switch_on(const core_log_t* log, Switch which)
{
    if (!log) {
        return global_log.settings.*which == CORE_LOG_ON;
    }
    uint8_t value = log->settings.*which;
    if (value == CORE_LOG_UNSET && log->module) {
        value = log->module->*which;
    }
    if (value == CORE_LOG_UNSET) {
        value = global_log.settings.*which;
    }
    return value == CORE_LOG_ON;
}

// Formats the message into a 512-byte buffer (cut to 511 bytes) and writes the
// whole line with one write(2), so lines from concurrent threads never mix.
void emit(const core_log_t* log, const char* level, const char* file, size_t line,
          const char* msg, va_list args)
{
    char message[512];
    vsnprintf(message, sizeof(message), msg, args);
    message[sizeof(message) - 1] = 0;

    const char* name = log ? log->name : global_log.name;
    const bool is_obj = log && log->is_obj;
    const bool with_position = switch_on(log, &core_log_settings_t::display_file_line);
    if (!file) {
        file = "";
    }

    char out[2048];
    int length;
    if (with_position && is_obj) {
        length = snprintf(out, sizeof(out), "%s[%zu] %s[%p] %s: %s\n", file, line, name,
                          static_cast<const void*>(log), level, message);
    } else if (with_position) {
        length = snprintf(out, sizeof(out), "%s[%zu] %s %s: %s\n", file, line, name, level, message);
    } else if (is_obj) {
        length = snprintf(out, sizeof(out), "%s[%p] %s: %s\n", name, static_cast<const void*>(log),
                          level, message);
    } else {
        length = snprintf(out, sizeof(out), "%s %s: %s\n", name, level, message);
    }
    if (length < 0) {
        return;
    }
    if (static_cast<size_t>(length) >= sizeof(out)) {
        // Only an absurdly long source path gets here; keep the line a line.
        length = sizeof(out) - 1;
        out[length - 1] = '\n';
    }
    size_t written = 0;
    while (written < static_cast<size_t>(length)) {
        ssize_t done = write(STDERR_FILENO, out + written, length - written);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return;
        }
        written += done;
    }
}

}  // namespace

#define TVX_LEVEL_FUNCTION(level)                                                              \
    extern "C" void core_log_##level(const core_log_t* l, const char* file, size_t line,         \
                                     const char* msg, ...)                                      \
    {                                                                                          \
        if (!switch_on(l, &core_log_settings_t::level)) {                                      \
            return;                                                                            \
        }                                                                                      \
        va_list args;                                                                          \
        va_start(args, msg);                                                                   \
        emit(l, #level, file, line, msg, args);                                                \
        va_end(args);                                                                          \
    }

TVX_LEVEL_FUNCTION(debug)
TVX_LEVEL_FUNCTION(info)
TVX_LEVEL_FUNCTION(notice)
TVX_LEVEL_FUNCTION(warning)

extern "C" void core_log_critical(const core_log_t* l, const char* file, size_t line, const char* msg, ...)
{
    va_list args;
    va_start(args, msg);
    emit(l, "critical", file, line, msg, args);
    va_end(args);
}

extern "C" void core_log_fatal(const core_log_t* l, const char* file, size_t line, const char* msg, ...)
{
    va_list args;
    va_start(args, msg);
    emit(l, "fatal", file, line, msg, args);
    va_end(args);
    // End at once from whichever thread: flush what scripts printed and what
    // writers buffered, but run no exit handlers or destructors while other
    // threads may still be using them.
    fflush(nullptr);
    _exit(1);
}

extern "C" core_log_t* core_log_log()
{
    return &global_log;
}
