#include "output/tlscli.h"

#include <type_traits>

#include "core/detail/log.h"
#include "core/detail/socket.h"
#include "core/detail/stream_sender.h"
#include "core/detail/tls.h"

static_assert(std::is_standard_layout_v<output_tlscli_t>);

namespace {

core_log_t module_log = core_log_module_init("output.tlscli");

constexpr output_tlscli_t make_defaults()
{
    output_tlscli_t d{};
    d._log = core_log_object_init("output.tlscli", module_log);
    d.fd = -1;
    d.pkt.obj_type = CORE_OBJECT_PAYLOAD;
    d.timeout = {5, 0};
    return d;
}

constexpr output_tlscli_t defaults = make_defaults();

void check_established(output_tlscli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->fd < 0) {
        TVX_FATAL(self, "not connected");
    }
    if (!self->tls_ok) {
        TVX_FATAL(self, "TLS is not established");
    }
}

void send_query(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<output_tlscli_t*>(ctx);
    tvx::sender::send_framed(self, obj, [self](const uint8_t* message, size_t len) {
        return tvx::tls::send_frame(self->session, message, len);
    });
}

// The session as the reassembly sees it. There is no poll: a read waits at
// most the record timeout, and a read that ran out of time is reported as an
// ended wait, so that a lone length-field byte is kept for the next call
// instead of being taken for the start of a new field. The session blocks, so
// GNUTLS_E_AGAIN only means that a handshake message (a TLS 1.3 session
// ticket) was taken in place of data: that read is made again, as an
// interrupted one is, rather than reported as a timeout that did not happen.
struct SessionSource {
    gnutls_session_t session;
    bool timed_out = false;

    tvx::net::Wait wait()
    {
        if (timed_out) {
            timed_out = false;
            return tvx::net::Wait::timeout;
        }
        return tvx::net::Wait::ready;
    }

    tvx::net::Io read(uint8_t* into, size_t room)
    {
        tvx::net::Io got;
        do {
            got = tvx::tls::receive(session, into, room);
        } while (got.kind == tvx::net::Io::again && got.err != GNUTLS_E_TIMEDOUT);
        timed_out = got.kind == tvx::net::Io::again;
        return got;
    }
};

const core_object_t* receive_response(void* ctx)
{
    auto* self = static_cast<output_tlscli_t*>(ctx);
    SessionSource source{self->session};
    // Not blocking in the reassembly's sense: a timeout is an empty response.
    return tvx::sender::produce_message(self, source, false);
}

}  // namespace

extern "C" core_log_t* output_tlscli_log()
{
    return &module_log;
}

extern "C" void output_tlscli_init(output_tlscli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    self->pkt.payload = self->recvbuf;
    tvx::tls::prepare(TVX_HERE, self, self->cred, self->session, false);
}

extern "C" void output_tlscli_destroy(output_tlscli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::tls::close(self->session, self->cred, self->fd, self->tls_ok != 0);
    self->tls_ok = 0;
}

extern "C" int output_tlscli_connect(output_tlscli_t* self, const char* host, const char* port)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::net::refuse_bad_connect(TVX_HERE, self, host, port, self->fd);
    if (self->tls_ok) {
        TVX_FATAL(self, "TLS already established");
    }
    const int connected = tvx::net::connect_stream(TVX_HERE, self, host, port, self->fd);
    if (connected != 0) {
        return connected;
    }
    if (tvx::tls::handshake(TVX_HERE, self, self->session, self->fd, self->timeout) != 0) {
        return -3;
    }
    self->tls_ok = 1;
    return 0;
}

extern "C" core_receiver_t output_tlscli_receiver(output_tlscli_t* self)
{
    check_established(self);
    return send_query;
}

extern "C" core_producer_t output_tlscli_producer(output_tlscli_t* self)
{
    check_established(self);
    return receive_response;
}
