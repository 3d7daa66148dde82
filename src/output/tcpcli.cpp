#include "output/tcpcli.h"

#include <poll.h>
#include <type_traits>

#include "core/detail/log.h"
#include "core/detail/socket.h"
#include "core/detail/stream_sender.h"

static_assert(std::is_standard_layout_v<output_tcpcli_t>);

namespace {

core_log_t module_log = core_log_module_init("output.tcpcli");

constexpr output_tcpcli_t make_defaults()
{
    output_tcpcli_t d{};
    d._log = core_log_object_init("output.tcpcli", module_log);
    d.fd = -1;
    d.pkt.obj_type = CORE_OBJECT_PAYLOAD;
    d.timeout = {5, 0};
    d.blocking = 1;
    return d;
}

constexpr output_tcpcli_t defaults = make_defaults();

void check_connected(output_tcpcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->fd < 0) {
        TVX_FATAL(self, "not connected");
    }
}

void send_query(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<output_tcpcli_t*>(ctx);
    tvx::sender::send_framed(self, obj, [self](const uint8_t* message, size_t len) {
        return tvx::net::send_frame(self->fd, message, len);
    });
}

// The socket as the reassembly sees it: a poll with the record's limit (none
// when non-blocking), then one recvfrom.
struct SocketSource {
    int fd;
    int limit_ms;

    tvx::net::Wait wait() { return tvx::net::wait_for(fd, POLLIN, limit_ms); }
    tvx::net::Io read(uint8_t* into, size_t room) { return tvx::net::receive(fd, into, room); }
};

const core_object_t* receive_response(void* ctx)
{
    auto* self = static_cast<output_tcpcli_t*>(ctx);
    const bool blocking = self->blocking != 0;
    SocketSource source{self->fd, blocking ? tvx::net::wait_limit_ms(self->timeout) : 0};
    return tvx::sender::produce_message(self, source, blocking);
}

}  // namespace

extern "C" core_log_t* output_tcpcli_log()
{
    return &module_log;
}

extern "C" void output_tcpcli_init(output_tcpcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    self->pkt.payload = self->recvbuf;
}

extern "C" void output_tcpcli_destroy(output_tcpcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->fd >= 0) {
        tvx::net::close_socket(self->fd);
        self->fd = -1;
    }
}

extern "C" int output_tcpcli_connect(output_tcpcli_t* self, const char* host, const char* port)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::net::refuse_bad_connect(TVX_HERE, self, host, port, self->fd);
    return tvx::net::connect_stream(TVX_HERE, self, host, port, self->fd);
}

extern "C" int output_tcpcli_nonblocking(output_tcpcli_t* self)
{
    check_connected(self);
    return tvx::net::is_nonblocking(self->fd);
}

extern "C" int output_tcpcli_set_nonblocking(output_tcpcli_t* self, int nonblocking)
{
    check_connected(self);
    const tvx::net::Switch result = tvx::net::switch_blocking(TVX_HERE, self, self->fd, nonblocking != 0);
    if (result != tvx::net::Switch::get_failed) {
        self->blocking = nonblocking ? 0 : 1;
    }
    return result == tvx::net::Switch::ok ? 0 : -1;
}

extern "C" core_receiver_t output_tcpcli_receiver(output_tcpcli_t* self)
{
    check_connected(self);
    return send_query;
}

extern "C" core_producer_t output_tcpcli_producer(output_tcpcli_t* self)
{
    check_connected(self);
    return receive_response;
}
