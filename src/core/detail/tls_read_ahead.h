#pragma once
// Ciphertext read ahead for a non-blocking TLS session. GnuTLS reads a
// record in two system calls, its five-byte header and then its body; with
// small DNS records that doubles the reads a query costs. This transport
// takes what the socket holds in one recv and serves GnuTLS's reads from
// it; writes stay GnuTLS's own on the descriptor.
//
//   conn.ahead = std::make_unique<tvx::tls::ReadAhead>(fd);
//   conn.ahead->attach(session);             // in place of gnutls_transport_set_int
//   ... gnutls_record_recv until GNUTLS_E_AGAIN ...
//   if (gnutls_record_check_pending(session) == 0 && conn.ahead->empty()) { ...wait for the socket... }
// A reader waiting on the socket must first drain what is held here: the
// socket does not wake it for bytes already taken from it. GnuTLS also ends
// a read as would-block after a record that is not data (a TLS 1.3 session
// ticket), with the records behind it still held: a call that took bytes
// (taken() grew) and left some is followed by another.
#include <gnutls/gnutls.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tvx::tls {

class ReadAhead {
public:
    explicit ReadAhead(int fd) : fd_(fd) {}
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Reads come from here, writes go to the descriptor as GnuTLS does them.
    void attach(gnutls_session_t session)
    {
        session_ = session;
        gnutls_transport_set_ptr2(session, this, reinterpret_cast<gnutls_transport_ptr_t>(intptr_t(fd_)));
        gnutls_transport_set_pull_function(session, pull);
        gnutls_transport_set_pull_timeout_function(session, pull_timeout);
    }

    bool empty() const { return at_ == held_; }
    // Bytes handed to GnuTLS so far: whether a call made progress.
    uint64_t taken() const { return taken_; }

private:
    // What is held first; else one recv of what the socket has, its errno
    // handed to the session (a replaced pull reports it that way).
    static ssize_t pull(gnutls_transport_ptr_t ptr, void* data, size_t len)
    {
        auto& self = *static_cast<ReadAhead*>(ptr);
        if (self.empty()) {
            const ssize_t got = recv(self.fd_, self.bytes_, sizeof(self.bytes_), 0);
            if (got < 0) {
                gnutls_transport_set_errno(self.session_, errno);
            }
            if (got <= 0) {
                return got;
            }
            self.at_ = 0;
            self.held_ = size_t(got);
        }
        const size_t given = len < self.held_ - self.at_ ? len : self.held_ - self.at_;
        memcpy(data, self.bytes_ + self.at_, given);
        self.at_ += given;
        self.taken_ += given;
        return ssize_t(given);
    }

    // For a record timeout: ready at once when bytes are held.
    static int pull_timeout(gnutls_transport_ptr_t ptr, unsigned int ms)
    {
        auto& self = *static_cast<ReadAhead*>(ptr);
        if (!self.empty()) {
            return 1;
        }
        pollfd wait{self.fd_, POLLIN, 0};
        const int ready = poll(&wait, 1, ms == GNUTLS_INDEFINITE_TIMEOUT ? -1 : int(ms));
        return ready < 0 ? -1 : ready > 0 ? 1 : 0;
    }

    int fd_;
    gnutls_session_t session_ = nullptr;
    size_t at_ = 0;
    size_t held_ = 0;
    uint64_t taken_ = 0;
    // Several small answer records, or the start of a large one (the rest
    // is read as GnuTLS asks for it).
    uint8_t bytes_[4096];
};

}  // namespace tvx::tls
