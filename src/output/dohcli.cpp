#include "output/dohcli.h"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "core/detail/doh_session.h"
#include "core/detail/log.h"
#include "core/detail/socket.h"
#include "core/object/dns.h"

static_assert(std::is_standard_layout_v<output_dohcli_t>);

namespace {

using tvx::doh::Kind;
using tvx::doh::Session;

core_log_t module_log = core_log_module_init("output.dohcli");

constexpr output_dohcli_t make_defaults()
{
    output_dohcli_t d{};
    d._log = core_log_object_init("output.dohcli", module_log);
    d.method = OUTPUT_DOHCLI_POST;
    const char path[] = "/dns-query";
    for (size_t at = 0; at < sizeof(path); at++) {
        d.path[at] = path[at];
    }
    d.pkt.obj_type = CORE_OBJECT_PAYLOAD;
    return d;
}

constexpr output_dohcli_t defaults = make_defaults();

// Marks a query already sent a second time: it is not sent a third.
constexpr uint64_t resent_bit = uint64_t(1) << 63;

struct Held {
    uint64_t tag;
    std::vector<uint8_t> bytes;
};

// A first-in first-out queue whose entries keep their buffers when taken
// out, so that it stops allocating once it has grown to the run's needs.
class Queue {
public:
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    Held& front() { return items_[head_]; }
    void pop()
    {
        head_ = (head_ + 1) % items_.size();
        count_--;
    }
    void push(uint64_t tag, const uint8_t* bytes, size_t len)
    {
        if (count_ == items_.size()) {
            grow();
        }
        Held& slot = items_[(head_ + count_) % items_.size()];
        slot.tag = tag;
        slot.bytes.assign(bytes, bytes + len);
        count_++;
    }

private:
    void grow()
    {
        std::vector<Held> bigger(items_.empty() ? 16 : items_.size() * 2);
        for (size_t at = 0; at < count_; at++) {
            std::swap(bigger[at], items_[(head_ + at) % items_.size()]);
        }
        items_.swap(bigger);
        head_ = 0;
    }

    std::vector<Held> items_;
    size_t head_ = 0;
    size_t count_ = 0;
};

// What drives the connection for the record: the current session, one that
// drains the streams a GOAWAY still lets finish, answers not yet pulled and
// queries waiting for their second try.
struct Engine {
    output_dohcli_t* self;
    Session sessions[2];
    int current = 0;
    Queue answers;
    Queue resends;
    uint64_t next_tag = 0;
    // Connections in a row that ended before the server spoke HTTP/2 (a
    // refused certificate, a server that is not DoH): past two, the queries
    // that would need one are given up instead of connecting forever.
    int failed_connects = 0;

    Session& live() { return sessions[current]; }
    Session& other() { return sessions[1 - current]; }

    size_t in_flight() const { return sessions[0].in_flight() + sessions[1].in_flight(); }
};

Engine* engine_of(output_dohcli_t* self)
{
    return static_cast<Engine*>(self->engine);
}

void completed(void* ctx, const tvx::doh::Completion& done)
{
    auto* engine = static_cast<Engine*>(ctx);
    output_dohcli_t* self = engine->self;
    switch (done.kind) {
    case Kind::answer:
        engine->answers.push(done.tag, done.body, done.len);
        return;
    case Kind::bad_status:
        self->bad_status++;
        return;
    case Kind::bad_type:
        self->bad_type++;
        return;
    case Kind::too_long:
        self->too_long++;
        return;
    case Kind::reset:
        self->resets++;
        break;
    case Kind::refused:
        self->refused++;
        break;
    case Kind::gone:
        self->gone++;
        break;
    }
    if (done.tag & resent_bit) {
        self->lost++;
        return;
    }
    engine->resends.push(done.tag | resent_bit, done.body, done.len);
}

tvx::doh::Options options_of(const output_dohcli_t* self)
{
    tvx::doh::Options options;
    options.tls = !self->h2c;
    options.get = self->method == OUTPUT_DOHCLI_GET;
    options.verify = self->verify != 0;
    options.ca_file = self->ca_file[0] ? self->ca_file : nullptr;
    options.server_name = self->server_name[0] ? self->server_name : nullptr;
    options.path = self->path;
    return options;
}

// A new connection for the current session. One that a GOAWAY left with
// streams to finish drains beside it; a second retirement ends the older.
int reconnect(Engine& engine)
{
    output_dohcli_t* self = engine.self;
    Session& old = engine.live();
    engine.failed_connects = old.established() ? 0 : engine.failed_connects + 1;
    if (engine.failed_connects >= 2) {
        return -3;
    }
    if (old.fd() >= 0 && old.in_flight() > 0) {
        engine.other().close();
        engine.current = 1 - engine.current;
    } else {
        old.close();
    }
    const int connected =
        engine.live().connect(TVX_HERE, self, self->host, self->port, options_of(self));
    if (connected == 0) {
        self->connects++;
    }
    return connected;
}

void note_peak(Engine& engine)
{
    const size_t now = engine.live().in_flight();
    if (now > engine.self->peak) {
        engine.self->peak = now;
    }
}

// One try to put a query on the current connection, connecting anew when it
// no longer takes queries. Session::busy when it is full.
int try_submit(Engine& engine, const uint8_t* bytes, size_t len, uint64_t tag)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!engine.live().usable() && reconnect(engine) != 0) {
            return Session::closed;
        }
        const int put = engine.live().submit(bytes, len, tag);
        if (put != Session::closed) {
            if (put == Session::submitted) {
                note_peak(engine);
            }
            return put;
        }
    }
    return Session::closed;
}

