// UDP query sender against a loopback socket standing in for the server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "core/detail/socket.h"
#include "core/object/payload.h"
#include "output/dnscli.h"
#include "output/udpcli.h"
#include "support/capture_stderr.h"

namespace {

constexpr int64_t ms = 1000000;

int64_t monotonic_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The server side: a bound loopback socket that notes who sent last.
struct Server {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in peer {};
    socklen_t peer_len = sizeof(peer);
    std::string port;

    Server()
    {
        struct sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
        port = std::to_string(ntohs(addr.sin_port));
    }
    ~Server() { close(fd); }

    // The next datagram within 1 s, or "<none>".
    std::string take()
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 1000) != 1) {
            return "<none>";
        }
        char buf[65536];
        peer_len = sizeof(peer);
        const ssize_t got = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<struct sockaddr*>(&peer), &peer_len);
        return got < 0 ? "<error>" : std::string(buf, got);
    }

    bool idle()
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        return poll(&pfd, 1, 50) == 0;
    }

    void reply(const std::string& bytes)
    {
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<struct sockaddr*>(&peer), peer_len);
    }
};

struct Client {
    output_udpcli_t rec{};
    Client() { output_udpcli_init(&rec); }
    ~Client() { output_udpcli_destroy(&rec); }
};

// A view, not a string: a literal argument must not become a temporary that
// dies before the record pointing into it is sent.
core_object_payload_t payload_of(std::string_view bytes, const core_object_t* prev = nullptr)
{
    core_object_payload_t p{};
    p.obj_type = CORE_OBJECT_PAYLOAD;
    p.obj_prev = prev;
    p.payload = reinterpret_cast<const uint8_t*>(bytes.data());
    p.len = bytes.size();
    return p;
}

const core_object_t* as_obj(const void* rec)
{
    return static_cast<const core_object_t*>(rec);
}

TEST(Udpcli, InitialValues)
{
    Client c;
    EXPECT_EQ(c.rec.fd, -1);
    EXPECT_EQ(c.rec.pkts + c.rec.errs + c.rec.pkts_recv + c.rec.addr_len, 0u);
    EXPECT_EQ(c.rec.timeout.sec, 5);
    EXPECT_EQ(c.rec.timeout.nsec, 0);
    EXPECT_EQ(c.rec.blocking, 1);
    EXPECT_EQ(c.rec.pkt.obj_type, CORE_OBJECT_PAYLOAD);
    EXPECT_EQ(c.rec.pkt.obj_prev, nullptr);
    EXPECT_EQ(c.rec.pkt.payload, c.rec.recvbuf);
    EXPECT_STREQ(c.rec._log.name, "output.udpcli");
    EXPECT_EQ(c.rec._log.module, &output_udpcli_log()->settings);
}

TEST(Udpcli, SendsWhatThePayloadUnderneathCarries)
{
    const std::string query = "\x12\x34query-bytes";
    struct Case {
        const char* name;
        int top_type;    // type of the record pushed
        int under_type;  // type of its predecessor (0: none)
        bool sent;
    } cases[] = {
        {"payload", CORE_OBJECT_PAYLOAD, 0, true},
        {"dns on payload", CORE_OBJECT_DNS, CORE_OBJECT_PAYLOAD, true},
        {"dns on dns", CORE_OBJECT_DNS, CORE_OBJECT_DNS, false},  // no payload at the end of the chain
        {"dns alone", CORE_OBJECT_DNS, 0, false},
        {"udp", CORE_OBJECT_UDP, 0, false},
        {"pcap", CORE_OBJECT_PCAP, 0, false},
        {"dns on udp", CORE_OBJECT_DNS, CORE_OBJECT_UDP, false},
    };
    Server server;
    Client c;
    ASSERT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), 0);
    const core_receiver_t send = output_udpcli_receiver(&c.rec);
    for (const Case& k : cases) {
        const size_t before = c.rec.pkts;
        core_object_payload_t payload = payload_of(query);
        core_object_t under{nullptr, k.under_type};
        core_object_t top{nullptr, k.top_type};
        const core_object_t* pushed;
        if (k.top_type == CORE_OBJECT_PAYLOAD) {
            pushed = as_obj(&payload);
        } else {
            if (k.under_type == CORE_OBJECT_PAYLOAD) {
                top.obj_prev = as_obj(&payload);
            } else if (k.under_type) {
                top.obj_prev = &under;
            }
            pushed = &top;
        }
        send(&c.rec, pushed);
        if (k.sent) {
            EXPECT_EQ(server.take(), query) << k.name;
            EXPECT_EQ(c.rec.pkts, before + 1) << k.name;
        } else {
            EXPECT_TRUE(server.idle()) << k.name;
            EXPECT_EQ(c.rec.pkts, before) << k.name;
        }
        EXPECT_EQ(c.rec.errs, 0u) << k.name;
    }
    send(&c.rec, nullptr);
    EXPECT_TRUE(server.idle());
}

