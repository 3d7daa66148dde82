// The DoH session's response handling: the input is what an HTTP/2 server
// sends after its SETTINGS, fed over a socket pair in chunks to a session
// with four queries in flight (h2c, so nghttp2 sees the bytes as they are).
// Whatever comes (frames cut anywhere, resets, GOAWAYs, bodies of any size,
// garbage), each query completes exactly once, by the time the session is
// closed, and nothing is left in flight.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/detail/doh_session.h"
#include "core/log.h"
#include "support/check.h"

namespace {

constexpr int queries = 4;
constexpr size_t chunk = 4096;

core_log_t log_handle = core_log_object_init("fuzz.doh", *core_log_log());

struct Seen {
    int count[queries];
};

void record(void* ctx, const tvx::doh::Completion& done)
{
    auto* seen = static_cast<Seen*>(ctx);
    FUZZ_CHECK(done.tag < queries);
    seen->count[done.tag]++;
    FUZZ_CHECK(done.body != nullptr || done.len == 0);
    FUZZ_CHECK(done.len <= 65535);
}

// What the session wrote: read and dropped, so the pair never fills up.
void drain(int fd)
{
    uint8_t sink[65536];
    while (read(fd, sink, sizeof(sink)) > 0) {
    }
}

void feed(int fd, const uint8_t* data, size_t len)
{
    while (len > 0) {
        const ssize_t put = write(fd, data, len);
        if (put <= 0) {
            return;
        }
        data += put;
        len -= static_cast<size_t>(put);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        return 0;
    }
    fcntl(pair[1], F_SETFL, fcntl(pair[1], F_GETFL) | O_NONBLOCK);
    Seen seen{};
    {
        tvx::doh::Session session;
        session.on_complete(record, &seen);
        tvx::doh::Options options;
        options.tls = false;
        FUZZ_CHECK(session.attach(TVX_HERE, &log_handle, pair[0], "localhost", "80", options) == 0);
        static const uint8_t server_settings[] = {0, 0, 0, 4, 0, 0, 0, 0, 0};
        feed(pair[1], server_settings, sizeof(server_settings));
        session.on_readable();
        FUZZ_CHECK(session.established());
        static const uint8_t query[] = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 0, 0, 1, 0, 1};
        for (int tag = 0; tag < queries; tag++) {
            FUZZ_CHECK(session.submit(query, sizeof(query), uint64_t(tag)) == tvx::doh::Session::submitted);
        }
        session.on_writable();
        drain(pair[1]);
        for (size_t at = 0; at < size && session.fd() >= 0; at += chunk) {
            feed(pair[1], data + at, size - at < chunk ? size - at : chunk);
            session.on_readable();
            session.on_writable();
            drain(pair[1]);
        }
        session.close();
        FUZZ_CHECK(session.in_flight() == 0);
    }
    for (int tag = 0; tag < queries; tag++) {
        FUZZ_CHECK(seen.count[tag] == 1);
    }
    close(pair[1]);
    return 0;
}
