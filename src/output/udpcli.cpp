#include "output/udpcli.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <type_traits>

#include "core/detail/log.h"
#include "core/detail/socket.h"

static_assert(std::is_standard_layout_v<output_udpcli_t>);

namespace {

core_log_t module_log = core_log_module_init("output.udpcli");

constexpr output_udpcli_t defaults = [] {
    output_udpcli_t d{};
    d._log = core_log_object_init("output.udpcli", module_log);
    d.fd = -1;
    d.pkt.obj_type = CORE_OBJECT_PAYLOAD;
    d.timeout = {5, 0};
    d.blocking = 1;
    return d;
}();

output_udpcli_t* checked(void* ctx)
{
    auto* self = static_cast<output_udpcli_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    return self;
}

void require_connected(const output_udpcli_t* self)
{
    if (self->fd < 0) {
        TVX_FATAL(self, "not connected");
    }
}

// DNS records rest on the payload that carries their bytes; anything else
// carries no query.
const core_object_payload_t* query_payload(const core_object_t* obj)
{
    while (obj && obj->obj_type == CORE_OBJECT_DNS) {
        obj = obj->obj_prev;
    }
    if (!obj || obj->obj_type != CORE_OBJECT_PAYLOAD) {
        return nullptr;
    }
    return reinterpret_cast<const core_object_payload_t*>(obj);
}

void send_query(void* ctx, const core_object_t* obj)
{
    output_udpcli_t* self = checked(ctx);
    const core_object_payload_t* query = query_payload(obj);
    if (!query) {
        return;
    }
    const tvx::net::Io sent = tvx::net::send_all(self->fd, query->payload, query->len,
                                                 reinterpret_cast<const struct sockaddr*>(&self->addr),
                                                 static_cast<socklen_t>(self->addr_len));
    if (sent.kind == tvx::net::Io::data) {
        self->pkts++;
    } else {
        self->errs++;
    }
}

const core_object_t* reply(output_udpcli_t* self, size_t len)
{
    self->pkt.len = len;
    return reinterpret_cast<const core_object_t*>(&self->pkt);
}

// One datagram, whatever is there now; a longer one than the buffer is cut.
const core_object_t* receive_now(output_udpcli_t* self)
{
    const tvx::net::Io got = tvx::net::receive(self->fd, self->recvbuf, sizeof(self->recvbuf));
    switch (got.kind) {
    case tvx::net::Io::data:
        self->pkts_recv++;
        if (got.err != 0) {
            self->errs++;
        }
        return reply(self, got.size);
    case tvx::net::Io::closed:
        return nullptr;
    case tvx::net::Io::again:
        return reply(self, 0);
    case tvx::net::Io::failed:
        break;
    }
    self->errs++;
    return nullptr;
}

const core_object_t* receive_immediate(void* ctx)
{
    return receive_now(checked(ctx));
}

// An empty record (length 0) means nothing came within the timeout.
const core_object_t* receive_waiting(void* ctx)
{
    output_udpcli_t* self = checked(ctx);
    switch (tvx::net::wait_for(self->fd, POLLIN, tvx::net::wait_limit_ms(self->timeout))) {
    case tvx::net::Wait::error:
        self->errs++;
        return nullptr;
    case tvx::net::Wait::timeout:
    case tvx::net::Wait::not_ready:
        return reply(self, 0);
    case tvx::net::Wait::ready:
        break;
    }
    return receive_now(self);
}

}  // namespace

extern "C" {

core_log_t* output_udpcli_log()
{
    return &module_log;
}

void output_udpcli_init(output_udpcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    self->pkt.payload = self->recvbuf;
}

void output_udpcli_destroy(output_udpcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->fd >= 0) {
        tvx::net::close_socket(self->fd);
        self->fd = -1;
    }
}

int output_udpcli_connect(output_udpcli_t* self, const char* host, const char* port)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::net::refuse_bad_connect(TVX_HERE, self, host, port, self->fd);
    tvx::net::Resolved server;
    if (tvx::net::resolve(TVX_HERE, self, host, port, server) != 0) {
        return -1;
    }
    self->addr = server.addr;
    self->addr_len = server.addr_len;
    // No connect(2): every send names the address, and replies are taken
    // from whoever sends them.
    self->fd = socket(server.family(), SOCK_DGRAM, 0);
    if (self->fd < 0) {
        TVX_CRITICAL(self, "socket() error %s", core_log_errstr(errno));
        return -2;
    }
    return 0;
}

int output_udpcli_nonblocking(output_udpcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    require_connected(self);
    return tvx::net::is_nonblocking(self->fd);
}

int output_udpcli_set_nonblocking(output_udpcli_t* self, int nonblocking)
{
    TVX_CHECK_SELF(self, module_log);
    require_connected(self);
    const tvx::net::Switch done = tvx::net::switch_blocking(TVX_HERE, self, self->fd, nonblocking != 0);
    if (done != tvx::net::Switch::get_failed) {
        self->blocking = nonblocking ? 0 : 1;
    }
    return done == tvx::net::Switch::ok ? 0 : -1;
}

core_receiver_t output_udpcli_receiver(output_udpcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    require_connected(self);
    return send_query;
}

core_producer_t output_udpcli_producer(output_udpcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    require_connected(self);
    return self->blocking ? receive_waiting : receive_immediate;
}

}  // extern "C"