TEST(Udpcli, DnsRecordOverThreeLevelsReachesThePayload)
{
    Server server;
    Client c;
    ASSERT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), 0);
    const std::string query = "abc";
    core_object_payload_t payload = payload_of(query);
    core_object_t inner{as_obj(&payload), CORE_OBJECT_DNS};
    core_object_t outer{&inner, CORE_OBJECT_DNS};
    output_udpcli_receiver(&c.rec)(&c.rec, &outer);
    EXPECT_EQ(server.take(), query);
}

TEST(Udpcli, EmptyPayloadIsSentAndCounted)
{
    Server server;
    Client c;
    ASSERT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), 0);
    core_object_payload_t empty = payload_of("");
    output_udpcli_receiver(&c.rec)(&c.rec, as_obj(&empty));
    EXPECT_EQ(server.take(), "");
    EXPECT_EQ(c.rec.pkts, 1u);
}

TEST(Udpcli, FailedSendIsCounted)
{
    Server server;
    Client c;
    ASSERT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), 0);
    c.rec.addr_len = 1;  // an address the kernel refuses
    core_object_payload_t query = payload_of("abc");
    output_udpcli_receiver(&c.rec)(&c.rec, as_obj(&query));
    EXPECT_EQ(c.rec.errs, 1u);
    EXPECT_EQ(c.rec.pkts, 0u);
}

TEST(Udpcli, ProducesReplies)
{
    Server server;
    Client c;
    ASSERT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), 0);
    core_object_payload_t query = payload_of("q");
    output_udpcli_receiver(&c.rec)(&c.rec, as_obj(&query));
    ASSERT_EQ(server.take(), "q");
    const core_producer_t produce = output_udpcli_producer(&c.rec);

    server.reply("answer");
    const core_object_t* got = produce(&c.rec);
    ASSERT_EQ(got, as_obj(&c.rec.pkt));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.rec.pkt.payload), c.rec.pkt.len), "answer");
    EXPECT_EQ(c.rec.pkts_recv, 1u);

    // The excess of a datagram longer than the buffer is lost.
    server.reply(std::string(5000, 'l'));
    ASSERT_EQ(produce(&c.rec), as_obj(&c.rec.pkt));
    EXPECT_EQ(c.rec.pkt.len, 4096u);
    EXPECT_EQ(c.rec.pkts_recv, 2u);

    // An empty datagram ends a pull.
    server.reply("");
    EXPECT_EQ(produce(&c.rec), nullptr);
    EXPECT_EQ(c.rec.pkts_recv, 2u);
    EXPECT_EQ(c.rec.errs, 0u);
}

TEST(Udpcli, WaitsUpToTheTimeoutThenHandsOutAnEmptyRecord)
{
    struct Case {
        core_timespec_t timeout;
        int64_t at_least_ns;
    } cases[] = {
        {{0, 60 * ms}, 60 * ms},
        {{0, 500000}, 900000},  // below a millisecond: still a 1 ms wait
    };
    Server server;
    Client c;
    ASSERT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), 0);
    const core_producer_t produce = output_udpcli_producer(&c.rec);
    for (const Case& k : cases) {
        c.rec.timeout = k.timeout;
        c.rec.pkt.len = 99;
        const int64_t start = monotonic_ns();
        EXPECT_EQ(produce(&c.rec), as_obj(&c.rec.pkt));
        const int64_t waited = monotonic_ns() - start;
        EXPECT_EQ(c.rec.pkt.len, 0u);
        EXPECT_GE(waited, k.at_least_ns) << k.timeout.nsec;
        EXPECT_LT(waited, k.at_least_ns + 1000 * ms) << k.timeout.nsec;
    }
    EXPECT_EQ(c.rec.pkts_recv, 0u);
    EXPECT_EQ(c.rec.errs, 0u);
}

