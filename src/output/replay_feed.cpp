#include "output/replay_feed.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "core/channel.h"
#include "core/detail/clock_ns.h"
#include "core/detail/dns_exchange.h"
#include "core/detail/flow_table.h"
#include "core/detail/log.h"
#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "core/object/tcp.h"
#include "core/object/udp.h"

namespace {

core_log_t module_log = core_log_module_init("output.replay_feed");

constexpr uint32_t elsewhere_lane = UINT32_MAX;
// Messages up to this size are copied into the slot itself.
constexpr size_t inline_bytes = 512;
// The clock is looked at once per this many records.
constexpr unsigned clock_stride = 256;

// One query as the replayer reads it: its chain from the payload down to the
// capture record, each record copied whole and linked to the copy below it.
struct Slot {
    core_object_pcap_t pcap;
    core_object_ip_t ip;
    core_object_ip6_t ip6;
    core_object_udp_t udp;
    core_object_tcp_t tcp;
    core_object_payload_t payload;
    uint8_t bytes[inline_bytes];
    std::vector<uint8_t> large;  // kept grown for the next large message

    const core_object_t* fill(const tvx::dns::Exchange& msg)
    {
        const core_object_t* below = nullptr;
        if (const core_object_pcap_t* rec = tvx::dns::capture_record(reinterpret_cast<const core_object_t*>(msg.payload))) {
            pcap = *rec;
            pcap.obj_prev = nullptr;
            pcap.bytes = nullptr;  // the frame stays with the reader
            pcap.caplen = 0;
            below = reinterpret_cast<const core_object_t*>(&pcap);
        }
        const core_object_t* transport = msg.payload->obj_prev;
        const core_object_t* network = transport->obj_prev;
        if (msg.family == 4) {
            ip = *reinterpret_cast<const core_object_ip_t*>(network);
            ip.obj_prev = below;
            below = reinterpret_cast<const core_object_t*>(&ip);
        } else if (msg.family == 6) {
            ip6 = *reinterpret_cast<const core_object_ip6_t*>(network);
            ip6.obj_prev = below;
            below = reinterpret_cast<const core_object_t*>(&ip6);
        }
        if (msg.kind == CORE_OBJECT_UDP) {
            udp = *reinterpret_cast<const core_object_udp_t*>(transport);
            udp.obj_prev = below;
            below = reinterpret_cast<const core_object_t*>(&udp);
        } else {
            tcp = *reinterpret_cast<const core_object_tcp_t*>(transport);
            tcp.obj_prev = below;
            below = reinterpret_cast<const core_object_t*>(&tcp);
        }
        payload = *msg.payload;
        payload.obj_prev = below;
        uint8_t* room = bytes;
        if (payload.len > inline_bytes) {
            large.resize(payload.len);
            room = large.data();
        }
        memcpy(room, msg.payload->payload, payload.len);
        payload.payload = room;
        return reinterpret_cast<const core_object_t*>(&payload);
    }
};

}  // namespace

// A channel of slot pointers and the slots it cycles through. A lane of
// capacity C holds at most C-1 queries and its worker one more, the last it
// took, which stays valid until it takes the next: C slots are never
// overwritten while read.
struct output_replay_feed_lane {
    core_channel_t channel{};
    std::unique_ptr<Slot[]> slots;
    size_t capacity = 0;
    uint64_t filled = 0;  // the feeder's side
    uint8_t waiting = 1;  // the worker's side: cleared once the lane ended
};

namespace {

struct Client {
    uint8_t family;
    uint8_t addr[16];
};

// Every client seen and its lane, for as long as the feed lives: a client
// keeps its lane (and its number) however long it was silent, so nothing is
// ever evicted. Open addressing over one array that doubles at half full,
// so a lookup is one probe run and no allocation but the growth; the hash
// is seeded per feed, so that hostile traffic cannot aim its clients at one
// run of probes.
class ClientLanes {
public:
    ClientLanes() : seed_(std::random_device{}()) {}

