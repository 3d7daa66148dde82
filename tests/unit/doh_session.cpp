// The DoH session: the GET request path, and what a scripted HTTP/2 server
// does to streams (status, content type, reset, an oversized body, a GOAWAY
// in the middle of a batch) reported per query as its own kind, over h2c and
// TLS and with both methods.
// fixtures: h2srv
#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/detail/doh_session.h"
#include "core/log.h"

namespace {

using tvx::doh::Kind;
using tvx::doh::Session;
using Bytes = std::string;

const uint8_t* bytes_of(const Bytes& text)
{
    return reinterpret_cast<const uint8_t*>(text.data());
}

Bytes query(uint16_t id, const std::string& name)
{
    Bytes wire{char(id >> 8), char(id & 0xff), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    size_t at = 0;
    while (at <= name.size()) {
        const size_t dot = name.find('.', at);
        const size_t end = dot == std::string::npos ? name.size() : dot;
        wire += char(end - at);
        wire += name.substr(at, end - at);
        at = end + 1;
    }
    wire += Bytes("\0\0\1\0\1", 5);
    return wire;
}

TEST(DohGetPath, EncodesTheMessageWithoutPadding)
{
    // The example of the DoH rules: www.example.com A with id 0.
    const Bytes example = query(0, "www.example.com");
    struct Case {
        const char* path;
        Bytes message;
        const char* expected;
    } cases[] = {
        {"/dns-query", example, "/dns-query?dns=AAABAAABAAAAAAAAA3d3dwdleGFtcGxlA2NvbQAAAQAB"},
        {"/q?ct", example, "/q?ct&dns=AAABAAABAAAAAAAAA3d3dwdleGFtcGxlA2NvbQAAAQAB"},
        {"/", Bytes("\xfb\xff", 2), "/?dns=-_8"},
        {"/", Bytes("f"), "/?dns=Zg"},
        {"/", Bytes("foob"), "/?dns=Zm9vYg"},
        {"/", Bytes(""), "/?dns="},
    };
    for (const Case& c : cases) {
        char out[256];
        const size_t room = tvx::doh::get_path_room(c.path, c.message.size());
        ASSERT_LE(room, sizeof(out));
        const size_t len = tvx::doh::get_path(c.path, bytes_of(c.message), c.message.size(), out, room);
        EXPECT_EQ(std::string(out, len), c.expected);
        EXPECT_EQ(out[len], '\0');
        EXPECT_EQ(tvx::doh::get_path(c.path, bytes_of(c.message), c.message.size(), out, room - 1), 0u)
            << "one byte short of " << c.expected;
    }
}

std::map<std::string, std::string> server_ports()
{
    std::map<std::string, std::string> ports;
    std::ifstream list(TARVEX_FIXTURE_DIR "/h2srv/ports");
    std::string name, port;
    while (list >> name >> port) {
        ports[name] = port;
    }
    return ports;
}

struct Done {
    Kind kind;
    int status;
    Bytes body;
};

struct Client {
    core_log_t log = core_log_object_init("test.doh", *core_log_log());
    Session session;
    std::map<uint64_t, Done> done;

    static void record(void* ctx, const tvx::doh::Completion& c)
    {
        auto* self = static_cast<Client*>(ctx);
        EXPECT_EQ(self->done.count(c.tag), 0u) << "tag " << c.tag << " completed twice";
        self->done[c.tag] = {c.kind, c.http_status, Bytes(reinterpret_cast<const char*>(c.body), c.len)};
    }

    // One round of the owner's event loop.
    bool step(int limit_ms)
    {
        if (session.fd() < 0) {
            return false;
        }
        struct pollfd watch{session.fd(), short(POLLIN | (session.wants_write() ? POLLOUT : 0)), 0};
        if (poll(&watch, 1, limit_ms) <= 0) {
            return false;
        }
        if ((watch.revents & (POLLIN | POLLHUP | POLLERR)) && session.on_readable() != 0) {
            return true;
        }
        if (watch.revents & POLLOUT) {
            session.on_writable();
        }
        return true;
    }

    void connect(const std::string& port, bool tls, bool get)
    {
        tvx::doh::Options options;
        options.tls = tls;
        options.get = get;
        session.on_complete(record, this);
        ASSERT_EQ(session.connect(TVX_HERE, &log, "127.0.0.1", port.c_str(), options), 0);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!session.established() && std::chrono::steady_clock::now() < until) {
            step(100);
        }
        ASSERT_TRUE(session.established()) << "no SETTINGS from the server";
    }

    // Submits all (they fit the server's limit), written in one go, then
    // runs until every one has completed.
    void exchange(const std::vector<Bytes>& queries)
    {
        for (size_t tag = 0; tag < queries.size(); tag++) {
            ASSERT_EQ(session.submit(bytes_of(queries[tag]), queries[tag].size(), tag), Session::submitted);
        }
        EXPECT_EQ(session.in_flight(), queries.size());
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (done.size() < queries.size() && std::chrono::steady_clock::now() < until) {
            step(100);
        }
        ASSERT_EQ(done.size(), queries.size()) << "queries never completed";
        EXPECT_EQ(session.in_flight(), 0u);
    }
};

struct Mode {
    const char* port;
    bool tls;
    bool get;
};

class DohServer : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override
    {
        ports = server_ports();
        if (ports.empty()) {
            GTEST_SKIP() << "no scripted HTTP/2 server (python3-h2)";
        }
    }
    std::map<std::string, std::string> ports;
};

