#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/channel.h"
#include "core/log.h"
#include "support/capture_stderr.h"

namespace {

void* item(uintptr_t n)
{
    return reinterpret_cast<void*>(n);
}

uintptr_t number(const void* p)
{
    return reinterpret_cast<uintptr_t>(p);
}

struct Channel {
    explicit Channel(size_t capacity = 2048) { core_channel_init(&ch, capacity); }
    ~Channel() { core_channel_destroy(&ch); }
    // Moves the free-running 32-bit indices of an empty ring to `at`.
    void set_indices(unsigned int at)
    {
        ch.ring.c_head = at;
        ch.ring.p_tail = at;
        ch.ring.p_head = at;
    }
    core_channel_t ch{};
};

struct InfoOn {
    InfoOn() { core_log_log()->settings.info = CORE_LOG_ON; }
    ~InfoOn() { core_log_log()->settings.info = CORE_LOG_UNSET; }
};

std::string address_of(const void* p)
{
    char text[32];
    snprintf(text, sizeof(text), "%p", p);
    return text;
}

TEST(Channel, ValidCapacityHoldsOneLess)
{
    for (size_t capacity : {4, 8, 16, 1024, 2048, 65536}) {
        Channel c(capacity);
        EXPECT_EQ(c.ch.capacity, capacity);
        size_t taken = 0;
        while (core_channel_try_put(&c.ch, item(taken + 1)) == 0) {
            taken++;
            ASSERT_LE(taken, capacity);
        }
        EXPECT_EQ(taken, capacity - 1) << capacity;
        EXPECT_TRUE(core_channel_full(&c.ch));
        EXPECT_EQ(core_channel_size(&c.ch), static_cast<int>(capacity - 1));
        EXPECT_EQ(number(core_channel_try_get(&c.ch)), 1u);
        EXPECT_FALSE(core_channel_full(&c.ch));
    }
}

TEST(ChannelDeath, InvalidCapacity)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (size_t capacity : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{6}, size_t{12},
                            size_t{2049}, size_t{1} << 32, SIZE_MAX}) {
        core_channel_t ch{};
        EXPECT_EXIT(core_channel_init(&ch, capacity), testing::ExitedWithCode(1),
                    "^core.channel fatal: invalid capacity\n$")
            << capacity;
    }
}

TEST(Channel, SizeAcrossIndexWrap)
{
    for (unsigned int start : {0u, UINT_MAX - 2, UINT_MAX - 1, UINT_MAX}) {
        Channel c(8);
        c.set_indices(start);
        for (uintptr_t n = 1; n <= 5; n++) {
            ASSERT_EQ(core_channel_try_put(&c.ch, item(n)), 0);
        }
        EXPECT_EQ(number(core_channel_get(&c.ch)), 1u);
        EXPECT_EQ(number(core_channel_get(&c.ch)), 2u);
        EXPECT_EQ(core_channel_size(&c.ch), 3) << start;
        for (uintptr_t n = 6; n <= 9; n++) {
            ASSERT_EQ(core_channel_try_put(&c.ch, item(n)), 0);
        }
        EXPECT_TRUE(core_channel_full(&c.ch));
        EXPECT_EQ(core_channel_try_put(&c.ch, item(10)), -1);
        for (uintptr_t n = 3; n <= 9; n++) {
            EXPECT_EQ(number(core_channel_try_get(&c.ch)), n) << start;
        }
        EXPECT_EQ(core_channel_try_get(&c.ch), nullptr);
        EXPECT_EQ(core_channel_size(&c.ch), 0);
    }
}

TEST(Channel, ClosedChannelDrainsThenEnds)
{
    InfoOn info;
    Channel c(4);
    core_channel_put(&c.ch, item(1));
    core_channel_put(&c.ch, item(2));
    core_channel_close(&c.ch);
    // A closed channel still takes items when there is room.
    EXPECT_EQ(core_channel_try_put(&c.ch, item(3)), 0);
    EXPECT_EQ(core_channel_try_put(&c.ch, item(4)), -1);
    CaptureStderr capture;
    EXPECT_EQ(number(core_channel_get(&c.ch)), 1u);
    EXPECT_EQ(number(core_channel_get(&c.ch)), 2u);
    EXPECT_EQ(number(core_channel_get(&c.ch)), 3u);
    EXPECT_EQ(core_channel_try_get(&c.ch), nullptr);
    EXPECT_EQ(core_channel_get(&c.ch), nullptr);
    EXPECT_EQ(core_channel_get(&c.ch), nullptr);
    const std::string line = "core.channel[" + address_of(&c.ch) + "] info: channel closed\n";
    EXPECT_EQ(capture.text(), line + line);
}

TEST(Channel, TryGetOnClosedEmptyIsSilent)
{
    InfoOn info;
    Channel c(4);
    core_channel_close(&c.ch);
    CaptureStderr capture;
    EXPECT_EQ(core_channel_try_get(&c.ch), nullptr);
    EXPECT_EQ(capture.text(), "");
}

struct Recorder {
    static void receive(void* ctx, const core_object_t* obj)
    {
        static_cast<Recorder*>(ctx)->seen.push_back(number(obj));
    }
    std::vector<uintptr_t> seen;
};

