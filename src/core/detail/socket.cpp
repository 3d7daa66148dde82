#include "core/detail/socket.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/detail/log.h"
#include "core/detail/stream_frame.h"

namespace tvx::net {

int resolve(Here here, const void* log, const char* host, const char* port, Resolved& out)
{
    struct addrinfo* list = nullptr;
    const int err = getaddrinfo(host, port, nullptr, &list);
    if (err != 0) {
        core_log_critical(TVX_LOG_HANDLE(log), here.file, here.line, "getaddrinfo(%s, %s) error %s", host, port,
                          gai_strerror(err));
        return -1;
    }
    if (!list) {
        core_log_critical(TVX_LOG_HANDLE(log), here.file, here.line, "getaddrinfo failed, no address returned");
        return -1;
    }
    out = {};
    size_t len = list->ai_addrlen;
    if (len > sizeof(out.addr)) {
        len = sizeof(out.addr);
    }
    memcpy(&out.addr, list->ai_addr, len);
    out.addr_len = static_cast<socklen_t>(len);
    freeaddrinfo(list);
    return 0;
}

Switch switch_blocking(Here here, const void* log, int fd, bool nonblocking, SetflReport report)
{
    const int read_flags = fcntl(fd, F_GETFL);
    if (read_flags == -1) {
        core_log_critical(TVX_LOG_HANDLE(log), here.file, here.line, "fcntl(FL_GETFL) error %s",
                          core_log_errstr(errno));
        return Switch::get_failed;
    }
    const int flags = nonblocking ? (read_flags | O_NONBLOCK) : (read_flags & ~O_NONBLOCK);
    if (fcntl(fd, F_SETFL, flags) == -1) {
        core_log_critical(TVX_LOG_HANDLE(log), here.file, here.line, "fcntl(FL_SETFL, %x) error %s",
                          report == SetflReport::written ? flags : read_flags, core_log_errstr(errno));
        return Switch::set_failed;
    }
    return Switch::ok;
}

int is_nonblocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        return -1;
    }
    return (flags & O_NONBLOCK) ? 1 : 0;
}

int wait_limit_ms(const core_timespec_t& timeout)
{
    const double ms = timeout.sec * 1000.0 + timeout.nsec / 1000000.0;
    // Beyond what poll can take (about 24 days, or a far-future value) means no
    // limit; poll treats any negative limit the same way.
    if (!(ms < 2147483648.0) || !(ms > -2147483649.0)) {
        return -1;
    }
    const auto limit = static_cast<int>(ms);
    return limit == 0 ? 1 : limit;
}

int poll_events(int fd, short events, int limit_ms)
{
    // A signal that interrupts the wait is no failure of the socket: the wait
    // goes on for what is left of the limit (poll is never restarted on its
    // own, whatever the handler's flags).
    // Only a wait with a limit needs its deadline: a check (0) or an endless
    // wait (negative) reads no clock.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        limit_ms > 0 ? Clock::now() + std::chrono::milliseconds(limit_ms) : Clock::time_point{};
    struct pollfd pfd = {fd, events, 0};
    int got;
    while ((got = poll(&pfd, 1, limit_ms)) < 0 && errno == EINTR) {
        if (limit_ms > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return 0;
            }
            limit_ms = static_cast<int>(left);
        }
        pfd.revents = 0;
    }
    if (got < 0) {
        return -1;
    }
    return got == 0 ? 0 : pfd.revents;
}

Wait wait_for(int fd, short events, int limit_ms)
{
    const int revents = poll_events(fd, events, limit_ms);
    if (revents < 0) {
        return Wait::error;
    }
    if (revents == 0) {
        return Wait::timeout;
    }
    // What can be read (an answer that came just before a reset) is read
    // first: the read itself then reports the end or the error once nothing
    // is left. The error flags alone mean the socket is done.
    if (revents & events) {
        return Wait::ready;
    }
    return (revents & (POLLERR | POLLHUP | POLLNVAL)) ? Wait::error : Wait::not_ready;
}