    // The lane entry of `key`; `fresh` when it was not there before.
    uint32_t& find(const Client& key, bool& fresh)
    {
        if ((count_ + 1) * 2 > entries_.size()) {
            grow();
        }
        size_t at = tvx::hash_bytes(&key, sizeof(key), seed_) & mask_;
        while (entries_[at].used) {
            if (memcmp(&entries_[at].key, &key, sizeof(key)) == 0) {
                fresh = false;
                return entries_[at].lane;
            }
            at = (at + 1) & mask_;
        }
        fresh = true;
        count_++;
        entries_[at].used = 1;
        entries_[at].key = key;
        return entries_[at].lane;
    }

    size_t size() const { return count_; }

private:
    struct Entry {
        Client key;
        uint8_t used;
        uint32_t lane;
    };

    void grow()
    {
        std::vector<Entry> old(entries_.empty() ? 1024 : entries_.size() * 2);
        old.swap(entries_);
        mask_ = entries_.size() - 1;
        for (const Entry& entry : old) {
            if (entry.used) {
                size_t at = tvx::hash_bytes(&entry.key, sizeof(entry.key), seed_) & mask_;
                while (entries_[at].used) {
                    at = (at + 1) & mask_;
                }
                entries_[at] = entry;
            }
        }
    }

    uint64_t seed_;
    std::vector<Entry> entries_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

struct State {
    std::vector<std::unique_ptr<output_replay_feed_lane_t>> lanes;
    ClientLanes lane_of;  // numbered in order of first query
    core_producer_t produce = nullptr;
    void* produce_ctx = nullptr;
    const size_t* packets = nullptr;
    // A query taken from the input while its lane was full; the reader's
    // record stays valid because nothing more is taken until it is placed.
    tvx::dns::Exchange held{};
    uint32_t held_lane = elsewhere_lane;
};

State& state_of(output_replay_feed_t* self)
{
    return *static_cast<State*>(self->state);
}

output_replay_feed_t* checked(output_replay_feed_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->state) {
        TVX_FATAL(&module_log, "state is nil");
    }
    return self;
}

// The lane of a query's client, numbering the client at its first query.
uint32_t lane_for(output_replay_feed_t* self, State& st, const tvx::dns::Exchange& msg)
{
    Client key{};
    key.family = msg.family;
    if (msg.src) {
        memcpy(key.addr, msg.src, msg.addr_len());
    }
    bool fresh;
    uint32_t& lane = st.lane_of.find(key, fresh);
    if (fresh) {
        const uint64_t hosts = self->shard_count > 1 ? self->shard_count : 1;
        const uint64_t index = hosts > 1 ? self->shard_index : 0;
        const uint64_t turn = (st.lane_of.size() - 1) % (hosts * self->lanes);
        lane = turn % hosts == index ? static_cast<uint32_t>(turn / hosts) : elsewhere_lane;
    }
    return lane;
}

bool place(output_replay_feed_lane_t& lane, const tvx::dns::Exchange& msg)
{
    if (core_channel_full(&lane.channel)) {
        return false;
    }
    Slot& slot = lane.slots[lane.filled++ & (lane.capacity - 1)];
    core_channel_put(&lane.channel, slot.fill(msg));
    return true;
}

}  // namespace

extern "C" core_log_t* output_replay_feed_log()
{
    return &module_log;
}

extern "C" output_replay_feed_t* output_replay_feed_new(uint32_t lanes, size_t capacity)
{
    if (lanes == 0) {
        TVX_FATAL(&module_log, "no lanes");
    }
    auto* self = new (std::nothrow) output_replay_feed_t{};
    State* st = new (std::nothrow) State;
    if (!self || !st) {
        TVX_FATAL(&module_log, "out of memory");
    }
    self->_log = core_log_object_init("output.replay_feed", module_log);
    self->lanes = lanes;
    self->dns_port = 53;
    self->state = st;
    for (uint32_t i = 0; i < lanes; i++) {
        auto lane = std::make_unique<output_replay_feed_lane_t>();
        core_channel_init(&lane->channel, capacity);  // fatal on a capacity it cannot take
        lane->slots = std::make_unique<Slot[]>(capacity);
        lane->capacity = capacity;
        st->lanes.push_back(std::move(lane));
    }
    return self;
}