TEST(Udpcli, BlockingSwitchAndHandleChoice)
{
    Server server;
    Client c;
    ASSERT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), 0);
    EXPECT_EQ(output_udpcli_nonblocking(&c.rec), 0);
    const core_producer_t waiting = output_udpcli_producer(&c.rec);

    EXPECT_EQ(output_udpcli_set_nonblocking(&c.rec, 1), 0);
    EXPECT_EQ(output_udpcli_nonblocking(&c.rec), 1);
    EXPECT_EQ(c.rec.blocking, 0);
    const core_producer_t immediate = output_udpcli_producer(&c.rec);
    EXPECT_NE(waiting, immediate);

    // The handle taken before the switch still waits; the new one does not.
    c.rec.timeout = {0, 80 * ms};
    int64_t start = monotonic_ns();
    EXPECT_EQ(waiting(&c.rec), as_obj(&c.rec.pkt));
    EXPECT_GE(monotonic_ns() - start, 80 * ms);
    c.rec.timeout = {5, 0};
    start = monotonic_ns();
    EXPECT_EQ(immediate(&c.rec), as_obj(&c.rec.pkt));
    EXPECT_EQ(c.rec.pkt.len, 0u);
    EXPECT_LT(monotonic_ns() - start, 2000 * ms);

    EXPECT_EQ(output_udpcli_set_nonblocking(&c.rec, 0), 0);
    EXPECT_EQ(output_udpcli_nonblocking(&c.rec), 0);
    EXPECT_EQ(c.rec.blocking, 1);
    EXPECT_EQ(output_udpcli_producer(&c.rec), waiting);
    EXPECT_EQ(c.rec.errs, 0u);
}

TEST(Udpcli, FailedWaitAndReceiveAreCounted)
{
    Server server;
    Client c;
    ASSERT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), 0);
    const core_producer_t waiting = output_udpcli_producer(&c.rec);
    ASSERT_EQ(output_udpcli_set_nonblocking(&c.rec, 1), 0);
    const core_producer_t immediate = output_udpcli_producer(&c.rec);
    const int real_fd = c.rec.fd;
    c.rec.fd = 1000;  // not open: poll reports an invalid descriptor, recvfrom EBADF
    EXPECT_EQ(waiting(&c.rec), nullptr);
    EXPECT_EQ(immediate(&c.rec), nullptr);
    EXPECT_EQ(c.rec.errs, 2u);
    c.rec.fd = real_fd;
}

TEST(Udpcli, UnresolvableHostThenAGoodOne)
{
    Server server;
    Client c;
    std::string text;
    {
        CaptureStderr capture;
        EXPECT_EQ(output_udpcli_connect(&c.rec, "nonexistent.invalid", "53"), -1);
        text = capture.text();
    }
    EXPECT_NE(text.find("output.udpcli["), std::string::npos) << text;
    EXPECT_NE(text.find("] critical: getaddrinfo(nonexistent.invalid, 53) error "), std::string::npos) << text;
    EXPECT_EQ(c.rec.fd, -1);
    {
        CaptureStderr capture;
        EXPECT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", "no-such-service-here"), -1);
        text = capture.text();
    }
    EXPECT_NE(text.find("getaddrinfo(127.0.0.1, no-such-service-here) error "), std::string::npos) << text;
    EXPECT_EQ(output_udpcli_connect(&c.rec, "localhost", server.port.c_str()), 0);
    EXPECT_GE(c.rec.fd, 0);
    EXPECT_GT(c.rec.addr_len, 0u);
    core_object_payload_t query = payload_of("after retry");
    output_udpcli_receiver(&c.rec)(&c.rec, as_obj(&query));
    EXPECT_EQ(server.take(), "after retry");
}

