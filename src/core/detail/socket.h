#pragma once
// Socket steps shared by the query senders (UDP, TCP, TLS) and the DNS client.
//
// A sender uses it like this:
//
//   tvx::net::Resolved server;
//   if (tvx::net::resolve(TVX_HERE, self, host, port, server) != 0) return -1;   // logged
//   int fd = socket(server.family(), SOCK_DGRAM, 0);
//   ...
//   switch (tvx::net::switch_blocking(TVX_HERE, self, fd, nonblocking)) { ... } // logged
//   const int limit = tvx::net::wait_limit_ms(self->timeout);                 // 0 ms -> 1 ms
//   tvx::net::Wait ready = tvx::net::wait_for(fd, POLLIN, limit);
//   tvx::net::Io got = tvx::net::receive(fd, buffer, sizeof(buffer));
//   tvx::net::Io put = tvx::net::send_all(fd, bytes, len, &addr, addr_len);
//
// The failure messages are logged here, on the caller's log handle and with the
// caller's source position (TVX_HERE), so every sender reports the same texts
// under its own source tag. Sends and receives are never logged: senders count
// their failures instead. The two-byte stream framing lives in stream_frame.h.
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>

#include "core/detail/log.h"
#include "core/log.h"
#include "core/timespec.h"

namespace tvx::net {

struct Resolved {
    struct sockaddr_storage addr;
    socklen_t addr_len;
    int family() const { return addr.ss_family; }
};

// The misuse every sender's connect refuses, fatal on its own log: no host,
// no port, a second connect while a socket is open.
inline void refuse_bad_connect(Here here, const void* log, const char* host, const char* port, int fd)
{
    if (!host) {
        core_log_fatal(tvx_log_handle(log), here.file, here.line, "host is nil");
    }
    if (!port) {
        core_log_fatal(tvx_log_handle(log), here.file, here.line, "port is nil");
    }
    if (fd >= 0) {
        core_log_fatal(tvx_log_handle(log), here.file, here.line, "already connected");
    }
}

// getaddrinfo(host, port) without hints, keeping the first result of any family
// and socket type. 0 on success; -1 after a critical "getaddrinfo(...)" line.
int resolve(Here here, const void* log, const char* host, const char* port, Resolved& out);

enum class Switch {
    ok,
    get_failed,  // flags unread: nothing changed
    set_failed,  // flags read but not written back
};

// Which flag word the "fcntl(FL_SETFL, %x)" message shows.
enum class SetflReport { written, as_read };

// Adds or removes O_NONBLOCK on `fd`, logging a failed fcntl at critical level.
Switch switch_blocking(Here here, const void* log, int fd, bool nonblocking,
                       SetflReport report = SetflReport::written);

// 1 when `fd` has O_NONBLOCK, 0 when not, -1 when its flags cannot be read.
int is_nonblocking(int fd);

// The wait limit of a timeout in milliseconds: computed in double precision,
// truncated to 32 bits, and a result of 0 raised to 1 so that a sub-millisecond
// timeout still waits instead of only checking.
int wait_limit_ms(const core_timespec_t& timeout);

enum class Wait {
    ready,         // the requested event is there, with or without error flags
    timeout,       // nothing within the limit
    not_ready,     // poll returned without the requested event and without error flags
    error,         // poll failed, or error / hang-up / invalid descriptor without the event
};

// One poll(2) on `fd` for `events` (POLLIN or POLLOUT) with `limit_ms`; a
// poll interrupted by a signal is made again for the rest of the limit (a
// timeout when none is left), so a signal never reads as a failed wait.
// Readable data beside POLLERR or POLLHUP is `ready`: a receiver reads what
// is there first, and its read reports the end or the error after it.
Wait wait_for(int fd, short events, int limit_ms);

// The poll under wait_for, for a caller that wants the flags themselves
// (several events at once): the revents within the limit, 0 when nothing
// came, -1 when poll failed. Signals are no failure, as in wait_for.
int poll_events(int fd, short events, int limit_ms);

// Outcome of one socket read or a whole send.
struct Io {
    enum Kind {
        data,    // `size` bytes moved (a send: all of them); `err` a failure reported with them, or 0
        closed,  // a read returned 0 bytes: end of stream (or an empty datagram)
        again,   // would block or was interrupted: try later
        failed,  // any other failure; `err` holds errno
    } kind;
    size_t size;
    int err;
};

// One recvfrom(2) into `into` of at most `room` bytes. A failure with data
// still queued (a datagram socket reports its pending error first) gives the
// data, with the error in `err`: the caller counts both.
Io receive(int fd, uint8_t* into, size_t room);

// Sends `len` bytes, to `to` when it is given (datagrams) or on the connected
// stream. A partial write continues with the rest; a write that would block or
// was interrupted is repeated at once, without waiting. An empty buffer still
// goes out (an empty datagram). Returns `data` or `failed`.
Io send_all(int fd, const uint8_t* bytes, size_t len, const struct sockaddr* to, socklen_t to_len);

// shutdown(2) both directions and close(2), for destroy.
void close_socket(int fd);

// The stream senders' connect: resolve, a stream socket of the first address's
// family, connect(2). 0 on success; -1 after a failed resolution (fd untouched);
// -2 after a critical "socket() error %s" or "connect() error %s". A socket
// whose connect failed stays in `fd`, so the record cannot be connected again.
int connect_stream(Here here, const void* log, const char* host, const char* port, int& fd);

// One sendmsg(2) of the bytes from offset `done` of `head` followed by `body`
// (a length field and its message go out in one segment, so Nagle's algorithm
// never holds a message behind its own two-byte field). `data` with the count
// written by this call, `again` or `failed`.
Io send_gathered(int fd, const uint8_t* head, size_t head_len, const uint8_t* body, size_t body_len, size_t done);

// The length field of `len` (its low 16 bits), then the message, continuing
// partial writes and repeating writes that would block or were interrupted.
// Returns `data` or `failed`.
Io send_frame(int fd, const uint8_t* message, size_t len);

}  // namespace tvx::net