extern "C" void output_replay_feed_free(output_replay_feed_t* self)
{
    if (!self) {
        return;
    }
    State* st = static_cast<State*>(self->state);
    if (st) {
        for (auto& lane : st->lanes) {
            core_channel_destroy(&lane->channel);
        }
        delete st;
    }
    delete self;
}

extern "C" void output_replay_feed_shard(output_replay_feed_t* self, uint32_t index, uint32_t count)
{
    checked(self);
    if (count > 1 && index >= count) {
        TVX_FATAL(self, "shard %u of %u", index, count);
    }
    self->shard_index = index;
    self->shard_count = count;
}

extern "C" void output_replay_feed_input(output_replay_feed_t* self, core_producer_t produce, void* ctx,
                                         const size_t* packets)
{
    State& st = state_of(checked(self));
    st.produce = produce;
    st.produce_ctx = ctx;
    st.packets = packets;
}

extern "C" output_replay_feed_status_t output_replay_feed_pump(output_replay_feed_t* self, uint64_t slice_ns)
{
    State& st = state_of(checked(self));
    if (st.held_lane != elsewhere_lane) {
        if (!place(*st.lanes[st.held_lane], st.held)) {
            return OUTPUT_REPLAY_FEED_FULL;
        }
        st.held_lane = elsewhere_lane;
        self->queries++;
    }
    const uint64_t deadline = tvx::monotonic_ns() + slice_ns;
    tvx::dns::Question header;
    for (unsigned taken = 1;; taken++) {
        if (!st.produce) {
            return OUTPUT_REPLAY_FEED_ENDED;
        }
        const size_t before = st.packets ? *st.packets : 0;
        const core_object_t* obj = st.produce(st.produce_ctx);
        if (!obj) {
            if (!st.packets || *st.packets == before) {
                st.produce = nullptr;
                return OUTPUT_REPLAY_FEED_ENDED;
            }
            continue;  // a packet the decoder dropped
        }
        self->records++;
        tvx::dns::Exchange msg;
        if (!tvx::dns::read_query(obj, self->dns_port, msg, header)) {
            self->skipped++;
        } else if (const uint32_t lane = lane_for(self, st, msg); lane == elsewhere_lane) {
            self->elsewhere++;
        } else if (!place(*st.lanes[lane], msg)) {
            st.held = msg;
            st.held_lane = lane;
            return OUTPUT_REPLAY_FEED_FULL;
        } else {
            self->queries++;
        }
        if (taken % clock_stride == 0 && tvx::monotonic_ns() >= deadline) {
            return OUTPUT_REPLAY_FEED_RUNNING;
        }
    }
}

extern "C" void output_replay_feed_close(output_replay_feed_t* self)
{
    State& st = state_of(checked(self));
    st.produce = nullptr;
    st.held_lane = elsewhere_lane;
    for (auto& lane : st.lanes) {
        core_channel_close(&lane->channel);
    }
}

extern "C" output_replay_feed_lane_t* output_replay_feed_lane(output_replay_feed_t* self, uint32_t index)
{
    State& st = state_of(checked(self));
    if (index >= st.lanes.size()) {
        TVX_FATAL(self, "no lane %u of %zu", index, st.lanes.size());
    }
    return st.lanes[index].get();
}

extern "C" const core_object_t* output_replay_feed_produce(void* ctx)
{
    auto* lane = static_cast<output_replay_feed_lane_t*>(ctx);
    if (void* obj = core_channel_try_get(&lane->channel)) {
        return static_cast<const core_object_t*>(obj);
    }
    // A query put just before the close may show only after the flag: the
    // lane has ended only when it is empty after the flag was seen.
    if (std::atomic_ref<int>(lane->channel.closed).load(std::memory_order_acquire)) {
        if (void* obj = core_channel_try_get(&lane->channel)) {
            return static_cast<const core_object_t*>(obj);
        }
        lane->waiting = 0;
    }
    return nullptr;
}

extern "C" const uint8_t* output_replay_feed_waiting(const output_replay_feed_lane_t* lane)
{
    return &lane->waiting;
}

extern "C" core_producer_t output_replay_feed_producer()
{
    return output_replay_feed_produce;
}