TEST(Udpcli, DestroyClosesTheSocket)
{
    Server server;
    output_udpcli_t rec{};
    output_udpcli_init(&rec);
    output_udpcli_destroy(&rec);  // unconnected: nothing to do
    ASSERT_EQ(output_udpcli_connect(&rec, "127.0.0.1", server.port.c_str()), 0);
    const int fd = rec.fd;
    output_udpcli_destroy(&rec);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

// The senders never connect their UDP socket, so no ICMP error reaches them;
// connected here, the socket gets the case where an error is pending beside a
// queued answer (POLLIN with POLLERR). The kernel reports the error first:
// the answer that is there is still handed out first, and the error counted.
void connect_to(int fd, const std::string& port)
{
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    ASSERT_EQ(connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
}

// Answers the first query, then goes away; the second query's port
// unreachable is pending when the client comes to read.
template <class Send>
void answer_then_vanish(Server& server, int client_fd, Send send)
{
    send("q1");
    ASSERT_EQ(server.take(), "q1");
    server.reply("answer");
    close(server.fd);
    server.fd = -1;
    send("q2");
    struct pollfd pfd = {client_fd, POLLIN, 0};
    for (int i = 0; i < 100 && !(pfd.revents & POLLERR); i++) {
        poll(&pfd, 1, 10);
    }
    ASSERT_TRUE(pfd.revents & POLLIN);
    ASSERT_TRUE(pfd.revents & POLLERR);
}

TEST(Udpcli, AnswerQueuedBeforeAPendingErrorIsReadFirst)
{
    Server server;
    Client c;
    ASSERT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), 0);
    connect_to(c.rec.fd, server.port);
    c.rec.timeout = {0, 200 * ms};
    const core_receiver_t receive = output_udpcli_receiver(&c.rec);
    std::string text;
    answer_then_vanish(server, c.rec.fd, [&](const char* bytes) {
        text = bytes;
        core_object_payload_t query = payload_of(text);
        receive(&c.rec, as_obj(&query));
    });
    const core_producer_t produce = output_udpcli_producer(&c.rec);
    ASSERT_EQ(produce(&c.rec), as_obj(&c.rec.pkt));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.rec.pkt.payload), c.rec.pkt.len), "answer");
    EXPECT_EQ(c.rec.pkts_recv, 1u);
    EXPECT_EQ(c.rec.errs, 1u);
    // Nothing left: the wait runs out.
    ASSERT_EQ(produce(&c.rec), as_obj(&c.rec.pkt));
    EXPECT_EQ(c.rec.pkt.len, 0u);
}

TEST(Dnscli, UdpAnswerQueuedBeforeAPendingErrorIsReadFirst)
{
    Server server;
    output_dnscli_t cli;
    memset(static_cast<void*>(&cli), 0, sizeof(cli));
    output_dnscli_init(&cli, OUTPUT_DNSCLI_MODE_UDP);
    cli.timeout = {0, 200 * ms};
    ASSERT_EQ(output_dnscli_connect(&cli, "127.0.0.1", server.port.c_str()), 0);
    connect_to(cli.fd, server.port);
    const core_receiver_t receive = output_dnscli_receiver(&cli);
    std::string text;
    answer_then_vanish(server, cli.fd, [&](const char* bytes) {
        text = bytes;
        core_object_payload_t query = payload_of(text);
        receive(&cli, as_obj(&query));
    });
    const core_producer_t produce = output_dnscli_producer(&cli);
    const core_object_t* got = produce(&cli);
    ASSERT_EQ(got, as_obj(&cli.pkt));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(cli.pkt.payload), cli.pkt.len), "answer");
    EXPECT_EQ(cli.pkts_recv, 1u);
    EXPECT_EQ(cli.errs, 1u);
    output_dnscli_destroy(&cli);
}

