#include "core/detail/tls.h"

#include <arpa/inet.h>
#include <climits>
#include <cstring>

#include "core/detail/log.h"
#include "core/detail/stream_frame.h"

namespace tvx::tls {

namespace {

bool retry(ssize_t result)
{
    return result == GNUTLS_E_AGAIN || result == GNUTLS_E_INTERRUPTED || result == GNUTLS_E_TIMEDOUT;
}

net::Io outcome(ssize_t result)
{
    if (result > 0) {
        return {net::Io::data, static_cast<size_t>(result), 0};
    }
    if (result == 0) {
        return {net::Io::closed, 0, 0};
    }
    if (retry(result)) {
        return {net::Io::again, 0, static_cast<int>(result)};
    }
    return {net::Io::failed, 0, static_cast<int>(result)};
}

// Adds bytes to a corked session's pending record.
bool queue(gnutls_session_t session, const uint8_t* bytes, size_t len)
{
    if (len == 0) {
        return true;
    }
    ssize_t put;
    do {
        put = gnutls_record_send(session, bytes, len);
    } while (retry(put));
    return put >= 0;
}

#define TVX_TLS_FATAL(call, err) \
    core_log_fatal(TVX_LOG_HANDLE(log), here.file, here.line, call "() error: %s", gnutls_strerror(err))

}  // namespace

void prepare(Here here, const void* log, gnutls_certificate_credentials_t& cred, gnutls_session_t& session,
             bool nonblocking)
{
    int err = gnutls_global_init();
    if (err < 0) {
        TVX_TLS_FATAL("gnutls_global_init", err);
    }
    if ((err = gnutls_certificate_allocate_credentials(&cred)) < 0) {
        TVX_TLS_FATAL("gnutls_certificate_allocate_credentials", err);
    }
    // GNUTLS_NO_SIGNAL: GnuTLS's own push sends with MSG_NOSIGNAL, so a
    // server that went away (a write mid-replay, the close_notify at destroy)
    // is a failed write, as on the TCP path, not SIGPIPE.
    const unsigned int flags = GNUTLS_CLIENT | GNUTLS_NO_SIGNAL | (nonblocking ? GNUTLS_NONBLOCK : 0);
    if ((err = gnutls_init(&session, flags)) < 0) {
        TVX_TLS_FATAL("gnutls_init", err);
    }
    if ((err = gnutls_set_default_priority(session)) < 0) {
        TVX_TLS_FATAL("gnutls_set_default_priority", err);
    }
    if ((err = gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, cred)) < 0) {
        TVX_TLS_FATAL("gnutls_credentials_set", err);
    }
    gnutls_handshake_set_timeout(session, GNUTLS_DEFAULT_HANDSHAKE_TIMEOUT);
}

unsigned int record_timeout_ms(const core_timespec_t& timeout)
{
    // Beyond what the session takes (about 49 days, or a far-future value)
    // there is no limit, and a negative limit means none either.
    constexpr int64_t max_sec = (UINT_MAX - 1000) / 1000;
    if (timeout.sec > max_sec || timeout.sec < -max_sec) {
        return 0;
    }
    const int64_t ms = timeout.sec * 1000 + timeout.nsec / 1000000;
    if (ms < 0 || ms > int64_t(UINT_MAX - 2)) {
        return 0;
    }
    if (ms == 0) {
        return timeout.nsec != 0 ? 1 : 0;
    }
    return static_cast<unsigned int>(ms);
}

namespace {

int handshake_failed(Here here, const void* log, gnutls_session_t session, int err)
{
    if (err == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        // Why the certificate was refused: untrusted, expired, another name...
        gnutls_datum_t why{};
        if (gnutls_certificate_verification_status_print(gnutls_session_get_verify_cert_status(session),
                                                         GNUTLS_CRT_X509, &why, 0) == 0) {
            core_log_critical(TVX_LOG_HANDLE(log), here.file, here.line, "certificate refused: %s", why.data);
            gnutls_free(why.data);
        }
    }
    if (err == GNUTLS_E_PREMATURE_TERMINATION) {
        core_log_critical(TVX_LOG_HANDLE(log), here.file, here.line, "gnutls_handshake() error: %s",
                          gnutls_strerror(err));
    } else {
        core_log_critical(TVX_LOG_HANDLE(log), here.file, here.line, "gnutls_handshake() failed: %s (%d)\n",
                          gnutls_strerror(err), err);
    }
    return -3;
}

}  // namespace

