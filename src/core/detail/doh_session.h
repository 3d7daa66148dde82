#pragma once
// One DNS-over-HTTPS connection: HTTP/2 (nghttp2) over TLS with ALPN "h2", or
// over plain TCP with prior knowledge (h2c). Non-blocking: the owner's event
// loop watches fd() and calls in when it is ready.
//
//   tvx::doh::Session session;
//   session.on_complete(visit, ctx);              // visit(ctx, const Completion&)
//   if (session.connect(TVX_HERE, self, host, port, options) != 0) ...   // logged
//   switch (session.submit(query, len, tag)) { case Session::busy: later ... }
//   poll {fd(), POLLIN | (wants_write() ? POLLOUT : 0)}
//   if (readable) session.on_readable();  if (writable) session.on_writable();
//
// Each submitted query ends in exactly one completion with its tag. The query
// goes out with DNS id 0 (the id would defeat HTTP caching and means nothing
// on a stream); the answer, matched by its stream, comes back with the
// caller's id. When a completion says the query was not answered (reset,
// refused, gone) its bytes are handed back, so the owner can send them again
// without keeping a copy. Buffers live in per-stream slots that are reused,
// so a steady run allocates nothing of its own per query.
#include <nghttp2/nghttp2.h>

#include <cstddef>
#include <cstdint>
#include <gnutls/gnutls.h>
#include <vector>

#include "core/detail/log.h"

namespace tvx::doh {

enum class Kind : int {
    answer = 0,        // 200 with application/dns-message: `body` is the DNS answer
    bad_status = 1,    // the server answered with another HTTP status (in `http_status`)
    bad_type = 2,      // 200 with another content type; `body` is what came
    reset = 3,         // the server reset the stream (RST_STREAM); `body` is the query
    refused = 4,       // above a GOAWAY's last stream id: never processed, retry on a new connection
    gone = 5,          // the connection ended with the stream open; `body` is the query
    too_long = 6,      // the answer body outgrew a DNS message (65535 bytes); the stream was cancelled
};

struct Completion {
    uint64_t tag;
    Kind kind;
    int http_status;      // 0 when no status came
    const uint8_t* body;  // valid during the callback only
    size_t len;
};

using Visitor = void (*)(void* ctx, const Completion& done);

struct Options {
    bool tls = true;                      // false: h2c with prior knowledge
    bool get = false;                     // GET ?dns= (base64url) instead of POST
    bool verify = false;                  // check the certificate chain and the name
    const char* ca_file = nullptr;        // trust these instead of the system store
    const char* server_name = nullptr;    // SNI, :authority and the name checked; null: the host
    const char* path = "/dns-query";
};

struct Counters {
    uint64_t submitted;
    uint64_t answers;
    uint64_t bad_status;
    uint64_t bad_type;
    uint64_t resets;
    uint64_t refused;
    uint64_t gone;
    uint64_t too_long;
    uint64_t goaways;
};

class Session {
public:
    static constexpr int submitted = 0;
    static constexpr int busy = 1;     // at the server's stream limit (or before it is known), or
                                       // beyond the send window: later
    static constexpr int invalid = -1; // not a DNS message this can send (empty, shorter than a header, over 65535)
    static constexpr int closed = -2;  // the connection is not usable (not open, GOAWAY, failed): a new one is needed

    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The visitor must not submit from inside a completion (it runs inside
    // nghttp2's callbacks); it queues what it sends again.
    void on_complete(Visitor visit, void* ctx)
    {
        visit_ = visit;
        visit_ctx_ = ctx;
    }

    // Resolves and connects (blocking), then continues non-blocking: the TLS
    // handshake runs in on_readable/on_writable. 0; -1 resolution failed,
    // -2 socket or connection failed, -3 TLS or HTTP/2 set-up failed (all
    // logged on `log`). Options' strings must outlive the session.
    int connect(Here here, const void* log, const char* host, const char* port, const Options& options);

    // The same over a socket already connected to `host` `port` (any stream
    // socket); the session owns it from here. 0, or -3 after a logged failure.
    int attach(Here here, const void* log, int fd, const char* host, const char* port, const Options& options);

    // Ends the connection: open streams complete as `gone`.
    void close();

    int fd() const { return fd_; }
    bool usable() const;
    // The server's SETTINGS came since the last connect: it speaks HTTP/2.
    bool established() const { return settings_seen_; }
    bool wants_write() const;
    int submit(const uint8_t* dns, size_t len, uint64_t tag);

    // Process what the socket has or can take. 0 while the connection lives;
    // -1 once it has ended (every open stream completed first).
    int on_readable();
    int on_writable();

    size_t in_flight() const { return in_flight_; }
    uint32_t max_streams() const;
    const Counters& counters() const { return counters_; }

    struct Slot;

private:
    enum class State { idle, handshake, open, ended };

    int start_http2(Here here);
    int step_handshake();
    int fill_output();
    int flush();
    int read_input();
    void end(bool report_gone);
    void finish(Slot& slot, Kind kind);
    Slot& take_slot();
    void release(Slot& slot);

    static ssize_t read_body(nghttp2_session*, int32_t, uint8_t*, size_t, uint32_t*, nghttp2_data_source*, void*);
    static int on_header(nghttp2_session*, const nghttp2_frame*, const uint8_t*, size_t, const uint8_t*, size_t,
                         uint8_t, void*);
    static int on_data(nghttp2_session*, uint8_t, int32_t, const uint8_t*, size_t, void*);
    static int on_frame(nghttp2_session*, const nghttp2_frame*, void*);
    static int on_stream_close(nghttp2_session*, int32_t, uint32_t, void*);

    const void* log_ = nullptr;
    Options options_{};
    State state_ = State::idle;
    int fd_ = -1;
    gnutls_session_t tls_ = nullptr;
    gnutls_certificate_credentials_t cred_ = nullptr;
    nghttp2_session* http2_ = nullptr;
    std::vector<char> name_;
    std::vector<char> authority_;

    // Frames waiting to be written: a coalescing buffer, plus the part of the
    // last frame nghttp2 handed out that did not fit (valid until the next
    // nghttp2_session_mem_send).
    std::vector<uint8_t> out_;
    size_t out_at_ = 0;
    const uint8_t* spill_ = nullptr;
    size_t spill_len_ = 0;
    std::vector<uint8_t> in_;

    std::vector<Slot*> slots_;  // every slot made; free ones are also on free_
    std::vector<Slot*> free_;
    size_t in_flight_ = 0;
    size_t unsent_body_ = 0;  // POST bodies submitted and not yet handed to nghttp2
    bool settings_seen_ = false;
    bool ids_spent_ = false;
    bool goaway_ = false;
    int32_t goaway_last_ = 0;

    Visitor visit_ = nullptr;
    void* visit_ctx_ = nullptr;
    Counters counters_{};
};

// The :path of a GET query: `path`, "?dns=" (or "&dns=" when the path has a
// query already) and the message in base64url without padding. Returns the
// length, or 0 when `out` (of `room` bytes) is too small.
size_t get_path(const char* path, const uint8_t* dns, size_t len, char* out, size_t room);

// Room get_path needs for a `len`-byte message under `path`.
size_t get_path_room(const char* path, size_t len);

}  // namespace tvx::doh