// The shared wait over a stream that carries an answer and then a reset:
// ready for reading, the answer is read, then the reset is the error.
TEST(SocketSeam, ReadableDataBeforeAResetIsReady)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&addr), len), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<struct sockaddr*>(&addr), &len), 0);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<struct sockaddr*>(&addr), len), 0);
    const int server = accept(listener, nullptr, nullptr);
    close(listener);
    const std::string answer(31, 'a');
    ASSERT_EQ(send(server, answer.data(), answer.size(), 0), ssize_t(answer.size()));
    const struct linger reset = {1, 0};
    setsockopt(server, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(server);
    struct pollfd pfd = {client, POLLIN, 0};
    for (int i = 0; i < 100 && !(pfd.revents & POLLERR); i++) {
        poll(&pfd, 1, 10);
    }
    ASSERT_TRUE(pfd.revents & (POLLERR | POLLHUP));

    EXPECT_EQ(tvx::net::wait_for(client, POLLIN, 100), tvx::net::Wait::ready);
    uint8_t buf[64];
    const tvx::net::Io got = tvx::net::receive(client, buf, sizeof(buf));
    EXPECT_EQ(got.kind, tvx::net::Io::data);
    EXPECT_EQ(got.size, answer.size());
    EXPECT_EQ(tvx::net::receive(client, buf, sizeof(buf)).kind, tvx::net::Io::failed);
    // Nothing left to read and the error taken: the stream reads as ended.
    EXPECT_EQ(tvx::net::wait_for(client, POLLIN, 100), tvx::net::Wait::ready);
    EXPECT_EQ(tvx::net::receive(client, buf, sizeof(buf)).kind, tvx::net::Io::closed);
    close(client);
}

TEST(SocketSeam, WaitLimitInMilliseconds)
{
    struct {
        core_timespec_t timeout;
        int limit;
    } cases[] = {
        {{5, 0}, 5000}, {{0, 250 * ms}, 250}, {{0, 500000}, 1}, {{0, 0}, 1}, {{1, 999999}, 1000},
        {{2, 1500000}, 2001}, {{1LL << 40, 0}, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tvx::net::wait_limit_ms(c.timeout), c.limit) << c.timeout.sec << "." << c.timeout.nsec;
    }
}

constexpr const char* object_fatal = "^output\\.udpcli\\[0x[0-9a-f]+\\] fatal: ";

TEST(UdpcliDeathTest, FatalPaths)
{
    const std::string obj = object_fatal;
    const char* nil = "^output\\.udpcli fatal: self is nil\n$";
    auto exits = ::testing::ExitedWithCode(1);
    EXPECT_EXIT(output_udpcli_init(nullptr), exits, nil);
    EXPECT_EXIT(output_udpcli_destroy(nullptr), exits, nil);
    EXPECT_EXIT(output_udpcli_connect(nullptr, "a", "1"), exits, nil);
    EXPECT_EXIT(output_udpcli_nonblocking(nullptr), exits, nil);
    EXPECT_EXIT(output_udpcli_set_nonblocking(nullptr, 1), exits, nil);
    EXPECT_EXIT(output_udpcli_receiver(nullptr), exits, nil);
    EXPECT_EXIT(output_udpcli_producer(nullptr), exits, nil);
    Client c;
    EXPECT_EXIT(output_udpcli_connect(&c.rec, nullptr, "53"), exits, obj + "host is nil\n$");
    EXPECT_EXIT(output_udpcli_connect(&c.rec, "127.0.0.1", nullptr), exits, obj + "port is nil\n$");
    EXPECT_EXIT(output_udpcli_nonblocking(&c.rec), exits, obj + "not connected\n$");
    EXPECT_EXIT(output_udpcli_set_nonblocking(&c.rec, 0), exits, obj + "not connected\n$");
    EXPECT_EXIT(output_udpcli_receiver(&c.rec), exits, obj + "not connected\n$");
    EXPECT_EXIT(output_udpcli_producer(&c.rec), exits, obj + "not connected\n$");
    Server server;
    ASSERT_EQ(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), 0);
    EXPECT_EXIT(output_udpcli_connect(&c.rec, "127.0.0.1", server.port.c_str()), exits,
                obj + "already connected\n$");
    EXPECT_EXIT(output_udpcli_receiver(&c.rec)(nullptr, nullptr), exits, nil);
    EXPECT_EXIT(output_udpcli_producer(&c.rec)(nullptr), exits, nil);
}

}  // namespace