namespace {

Io failure()
{
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return {Io::again, 0, errno};
    }
    return {Io::failed, 0, errno};
}

}  // namespace

Io receive(int fd, uint8_t* into, size_t room)
{
    const ssize_t got = recvfrom(fd, into, room, 0, nullptr, nullptr);
    if (got > 0) {
        return {Io::data, static_cast<size_t>(got), 0};
    }
    if (got == 0) {
        return {Io::closed, 0, 0};
    }
    const Io failed = failure();
    if (failed.kind != Io::failed) {
        return failed;
    }
    // A datagram socket reports a pending error (an ICMP message about a
    // later datagram) before the datagrams queued ahead of it, and the report
    // clears it: what is queued is read now, with the error beside it. A
    // stream hands out its data before its error anyway.
    const ssize_t queued = recvfrom(fd, into, room, MSG_DONTWAIT, nullptr, nullptr);
    if (queued > 0) {
        return {Io::data, static_cast<size_t>(queued), failed.err};
    }
    return failed;
}

Io send_all(int fd, const uint8_t* bytes, size_t len, const struct sockaddr* to, socklen_t to_len)
{
    // MSG_NOSIGNAL: a peer that went away is a counted failure, not SIGPIPE.
    size_t sent = 0;
    bool first = true;
    while (first || sent < len) {
        const ssize_t put = sendto(fd, bytes + sent, len - sent, MSG_NOSIGNAL, to, to_len);
        if (put < 0) {
            const Io io = failure();
            if (io.kind == Io::failed) {
                return io;
            }
            continue;
        }
        sent += static_cast<size_t>(put);
        first = false;
    }
    return {Io::data, sent, 0};
}

void close_socket(int fd)
{
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

int connect_stream(Here here, const void* log, const char* host, const char* port, int& fd)
{
    Resolved server;
    if (resolve(here, log, host, port, server) != 0) {
        return -1;
    }
    fd = socket(server.family(), SOCK_STREAM, 0);
    if (fd < 0) {
        core_log_critical(TVX_LOG_HANDLE(log), here.file, here.line, "socket() error %s", core_log_errstr(errno));
        return -2;
    }
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&server.addr), server.addr_len) != 0) {
        core_log_critical(TVX_LOG_HANDLE(log), here.file, here.line, "connect() error %s", core_log_errstr(errno));
        return -2;
    }
    return 0;
}

Io send_gathered(int fd, const uint8_t* head, size_t head_len, const uint8_t* body, size_t body_len, size_t done)
{
    struct iovec parts[2];
    int count = 0;
    if (done < head_len) {
        parts[count++] = {const_cast<uint8_t*>(head + done), head_len - done};
        done = 0;
    } else {
        done -= head_len;
    }
    if (done < body_len) {
        parts[count++] = {const_cast<uint8_t*>(body + done), body_len - done};
    }
    if (count == 0) {
        return {Io::data, 0, 0};
    }
    struct msghdr message = {};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    // MSG_NOSIGNAL: a peer that went away is a counted failure, not SIGPIPE.
    const ssize_t put = sendmsg(fd, &message, MSG_NOSIGNAL);
    if (put < 0) {
        return failure();
    }
    return {Io::data, static_cast<size_t>(put), 0};
}

Io send_frame(int fd, const uint8_t* message, size_t len)
{
    uint8_t field[stream::length_field_size];
    stream::put_length_field(field, len);
    const size_t total = sizeof(field) + len;
    size_t done = 0;
    while (done < total) {
        const Io put = send_gathered(fd, field, sizeof(field), message, len, done);
        if (put.kind == Io::failed) {
            return put;
        }
        if (put.kind == Io::data) {
            done += put.size;
        }
    }
    return {Io::data, total, 0};
}

}  // namespace tvx::net