int handshake(Here here, const void* log, gnutls_session_t session, int fd, const core_timespec_t& timeout)
{
    gnutls_transport_set_int2(session, fd, fd);
    gnutls_record_set_timeout(session, record_timeout_ms(timeout));
    int err;
    do {
        err = gnutls_handshake(session);
    } while (err < 0 && !gnutls_error_is_fatal(err));
    return err == GNUTLS_E_SUCCESS ? 0 : handshake_failed(here, log, session, err);
}

int handshake_step(Here here, const void* log, gnutls_session_t session)
{
    const int err = gnutls_handshake(session);
    if (err == GNUTLS_E_SUCCESS) {
        return 0;
    }
    if (!gnutls_error_is_fatal(err)) {
        return 1;
    }
    return handshake_failed(here, log, session, err);
}

int set_peer(Here here, const void* log, gnutls_session_t session, gnutls_certificate_credentials_t cred,
             const Peer& peer)
{
    const auto failed = [&](const char* call, int err) {
        core_log_critical(TVX_LOG_HANDLE(log), here.file, here.line, "%s() error: %s", call, gnutls_strerror(err));
        return -3;
    };
    int err;
    unsigned char probe[sizeof(struct in6_addr)];
    const bool literal = peer.name && (inet_pton(AF_INET, peer.name, probe) == 1 ||
                                       inet_pton(AF_INET6, peer.name, probe) == 1);
    if (peer.name && *peer.name && !literal &&
        (err = gnutls_server_name_set(session, GNUTLS_NAME_DNS, peer.name, strlen(peer.name))) < 0) {
        return failed("gnutls_server_name_set", err);
    }
    if (peer.alpn) {
        const gnutls_datum_t protocol{reinterpret_cast<unsigned char*>(const_cast<char*>(peer.alpn)),
                                      static_cast<unsigned int>(strlen(peer.alpn))};
        if ((err = gnutls_alpn_set_protocols(session, &protocol, 1, GNUTLS_ALPN_MANDATORY)) < 0) {
            return failed("gnutls_alpn_set_protocols", err);
        }
    }
    if (!peer.verify) {
        return 0;
    }
    // The count of anchors loaded: none means nothing could ever verify.
    err = peer.ca_file ? gnutls_certificate_set_x509_trust_file(cred, peer.ca_file, GNUTLS_X509_FMT_PEM)
                       : gnutls_certificate_set_x509_system_trust(cred);
    if (err <= 0) {
        return failed(peer.ca_file ? "gnutls_certificate_set_x509_trust_file" : "gnutls_certificate_set_x509_system_trust",
                      err == 0 ? GNUTLS_E_NO_CERTIFICATE_FOUND : err);
    }
    gnutls_session_set_verify_cert(session, peer.name && *peer.name ? peer.name : nullptr, 0);
    return 0;
}

net::Io receive(gnutls_session_t session, uint8_t* into, size_t room)
{
    return outcome(gnutls_record_recv(session, into, room));
}

net::Io send_some(gnutls_session_t session, const uint8_t* bytes, size_t len)
{
    const ssize_t put = gnutls_record_send(session, bytes, len);
    if (put == 0) {
        // Nothing asked, nothing written: not an end of stream.
        return {net::Io::data, 0, 0};
    }
    return outcome(put);
}

net::Io send_gathered(gnutls_session_t session, const uint8_t* head, size_t head_len, const uint8_t* body,
                      size_t body_len)
{
    // Corked, both parts are only queued; the flush writes them as one record
    // instead of a lone two-byte record in front of every message.
    gnutls_record_cork(session);
    if (!queue(session, head, head_len) || !queue(session, body, body_len)) {
        gnutls_record_uncork(session, 0);
        return {net::Io::failed, 0, GNUTLS_E_INTERNAL_ERROR};
    }
    int flushed;
    do {
        flushed = gnutls_record_uncork(session, GNUTLS_RECORD_WAIT);
    } while (retry(flushed));
    if (flushed < 0) {
        return {net::Io::failed, 0, flushed};
    }
    return {net::Io::data, head_len + body_len, 0};
}

net::Io send_frame(gnutls_session_t session, const uint8_t* message, size_t len)
{
    uint8_t field[stream::length_field_size];
    stream::put_length_field(field, len);
    return send_gathered(session, field, sizeof(field), message, len);
}

void close(gnutls_session_t& session, gnutls_certificate_credentials_t& cred, int& fd, bool established)
{
    if (session) {
        if (established && fd >= 0) {
            gnutls_bye(session, GNUTLS_SHUT_RDWR);
        }
        gnutls_deinit(session);
        session = nullptr;
    }
    if (fd >= 0) {
        net::close_socket(fd);
        fd = -1;
    }
    if (cred) {
        gnutls_certificate_free_credentials(cred);
        cred = nullptr;
        gnutls_global_deinit();
    }
}

}  // namespace tvx::tls
