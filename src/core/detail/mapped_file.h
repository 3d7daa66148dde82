#pragma once
// A whole file mapped read-only and private, as the mapping readers hold it:
// the descriptor, the length and the mapping live in the reader record.
//
//   int result = tvx::mapped_file::open(path, self->fd, self->len, self->buf, TVX_LOG_SITE(self));
//   ...
//   tvx::mapped_file::close(self->fd, self->len, self->buf);
#include <cstddef>
#include <cstdint>

#include "core/detail/log.h"

namespace tvx::mapped_file {

// The mapping of a reader that has none (the platform's map-failure value).
uint8_t* none();

// Opens, measures and maps `path`. Returns 0, or -1 after a critical line
// ("open(%s) error %s", "stat(%s) error %s", "mmap(%s) error %s"). `fd` is
// set as soon as the file is open, so only a failed open leaves it -1. Never
// waits: a FIFO is opened without a writer (and then fails to map).
int open(const char* path, int& fd, size_t& len, uint8_t*& map, LogSite site);

// Unmaps and closes what is there; leaves fd -1 and map none().
void close(int& fd, size_t len, uint8_t*& map);

}  // namespace tvx::mapped_file
