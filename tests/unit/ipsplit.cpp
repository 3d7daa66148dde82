#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/object.h"
#include "core/object/ether.h"
#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "core/object/payload.h"
#include "filter/ipsplit.h"

namespace {

struct Delivery {
    int receiver;
    const core_object_t* obj;
};

struct Recorder {
    int id;
    std::vector<Delivery>* seen;
};

void record(void* ctx, const core_object_t* obj)
{
    auto* r = static_cast<Recorder*>(ctx);
    r->seen->push_back({r->id, obj});
}

// A payload on top of an IPv4 or IPv6 record, as the layer decoder hands it on.
struct Packet4 {
    core_object_ip_t ip{};
    core_object_payload_t payload{};
    explicit Packet4(std::array<uint8_t, 4> src, std::array<uint8_t, 4> dst = {192, 0, 2, 53})
    {
        ip.obj_type = CORE_OBJECT_IP;
        memcpy(ip.src, src.data(), 4);
        memcpy(ip.dst, dst.data(), 4);
        payload.obj_type = CORE_OBJECT_PAYLOAD;
        payload.obj_prev = reinterpret_cast<core_object_t*>(&ip);
    }
    const core_object_t* top() const { return reinterpret_cast<const core_object_t*>(&payload); }
};

struct Packet6 {
    core_object_ip6_t ip6{};
    core_object_payload_t payload{};
    explicit Packet6(uint8_t last)
    {
        ip6.obj_type = CORE_OBJECT_IP6;
        for (int i = 0; i < 16; i++) {
            ip6.src[i] = 0x20 + i;
            ip6.dst[i] = 0x40 + i;
        }
        ip6.src[15] = last;
        payload.obj_type = CORE_OBJECT_PAYLOAD;
        payload.obj_prev = reinterpret_cast<core_object_t*>(&ip6);
    }
    const core_object_t* top() const { return reinterpret_cast<const core_object_t*>(&payload); }
};

std::array<uint8_t, 4> client(int n)
{
    return {10, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
}

uint32_t host_u32(const uint8_t* at)
{
    uint32_t value;
    memcpy(&value, at, 4);
    return value;
}

struct IpSplit {
    filter_ipsplit_t* rec = filter_ipsplit_new();
    std::vector<Delivery> seen;
    std::vector<Recorder> recorders;
    explicit IpSplit(std::vector<uint32_t> weights)
    {
        recorders.reserve(weights.size());
        for (size_t i = 0; i < weights.size(); i++) {
            recorders.push_back({int(i + 1), &seen});
            filter_ipsplit_add(rec, record, &recorders.back(), weights[i]);
        }
    }
    ~IpSplit() { filter_ipsplit_free(rec); }
    // Sends one packet from each client in turn; returns the receivers and
    // the numbers (read back from the overwritten source address).
    std::pair<std::vector<int>, std::vector<uint32_t>> send(const std::vector<int>& clients)
    {
        rec->overwrite = IPSPLIT_OVERWRITE_SRC;
        core_receiver_t recv = filter_ipsplit_receiver(rec);
        std::vector<int> receivers;
        std::vector<uint32_t> numbers;
        for (int n : clients) {
            Packet4 packet(client(n));
            size_t before = seen.size();
            recv(rec, packet.top());
            EXPECT_EQ(seen.size(), before + 1);
            EXPECT_EQ(seen.back().obj, packet.top()) << "the top object is passed on";
            receivers.push_back(seen.back().receiver);
            numbers.push_back(host_u32(packet.ip.src));
        }
        return {receivers, numbers};
    }
};

std::vector<int> range(int first, int last)
{
    std::vector<int> clients;
    for (int n = first; n <= last; n++) {
        clients.push_back(n);
    }
    return clients;
}

TEST(IpSplit, InitialState)
{
    IpSplit s({});
    EXPECT_STREQ(s.rec->_log.name, "filter.ipsplit");
    EXPECT_EQ(s.rec->_log.is_obj, 1);
    EXPECT_EQ(s.rec->_log.module, &filter_ipsplit_log()->settings);
    EXPECT_EQ(s.rec->mode, IPSPLIT_MODE_SEQUENTIAL);
    EXPECT_EQ(s.rec->overwrite, IPSPLIT_OVERWRITE_NONE);
    EXPECT_EQ(s.rec->discarded, 0u);
    EXPECT_EQ(s.rec->recv, nullptr);
}

TEST(IpSplit, SequentialByWeight)
{
    struct Case {
        std::vector<uint32_t> weights;
        int clients;
        std::vector<int> receivers;
        std::vector<uint32_t> numbers;
    };
    const Case cases[] = {
        {{2, 1}, 6, {1, 1, 2, 1, 1, 2}, {1, 2, 1, 3, 4, 2}},
        {{1, 1, 1}, 7, {1, 3, 2, 1, 3, 2, 1}, {1, 1, 1, 2, 2, 2, 3}},
        {{1}, 3, {1, 1, 1}, {1, 2, 3}},
        {{1, 3}, 8, {1, 2, 2, 2, 1, 2, 2, 2}, {1, 1, 2, 3, 2, 4, 5, 6}},
        {{2, 1, 3}, 6, {1, 1, 3, 3, 3, 2}, {1, 2, 1, 2, 3, 1}},
    };
    for (const auto& c : cases) {
        IpSplit s(c.weights);
        auto [receivers, numbers] = s.send(range(1, c.clients));
        EXPECT_EQ(receivers, c.receivers) << c.weights.size() << " receivers";
        EXPECT_EQ(numbers, c.numbers) << c.weights.size() << " receivers";
    }
}

TEST(IpSplit, RepeatedClientsKeepReceiverAndNumber)
{
    for (filter_ipsplit_mode_t mode : {IPSPLIT_MODE_SEQUENTIAL, IPSPLIT_MODE_RANDOM}) {
        IpSplit s({2, 1, 1});
        s.rec->mode = mode;
        auto first = s.send(range(1, 12));
        std::vector<int> again = {7, 1, 12, 1, 3, 3, 9, 2, 11, 4, 5, 6, 8, 10};
        auto repeated = s.send(again);
        for (size_t i = 0; i < again.size(); i++) {
            EXPECT_EQ(repeated.first[i], first.first[again[i] - 1]) << "client " << again[i];
            EXPECT_EQ(repeated.second[i], first.second[again[i] - 1]) << "client " << again[i];
        }
        uint32_t clients = 0;
        filter_ipsplit_recv_t* entry = s.rec->recv;
        do {
            clients += entry->n_clients;
            entry = entry->next;
        } while (entry != s.rec->recv);
        EXPECT_EQ(clients, 12u) << "repeats are not new clients";
    }
}

TEST(IpSplit, OverwriteIpv4)
{
    struct Case {
        filter_ipsplit_overwrite_t overwrite;
        std::array<uint8_t, 4> src, dst;
    };
    // The second client of the only receiver: number 2 in host byte order.
    uint8_t two[4];
    uint32_t number = 2;
    memcpy(two, &number, 4);
    const Case cases[] = {
        {IPSPLIT_OVERWRITE_NONE, {10, 0, 0, 2}, {192, 0, 2, 53}},
        {IPSPLIT_OVERWRITE_SRC, {two[0], two[1], two[2], two[3]}, {192, 0, 2, 53}},
        {IPSPLIT_OVERWRITE_DST, {10, 0, 0, 2}, {two[0], two[1], two[2], two[3]}},
    };
    for (const auto& c : cases) {
        IpSplit s({1});
        s.rec->overwrite = c.overwrite;
        core_receiver_t recv = filter_ipsplit_receiver(s.rec);
        Packet4 first(client(1));
        Packet4 second(client(2));
        recv(s.rec, first.top());
        recv(s.rec, second.top());
        EXPECT_EQ(memcmp(second.ip.src, c.src.data(), 4), 0) << "overwrite " << c.overwrite;
        EXPECT_EQ(memcmp(second.ip.dst, c.dst.data(), 4), 0) << "overwrite " << c.overwrite;
    }
    if constexpr (std::endian::native == std::endian::little) {
        EXPECT_EQ(two[0], 2);
        EXPECT_EQ(two[3], 0);
    }
}

TEST(IpSplit, OverwriteIpv6KeepsClientKey)
{
    for (filter_ipsplit_overwrite_t overwrite : {IPSPLIT_OVERWRITE_SRC, IPSPLIT_OVERWRITE_DST}) {
        IpSplit s({1});
        s.rec->overwrite = overwrite;
        core_receiver_t recv = filter_ipsplit_receiver(s.rec);
        Packet6 first(1), second(2);
        recv(s.rec, first.top());
        recv(s.rec, second.top());
        Packet6 original(2);
        uint8_t* changed = overwrite == IPSPLIT_OVERWRITE_SRC ? second.ip6.src : second.ip6.dst;
        uint8_t* kept = overwrite == IPSPLIT_OVERWRITE_SRC ? second.ip6.dst : second.ip6.src;
        const uint8_t* changed_before = overwrite == IPSPLIT_OVERWRITE_SRC ? original.ip6.src : original.ip6.dst;
        const uint8_t* kept_before = overwrite == IPSPLIT_OVERWRITE_SRC ? original.ip6.dst : original.ip6.src;
        EXPECT_EQ(host_u32(changed), 2u);
        EXPECT_EQ(memcmp(changed + 4, changed_before + 4, 12), 0) << "only four bytes change";
        EXPECT_EQ(memcmp(kept, kept_before, 16), 0);
        // The table holds the address as it arrived: the same client again
        // keeps its number.
        Packet6 repeat(2);
        recv(s.rec, repeat.top());
        uint8_t* repeat_changed = overwrite == IPSPLIT_OVERWRITE_SRC ? repeat.ip6.src : repeat.ip6.dst;
        EXPECT_EQ(host_u32(repeat_changed), 2u);
        EXPECT_EQ(s.rec->recv->n_clients, 2u);
    }
}

TEST(IpSplit, FamiliesDoNotCollide)
{
    IpSplit s({1});
    core_receiver_t recv = filter_ipsplit_receiver(s.rec);
    Packet6 six(9);
    Packet4 four({six.ip6.src[0], six.ip6.src[1], six.ip6.src[2], six.ip6.src[3]});
    recv(s.rec, six.top());
    recv(s.rec, four.top());
    EXPECT_EQ(s.rec->recv->n_clients, 2u);
}

// The generator and the weighted pick, written out independently.
std::vector<int> model_random(uint32_t seed, const std::vector<uint32_t>& weights, int clients)
{
    // Ring order from the cursor: the first added, then the others newest first.
    std::vector<int> ring = {1};
    for (int i = int(weights.size()); i >= 2; i--) {
        ring.push_back(i);
    }
    uint32_t total = 0;
    for (uint32_t w : weights) {
        total += w;
    }
    uint32_t state = seed;
    size_t cursor = 0;
    std::vector<int> picks;
    for (int n = 0; n < clients; n++) {
        state = (state * 1103515245u + 12345u) & 0x7FFFFFFF;
        int64_t x = state % total + 1;
        while (x > weights[ring[cursor] - 1]) {
            x -= weights[ring[cursor] - 1];
            cursor = (cursor + 1) % ring.size();
        }
        picks.push_back(ring[cursor]);
    }
    return picks;
}

TEST(IpSplit, RandomBySeed)
{
    struct Case {
        uint32_t seed;
        std::vector<uint32_t> weights;
    };
    const Case cases[] = {
        {1, {1, 1, 1}}, {42, {2, 1}}, {7, {1, 5, 2, 1}}, {0, {3}}, {0xFFFFFFFF, {1, 1}},
    };
    for (const auto& c : cases) {
        std::vector<int> runs[2];
        for (auto& run : runs) {
            IpSplit s(c.weights);
            s.rec->mode = IPSPLIT_MODE_RANDOM;
            filter_ipsplit_srand(c.seed);
            run = s.send(range(1, 200)).first;
        }
        EXPECT_EQ(runs[0], runs[1]) << "seed " << c.seed;
        EXPECT_EQ(runs[0], model_random(c.seed, c.weights, 200)) << "seed " << c.seed;
    }
}

// Instances on several threads share the generator; every draw must be
// counted, so after N draws in all the state is the N-th value from the seed.
TEST(IpSplit, RandomStateSharedAcrossThreads)
{
    constexpr int threads = 4;
    constexpr int clients_per_thread = 20000;
    filter_ipsplit_srand(99);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([t] {
            filter_ipsplit_t* rec = filter_ipsplit_new();
            uint64_t delivered = 0;
            filter_ipsplit_add(
                rec, [](void* ctx, const core_object_t*) { ++*static_cast<uint64_t*>(ctx); }, &delivered, 1);
            filter_ipsplit_add(
                rec, [](void* ctx, const core_object_t*) { ++*static_cast<uint64_t*>(ctx); }, &delivered, 2);
            rec->mode = IPSPLIT_MODE_RANDOM;
            core_receiver_t recv = filter_ipsplit_receiver(rec);
            for (int n = 0; n < clients_per_thread; n++) {
                Packet4 packet({uint8_t(t), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
                recv(rec, packet.top());
            }
            EXPECT_EQ(delivered, uint64_t(clients_per_thread));
            filter_ipsplit_free(rec);
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    uint32_t state = 99;
    for (int i = 0; i < threads * clients_per_thread; i++) {
        state = (state * 1103515245u + 12345u) & 0x7FFFFFFF;
    }
    // Read the state back through the picks of a fresh instance.
    const std::vector<uint32_t> weights = {1, 1, 1, 1, 1, 1, 1};
    IpSplit probe(weights);
    probe.rec->mode = IPSPLIT_MODE_RANDOM;
    EXPECT_EQ(probe.send(range(1, 64)).first, model_random(state, weights, 64));
}

TEST(IpSplit, DiscardsObjectsWithoutIp)
{
    IpSplit s({1, 1});
    core_receiver_t recv = filter_ipsplit_receiver(s.rec);
    // ARP over Ethernet: the decoder stops at the link layer.
    core_object_ether_t ether{};
    ether.obj_type = CORE_OBJECT_ETHER;
    ether.type = 0x0806;
    core_object_payload_t payload{};
    payload.obj_type = CORE_OBJECT_PAYLOAD;
    payload.obj_prev = reinterpret_cast<core_object_t*>(&ether);
    recv(s.rec, reinterpret_cast<core_object_t*>(&payload));
    EXPECT_EQ(s.rec->discarded, 1u);
    recv(s.rec, nullptr);
    EXPECT_EQ(s.rec->discarded, 2u);
    EXPECT_TRUE(s.seen.empty());
    // An IP record anywhere down the chain is found.
    Packet4 packet(client(1));
    core_object_payload_t dns{};
    dns.obj_type = CORE_OBJECT_DNS;
    dns.obj_prev = packet.top();
    recv(s.rec, reinterpret_cast<core_object_t*>(&dns));
    EXPECT_EQ(s.seen.size(), 1u);
    EXPECT_EQ(s.rec->discarded, 2u);
}

TEST(IpSplitDeathTest, Misuse)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string O = "filter\\.ipsplit\\[0x[0-9a-f]+\\] fatal: ";
    const std::string M = "^filter\\.ipsplit fatal: ";
    struct Case {
        const char* name;
        void (*run)();
        std::string pattern;
    };
    const Case cases[] = {
        {"weight 0", [] { IpSplit s({0}); }, O + "weight must be positive integer"},
        {"recv nil", [] { filter_ipsplit_add(filter_ipsplit_new(), nullptr, nullptr, 1); }, O + "recv is nil"},
        {"total weight", [] { IpSplit s({0x80000000u, 0x80000000u}); }, O + "total weight exceeds 4294967295"},
        {"no receiver", [] { filter_ipsplit_receiver(filter_ipsplit_new()); }, O + "no receiver\\(s\\) set"},
        {"invalid mode",
         [] {
             IpSplit s({1});
             s.rec->mode = static_cast<filter_ipsplit_mode_t>(2);
             s.send({1});
         },
         O + "invalid ipsplit mode"},
        {"invalid overwrite",
         [] {
             IpSplit s({1});
             core_receiver_t recv = filter_ipsplit_receiver(s.rec);
             s.rec->overwrite = static_cast<filter_ipsplit_overwrite_t>(3);
             Packet4 packet(client(1));
             recv(s.rec, packet.top());
         },
         O + "invalid overwrite mode"},
        {"free nil", [] { filter_ipsplit_free(nullptr); }, M + "self is nil"},
        {"add nil", [] { filter_ipsplit_add(nullptr, record, nullptr, 1); }, M + "self is nil"},
        {"receiver nil", [] { filter_ipsplit_receiver(nullptr); }, M + "self is nil"},
        {"receive nil",
         [] {
             IpSplit s({1});
             filter_ipsplit_receiver(s.rec)(nullptr, nullptr);
         },
         M + "self is nil"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(c.run(), ::testing::ExitedWithCode(1), c.pattern) << c.name;
    }
}

}  // namespace
