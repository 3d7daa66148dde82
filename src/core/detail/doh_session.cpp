#include "core/detail/doh_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/detail/socket.h"
#include "core/detail/tls.h"
#include "lib/base64url.h"

namespace tvx::doh {

namespace {

constexpr size_t dns_header_size = 12;
constexpr size_t dns_max = 65535;
constexpr size_t out_room = 64 * 1024;
constexpr size_t in_room = 16 * 1024;
// A DNS answer is small, but many streams answer at once: a connection
// window well above the default 64 KiB keeps the server from stalling on it.
constexpr int32_t connection_window = 16 * 1024 * 1024;
constexpr char media_type[] = "application/dns-message";

bool media_type_is_dns(const uint8_t* value, size_t len)
{
    // The type may carry parameters ("; charset=..."), and its case is free.
    size_t end = 0;
    while (end < len && value[end] != ';' && value[end] != ' ' && value[end] != '\t') {
        end++;
    }
    return end == sizeof(media_type) - 1 &&
           strncasecmp(reinterpret_cast<const char*>(value), media_type, end) == 0;
}

nghttp2_nv header(const char* name, const char* value, size_t value_len)
{
    return {reinterpret_cast<uint8_t*>(const_cast<char*>(name)),
            reinterpret_cast<uint8_t*>(const_cast<char*>(value)), strlen(name), value_len,
            NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE};
}

nghttp2_nv header(const char* name, const char* value)
{
    return header(name, value, strlen(value));
}

}  // namespace

struct Session::Slot {
    Session* owner;
    uint64_t tag;
    int32_t stream;
    bool in_use;
    uint8_t caller_id[2];
    std::vector<uint8_t> query;  // as sent: DNS id 0
    size_t body_given;           // POST: query bytes handed to nghttp2 so far
    std::vector<char> path;      // GET: the :path with the query in it
    char content_length[8];
    std::vector<uint8_t> answer;
    int status;
    bool dns_type;
    bool server_reset;
    bool overflowed;
};

size_t get_path_room(const char* path, size_t len)
{
    return strlen(path) + 5 + (len + 2) / 3 * 4 + 1;
}

size_t get_path(const char* path, const uint8_t* dns, size_t len, char* out, size_t room)
{
    const size_t path_len = strlen(path);
    if (room < get_path_room(path, len) || len > dns_max) {
        return 0;
    }
    memcpy(out, path, path_len);
    memcpy(out + path_len, strchr(path, '?') ? "&dns=" : "?dns=", 5);
    const size_t head = path_len + 5;
    const int32_t encoded = base64url_encode(dns, static_cast<uint32_t>(len), reinterpret_cast<uint8_t*>(out + head),
                                             static_cast<uint32_t>(room - head - 1));
    if (encoded < 0) {
        return 0;
    }
    out[head + encoded] = '\0';
    return head + static_cast<size_t>(encoded);
}

Session::Session()
{
    out_.reserve(out_room);
    in_.resize(in_room);
}

Session::~Session()
{
    // The owner is going away too: nothing is reported to it any more.
    visit_ = nullptr;
    close();
    for (Slot* slot : slots_) {
        delete slot;
    }
}

int Session::connect(Here here, const void* log, const char* host, const char* port, const Options& options)
{
    int fd = -1;
    const int connected = net::connect_stream(here, log, host, port, fd);
    if (connected != 0) {
        if (fd >= 0) {
            net::close_socket(fd);
        }
        return connected;
    }
    return attach(here, log, fd, host, port, options);
}

int Session::attach(Here here, const void* log, int fd, const char* host, const char* port, const Options& options)
{
    close();
    log_ = log;
    options_ = options;
    fd_ = fd;
    goaway_ = false;
    goaway_last_ = 0;
    settings_seen_ = false;
    ids_spent_ = false;
    unsent_body_ = 0;
    // The port is left out of :authority when it is the scheme's own.
    const char* name = options.server_name ? options.server_name : host;
    // GnuTLS keeps the name it checks by pointer until the handshake ends.
    name_.assign(name, name + strlen(name) + 1);
    authority_.assign(name, name + strlen(name));
    if (strcmp(port, options.tls ? "443" : "80") != 0) {
        authority_.push_back(':');
        authority_.insert(authority_.end(), port, port + strlen(port));
    }
    authority_.push_back('\0');
    const int one = 1;
    // Queries are small frames that must leave at once.
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (net::switch_blocking(here, log, fd_, true) != net::Switch::ok) {
        end(false);
        return -3;
    }
    if (start_http2(here) != 0) {
        end(false);
        return -3;
    }
    if (!options_.tls) {
        state_ = State::open;
        return 0;
    }
    tls::prepare(here, log, cred_, tls_, true);
    const tls::Peer peer{name_.data(), options_.verify, options_.ca_file, "h2"};
    if (tls::set_peer(here, log, tls_, cred_, peer) != 0) {
        end(false);
        return -3;
    }
    gnutls_transport_set_int2(tls_, fd_, fd_);
    state_ = State::handshake;
    if (step_handshake() < 0) {
        return -3;
    }
    return 0;
}

int Session::start_http2(Here here)
{
    nghttp2_session_callbacks* callbacks = nullptr;
    if (nghttp2_session_callbacks_new(&callbacks) != 0) {
        core_log_critical(TVX_LOG_HANDLE(log_), here.file, here.line, "nghttp2_session_callbacks_new() failed");
        return -1;
    }
    nghttp2_session_callbacks_set_on_header_callback(callbacks, on_header);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, on_data);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, on_frame);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, on_stream_close);
    const int made = nghttp2_session_client_new(&http2_, callbacks, this);
    nghttp2_session_callbacks_del(callbacks);
    if (made != 0) {
        core_log_critical(TVX_LOG_HANDLE(log_), here.file, here.line, "nghttp2_session_client_new() error: %s",
                          nghttp2_strerror(made));
        return -1;
    }
    const nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 0},
    };
    int err = nghttp2_submit_settings(http2_, NGHTTP2_FLAG_NONE, settings, sizeof(settings) / sizeof(settings[0]));
    if (err == 0) {
        err = nghttp2_session_set_local_window_size(http2_, NGHTTP2_FLAG_NONE, 0, connection_window);
    }
    if (err != 0) {
        core_log_critical(TVX_LOG_HANDLE(log_), here.file, here.line, "nghttp2 settings error: %s",
                          nghttp2_strerror(err));
        return -1;
    }
    return 0;
}

