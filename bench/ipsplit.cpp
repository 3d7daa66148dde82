// IP split throughput: a million decoded IPv4 packets from 50 000 clients
// over four receivers, beside a plain receiver call (the cost of the hand-over
// alone) and beside the same client lookup done with std::unordered_map.
#include <cstdint>
#include <cstring>
#include <random>
#include <unordered_map>
#include <vector>

#include "bench.h"
#include "core/object.h"
#include "core/object/ip.h"
#include "core/object/payload.h"
#include "filter/ipsplit.h"

namespace {

constexpr size_t packet_count = 1000000;
constexpr uint32_t client_count = 50000;
constexpr int receivers = 4;

struct Packet {
    core_object_ip_t ip{};
    core_object_payload_t payload{};
};

void count(void* ctx, const core_object_t*)
{
    ++*static_cast<uint64_t*>(ctx);
}

}  // namespace

int main()
{
    std::mt19937 rng(1);
    std::vector<Packet> packets(packet_count);
    for (auto& packet : packets) {
        uint32_t client = rng() % client_count;
        packet.ip.obj_type = CORE_OBJECT_IP;
        packet.ip.src[0] = 10;
        packet.ip.src[1] = client >> 16;
        packet.ip.src[2] = client >> 8;
        packet.ip.src[3] = client;
        packet.payload.obj_type = CORE_OBJECT_PAYLOAD;
        packet.payload.obj_prev = reinterpret_cast<core_object_t*>(&packet.ip);
    }
    uint64_t counters[receivers] = {};

    // Called through a pointer, as an upstream component calls its receiver.
    core_receiver_t volatile plain = count;
    bench::Stopwatch direct;
    for (auto& packet : packets) {
        plain(&counters[0], reinterpret_cast<core_object_t*>(&packet.payload));
    }
    double direct_seconds = direct.seconds();

    // The same job with a hash map from address to receiver, for comparison.
    std::unordered_map<uint32_t, int> table;
    int next = 0;
    bench::Stopwatch hashed;
    for (auto& packet : packets) {
        const core_object_t* obj = reinterpret_cast<core_object_t*>(&packet.payload);
        while (obj->obj_type != CORE_OBJECT_IP) {
            obj = obj->obj_prev;
        }
        uint32_t address;
        memcpy(&address, reinterpret_cast<const core_object_ip_t*>(obj)->src, 4);
        auto [where, added] = table.emplace(address, next);
        if (added) {
            next = (next + 1) % receivers;
        }
        plain(&counters[where->second], obj);
    }
    double hashed_seconds = hashed.seconds();

    filter_ipsplit_t* split = filter_ipsplit_new();
    for (auto& counter : counters) {
        filter_ipsplit_add(split, count, &counter, 1);
    }
    core_receiver_t recv = filter_ipsplit_receiver(split);
    bench::Stopwatch filtered;
    for (auto& packet : packets) {
        recv(split, reinterpret_cast<core_object_t*>(&packet.payload));
    }
    double filtered_seconds = filtered.seconds();
    filter_ipsplit_free(split);
    bench::keep(counters);

    bench::group("ipsplit, 1M IPv4 packets from 50000 clients over 4 receivers");
    bench::baseline("direct-call", direct_seconds, packet_count);
    bench::baseline("unordered_map-split", hashed_seconds, packet_count);
    bench::result("filter.ipsplit", filtered_seconds, packet_count);
    return 0;
}
