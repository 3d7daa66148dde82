// The component log functions as the fuzz targets see them, through the
// linker's --wrap (see fuzz/CMakeLists.txt). Every line is still formatted,
// so a format that reads a wrong argument is caught by the sanitizers; only
// FUZZ_LOG=1 in the environment writes them to standard error (to look at
// one input).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/log.h"
#include "support/log_hooks.h"

namespace {

std::vector<const char*>& expected()
{
    static std::vector<const char*> formats;
    return formats;
}

bool log_wanted()
{
    static const bool wanted = [] {
        const char* value = getenv("FUZZ_LOG");
        return value && strcmp(value, "1") == 0;
    }();
    return wanted;
}

struct Line {
    char text[512];
};

Line format(const char* msg, va_list args)
{
    Line line;
    vsnprintf(line.text, sizeof(line.text), msg, args);
    return line;
}

Line last_critical_text{};
const char* last_critical_format = "";

void show(const core_log_t* l, const char* level, const char* file, size_t line, const Line& text)
{
    fprintf(stderr, "%s[%zu] %s %s: %s\n", file ? file : "", line, l ? l->name : "core", level, text.text);
}

}  // namespace

fuzz::Critical fuzz::last_critical()
{
    return {last_critical_format, last_critical_text.text};
}

void fuzz::expect_fatal(std::initializer_list<const char*> formats)
{
    expected().assign(formats.begin(), formats.end());
}

extern "C" void __wrap_core_log_warning(const core_log_t* l, const char* file, size_t line, const char* msg, ...)
{
    va_list args;
    va_start(args, msg);
    const Line text = format(msg, args);
    va_end(args);
    if (log_wanted()) {
        show(l, "warning", file, line, text);
    }
}

extern "C" void __wrap_core_log_critical(const core_log_t* l, const char* file, size_t line, const char* msg, ...)
{
    va_list args;
    va_start(args, msg);
    const Line text = format(msg, args);
    va_end(args);
    last_critical_format = msg;
    last_critical_text = text;
    if (log_wanted()) {
        show(l, "critical", file, line, text);
    }
}

extern "C" [[noreturn]] void __wrap_core_log_fatal(const core_log_t* l, const char* file, size_t line,
                                                    const char* msg, ...)
{
    va_list args;
    va_start(args, msg);
    const Line text = format(msg, args);
    va_end(args);
    for (const char* format : expected()) {
        if (strcmp(format, msg) == 0) {
            if (log_wanted()) {
                show(l, "fatal (expected)", file, line, text);
            }
            throw fuzz::ExpectedFatal{format};
        }
    }
    show(l, "fatal", file, line, text);
    abort();
}
