#pragma once
// GnuTLS steps shared by the TLS query sender and the DNS client in TLS mode:
// session preparation, the handshake at connect, record reads and writes, and
// closing what preparation made.
//
//   tvx::tls::prepare(TVX_HERE, self, self->cred, self->session, nonblocking);   // fatal on failure
//   ... tvx::net::connect_stream(...) ...
//   if (tvx::tls::handshake(TVX_HERE, self, self->session, self->fd, self->timeout) != 0) return -3;
//   tvx::net::Io got = tvx::tls::receive(self->session, buffer, room);
//   tvx::net::Io put = tvx::tls::send_frame(self->session, message, len);
//   tvx::tls::close(self->session, self->cred, self->fd, established);
//
// No trust store, certificate check or server name is set up unless the client
// asks for them (set_peer): by default it takes whatever certificate the server
// presents, as a load generator pointed at a test server wants.
#include <cstddef>
#include <cstdint>
#include <gnutls/gnutls.h>

#include "core/detail/socket.h"
#include "core/timespec.h"

namespace tvx::tls {

// Library reference, certificate credentials and a client session with the
// default priorities and handshake timeout, writing with MSG_NOSIGNAL;
// `nonblocking` adds GNUTLS_NONBLOCK.
// Each failure is fatal with GnuTLS's text.
void prepare(Here here, const void* log, gnutls_certificate_credentials_t& cred, gnutls_session_t& session,
             bool nonblocking);

// The record timeout of a wait limit: whole milliseconds, a sub-millisecond
// limit raised to 1 ms, 0 (no limit) only for a zero limit.
unsigned int record_timeout_ms(const core_timespec_t& timeout);

// Attaches `fd` to the session, sets the record timeout and runs the handshake
// to its end. 0; -3 after a critical "gnutls_handshake() ..." line.
int handshake(Here here, const void* log, gnutls_session_t session, int fd, const core_timespec_t& timeout);

// What a client sends its server and checks of it. `name`: the server name
// sent (SNI; not for an IP literal, which SNI cannot carry) and, with
// `verify`, the name the certificate must match (an IP literal against its
// IP addresses). `ca_file`: PEM trust anchors in place of the system store.
// `alpn`: the one protocol offered, or null.
struct Peer {
    const char* name;
    bool verify;
    const char* ca_file;
    const char* alpn;
};

// Applies `peer` to a prepared session. 0, or -3 after a critical line.
int set_peer(Here here, const void* log, gnutls_session_t session, gnutls_certificate_credentials_t cred,
             const Peer& peer);

// One step of a handshake on a non-blocking socket already attached
// (gnutls_transport_set_int2): 0 done, 1 not yet (gnutls_record_get_direction
// tells whether it waits to read or to write), -3 failed after a critical
// line worded as handshake's.
int handshake_step(Here here, const void* log, gnutls_session_t session);

// One gnutls_record_recv. `closed` when the peer ended the session; `again`
// for GNUTLS_E_AGAIN, GNUTLS_E_INTERRUPTED and GNUTLS_E_TIMEDOUT (the record
// timeout ran out); `failed` with the GnuTLS code in `err` otherwise.
net::Io receive(gnutls_session_t session, uint8_t* into, size_t room);

// One gnutls_record_send of `len` bytes; results as for receive.
net::Io send_some(gnutls_session_t session, const uint8_t* bytes, size_t len);

// The length field and `len` message bytes as one record: the session is
// corked while both are queued, then flushed, repeating on would-block and
// timeouts. `data` or `failed`.
net::Io send_frame(gnutls_session_t session, const uint8_t* message, size_t len);

// `head` then `body` as one record, as send_frame does.
net::Io send_gathered(gnutls_session_t session, const uint8_t* head, size_t head_len, const uint8_t* body,
                      size_t body_len);

// Destroy: close_notify both ways on an established session, the session,
// the socket (when there is one: `fd` becomes -1), then the credentials and
// the library reference. Null handles are skipped and nulled, so a record that
// never got a socket still gives back what prepare made.
void close(gnutls_session_t& session, gnutls_certificate_credentials_t& cred, int& fd, bool established);

}  // namespace tvx::tls