// Runs the handshake as far as the socket allows; once done, the server must
// have chosen HTTP/2, since nothing else can follow on this connection.
int Session::step_handshake()
{
    const int step = tls::handshake_step(TVX_HERE, log_, tls_);
    if (step == 1) {
        return 0;
    }
    if (step < 0) {
        end(true);
        return -1;
    }
    gnutls_datum_t chosen{};
    if (gnutls_alpn_get_selected_protocol(tls_, &chosen) != 0 || chosen.size != 2 || memcmp(chosen.data, "h2", 2) != 0) {
        TVX_CRITICAL(log_, "the server did not choose HTTP/2 (ALPN h2)");
        end(true);
        return -1;
    }
    state_ = State::open;
    return flush();
}

bool Session::usable() const
{
    return (state_ == State::open || state_ == State::handshake) && !goaway_ && !ids_spent_;
}

bool Session::wants_write() const
{
    if (state_ == State::handshake) {
        return gnutls_record_get_direction(tls_) == 1;
    }
    if (state_ != State::open) {
        return false;
    }
    return out_at_ < out_.size() || spill_len_ > 0 || nghttp2_session_want_write(http2_);
}

uint32_t Session::max_streams() const
{
    if (!http2_) {
        return 0;
    }
    // nghttp2 assumes 100 until the server's SETTINGS say otherwise.
    return nghttp2_session_get_remote_settings(http2_, NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS);
}

void Session::release(Slot& slot)
{
    if (!options_.get) {
        unsent_body_ -= slot.query.size() - slot.body_given;
    }
    slot.in_use = false;
    free_.push_back(&slot);
    in_flight_--;
}

