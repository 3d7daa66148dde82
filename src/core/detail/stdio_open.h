#pragma once
// Opening a reader that reads a stdio stream: by path (the reader owns and
// later closes the stream) or from the caller's stream (the caller keeps it).
// Misuse is fatal; a path that cannot be opened is critical "fopen(%s) error:
// %s" and -1. Then `start(self)` reads what the reader reads first and its
// result is returned. Log lines carry the calling reader's position.
//
// The reader record needs `FILE* file` and an `extern_file` flag.
#include <cerrno>
#include <cstdio>

#include "core/detail/log.h"
#include "core/log.h"

namespace tvx::stdio {

template <class Reader>
void refuse_reopen(Reader* self, const LogSite& site)
{
    if (self->file) {
        core_log_fatal(site.log, site.file, site.line, "already opened");
    }
}

template <class Reader, class Start>
int open_path(Reader* self, const char* path, const LogSite& site, Start&& start)
{
    if (!path) {
        core_log_fatal(site.log, site.file, site.line, "file is nil");
    }
    refuse_reopen(self, site);
    self->file = fopen(path, "rb");
    if (!self->file) {
        core_log_critical(site.log, site.file, site.line, "fopen(%s) error: %s", path, core_log_errstr(errno));
        return -1;
    }
    self->extern_file = 0;
    return start(self);
}

template <class Reader, class Start>
int open_stream(Reader* self, FILE* stream, const LogSite& site, Start&& start)
{
    refuse_reopen(self, site);
    if (!stream) {
        core_log_fatal(site.log, site.file, site.line, "fp is nil");
    }
    self->file = stream;
    self->extern_file = 1;
    return start(self);
}

}  // namespace tvx::stdio
