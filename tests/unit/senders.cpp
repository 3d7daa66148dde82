// Stream senders and the DNS client against socket pairs: initial records,
// the gathered framed write, record timeouts, TLS resources of records that
// never got a socket, and frames a non-blocking client must not cut.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "core/detail/socket.h"
#include "core/detail/tls.h"
#include "output/dnscli.h"
#include "output/tcpcli.h"
#include "output/tlscli.h"

namespace {

using Bytes = std::string;

template <class T>
std::unique_ptr<T> zeroed()
{
    auto record = std::make_unique<T>();
    memset(static_cast<void*>(record.get()), 0, sizeof(T));
    return record;
}

// Everything the peer end of a pair holds now.
Bytes drain(int fd)
{
    Bytes all;
    char chunk[65536];
    for (;;) {
        const ssize_t got = recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (got <= 0) {
            return all;
        }
        all.append(chunk, size_t(got));
    }
}

// Two connected stream ends: a socket pair, or a loopback TCP connection
// (which, unlike a local socket, takes part of a write when it is nearly full).
struct Pair {
    int ours = -1, theirs = -1;
    explicit Pair(bool tcp = false)
    {
        if (!tcp) {
            int fds[2];
            EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
            ours = fds[0];
            theirs = fds[1];
            return;
        }
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        EXPECT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&addr), len), 0);
        EXPECT_EQ(listen(listener, 1), 0);
        EXPECT_EQ(getsockname(listener, reinterpret_cast<struct sockaddr*>(&addr), &len), 0);
        ours = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(ours, reinterpret_cast<struct sockaddr*>(&addr), len), 0);
        theirs = accept(listener, nullptr, nullptr);
        close(listener);
    }
    ~Pair()
    {
        if (ours >= 0) {
            close(ours);
        }
        if (theirs >= 0) {
            close(theirs);
        }
    }
};

TEST(Tcpcli, InitialRecord)
{
    auto tcp = zeroed<output_tcpcli_t>();
    output_tcpcli_init(tcp.get());
    EXPECT_EQ(tcp->fd, -1);
    EXPECT_EQ(tcp->pkt.obj_type, 40);
    EXPECT_EQ(tcp->pkt.obj_prev, nullptr);
    EXPECT_EQ(tcp->pkt.payload, tcp->recvbuf);
    EXPECT_EQ(tcp->timeout.sec, 5);
    EXPECT_EQ(tcp->timeout.nsec, 0);
    EXPECT_EQ(tcp->blocking, 1);
    EXPECT_STREQ(tcp->_log.name, "output.tcpcli");
    output_tcpcli_destroy(tcp.get());
}

// A signal that arrives while a blocking TCP sender waits for its response
// is no failure: the wait goes on. The handler either writes the response
// (it arrives after the interruption) or does nothing (the wait then ends
// at its limit, with an empty response).
int signal_peer = -1;
void answer_on_signal(int)
{
    if (signal_peer >= 0) {
        const char frame[] = {0, 3, 'a', 'b', 'c'};
        [[maybe_unused]] const ssize_t wrote = write(signal_peer, frame, sizeof(frame));
    }
}

TEST(Tcpcli, SignalDuringTheWaitIsNoFailure)
{
    const struct {
        const char* name;
        bool answer;
        core_timespec_t timeout;
        Bytes expect;
    } cases[] = {
        {"response after the signal", true, {30, 0}, "abc"},
        {"no response within the limit", false, {0, 300000000}, ""},
    };
    for (const auto& c : cases) {
        Pair pair;
        auto tcp = zeroed<output_tcpcli_t>();
        output_tcpcli_init(tcp.get());
        tcp->fd = pair.ours;
        tcp->timeout = c.timeout;
        signal_peer = c.answer ? pair.theirs : -1;
        struct sigaction action = {}, previous = {};
        action.sa_handler = answer_on_signal;
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
        const struct itimerval once = {{0, 0}, {0, 20000}};
        ASSERT_EQ(setitimer(ITIMER_REAL, &once, nullptr), 0);
        const core_object_t* got = output_tcpcli_producer(tcp.get())(tcp.get());
        sigaction(SIGALRM, &previous, nullptr);
        signal_peer = -1;
        ASSERT_NE(got, nullptr) << c.name;
        EXPECT_EQ(Bytes(reinterpret_cast<const char*>(tcp->pkt.payload), tcp->pkt.len), c.expect) << c.name;
        EXPECT_EQ(tcp->errs, 0u) << c.name;
        tcp->fd = -1;
        output_tcpcli_destroy(tcp.get());
    }
}

