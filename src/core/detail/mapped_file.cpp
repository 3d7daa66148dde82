#include "core/detail/mapped_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvx::mapped_file {

uint8_t* none()
{
    return static_cast<uint8_t*>(MAP_FAILED);
}

int open(const char* path, int& fd, size_t& len, uint8_t*& map, LogSite site)
{
    // Non-blocking: opening a FIFO would otherwise wait for a writer, maybe
    // forever, only for its mapping to fail; a regular file opens the same.
    fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        fd = -1;
        core_log_critical(site.log, site.file, site.line, "open(%s) error %s", path, core_log_errstr(errno));
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        core_log_critical(site.log, site.file, site.line, "stat(%s) error %s", path, core_log_errstr(errno));
        return -1;
    }
    len = size_t(info.st_size);
    void* mapping = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapping == MAP_FAILED) {
        core_log_critical(site.log, site.file, site.line, "mmap(%s) error %s", path, core_log_errstr(errno));
        return -1;
    }
    map = static_cast<uint8_t*>(mapping);
    // Read front to back once: a hint for read-ahead, it changes nothing of
    // what the mapping holds.
    madvise(mapping, len, MADV_SEQUENTIAL);
    return 0;
}

void close(int& fd, size_t len, uint8_t*& map)
{
    if (map != none()) {
        munmap(map, len);
        map = none();
    }
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace tvx::mapped_file
