#include "output/dnscli.h"

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "core/detail/log.h"
#include "core/detail/socket.h"
#include "core/detail/stream_frame.h"
#include "core/detail/tls.h"
#include "core/object/dns.h"

static_assert(std::is_standard_layout_v<output_dnscli_t>);

namespace {

using tvx::net::Io;
using tvx::net::Wait;

core_log_t module_log = core_log_module_init("output.dnscli");

constexpr output_dnscli_t make_defaults()
{
    output_dnscli_t d{};
    d._log = core_log_object_init("output.dnscli", module_log);
    d.fd = -1;
    d.pkt.obj_type = CORE_OBJECT_PAYLOAD;
    return d;
}

constexpr output_dnscli_t defaults = make_defaults();

enum class Transport { udp, tcp, tls, invalid };

Transport transport(const output_dnscli_t* self)
{
    switch (self->mode & OUTPUT_DNSCLI_MODE_MODES) {
    case OUTPUT_DNSCLI_MODE_UDP:
        return Transport::udp;
    case OUTPUT_DNSCLI_MODE_TCP:
        return Transport::tcp;
    case OUTPUT_DNSCLI_MODE_TLS:
        return Transport::tls;
    default:
        return Transport::invalid;
    }
}

// The bytes of one query as they go on the wire: `head` is a length field the
// client adds in front of a DNS record's message on a stream, else empty.
struct Query {
    uint8_t field[tvx::stream::length_field_size];
    size_t head_len;
    const uint8_t* body;
    size_t body_len;