TEST(Dnscli, InitialRecord)
{
    for (auto mode : {0x10, 0x11, 0x20, 0x21}) {
        auto cli = zeroed<output_dnscli_t>();
        output_dnscli_init(cli.get(), output_dnscli_mode_t(mode));
        EXPECT_EQ(cli->mode, mode);
        EXPECT_EQ(cli->fd, -1);
        EXPECT_EQ(cli->pkt.obj_type, 40);
        EXPECT_EQ(cli->pkt.payload, cli->recvbuf);
        EXPECT_EQ(sizeof(cli->recvbuf), 65538u);
        EXPECT_EQ(cli->poll_timeout, 0);
        EXPECT_EQ(cli->session, nullptr) << "no TLS session outside TLS mode";
        output_dnscli_destroy(cli.get());
    }
}

// A record that never got a socket still gives back its session and
// credentials (the sanitizer build's leak check sees the rest).
TEST(Tls, DestroyWithoutSocketReleasesSession)
{
    auto tls = zeroed<output_tlscli_t>();
    output_tlscli_init(tls.get());
    ASSERT_NE(tls->session, nullptr);
    ASSERT_NE(tls->cred, nullptr);
    output_tlscli_destroy(tls.get());
    EXPECT_EQ(tls->session, nullptr);
    EXPECT_EQ(tls->cred, nullptr);
    output_tlscli_destroy(tls.get());  // a second destroy finds nothing to release

    for (auto mode : {0x30, 0x31}) {
        auto cli = zeroed<output_dnscli_t>();
        output_dnscli_init(cli.get(), output_dnscli_mode_t(mode));
        ASSERT_NE(cli->session, nullptr);
        ASSERT_NE(cli->cred, nullptr);
        output_dnscli_destroy(cli.get());
        EXPECT_EQ(cli->session, nullptr);
        EXPECT_EQ(cli->cred, nullptr);
    }
}