// Sends what waits for its second try, as far as the connection has room.
void submit_resends(Engine& engine)
{
    while (!engine.resends.empty()) {
        // Connecting anew closes a connection, whose open streams join this
        // queue: the front is only looked at once that is done.
        if (!engine.live().usable() && reconnect(engine) != 0) {
            while (!engine.resends.empty()) {
                engine.self->lost++;
                engine.resends.pop();
            }
            return;
        }
        Held& held = engine.resends.front();
        const int put = engine.live().submit(held.bytes.data(), held.bytes.size(), held.tag);
        if (put == Session::busy) {
            break;
        }
        if (put == Session::closed) {
            continue;
        }
        if (put == Session::submitted) {
            note_peak(engine);
            engine.self->resent++;
        } else {
            engine.self->lost++;
        }
        engine.resends.pop();
    }
    engine.live().on_writable();
}

// One wait of at most `limit_ms` (-1: none) on the open connections, then
// their I/O. False when the wait ran out with nothing ready.
bool pump(Engine& engine, int limit_ms)
{
    struct pollfd watch[2];
    Session* owner[2];
    nfds_t count = 0;
    for (Session& session : engine.sessions) {
        if (session.fd() >= 0) {
            watch[count] = {session.fd(), static_cast<short>(POLLIN | (session.wants_write() ? POLLOUT : 0)), 0};
            owner[count++] = &session;
        }
    }
    if (count == 0) {
        // Nothing open to wait on: what is left to do is sending again.
        submit_resends(engine);
        return true;
    }
    int ready;
    do {
        ready = poll(watch, count, limit_ms);
    } while (ready < 0 && errno == EINTR);
    for (nfds_t at = 0; at < count && ready > 0; at++) {
        if (watch[at].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (owner[at]->on_readable() != 0) {
                continue;
            }
        }
        if (watch[at].revents & POLLOUT) {
            owner[at]->on_writable();
        }
    }
    submit_resends(engine);
    return ready > 0;
}

int wait_limit(const output_dohcli_t* self)
{
    if (self->timeout.sec <= 0 && self->timeout.nsec <= 0) {
        return -1;
    }
    return tvx::net::wait_limit_ms(self->timeout);
}

// The DNS message an object carries, without a stream length field.
bool pick_message(const core_object_t* obj, const uint8_t*& bytes, size_t& len)
{
    if (!obj) {
        return false;
    }
    if (obj->obj_type == CORE_OBJECT_PAYLOAD) {
        const auto* payload = reinterpret_cast<const core_object_payload_t*>(obj);
        bytes = payload->payload;
        len = payload->len;
    } else if (obj->obj_type == CORE_OBJECT_DNS) {
        const auto* dns = reinterpret_cast<const core_object_dns_t*>(obj);
        bytes = dns->payload;
        len = dns->len;
        if (dns->includes_dnslen) {
            if (len < 2) {
                return false;
            }
            bytes += 2;
            len -= 2;
        }
    } else {
        return false;
    }
    return bytes != nullptr;
}

// Push: the query becomes a stream as soon as the connection has room for
// it. While the server's stream limit is reached the call takes answers in
// (they wait for the producer); with a wait limit, a wait that brings no
// room abandons the query, counted as an error and a timeout.
void send_query(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<output_dohcli_t*>(ctx);
    Engine& engine = *engine_of(self);
    const uint8_t* bytes;
    size_t len;
    if (!pick_message(obj, bytes, len)) {
        return;
    }
    const uint64_t tag = engine.next_tag++ & ~resent_bit;
    // Each query gets its own try at a connection that works.
    if (!engine.live().usable()) {
        engine.failed_connects = 0;
    }
    for (;;) {
        const int put = try_submit(engine, bytes, len, tag);
        if (put == Session::submitted) {
            self->pkts++;
            engine.live().on_writable();
            return;
        }
        if (put != Session::busy) {
            self->errs++;
            return;
        }
        if (!pump(engine, wait_limit(self))) {
            self->timeouts++;
            self->errs++;
            return;
        }
    }
}