Session::Slot& Session::take_slot()
{
    if (free_.empty()) {
        slots_.push_back(new Slot{});
        free_.push_back(slots_.back());
    }
    Slot& slot = *free_.back();
    free_.pop_back();
    slot.owner = this;
    slot.in_use = true;
    slot.body_given = 0;
    slot.answer.clear();
    slot.status = 0;
    slot.dns_type = false;
    slot.server_reset = false;
    slot.overflowed = false;
    return slot;
}

int Session::submit(const uint8_t* dns, size_t len, uint64_t tag)
{
    if (!usable()) {
        return closed;
    }
    if (!dns || len < dns_header_size || len > dns_max) {
        return invalid;
    }
    // Until the server's SETTINGS came, its stream limit is unknown, and
    // nghttp2's guess (100) may exceed it.
    if (!settings_seen_ || in_flight_ >= max_streams()) {
        return busy;
    }
    // A body the connection's send window cannot take now would only wait
    // inside nghttp2: the caller hears of it instead and tries later.
    const int32_t window = nghttp2_session_get_remote_window_size(http2_);
    if (!options_.get && (window < 0 || unsent_body_ + len > static_cast<size_t>(window))) {
        return busy;
    }
    Slot& slot = take_slot();
    slot.tag = tag;
    slot.query.assign(dns, dns + len);
    slot.caller_id[0] = dns[0];
    slot.caller_id[1] = dns[1];
    slot.query[0] = slot.query[1] = 0;

    const char* scheme = options_.tls ? "https" : "http";
    nghttp2_nv headers[7];
    size_t count = 0;
    headers[count++] = header(":method", options_.get ? "GET" : "POST");
    headers[count++] = header(":scheme", scheme);
    headers[count++] = header(":authority", authority_.data(), authority_.size() - 1);
    nghttp2_data_provider body{};
    if (options_.get) {
        slot.path.resize(get_path_room(options_.path, len));
        const size_t path_len = get_path(options_.path, slot.query.data(), len, slot.path.data(), slot.path.size());
        headers[count++] = header(":path", slot.path.data(), path_len);
    } else {
        headers[count++] = header(":path", options_.path);
        headers[count++] = header("content-type", media_type);
        const int digits = snprintf(slot.content_length, sizeof(slot.content_length), "%zu", len);
        headers[count++] = header("content-length", slot.content_length, static_cast<size_t>(digits));
        body.source.ptr = &slot;
        body.read_callback = read_body;
    }
    headers[count++] = header("accept", media_type);
    const int32_t stream =
        nghttp2_submit_request(http2_, nullptr, headers, count, options_.get ? nullptr : &body, &slot);
    if (stream < 0) {
        slot.in_use = false;
        free_.push_back(&slot);
        // Out of stream ids: this connection takes no more.
        if (stream == NGHTTP2_ERR_STREAM_ID_NOT_AVAILABLE) {
            ids_spent_ = true;
            return closed;
        }
        return invalid;
    }
    slot.stream = stream;
    if (!options_.get) {
        unsent_body_ += len;
    }
    in_flight_++;
    counters_.submitted++;
    return submitted;
}

ssize_t Session::read_body(nghttp2_session*, int32_t, uint8_t* buf, size_t length, uint32_t* flags,
                           nghttp2_data_source* source, void*)
{
    auto* slot = static_cast<Slot*>(source->ptr);
    const size_t left = slot->query.size() - slot->body_given;
    const size_t take = left < length ? left : length;
    memcpy(buf, slot->query.data() + slot->body_given, take);
    slot->body_given += take;
    slot->owner->unsent_body_ -= take;
    if (slot->body_given == slot->query.size()) {
        *flags |= NGHTTP2_DATA_FLAG_EOF;
    }
    return static_cast<ssize_t>(take);
}

int Session::on_header(nghttp2_session* http2, const nghttp2_frame* frame, const uint8_t* name, size_t name_len,
                       const uint8_t* value, size_t value_len, uint8_t, void*)
{
    if (frame->hd.type != NGHTTP2_HEADERS) {
        return 0;
    }
    auto* slot = static_cast<Slot*>(nghttp2_session_get_stream_user_data(http2, frame->hd.stream_id));
    if (!slot) {
        return 0;
    }
    if (name_len == 7 && memcmp(name, ":status", 7) == 0) {
        int status = 0;
        for (size_t at = 0; at < value_len && at < 3; at++) {
            status = status * 10 + (value[at] - '0');
        }
        // An informational response (1xx) is followed by the real one.
        slot->status = value_len == 3 ? status : 0;
    } else if (name_len == 12 && memcmp(name, "content-type", 12) == 0) {
        slot->dns_type = media_type_is_dns(value, value_len);
    }
    return 0;
}

