#include "input/capture.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

#include "core/detail/decompress.h"
#include "core/detail/frame_streams.h"
#include "core/detail/log.h"
#include "core/detail/pcap_file.h"
#include "core/detail/pcapng_file.h"

static_assert(std::is_standard_layout_v<input_capture_t>);

namespace {

core_log_t module_log = core_log_module_init("input.capture");

constexpr input_capture_t make_defaults()
{
    input_capture_t record{};
    record._log = core_log_object_init("input.capture", module_log);
    return record;
}
constexpr input_capture_t defaults = make_defaults();

// An LZ4 frame may hold blocks of 4 MiB, which decode only whole: the start
// of a file is read up to this much before it is called unknown.
constexpr size_t prefix_limit = 8 * 1024 * 1024;
constexpr size_t first_read = 65536;
// Enough for every magic: a Frame Streams file is told by its first 12 bytes.
constexpr size_t magic_size = tvx::fstrm::signature_size;

input_capture_format_t format_of(const uint8_t* bytes, size_t size)
{
    uint32_t magic;
    if (!tvx::Cursor(bytes, size).take_u32host(magic)) {
        return input_capture_format_unknown;
    }
    if (tvx::fstrm::starts_stream(bytes, size)) {
        return input_capture_format_dnstap;
    }
    switch (magic) {
    case tvx::pcap::magic_usec:
    case tvx::pcap::magic_nsec:
    case tvx::pcap::magic_usec_swapped:
    case tvx::pcap::magic_nsec_swapped:
        return input_capture_format_pcap;
    case tvx::pcapng::block_section:
        return input_capture_format_pcapng;
    default:
        return input_capture_format_unknown;
    }
}

// What the prefix read so far tells; false while more bytes could tell more.
bool tell(input_capture_t* self, bool ended)
{
    if (self->prefix_len < magic_size && !ended) {
        return false;
    }
    self->compression = tvx::decompress::kind_of_magic(self->prefix, self->prefix_len);
    if (self->compression == tvx::decompress::none) {
        self->format = format_of(self->prefix, self->prefix_len);
        return true;
    }
    uint8_t start[magic_size];
    const size_t got = tvx::decompress::decode_start(self->compression, self->prefix, self->prefix_len, start,
                                                     sizeof(start));
    self->format = format_of(start, got);
    return got == sizeof(start) || ended || self->prefix_len >= prefix_limit;
}

// Reads the start of `fd` into the prefix until its content is told.
int read_prefix(input_capture_t* self, int fd)
{
    size_t room = 0;
    for (;;) {
        if (self->prefix_len == room) {
            room = room ? room * 2 : first_read;
            auto* grown = static_cast<uint8_t*>(realloc(self->prefix, room));
            if (!grown) {
                TVX_FATAL(self, "out of memory");
            }
            self->prefix = grown;
        }
        const ssize_t got = read(fd, self->prefix + self->prefix_len, room - self->prefix_len);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        self->prefix_len += size_t(got);
        if (tell(self, got == 0)) {
            return 0;
        }
    }
}

// A stream that gives the prefix again and then reads on from the descriptor.
struct Replay {
    input_capture_t* self;
    int fd;
    bool owns_fd;
    size_t at;
};

ssize_t replay_read(void* cookie, char* dst, size_t count)
{
    auto* replay = static_cast<Replay*>(cookie);
    const size_t held = replay->self->prefix_len - replay->at;
    if (held > 0) {
        const size_t part = held < count ? held : count;
        memcpy(dst, replay->self->prefix + replay->at, part);
        replay->at += part;
        return ssize_t(part);
    }
    for (;;) {
        const ssize_t got = read(replay->fd, dst, count);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

int replay_close(void* cookie)
{
    auto* replay = static_cast<Replay*>(cookie);
    if (replay->owns_fd) {
        close(replay->fd);
    }
    delete replay;
    return 0;
}

FILE* replay_stream(input_capture_t* self, int fd, bool owns_fd)
{
    auto* replay = new (std::nothrow) Replay{self, fd, owns_fd, 0};
    if (!replay) {
        TVX_FATAL(self, "out of memory");
    }
    cookie_io_functions_t functions{};
    functions.read = replay_read;
    functions.close = replay_close;
    FILE* stream = fopencookie(replay, "rb", functions);
    if (!stream) {
        TVX_FATAL(self, "out of memory");
    }
    // Reads as large as the readers' own, so a pipe costs few calls.
    setvbuf(stream, nullptr, _IOFBF, 262144);
    return stream;
}

}  // namespace

extern "C" core_log_t* input_capture_log()
{
    return &module_log;
}

extern "C" void input_capture_init(input_capture_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

extern "C" void input_capture_close(input_capture_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->stream) {
        fclose(self->stream);
        self->stream = nullptr;
    }
}

extern "C" void input_capture_destroy(input_capture_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    input_capture_close(self);
    free(self->prefix);
    self->prefix = nullptr;
    self->prefix_len = 0;
}

extern "C" int input_capture_probe(input_capture_t* self, const char* path)
{
    TVX_CHECK_SELF(self, module_log);
    if (!path) {
        TVX_FATAL(self, "file is nil");
    }
    if (self->stream || self->prefix) {
        TVX_FATAL(self, "already opened");
    }
    self->is_stdin = strcmp(path, "-") == 0;
    const int fd = self->is_stdin ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        self->error = errno;
        if (fd >= 0 && !self->is_stdin) {
            close(fd);
        }
        return -1;
    }
    self->is_regular = S_ISREG(info.st_mode) ? 1 : 0;
    // A regular file is read again from its start; anything else cannot be.
    const off_t start = self->is_regular ? lseek(fd, 0, SEEK_CUR) : -1;
    if (read_prefix(self, fd) != 0) {
        self->error = errno;
        if (!self->is_stdin) {
            close(fd);
        }
        return -1;
    }
    if (start >= 0 && lseek(fd, start, SEEK_SET) == start) {
        // Standard input stays open for whoever else reads it: the stream
        // gets a descriptor of its own.
        const int own = self->is_stdin ? dup(fd) : fd;
        self->stream = own >= 0 ? fdopen(own, "rb") : nullptr;
        if (!self->stream) {
            self->error = errno;
            if (own >= 0) {
                close(own);
            }
            return -1;
        }
        return 0;
    }
    self->stream = replay_stream(self, fd, !self->is_stdin);
    return 0;
}
