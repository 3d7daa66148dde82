#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/object.h"
#include "core/object/ether.h"
#include "core/object/ip.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "core/object/udp.h"
#include "filter/copy.h"
#include "support/capture_stderr.h"

namespace {

// payload -> udp -> ip -> ether -> pcap, as the layer decoder lends it.
struct Chain {
    uint8_t frame[64];
    core_object_pcap_t pcap{};
    core_object_ether_t ether{};
    core_object_ip_t ip{};
    core_object_udp_t udp{};
    core_object_payload_t payload{};
    Chain()
    {
        for (size_t i = 0; i < sizeof(frame); i++) {
            frame[i] = uint8_t(i);
        }
        pcap.obj_type = CORE_OBJECT_PCAP;
        pcap.caplen = pcap.len = sizeof(frame);
        pcap.bytes = frame;
        ether.obj_type = CORE_OBJECT_ETHER;
        ether.obj_prev = as_object(&pcap);
        ether.type = 0x0800;
        ip.obj_type = CORE_OBJECT_IP;
        ip.obj_prev = as_object(&ether);
        ip.src[0] = 10;
        udp.obj_type = CORE_OBJECT_UDP;
        udp.obj_prev = as_object(&ip);
        udp.dport = 53;
        payload.obj_type = CORE_OBJECT_PAYLOAD;
        payload.obj_prev = as_object(&udp);
        payload.payload = frame + 42;
        payload.len = 22;
    }
    template <class Record>
    static const core_object_t* as_object(const Record* record)
    {
        return reinterpret_cast<const core_object_t*>(record);
    }
    const core_object_t* top() const { return as_object(&payload); }
    std::vector<const void*> records() const { return {&pcap, &ether, &ip, &udp, &payload}; }
};

// Keeps the chains it is handed, as a receiver that owns copies does.
struct Keeper {
    std::vector<core_object_t*> heads;
    ~Keeper()
    {
        for (core_object_t* head : heads) {
            while (head) {
                auto* below = const_cast<core_object_t*>(head->obj_prev);
                core_object_free(head);
                head = below;
            }
        }
    }
    static void receive(void* ctx, const core_object_t* obj)
    {
        static_cast<Keeper*>(ctx)->heads.push_back(const_cast<core_object_t*>(obj));
    }
};

struct Copy {
    filter_copy_t rec{};
    Keeper keeper;
    explicit Copy(const std::vector<int32_t>& types)
    {
        filter_copy_init(&rec);
        for (int32_t type : types) {
            filter_copy_set(&rec, type);
        }
        rec.recv = Keeper::receive;
        rec.recv_ctx = &keeper;
    }
    ~Copy() { filter_copy_destroy(&rec); }
};

std::vector<int32_t> types_of(const core_object_t* head)
{
    std::vector<int32_t> types;
    for (; head; head = head->obj_prev) {
        types.push_back(head->obj_type);
    }
    return types;
}

TEST(Copy, InitialState)
{
    filter_copy_t rec;
    memset(&rec, 0xAB, sizeof(rec));
    filter_copy_init(&rec);
    EXPECT_STREQ(rec._log.name, "filter.copy");
    EXPECT_EQ(rec._log.is_obj, 1);
    EXPECT_EQ(rec._log.settings.debug, 0);
    EXPECT_EQ(rec._log.settings.display_file_line, 0);
    EXPECT_EQ(rec._log.module, &filter_copy_log()->settings);
    EXPECT_EQ(rec.recv, nullptr);
    EXPECT_EQ(rec.recv_ctx, nullptr);
    EXPECT_EQ(rec.copy, 0u);
    filter_copy_destroy(&rec);
}

TEST(Copy, TypeBits)
{
    const std::pair<int32_t, uint64_t> bits[] = {
        {CORE_OBJECT_NONE, 0x1},      {CORE_OBJECT_PCAP, 0x2},      {CORE_OBJECT_ETHER, 0x4},
        {CORE_OBJECT_NULL, 0x8},      {CORE_OBJECT_LOOP, 0x10},     {CORE_OBJECT_LINUXSLL, 0x20},
        {CORE_OBJECT_IEEE802, 0x40},  {CORE_OBJECT_GRE, 0x80},      {CORE_OBJECT_IP, 0x100},
        {CORE_OBJECT_IP6, 0x200},     {CORE_OBJECT_ICMP, 0x400},    {CORE_OBJECT_ICMP6, 0x800},
        {CORE_OBJECT_UDP, 0x1000},    {CORE_OBJECT_TCP, 0x2000},    {CORE_OBJECT_PAYLOAD, 0x4000},
        {CORE_OBJECT_DNS, 0x8000},
    };
    uint64_t all = 0;
    for (const auto& [type, bit] : bits) {
        filter_copy_t rec;
        filter_copy_init(&rec);
        filter_copy_set(&rec, type);
        EXPECT_EQ(rec.copy, bit) << "type " << type;
        EXPECT_EQ(filter_copy_get(&rec, type), bit) << "type " << type;
        // Selecting twice is selecting once.
        filter_copy_set(&rec, type);
        EXPECT_EQ(rec.copy, bit);
        all |= bit;
    }
    EXPECT_EQ(all, 0xFFFFu);
    filter_copy_t rec;
    filter_copy_init(&rec);
    filter_copy_set(&rec, CORE_OBJECT_IP);
    EXPECT_EQ(filter_copy_get(&rec, CORE_OBJECT_IP6), 0u);
}

TEST(Copy, ChosenLayersInOrder)
{
    struct Case {
        std::vector<int32_t> selected;
        std::vector<int32_t> copied;
    };
    const Case cases[] = {
        {{CORE_OBJECT_PAYLOAD, CORE_OBJECT_IP, CORE_OBJECT_PCAP},
         {CORE_OBJECT_PAYLOAD, CORE_OBJECT_IP, CORE_OBJECT_PCAP}},
        {{CORE_OBJECT_PCAP, CORE_OBJECT_ETHER, CORE_OBJECT_IP, CORE_OBJECT_UDP, CORE_OBJECT_PAYLOAD},
         {CORE_OBJECT_PAYLOAD, CORE_OBJECT_UDP, CORE_OBJECT_IP, CORE_OBJECT_ETHER, CORE_OBJECT_PCAP}},
        {{CORE_OBJECT_UDP}, {CORE_OBJECT_UDP}},
        {{CORE_OBJECT_PCAP, CORE_OBJECT_TCP, CORE_OBJECT_IP6}, {CORE_OBJECT_PCAP}},
        {{CORE_OBJECT_ETHER, CORE_OBJECT_PAYLOAD}, {CORE_OBJECT_PAYLOAD, CORE_OBJECT_ETHER}},
    };
    for (const auto& c : cases) {
        Chain chain;
        Copy copy(c.selected);
        filter_copy_receiver(&copy.rec)(&copy.rec, chain.top());
        ASSERT_EQ(copy.keeper.heads.size(), 1u);
        const core_object_t* head = copy.keeper.heads[0];
        EXPECT_EQ(types_of(head), c.copied);
        // No copied record is one of the lent records.
        for (const core_object_t* o = head; o; o = o->obj_prev) {
            for (const void* lent : chain.records()) {
                EXPECT_NE(static_cast<const void*>(o), lent);
            }
        }
        // The lent chain is left as it was.
        EXPECT_EQ(types_of(chain.top()), (std::vector<int32_t>{CORE_OBJECT_PAYLOAD, CORE_OBJECT_UDP, CORE_OBJECT_IP,
                                                               CORE_OBJECT_ETHER, CORE_OBJECT_PCAP}));
    }
}

TEST(Copy, CopiesCarryTheirBytes)
{
    Chain chain;
    Copy copy({CORE_OBJECT_PAYLOAD, CORE_OBJECT_UDP, CORE_OBJECT_PCAP});
    filter_copy_receiver(&copy.rec)(&copy.rec, chain.top());
    auto* payload = reinterpret_cast<const core_object_payload_t*>(copy.keeper.heads.at(0));
    auto* udp = reinterpret_cast<const core_object_udp_t*>(payload->obj_prev);
    auto* pcap = reinterpret_cast<const core_object_pcap_t*>(udp->obj_prev);
    EXPECT_EQ(pcap->obj_prev, nullptr);
    EXPECT_EQ(udp->dport, 53);
    // The frame buffer is reused for the next packet; the copies keep theirs.
    uint8_t original[64];
    memcpy(original, chain.frame, sizeof(original));
    memset(chain.frame, 0, sizeof(chain.frame));
    ASSERT_EQ(payload->len, 22u);
    EXPECT_NE(payload->payload, chain.payload.payload);
    EXPECT_EQ(memcmp(payload->payload, original + 42, 22), 0);
    ASSERT_EQ(pcap->caplen, 64u);
    EXPECT_NE(pcap->bytes, chain.frame);
    EXPECT_EQ(memcmp(pcap->bytes, original, 64), 0);
}

TEST(Copy, NothingSelectedIsDiscardedWithNotice)
{
    for (bool notice_on : {false, true}) {
        Chain chain;
        Copy copy({CORE_OBJECT_DNS});
        copy.rec._log.settings.notice = notice_on ? CORE_LOG_ON : CORE_LOG_UNSET;
        CaptureStderr capture;
        filter_copy_receiver(&copy.rec)(&copy.rec, chain.top());
        std::string text = capture.text();
        EXPECT_TRUE(copy.keeper.heads.empty());
        if (notice_on) {
            char expected[128];
            snprintf(expected, sizeof(expected), "filter.copy[%p] notice: object discarded (no types to copy)\n",
                     static_cast<void*>(&copy.rec));
            EXPECT_EQ(text, expected);
        } else {
            EXPECT_EQ(text, "");
        }
    }
}

TEST(CopyDeathTest, Misuse)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string O = "filter\\.copy\\[0x[0-9a-f]+\\] fatal: ";
    const std::string M = "^filter\\.copy fatal: ";
    struct Case {
        const char* name;
        void (*run)();
        std::string pattern;
    };
    const Case cases[] = {
        {"set 2", [] { Copy c({2}); }, O + "unknown type 2"},
        {"set -1", [] { Copy c({-1}); }, O + "unknown type -1"},
        {"get 99",
         [] {
             Copy c({});
             filter_copy_get(&c.rec, 99);
         },
         O + "unknown type 99"},
        {"no receiver",
         [] {
             filter_copy_t rec;
             filter_copy_init(&rec);
             filter_copy_receiver(&rec);
         },
         O + "no receiver\\(s\\) set"},
        {"null object",
         [] {
             Copy c({CORE_OBJECT_IP});
             filter_copy_receiver(&c.rec)(&c.rec, nullptr);
         },
         O + "obj is nil"},
        {"unknown type in chain",
         [] {
             Chain chain;
             chain.ether.obj_type = 99;
             Copy c({CORE_OBJECT_IP});
             filter_copy_receiver(&c.rec)(&c.rec, chain.top());
         },
         O + "unknown type 99"},
        {"NONE selected",
         [] {
             Chain chain;
             chain.ether.obj_type = CORE_OBJECT_NONE;
             Copy c({CORE_OBJECT_NONE});
             filter_copy_receiver(&c.rec)(&c.rec, chain.top());
         },
         "^core fatal: unknown type 0"},
        {"init nil", [] { filter_copy_init(nullptr); }, M + "self is nil"},
        {"destroy nil", [] { filter_copy_destroy(nullptr); }, M + "self is nil"},
        {"set nil", [] { filter_copy_set(nullptr, 1); }, M + "self is nil"},
        {"get nil", [] { filter_copy_get(nullptr, 1); }, M + "self is nil"},
        {"receiver nil", [] { filter_copy_receiver(nullptr); }, M + "self is nil"},
        {"receive nil",
         [] {
             Copy c({CORE_OBJECT_IP});
             filter_copy_receiver(&c.rec)(nullptr, nullptr);
         },
         M + "self is nil"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(c.run(), ::testing::ExitedWithCode(1), c.pattern) << c.name;
    }
}

}  // namespace