    const uint8_t* head() const { return field; }
    size_t total() const { return head_len + body_len; }
};

// Only the object itself is looked at: a payload record is sent as it is (on
// a stream it must already be framed); a DNS record according to whether its
// bytes start with the length field. False: nothing to send.
bool pick_query(Transport how, const core_object_t* obj, Query& query)
{
    if (!obj) {
        return false;
    }
    query.head_len = 0;
    if (obj->obj_type == CORE_OBJECT_PAYLOAD) {
        const auto* payload = reinterpret_cast<const core_object_payload_t*>(obj);
        query.body = payload->payload;
        query.body_len = payload->len;
    } else if (obj->obj_type == CORE_OBJECT_DNS) {
        const auto* dns = reinterpret_cast<const core_object_dns_t*>(obj);
        query.body = dns->payload;
        query.body_len = dns->len;
        if (how == Transport::udp && dns->includes_dnslen) {
            if (dns->len < tvx::stream::length_field_size) {
                return false;
            }
            query.body += tvx::stream::length_field_size;
            query.body_len -= tvx::stream::length_field_size;
        } else if (how != Transport::udp && !dns->includes_dnslen) {
            tvx::stream::put_length_field(query.field, dns->len);
            query.head_len = sizeof(query.field);
        }
    } else {
        return false;
    }
    // A record that claims bytes it does not point at is not sendable.
    return query.body || query.body_len == 0;
}

// One wait of the record's limit; a wait that ran out is counted.
Wait wait_ready(output_dnscli_t* self, short events)
{
    const Wait ready = tvx::net::wait_for(self->fd, events, self->poll_timeout);
    if (ready == Wait::timeout) {
        self->timeouts++;
    }
    return ready;
}

Io send_datagram(const output_dnscli_t* self, const uint8_t* bytes, size_t len)
{
    const ssize_t put = sendto(self->fd, bytes, len, MSG_NOSIGNAL,
                               reinterpret_cast<const struct sockaddr*>(&self->addr),
                               static_cast<socklen_t>(self->addr_len));
    if (put >= 0) {
        return {Io::data, static_cast<size_t>(put), 0};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return {Io::again, 0, errno};
    }
    return {Io::failed, 0, errno};
}

// Push over UDP: one datagram, waiting for room first when there is a limit.
void send_udp(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<output_dnscli_t*>(ctx);
    Query query;
    if (!pick_query(Transport::udp, obj, query)) {
        return;
    }
    for (;;) {
        if (self->poll_timeout != 0) {
            const Wait ready = wait_ready(self, POLLOUT);
            if (ready == Wait::timeout) {
                if (self->nonblocking) {
                    return;
                }
                continue;
            }
            if (ready != Wait::ready) {
                self->errs++;
                return;
            }
        }
        const Io put = send_datagram(self, query.body, query.body_len);
        if (put.kind == Io::data) {
            break;
        }
        if (put.kind == Io::failed) {
            self->errs++;
            return;
        }
        if (self->nonblocking) {
            return;
        }
    }
    self->pkts++;
}

// Push over TCP. A non-blocking client gives a query up when the socket has
// no room for it, but only before its first byte is written: a frame given up
// halfway would make the server read the next query as the rest of this one,
// so a started frame is always finished (waiting for room as a blocking one).
void send_tcp(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<output_dnscli_t*>(ctx);
    Query query;
    if (!pick_query(Transport::tcp, obj, query)) {
        return;
    }
    const size_t total = query.total();
    size_t done = 0;
    while (done < total) {
        const bool may_give_up = self->nonblocking && done == 0;
        if (self->poll_timeout != 0) {
            const Wait ready = wait_ready(self, POLLOUT);
            if (ready == Wait::timeout) {
                if (may_give_up) {
                    return;
                }
                continue;
            }
            if (ready != Wait::ready) {
                self->errs++;
                return;
            }
        }
        const Io put =
            tvx::net::send_gathered(self->fd, query.head(), query.head_len, query.body, query.body_len, done);
        if (put.kind == Io::data) {
            done += put.size;
            continue;
        }
        if (put.kind == Io::failed) {
            self->errs++;
            return;
        }
        if (may_give_up) {
            return;
        }
        if (self->nonblocking && self->poll_timeout == 0 &&
            tvx::net::wait_for(self->fd, POLLOUT, -1) == Wait::error) {
            self->errs++;
            return;
        }
    }
    self->pkts++;
}

// Push over TLS: field and message as one record; the session blocks, so a
// write that would block is repeated.
void send_tls(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<output_dnscli_t*>(ctx);
    Query query;
    if (!pick_query(Transport::tls, obj, query)) {
        return;
    }
    if (tvx::tls::send_gathered(self->session, query.head(), query.head_len, query.body, query.body_len).kind !=
        Io::data) {
        self->errs++;
        return;
    }
    self->pkts++;
}

const core_object_t* response(output_dnscli_t* self, size_t len)
{
    self->pkt.len = len;
    return reinterpret_cast<const core_object_t*>(&self->pkt);
}

const core_object_t* receive_udp(void* ctx)
{
    auto* self = static_cast<output_dnscli_t*>(ctx);
    for (;;) {
        if (self->poll_timeout != 0) {
            const Wait ready = wait_ready(self, POLLIN);
            if (ready == Wait::timeout) {
                return response(self, 0);
            }
            if (ready != Wait::ready) {
                self->errs++;
                return nullptr;
            }
        }
        const Io got = tvx::net::receive(self->fd, self->recvbuf, sizeof(self->recvbuf));
        switch (got.kind) {
        case Io::data:
            self->pkts_recv++;
            if (got.err != 0) {
                self->errs++;
            }
            return response(self, got.size);
        case Io::closed:
            return nullptr;
        case Io::again:
            if (self->nonblocking) {
                return response(self, 0);
            }
            break;
        case Io::failed:
            self->errs++;
            return nullptr;
        }
    }
}

// The stream as the frame reassembly sees it. Over TCP a wait is a poll with
// the record's limit (none without one). Over TLS there is no poll: the
// session's record timeout bounds each read, and a read that ran into it ends
// the call like a wait that ran out, counted, with what was received kept
// (so the limit bounds a wait in every transport). Would-block and
// interrupted reads are repeated: on the blocking session they only mean that
// a handshake message (a TLS 1.3 session ticket) was taken in place of data.
struct StreamSource {
    output_dnscli_t* self;
    bool tls;
    bool timed_out = false;