TEST_P(DohServer, EachOutcomeIsReportedAsItsKind)
{
    Client client;
    client.connect(ports[GetParam().port], GetParam().tls, GetParam().get);
    const struct {
        const char* name;
        Kind kind;
        int status;
    } cases[] = {
        {"a.test", Kind::answer, 200},     {"status.test", Kind::bad_status, 500},
        {"type.test", Kind::bad_type, 200}, {"reset.test", Kind::reset, 0},
        {"big.test", Kind::too_long, 200},  {"hold.test", Kind::answer, 200},
    };
    std::vector<Bytes> queries;
    for (const auto& c : cases) {
        queries.push_back(query(uint16_t(0x4100 + queries.size()), c.name));
    }
    client.exchange(queries);
    for (size_t tag = 0; tag < queries.size(); tag++) {
        const Done& done = client.done[tag];
        EXPECT_EQ(done.kind, cases[tag].kind) << cases[tag].name;
        EXPECT_EQ(done.status, cases[tag].status) << cases[tag].name;
        if (done.kind == Kind::answer) {
            // The server answers FORMERR unless the id on the wire was 0;
            // the caller's id comes back in the answer.
            ASSERT_EQ(done.body.size(), queries[tag].size());
            EXPECT_EQ(done.body.substr(0, 2), queries[tag].substr(0, 2));
            EXPECT_EQ(uint8_t(done.body[2]) & 0x80, 0x80);
            EXPECT_EQ(done.body[3] & 0x0f, 0) << "the query went out with a DNS id other than 0";
        }
        if (done.kind == Kind::reset) {
            EXPECT_EQ(done.body, queries[tag]) << "a reset hands the query back as given";
        }
    }
    const auto& counted = client.session.counters();
    EXPECT_EQ(counted.submitted, 6u);
    EXPECT_EQ(counted.answers, 2u);
    EXPECT_EQ(counted.bad_status + counted.bad_type + counted.resets + counted.too_long, 4u);
    EXPECT_TRUE(client.session.usable()) << "a stream's failure leaves the connection";
}

TEST_P(DohServer, StreamsAboveTheGoawayAreRefusedAndHandedBack)
{
    Client client;
    client.connect(ports[GetParam().port], GetParam().tls, GetParam().get);
    std::vector<Bytes> queries;
    for (int n = 0; n < 10; n++) {
        queries.push_back(query(uint16_t(0x5000 + n), n == 4 ? "goaway.test" : "q.test"));
    }
    client.exchange(queries);
    for (size_t tag = 0; tag < queries.size(); tag++) {
        const Done& done = client.done[tag];
        if (tag <= 4) {
            EXPECT_EQ(done.kind, Kind::answer) << "stream " << tag << " is at or below the last stream id";
        } else {
            EXPECT_EQ(done.kind, Kind::refused) << "stream " << tag << " is above the last stream id";
            EXPECT_EQ(done.body, queries[tag]) << "the refused query comes back for another connection";
        }
    }
    EXPECT_EQ(client.session.counters().goaways, 1u);
    EXPECT_FALSE(client.session.usable());
    const Bytes more = query(1, "q.test");
    EXPECT_EQ(client.session.submit(bytes_of(more), more.size(), 99), Session::closed);
}

INSTANTIATE_TEST_SUITE_P(Modes, DohServer,
                         ::testing::Values(Mode{"h2c", false, false}, Mode{"h2c", false, true},
                                           Mode{"tls", true, false}, Mode{"tls", true, true}),
                         [](const auto& info) {
                             return std::string(info.param.port) + (info.param.get ? "_get" : "_post");
                         });

TEST(DohSession, RefusesWhatIsNotAQueryAndWhenNotConnected)
{
    Session session;
    const Bytes q = query(7, "a.test");
    EXPECT_EQ(session.submit(bytes_of(q), q.size(), 1), Session::closed);
    EXPECT_EQ(session.fd(), -1);
    EXPECT_FALSE(session.wants_write());
    EXPECT_EQ(session.in_flight(), 0u);
}

}  // namespace