TEST(Channel, RunDeliversInOrderUntilClosedAndEmpty)
{
    InfoOn info;
    Channel c(8);
    Recorder recorder;
    c.ch.recv = Recorder::receive;
    c.ch.ctx = &recorder;
    for (uintptr_t n = 1; n <= 7; n++) {
        core_channel_put(&c.ch, item(n));
    }
    core_channel_close(&c.ch);
    CaptureStderr capture;
    core_channel_run(&c.ch);
    EXPECT_EQ(recorder.seen, (std::vector<uintptr_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(capture.text(), "core.channel[" + address_of(&c.ch) + "] info: channel closed\n");
}

TEST(Channel, ReceiverPutsTheObjectUnchanged)
{
    Channel c(8);
    core_receiver_t recv = core_channel_receiver();
    ASSERT_NE(recv, nullptr);
    core_object_t objects[3]{};
    for (auto& obj : objects) {
        recv(&c.ch, &obj);
    }
    for (auto& obj : objects) {
        EXPECT_EQ(core_channel_try_get(&c.ch), &obj);
    }
}

TEST(ChannelDeath, NullSelf)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* self_is_nil = "^core.channel fatal: self is nil\n$";
    EXPECT_EXIT(core_channel_init(nullptr, 4), testing::ExitedWithCode(1), self_is_nil);
    EXPECT_EXIT(core_channel_destroy(nullptr), testing::ExitedWithCode(1), self_is_nil);
    EXPECT_EXIT(core_channel_put(nullptr, nullptr), testing::ExitedWithCode(1), self_is_nil);
    EXPECT_EXIT(core_channel_try_put(nullptr, nullptr), testing::ExitedWithCode(1), self_is_nil);
    EXPECT_EXIT(core_channel_get(nullptr), testing::ExitedWithCode(1), self_is_nil);
    EXPECT_EXIT(core_channel_try_get(nullptr), testing::ExitedWithCode(1), self_is_nil);
    EXPECT_EXIT(core_channel_size(nullptr), testing::ExitedWithCode(1), self_is_nil);
    EXPECT_EXIT(core_channel_full(nullptr), testing::ExitedWithCode(1), self_is_nil);
    EXPECT_EXIT(core_channel_close(nullptr), testing::ExitedWithCode(1), self_is_nil);
    EXPECT_EXIT(core_channel_run(nullptr), testing::ExitedWithCode(1), self_is_nil);
    EXPECT_EXIT(core_channel_receiver()(nullptr, nullptr), testing::ExitedWithCode(1), self_is_nil);
}

TEST(ChannelDeath, NeverInitialised)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    core_channel_t zero{};
    const char* nil = "^core.channel fatal: ring_buf is nil\n$";
    EXPECT_EXIT(core_channel_put(&zero, nullptr), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_channel_try_put(&zero, nullptr), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_channel_get(&zero), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_channel_try_get(&zero), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_channel_run(&zero), testing::ExitedWithCode(1), nil);
}

TEST(ChannelDeath, RunWithoutReceiver)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The threadsafe style re-runs the test in a new process: another address.
    Channel c(4);
    EXPECT_EXIT(core_channel_run(&c.ch), testing::ExitedWithCode(1),
                "^core.channel\\[0x[0-9a-f]+\\] fatal: no receiver set\n$");
}

// One producer thread, one consumer thread, indices starting just below the
// 32-bit wrap: every item arrives once, in order, and the last ones before
// close are not lost.
enum class Consume { get, run };

void pass_items(Consume how, size_t capacity, uintptr_t count, unsigned int start)
{
    Channel c(capacity);
    c.set_indices(start);
    std::vector<uintptr_t> seen;
    seen.reserve(count);
    std::thread consumer([&] {
        if (how == Consume::get) {
            while (void* obj = core_channel_get(&c.ch)) {
                seen.push_back(number(obj));
            }
        } else {
            c.ch.recv = [](void* ctx, const core_object_t* obj) {
                static_cast<std::vector<uintptr_t>*>(ctx)->push_back(number(obj));
            };
            c.ch.ctx = &seen;
            core_channel_run(&c.ch);
        }
    });
    for (uintptr_t n = 1; n <= count; n++) {
        core_channel_put(&c.ch, item(n));
    }
    core_channel_close(&c.ch);
    consumer.join();
    ASSERT_EQ(seen.size(), count);
    for (uintptr_t n = 1; n <= count; n++) {
        ASSERT_EQ(seen[n - 1], n) << "item " << n;
    }
}

TEST(ChannelThreads, MillionItemsAcrossTheWrap)
{
    pass_items(Consume::get, 2048, 1000000, UINT_MAX - 500000);
    pass_items(Consume::run, 2048, 1000000, UINT_MAX - 500000);
    pass_items(Consume::get, 4, 200000, UINT_MAX - 100000);
}

// The consumer is already waiting on an empty ring when the last items and
// the close arrive; repeated so that the close lands inside its yield.
TEST(ChannelThreads, ItemsPutJustBeforeCloseAreDelivered)
{
    for (int round = 0; round < 3000; round++) {
        const uintptr_t count = 1 + round % 3;
        const Consume how = round % 2 ? Consume::run : Consume::get;
        Channel c(4);
        std::atomic<bool> waiting{false};
        std::vector<uintptr_t> seen;
        std::thread consumer([&] {
            waiting.store(true);
            if (how == Consume::get) {
                while (void* obj = core_channel_get(&c.ch)) {
                    seen.push_back(number(obj));
                }
            } else {
                c.ch.recv = [](void* ctx, const core_object_t* obj) {
                    static_cast<std::vector<uintptr_t>*>(ctx)->push_back(number(obj));
                };
                c.ch.ctx = &seen;
                core_channel_run(&c.ch);
            }
        });
        while (!waiting.load()) {
            std::this_thread::yield();
        }
        for (uintptr_t n = 1; n <= count; n++) {
            core_channel_put(&c.ch, item(n));
        }
        core_channel_close(&c.ch);
        consumer.join();
        ASSERT_EQ(seen.size(), count) << "round " << round;
    }
}

}  // namespace