    Wait wait()
    {
        if (timed_out) {
            timed_out = false;
            self->timeouts++;
            return Wait::timeout;
        }
        if (tls || self->poll_timeout == 0) {
            return Wait::ready;
        }
        return wait_ready(self, POLLIN);
    }

    Io read(uint8_t* into, size_t room)
    {
        if (!tls) {
            return tvx::net::receive(self->fd, into, room);
        }
        Io got;
        do {
            got = tvx::tls::receive(self->session, into, room);
        } while (got.kind == Io::again && got.err != GNUTLS_E_TIMEDOUT);
        timed_out = got.kind == Io::again;
        return got;
    }
};

const core_object_t* receive_stream(output_dnscli_t* self, bool tls)
{
    StreamSource source{self, tls};
    tvx::stream::FrameAssembly assembly{self->recvbuf, sizeof(self->recvbuf), self->recv,
                                        self->dnslen,  self->have_dnslen,     self->have_pkt};
    const tvx::stream::Result got = assembly.next(source, self->nonblocking == 1, tls);
    switch (got.kind) {
    case tvx::stream::Result::message:
        self->pkts_recv++;
        return response(self, got.len);
    case tvx::stream::Result::empty:
        return response(self, 0);
    case tvx::stream::Result::end:
        return nullptr;
    case tvx::stream::Result::error:
        break;
    }
    self->errs++;
    return nullptr;
}

const core_object_t* receive_tcp(void* ctx)
{
    return receive_stream(static_cast<output_dnscli_t*>(ctx), false);
}

const core_object_t* receive_tls(void* ctx)
{
    return receive_stream(static_cast<output_dnscli_t*>(ctx), true);
}

void check_connected(output_dnscli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->conn_ok) {
        TVX_FATAL(self, "not connected");
    }
}

int connect_udp(output_dnscli_t* self, const char* host, const char* port)
{
    tvx::net::Resolved server;
    if (tvx::net::resolve(TVX_HERE, self, host, port, server) != 0) {
        return -1;
    }
    memcpy(&self->addr, &server.addr, sizeof(self->addr));
    self->addr_len = server.addr_len;
    self->fd = socket(server.family(), SOCK_DGRAM, 0);
    if (self->fd < 0) {
        TVX_CRITICAL(self, "socket() error %s", core_log_errstr(errno));
        return -2;
    }
    return 0;
}

}  // namespace

extern "C" core_log_t* output_dnscli_log()
{
    return &module_log;
}

extern "C" void output_dnscli_init(output_dnscli_t* self, output_dnscli_mode_t mode)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    self->mode = mode;
    self->pkt.payload = self->recvbuf;
    const Transport how = transport(self);
    if (how == Transport::invalid) {
        TVX_FATAL(self, "Invalid mode %x", static_cast<unsigned>(mode));
    }
    if (how == Transport::tls) {
        tvx::tls::prepare(TVX_HERE, self, self->cred, self->session, (mode & OUTPUT_DNSCLI_MODE_NONBLOCKING) != 0);
    }
}

extern "C" void output_dnscli_destroy(output_dnscli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (transport(self) == Transport::tls) {
        // Also without a socket: the session and credentials came from init.
        tvx::tls::close(self->session, self->cred, self->fd, self->conn_ok != 0);
    } else if (self->fd >= 0) {
        tvx::net::close_socket(self->fd);
        self->fd = -1;
    }
    self->conn_ok = 0;
}

