#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/object.h"
#include "filter/split.h"

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

struct Split {
    filter_split_t rec{};
    Split() { filter_split_init(&rec); }
    ~Split() { filter_split_destroy(&rec); }
};

TEST(Split, InitialState)
{
    Split s;
    EXPECT_STREQ(s.rec._log.name, "filter.split");
    EXPECT_EQ(s.rec._log.is_obj, 1);
    EXPECT_EQ(s.rec._log.module, &filter_split_log()->settings);
    EXPECT_EQ(s.rec.mode, FILTER_SPLIT_MODE_ROUNDROBIN);
    EXPECT_EQ(s.rec.recv_first, nullptr);
    EXPECT_EQ(s.rec.recv, nullptr);
    EXPECT_EQ(s.rec.recv_last, nullptr);
    EXPECT_STREQ(filter_split_log()->name, "filter.split");
}

TEST(Split, DeliveryOrders)
{
    struct Case {
        int receivers;
        filter_split_mode_t mode;
        int objects;
        std::vector<int> order;
    };
    const Case cases[] = {
        {1, FILTER_SPLIT_MODE_ROUNDROBIN, 3, {1, 1, 1}},
        {1, FILTER_SPLIT_MODE_SENDALL, 3, {1, 1, 1}},
        {2, FILTER_SPLIT_MODE_ROUNDROBIN, 4, {1, 2, 1, 2}},
        {3, FILTER_SPLIT_MODE_ROUNDROBIN, 7, {1, 3, 2, 1, 3, 2, 1}},
        {4, FILTER_SPLIT_MODE_ROUNDROBIN, 5, {1, 4, 3, 2, 1}},
        {2, FILTER_SPLIT_MODE_SENDALL, 2, {2, 1, 2, 1}},
        {3, FILTER_SPLIT_MODE_SENDALL, 2, {3, 2, 1, 3, 2, 1}},
    };
    for (const auto& c : cases) {
        Split s;
        std::vector<Delivery> seen;
        std::vector<Recorder> recorders;
        recorders.reserve(c.receivers);
        for (int i = 1; i <= c.receivers; i++) {
            recorders.push_back({i, &seen});
            filter_split_add(&s.rec, record, &recorders.back());
        }
        s.rec.mode = c.mode;
        core_receiver_t recv = filter_split_receiver(&s.rec);
        std::vector<core_object_t> objects(c.objects);
        for (auto& obj : objects) {
            recv(&s.rec, &obj);
        }
        std::vector<int> order;
        for (size_t i = 0; i < seen.size(); i++) {
            order.push_back(seen[i].receiver);
            size_t per_object = c.mode == FILTER_SPLIT_MODE_SENDALL ? c.receivers : 1;
            EXPECT_EQ(seen[i].obj, &objects[i / per_object]) << "the same object is passed on";
        }
        EXPECT_EQ(order, c.order) << c.receivers << " receivers, mode " << c.mode;
    }
}

TEST(Split, RingFromNewestToOldest)
{
    Split s;
    std::vector<Delivery> seen;
    Recorder r[3] = {{1, &seen}, {2, &seen}, {3, &seen}};
    for (auto& recorder : r) {
        filter_split_add(&s.rec, record, &recorder);
    }
    EXPECT_EQ(s.rec.recv_first->ctx, &r[2]);
    EXPECT_EQ(s.rec.recv_first->next->ctx, &r[1]);
    EXPECT_EQ(s.rec.recv_first->next->next->ctx, &r[0]);
    EXPECT_EQ(s.rec.recv_last->ctx, &r[0]);
    EXPECT_EQ(s.rec.recv_last->next, s.rec.recv_first);
    EXPECT_EQ(s.rec.recv->ctx, &r[0]);
}

TEST(Split, NullObjectAndLaterModeChange)
{
    Split s;
    std::vector<Delivery> seen;
    Recorder a{1, &seen}, b{2, &seen};
    filter_split_add(&s.rec, record, &a);
    filter_split_add(&s.rec, record, &b);
    core_receiver_t recv = filter_split_receiver(&s.rec);
    // The callback was chosen when asked for: a later mode does not change it.
    s.rec.mode = FILTER_SPLIT_MODE_SENDALL;
    recv(&s.rec, nullptr);
    recv(&s.rec, nullptr);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].receiver, 1);
    EXPECT_EQ(seen[0].obj, nullptr);
    EXPECT_EQ(seen[1].receiver, 2);
    EXPECT_NE(filter_split_receiver(&s.rec), recv);
}

TEST(Split, DestroyTwiceIsHarmless)
{
    filter_split_t rec{};
    filter_split_init(&rec);
    std::vector<Delivery> seen;
    Recorder a{1, &seen};
    filter_split_add(&rec, record, &a);
    filter_split_destroy(&rec);
    filter_split_destroy(&rec);
    EXPECT_EQ(rec.recv_first, nullptr);
}

TEST(SplitDeathTest, Misuse)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string O = "filter\\.split\\[0x[0-9a-f]+\\] fatal: ";
    const std::string M = "^filter\\.split fatal: ";
    std::vector<Delivery> seen;
    Recorder a{1, &seen};
    struct Case {
        const char* name;
        void (*run)(Recorder*);
        std::string pattern;
    };
    const Case cases[] = {
        {"no receiver", [](Recorder*) { Split s; filter_split_receiver(&s.rec); }, O + "no receiver\\(s\\) set"},
        {"invalid mode",
         [](Recorder* r) {
             Split s;
             filter_split_add(&s.rec, record, r);
             s.rec.mode = static_cast<filter_split_mode_t>(2);
             filter_split_receiver(&s.rec);
         },
         O + "invalid split mode"},
        {"null recv", [](Recorder*) { Split s; filter_split_add(&s.rec, nullptr, nullptr); }, O + "recv is nil"},
        {"init nil", [](Recorder*) { filter_split_init(nullptr); }, M + "self is nil"},
        {"destroy nil", [](Recorder*) { filter_split_destroy(nullptr); }, M + "self is nil"},
        {"add nil", [](Recorder* r) { filter_split_add(nullptr, record, r); }, M + "self is nil"},
        {"receiver nil", [](Recorder*) { filter_split_receiver(nullptr); }, M + "self is nil"},
        {"roundrobin nil",
         [](Recorder* r) {
             Split s;
             filter_split_add(&s.rec, record, r);
             filter_split_receiver(&s.rec)(nullptr, nullptr);
         },
         M + "self is nil"},
        {"sendall nil",
         [](Recorder* r) {
             Split s;
             filter_split_add(&s.rec, record, r);
             s.rec.mode = FILTER_SPLIT_MODE_SENDALL;
             filter_split_receiver(&s.rec)(nullptr, nullptr);
         },
         M + "self is nil"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(c.run(&a), ::testing::ExitedWithCode(1), c.pattern) << c.name;
    }
}

}  // namespace