int Session::on_data(nghttp2_session* http2, uint8_t, int32_t stream, const uint8_t* data, size_t len, void*)
{
    auto* slot = static_cast<Slot*>(nghttp2_session_get_stream_user_data(http2, stream));
    if (!slot || slot->overflowed) {
        return 0;
    }
    if (slot->answer.size() + len > dns_max) {
        slot->overflowed = true;
        nghttp2_submit_rst_stream(http2, NGHTTP2_FLAG_NONE, stream, NGHTTP2_CANCEL);
        return 0;
    }
    slot->answer.insert(slot->answer.end(), data, data + len);
    return 0;
}

int Session::on_frame(nghttp2_session* http2, const nghttp2_frame* frame, void* ctx)
{
    auto* self = static_cast<Session*>(ctx);
    if (frame->hd.type == NGHTTP2_RST_STREAM) {
        if (auto* slot = static_cast<Slot*>(nghttp2_session_get_stream_user_data(http2, frame->hd.stream_id))) {
            slot->server_reset = true;
        }
    } else if (frame->hd.type == NGHTTP2_SETTINGS && !(frame->hd.flags & NGHTTP2_FLAG_ACK)) {
        self->settings_seen_ = true;
    } else if (frame->hd.type == NGHTTP2_GOAWAY) {
        self->goaway_ = true;
        self->goaway_last_ = frame->goaway.last_stream_id;
        self->counters_.goaways++;
    }
    return 0;
}

// What became of a stream, decided once when nghttp2 closes it.
int Session::on_stream_close(nghttp2_session* http2, int32_t stream, uint32_t error_code, void* ctx)
{
    auto* self = static_cast<Session*>(ctx);
    auto* slot = static_cast<Slot*>(nghttp2_session_get_stream_user_data(http2, stream));
    if (!slot || !slot->in_use || slot->stream != stream) {
        return 0;
    }
    Kind kind;
    if (slot->overflowed) {
        kind = Kind::too_long;
    } else if (slot->server_reset) {
        kind = Kind::reset;
    } else if (self->goaway_ && stream > self->goaway_last_) {
        kind = Kind::refused;
    } else if (error_code != NGHTTP2_NO_ERROR) {
        // Closed by our side over a protocol error, or a response cut short.
        kind = Kind::gone;
    } else if (slot->status != 200) {
        kind = Kind::bad_status;
    } else if (!slot->dns_type) {
        kind = Kind::bad_type;
    } else {
        kind = Kind::answer;
    }
    self->finish(*slot, kind);
    return 0;
}

void Session::finish(Slot& slot, Kind kind)
{
    const bool unanswered = kind == Kind::reset || kind == Kind::refused || kind == Kind::gone;
    std::vector<uint8_t>& bytes = unanswered ? slot.query : slot.answer;
    if (unanswered || kind == Kind::answer) {
        if (bytes.size() >= 2) {
            bytes[0] = slot.caller_id[0];
            bytes[1] = slot.caller_id[1];
        }
    }
    switch (kind) {
    case Kind::answer:
        counters_.answers++;
        break;
    case Kind::bad_status:
        counters_.bad_status++;
        break;
    case Kind::bad_type:
        counters_.bad_type++;
        break;
    case Kind::reset:
        counters_.resets++;
        break;
    case Kind::refused:
        counters_.refused++;
        break;
    case Kind::gone:
        counters_.gone++;
        break;
    case Kind::too_long:
        counters_.too_long++;
        break;
    }
    release(slot);
    if (visit_) {
        visit_(visit_ctx_, Completion{slot.tag, kind, slot.status, bytes.data(), bytes.size()});
    }
}