extern "C" int output_dnscli_connect(output_dnscli_t* self, const char* host, const char* port)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::net::refuse_bad_connect(TVX_HERE, self, host, port, self->fd);
    const Transport how = transport(self);
    const int connected = how == Transport::udp ? connect_udp(self, host, port)
                                                : tvx::net::connect_stream(TVX_HERE, self, host, port, self->fd);
    if (connected != 0) {
        return connected;
    }
    if (how == Transport::tls) {
        // The session's record timeout bounds every read; the socket itself
        // stays blocking and is never polled.
        if (tvx::tls::handshake(TVX_HERE, self, self->session, self->fd, self->timeout) != 0) {
            return -3;
        }
        self->conn_ok = 1;
        return 0;
    }
    if (self->mode & OUTPUT_DNSCLI_MODE_NONBLOCKING) {
        if (tvx::net::switch_blocking(TVX_HERE, self, self->fd, true, tvx::net::SetflReport::as_read) !=
            tvx::net::Switch::ok) {
            return -3;
        }
        self->nonblocking = 1;
    }
    if (self->timeout.sec > 0 || self->timeout.nsec > 0) {
        self->poll.fd = self->fd;
        self->poll_timeout = tvx::net::wait_limit_ms(self->timeout);
    }
    self->conn_ok = 1;
    return 0;
}

extern "C" ssize_t output_dnscli_send(output_dnscli_t* self, const core_object_t* obj, size_t sent)
{
    TVX_CHECK_SELF(self, module_log);
    const Transport how = transport(self);
    Query query;
    if (how == Transport::invalid || !self->conn_ok || !pick_query(how, obj, query)) {
        return -2;
    }
    const size_t total = query.total();
    if (sent > total) {
        return -2;
    }
    if (sent == total && total > 0) {
        return 0;
    }
    if (how != Transport::tls && self->poll_timeout != 0) {
        const Wait ready = wait_ready(self, POLLOUT);
        if (ready == Wait::timeout) {
            return -1;
        }
        if (ready != Wait::ready) {
            self->errs++;
            return -2;
        }
    }
    // One write: what is left of the added field, else what is left of the bytes.
    const bool in_field = sent < query.head_len;
    const uint8_t* from = in_field ? query.head() + sent : query.body + (sent - query.head_len);
    const size_t len = in_field ? query.head_len - sent : total - sent;
    Io put;
    switch (how) {
    case Transport::udp:
        put = send_datagram(self, from, len);
        break;
    case Transport::tcp:
        put = tvx::net::send_gathered(self->fd, nullptr, 0, from, len, 0);
        break;
    default:
        put = tvx::tls::send_some(self->session, from, len);
        break;
    }
    switch (put.kind) {
    case Io::data:
        return static_cast<ssize_t>(put.size);
    case Io::again:
        return -1;
    default:
        return -2;
    }
}

extern "C" core_receiver_t output_dnscli_receiver(output_dnscli_t* self)
{
    check_connected(self);
    switch (transport(self)) {
    case Transport::udp:
        return send_udp;
    case Transport::tcp:
        return send_tcp;
    case Transport::tls:
        return send_tls;
    default:
        TVX_FATAL(self, "internal error");
    }
}

extern "C" core_producer_t output_dnscli_producer(output_dnscli_t* self)
{
    check_connected(self);
    switch (transport(self)) {
    case Transport::udp:
        return receive_udp;
    case Transport::tcp:
        return receive_tcp;
    case Transport::tls:
        return receive_tls;
    default:
        TVX_FATAL(self, "internal error");
    }
}

extern "C" int output_dnscli_ready(output_dnscli_t* self, int limit_ms)
{
    check_connected(self);
    constexpr int readable = 1, writable = 2;
    const tvx::stream::FrameAssembly assembly{self->recvbuf, sizeof(self->recvbuf), self->recv,
                                              self->dnslen,  self->have_dnslen,     self->have_pkt};
    const bool held = (transport(self) != Transport::udp && assembly.frame_ready()) ||
                      (transport(self) == Transport::tls && gnutls_record_check_pending(self->session) > 0);
    const int revents = tvx::net::poll_events(self->fd, POLLIN | POLLOUT, held ? 0 : limit_ms);
    int ready = held ? readable : 0;
    if (revents > 0) {
        // A peer that closed or failed is readable: the receive tells how.
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
            ready |= readable;
        }
        if (revents & POLLOUT) {
            ready |= writable;
        }
    }
    return ready;
}