// A session writes with MSG_NOSIGNAL: a handshake towards a peer that is
// gone fails, and the process is not ended by SIGPIPE (left at its default
// here, as in any program that embeds the components).
TEST(TlsDeathTest, WriteToAGonePeerIsAFailureNotSigpipe)
{
    EXPECT_EXIT(
        {
            signal(SIGPIPE, SIG_DFL);
            Pair pair;
            close(pair.theirs);
            pair.theirs = -1;
            auto tls = zeroed<output_tlscli_t>();
            output_tlscli_init(tls.get());
            const int result = tvx::tls::handshake(TVX_HERE, tls.get(), tls->session, pair.ours, {1, 0});
            output_tlscli_destroy(tls.get());
            _exit(result == -3 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "critical: gnutls_handshake\\(\\) failed: Error in the push function");
}

TEST(Tls, RecordTimeout)
{
    struct {
        core_timespec_t timeout;
        unsigned int ms;
    } cases[] = {
        {{5, 0}, 5000},         {{0, 0}, 0},         {{0, 500000}, 1},       {{0, 1}, 1},
        {{0, 1500000}, 1},      {{1, 999999999}, 1999}, {{0, 250000000}, 250}, {{-1, 0}, 0},
        {{INT64_MAX, 0}, 0},    {{4000000, 0}, 4000000000u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tvx::tls::record_timeout_ms(c.timeout), c.ms) << c.timeout.sec << " s " << c.timeout.nsec << " ns";
    }
}

TEST(Socket, GatheredWriteFromAnyOffset)
{
    const Bytes head = "\x00\x05", body = "hello";
    for (size_t done = 0; done <= head.size() + body.size(); done++) {
        Pair pair;
        const tvx::net::Io put = tvx::net::send_gathered(pair.ours, reinterpret_cast<const uint8_t*>(head.data()),
                                                          head.size(), reinterpret_cast<const uint8_t*>(body.data()),
                                                          body.size(), done);
        ASSERT_EQ(put.kind, tvx::net::Io::data) << done;
        EXPECT_EQ(put.size, head.size() + body.size() - done) << done;
        EXPECT_EQ(drain(pair.theirs), (head + body).substr(done)) << done;
    }
}

TEST(Socket, FrameWrite)
{
    Pair pair;
    const Bytes message(29, 'q');
    const tvx::net::Io put =
        tvx::net::send_frame(pair.ours, reinterpret_cast<const uint8_t*>(message.data()), message.size());
    ASSERT_EQ(put.kind, tvx::net::Io::data);
    EXPECT_EQ(put.size, 31u);
    EXPECT_EQ(drain(pair.theirs), Bytes("\x00\x1d", 2) + message);
}

// A DNS client over a socket pair, as connect would leave it.
std::unique_ptr<output_dnscli_t> stream_client(int fd, int mode)
{
    auto cli = zeroed<output_dnscli_t>();
    output_dnscli_init(cli.get(), output_dnscli_mode_t(mode));
    cli->fd = fd;
    cli->conn_ok = 1;
    if (mode & OUTPUT_DNSCLI_MODE_NONBLOCKING) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        cli->nonblocking = 1;
    }
    return cli;
}

struct Payload {
    std::vector<uint8_t> bytes;
    core_object_payload_t rec{};
    explicit Payload(const Bytes& text) : bytes(text.begin(), text.end())
    {
        rec.obj_type = CORE_OBJECT_PAYLOAD;
        rec.payload = bytes.data();
        rec.len = bytes.size();
    }
    const core_object_t* obj() const { return reinterpret_cast<const core_object_t*>(&rec); }
};

// Non-blocking pushes into a full socket: a query is given up only before its
// first byte, so what the peer reads is whole frames, one per counted query.
TEST(Dnscli, NonblockingStreamNeverCutsAFrame)
{
    Pair pair(true);
    const int small = 8192;
    setsockopt(pair.ours, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    setsockopt(pair.theirs, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    auto cli = stream_client(pair.ours, OUTPUT_DNSCLI_MODE_TCP | OUTPUT_DNSCLI_MODE_NONBLOCKING);
    core_receiver_t send = output_dnscli_receiver(cli.get());
    constexpr size_t frame_size = 702;
    Payload frame(Bytes("\x02\xbc", 2) + Bytes(700, 'm'));  // already framed
    // The peer reads in bursts, so the socket fills between them: queries
    // are given up, and writes are taken in part.
    Bytes received;
    std::atomic<bool> done{false};
    std::atomic<size_t> sent{0};
    std::thread reader([&]() {
        for (int idle = 0; idle < 2000; idle++) {
            usleep(5000);
            received += drain(pair.theirs);
            if (done && received.size() >= sent * frame_size) {
                break;
            }
        }
    });
    for (int i = 0; i < 300; i++) {
        send(cli.get(), frame.obj());
    }
    sent = cli->pkts;
    done = true;
    reader.join();
    ASSERT_EQ(received.size() % frame_size, 0u) << "a frame was cut";
    EXPECT_EQ(received.size() / frame_size, cli->pkts);
    for (size_t at = 0; at < received.size(); at += frame_size) {
        ASSERT_EQ(received.compare(at, 2, "\x02\xbc", 2), 0) << "frame at " << at;
    }
    EXPECT_EQ(cli->errs, 0u);
    cli->fd = -1;
    output_dnscli_destroy(cli.get());
}

// send(): with the field added by the client, `sent` counts its two bytes.
TEST(Dnscli, PartialSendCountsTheAddedField)
{
    Pair pair;
    auto cli = stream_client(pair.ours, OUTPUT_DNSCLI_MODE_TCP);
    Payload framed(Bytes("\x00\x03", 2) + "abc");
    EXPECT_EQ(output_dnscli_send(cli.get(), framed.obj(), 0), 5);
    EXPECT_EQ(output_dnscli_send(cli.get(), framed.obj(), 4), 1);
    EXPECT_EQ(output_dnscli_send(cli.get(), framed.obj(), 5), 0);
    EXPECT_EQ(output_dnscli_send(cli.get(), framed.obj(), 6), -2);
    EXPECT_EQ(drain(pair.theirs), Bytes("\x00\x03", 2) + "abc" + "c");
    EXPECT_EQ(cli->pkts, 0u);
    cli->fd = -1;
    output_dnscli_destroy(cli.get());
}

// Frame reassembly over a pair: the response keeps its field, and a lone
// field byte survives a non-blocking call.
TEST(Dnscli, StreamResponsesKeepTheirField)
{
    Pair pair;
    auto cli = stream_client(pair.ours, OUTPUT_DNSCLI_MODE_TCP | OUTPUT_DNSCLI_MODE_NONBLOCKING);
    core_producer_t produce = output_dnscli_producer(cli.get());
    auto next = [&]() {
        const auto* got = reinterpret_cast<const core_object_payload_t*>(produce(cli.get()));
        return got ? std::make_optional(Bytes(reinterpret_cast<const char*>(got->payload), got->len))
                   : std::optional<Bytes>();
    };
    EXPECT_EQ(next(), Bytes());
    ASSERT_EQ(write(pair.theirs, "\x00", 1), 1);
    EXPECT_EQ(next(), Bytes());
    ASSERT_EQ(write(pair.theirs, "\x02xy\x00\x01z", 7), 7);
    EXPECT_EQ(next(), Bytes("\x00\x02xy", 4));
    EXPECT_EQ(next(), Bytes("\x00\x01z", 3));
    EXPECT_EQ(next(), Bytes());
    EXPECT_EQ(cli->pkts_recv, 2u);
    close(pair.theirs);
    pair.theirs = -1;
    EXPECT_EQ(next(), std::nullopt);
    cli->fd = -1;
    output_dnscli_destroy(cli.get());
}

}  // namespace