// Fills the (empty) output buffer with what nghttp2 has to send, so that many
// small frames leave in one write.
int Session::fill_output()
{
    out_.clear();
    out_at_ = 0;
    while (out_.size() < out_room) {
        if (spill_len_ == 0) {
            const uint8_t* data = nullptr;
            const ssize_t got = nghttp2_session_mem_send(http2_, &data);
            if (got < 0) {
                TVX_CRITICAL(log_, "nghttp2_session_mem_send() error: %s", nghttp2_strerror(static_cast<int>(got)));
                return -1;
            }
            if (got == 0) {
                break;
            }
            spill_ = data;
            spill_len_ = static_cast<size_t>(got);
        }
        const size_t room = out_room - out_.size();
        const size_t take = spill_len_ < room ? spill_len_ : room;
        out_.insert(out_.end(), spill_, spill_ + take);
        spill_ += take;
        spill_len_ -= take;
    }
    return 0;
}

// Writes until the socket is full or nothing is left. 0, or -1 once the
// connection has ended.
int Session::flush()
{
    while (state_ == State::open) {
        if (out_at_ == out_.size()) {
            if (fill_output() != 0) {
                end(true);
                return -1;
            }
            if (out_.empty()) {
                break;
            }
        }
        // A TLS write that would block is repeated with the same bytes, as
        // GnuTLS asks; the buffer is only refilled once it is empty.
        net::Io put = options_.tls ? tls::send_some(tls_, out_.data() + out_at_, out_.size() - out_at_)
                                   : net::send_gathered(fd_, nullptr, 0, out_.data() + out_at_, out_.size() - out_at_, 0);
        if (put.kind == net::Io::again) {
            return 0;
        }
        if (put.kind != net::Io::data) {
            end(true);
            return -1;
        }
        out_at_ += put.size;
    }
    if (state_ == State::open && !nghttp2_session_want_read(http2_) && !nghttp2_session_want_write(http2_) &&
        out_at_ == out_.size()) {
        // Both sides are done (after a GOAWAY, with every stream closed).
        end(true);
    }
    return state_ == State::ended ? -1 : 0;
}

int Session::read_input()
{
    for (;;) {
        const net::Io got = options_.tls ? tls::receive(tls_, in_.data(), in_.size())
                                         : net::receive(fd_, in_.data(), in_.size());
        if (got.kind == net::Io::again) {
            return 0;
        }
        if (got.kind != net::Io::data) {
            end(true);
            return -1;
        }
        const ssize_t used = nghttp2_session_mem_recv(http2_, in_.data(), got.size);
        if (used < 0) {
            TVX_CRITICAL(log_, "nghttp2_session_mem_recv() error: %s", nghttp2_strerror(static_cast<int>(used)));
            end(true);
            return -1;
        }
    }
}

int Session::on_readable()
{
    if (state_ == State::handshake) {
        return step_handshake();
    }
    if (state_ != State::open) {
        return -1;
    }
    if (read_input() != 0) {
        return -1;
    }
    // Reading makes frames to answer (SETTINGS ack, WINDOW_UPDATE, PING).
    return flush();
}

int Session::on_writable()
{
    if (state_ == State::handshake) {
        return step_handshake();
    }
    if (state_ != State::open) {
        return -1;
    }
    return flush();
}

void Session::end(bool report_gone)
{
    const bool established = state_ == State::open;
    state_ = State::ended;
    for (Slot* slot : slots_) {
        if (slot->in_use) {
            if (report_gone) {
                finish(*slot, Kind::gone);
            } else {
                release(*slot);
            }
        }
    }
    if (http2_) {
        nghttp2_session_del(http2_);
        http2_ = nullptr;
    }
    if (tls_ || cred_) {
        tls::close(tls_, cred_, fd_, established);
    } else if (fd_ >= 0) {
        net::close_socket(fd_);
        fd_ = -1;
    }
    out_.clear();
    out_at_ = 0;
    spill_ = nullptr;
    spill_len_ = 0;
}

void Session::close()
{
    if (state_ == State::idle && fd_ < 0) {
        return;
    }
    if (state_ == State::open && http2_) {
        // Tell the server we are going, in one last write if it fits.
        nghttp2_session_terminate_session(http2_, NGHTTP2_NO_ERROR);
        flush();
    }
    end(true);
    state_ = State::idle;
}

}  // namespace tvx::doh