const core_object_t* hand_out(output_dohcli_t* self, Engine& engine)
{
    Held& held = engine.answers.front();
    const size_t len = held.bytes.size() < sizeof(self->recvbuf) ? held.bytes.size() : sizeof(self->recvbuf);
    memcpy(self->recvbuf, held.bytes.data(), len);
    engine.answers.pop();
    self->pkt.len = len;
    self->pkts_recv++;
    return reinterpret_cast<const core_object_t*>(&self->pkt);
}

// Pull: the next answer, waiting for one within the limit (none: as long as
// queries are in flight). Empty when none came in time or none is expected;
// null once the connection has ended and nothing more can come.
const core_object_t* receive_answer(void* ctx)
{
    auto* self = static_cast<output_dohcli_t*>(ctx);
    Engine& engine = *engine_of(self);
    const int limit = wait_limit(self);
    for (;;) {
        if (!engine.answers.empty()) {
            return hand_out(self, engine);
        }
        if (engine.in_flight() == 0 && engine.resends.empty()) {
            self->pkt.len = 0;
            const bool ended = engine.live().fd() < 0 && engine.other().fd() < 0;
            return ended ? nullptr : reinterpret_cast<const core_object_t*>(&self->pkt);
        }
        if (!pump(engine, limit) && engine.answers.empty()) {
            self->timeouts++;
            self->pkt.len = 0;
            return reinterpret_cast<const core_object_t*>(&self->pkt);
        }
    }
}

int copy_text(char* field, size_t room, const char* text)
{
    if (!text) {
        field[0] = '\0';
        return 0;
    }
    const size_t len = strlen(text);
    if (len >= room) {
        return -1;
    }
    memcpy(field, text, len + 1);
    return 0;
}

void check_connected(output_dohcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->conn_ok) {
        TVX_FATAL(self, "not connected");
    }
}

}  // namespace

extern "C" core_log_t* output_dohcli_log()
{
    return &module_log;
}

extern "C" void output_dohcli_init(output_dohcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    self->pkt.payload = self->recvbuf;
    auto* engine = new (std::nothrow) Engine{};
    if (!engine) {
        TVX_FATAL(self, "out of memory");
    }
    engine->self = self;
    for (Session& session : engine->sessions) {
        session.on_complete(completed, engine);
    }
    self->engine = engine;
}

extern "C" void output_dohcli_destroy(output_dohcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    delete engine_of(self);
    self->engine = nullptr;
    self->conn_ok = 0;
}

extern "C" int output_dohcli_set_path(output_dohcli_t* self, const char* path)
{
    TVX_CHECK_SELF(self, module_log);
    if (!path || path[0] != '/') {
        return -1;
    }
    return copy_text(self->path, sizeof(self->path), path);
}

extern "C" int output_dohcli_set_server_name(output_dohcli_t* self, const char* name)
{
    TVX_CHECK_SELF(self, module_log);
    return copy_text(self->server_name, sizeof(self->server_name), name);
}

extern "C" int output_dohcli_set_ca_file(output_dohcli_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    return copy_text(self->ca_file, sizeof(self->ca_file), file);
}

extern "C" int output_dohcli_connect(output_dohcli_t* self, const char* host, const char* port)
{
    TVX_CHECK_SELF(self, module_log);
    Engine* engine = engine_of(self);
    if (!engine) {
        TVX_FATAL(self, "not initialised");
    }
    tvx::net::refuse_bad_connect(TVX_HERE, self, host, port, self->conn_ok ? 0 : -1);
    if (copy_text(self->host, sizeof(self->host), host) != 0 || copy_text(self->port, sizeof(self->port), port) != 0) {
        TVX_CRITICAL(self, "host or port too long");
        return -1;
    }
    const int connected = engine->live().connect(TVX_HERE, self, self->host, self->port, options_of(self));
    if (connected != 0) {
        return connected;
    }
    self->connects++;
    self->conn_ok = 1;
    return 0;
}

extern "C" core_receiver_t output_dohcli_receiver(output_dohcli_t* self)
{
    check_connected(self);
    return send_query;
}

extern "C" core_producer_t output_dohcli_producer(output_dohcli_t* self)
{
    check_connected(self);
    return receive_answer;
}

extern "C" size_t output_dohcli_in_flight(output_dohcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    Engine* engine = engine_of(self);
    return engine ? engine->in_flight() + engine->resends.size() : 0;
}

extern "C" uint32_t output_dohcli_max_streams(output_dohcli_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    Engine* engine = engine_of(self);
    return engine && engine->live().fd() >= 0 ? engine->live().max_streams() : 0;
}
