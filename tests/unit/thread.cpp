#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/thread.h"
#include "support/capture_stderr.h"

namespace {

struct Thread {
    Thread() { core_thread_init(&thr); }
    ~Thread() { core_thread_destroy(&thr); }
    core_thread_t thr{};
};

TEST(Thread, InitGivesAnEmptyQueueAndObjectLog)
{
    Thread t;
    EXPECT_STREQ(t.thr._log.name, "core.thread");
    EXPECT_EQ(t.thr._log.is_obj, 1);
    EXPECT_EQ(t.thr._log.module, &core_thread_log()->settings);
    EXPECT_STREQ(core_thread_log()->name, "core.thread");
    EXPECT_EQ(t.thr.stack, nullptr);
    EXPECT_EQ(t.thr.last, nullptr);
    EXPECT_EQ(t.thr.at, nullptr);
    EXPECT_EQ(t.thr.bytecode, nullptr);
    EXPECT_EQ(t.thr.bytecode_len, 0u);
}

// Each item is one allocation: the texts follow the record directly.
TEST(Thread, ItemsKeepPushOrderAndTheirKind)
{
    Thread t;
    int object = 0;
    core_thread_push(&t.thr, &object, "core_channel_t*xx", 15, "tarvex.core.channel", 19);
    core_thread_push_string(&t.thr, "a\0bc", 4);
    core_thread_push_number(&t.thr, 2.5);

    const core_thread_item_t* first = core_thread_pop(&t.thr);
    EXPECT_EQ(first, t.thr.stack);
    EXPECT_EQ(first->ptr, &object);
    EXPECT_STREQ(first->type, "core_channel_t*");
    EXPECT_STREQ(first->module, "tarvex.core.channel");
    EXPECT_EQ(first->type, reinterpret_cast<const char*>(first + 1));
    EXPECT_EQ(first->module, first->type + 16);

    const core_thread_item_t* second = core_thread_pop(&t.thr);
    EXPECT_EQ(second->ptr, nullptr);
    ASSERT_NE(second->str, nullptr);
    EXPECT_EQ(second->str, reinterpret_cast<const char*>(second + 1));
    EXPECT_EQ(memcmp(second->str, "a\0bc\0", 5), 0);

    const core_thread_item_t* third = core_thread_pop(&t.thr);
    EXPECT_EQ(third->ptr, nullptr);
    EXPECT_EQ(third->str, nullptr);
    EXPECT_EQ(third->num, 2.5);
    EXPECT_EQ(third->next, nullptr);
    EXPECT_EQ(t.thr.last, third);
    EXPECT_EQ(t.thr.at, third);
}

// The popping thread waits until something new is pushed, also when pushes
// and pops interleave.
TEST(Thread, PopWaitsForEachPush)
{
    Thread t;
    constexpr int count = 20000;
    std::atomic<int> popped{0};
    std::vector<double> seen;
    std::thread consumer([&] {
        for (int i = 0; i < count; i++) {
            seen.push_back(core_thread_pop(&t.thr)->num);
            popped.store(i + 1);
        }
    });
    for (int i = 0; i < count; i++) {
        core_thread_push_number(&t.thr, i);
        if (i % 1000 == 0) {
            // Let the consumer catch up and block on the empty queue.
            while (popped.load() < i + 1) {
                std::this_thread::yield();
            }
        }
    }
    consumer.join();
    ASSERT_EQ(seen.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        ASSERT_EQ(seen[i], i);
    }
}

TEST(Thread, StopWithoutStartIsAFailedJoin)
{
    Thread t;
    CaptureStderr capture;
    EXPECT_EQ(core_thread_stop(&t.thr), -1);
    char address[32];
    snprintf(address, sizeof(address), "%p", static_cast<void*>(&t.thr));
    EXPECT_EQ(capture.text(), std::string("core.thread[") + address + "] critical: pthread_join() error: ESRCH\n");
}

// This program has no built-in script modules, so the new state cannot load
// the thread module: the error ends that thread only, with one critical line,
// and the join still succeeds. A second stop has nothing left to join.
TEST(Thread, StartupErrorEndsOnlyThatThread)
{
    Thread t;
    CaptureStderr capture;
    ASSERT_EQ(core_thread_start(&t.thr, "x", 1), 0);
    EXPECT_EQ(core_thread_stop(&t.thr), 0);
    EXPECT_EQ(core_thread_stop(&t.thr), -1);
    const std::string text = capture.text();
    char address[32];
    snprintf(address, sizeof(address), "%p", static_cast<void*>(&t.thr));
    const std::string prefix = std::string("core.thread[") + address + "] critical: ";
    EXPECT_EQ(text.find(prefix + "module 'tarvex.core.thread' not found"), 0u) << text;
    EXPECT_NE(text.find(prefix + "pthread_join() error: ESRCH\n"), std::string::npos) << text;
    EXPECT_EQ(std::string(t.thr.bytecode, t.thr.bytecode_len), "x");
}

TEST(ThreadDeath, FatalArguments)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* message;
        void (*call)(core_thread_t*);
    };
    static int object;
    const Case cases[] = {
        {"ptr is nil", [](core_thread_t* t) { core_thread_push(t, nullptr, "t", 1, "m", 1); }},
        {"type is nil", [](core_thread_t* t) { core_thread_push(t, &object, nullptr, 1, "m", 1); }},
        {"type_len is zero", [](core_thread_t* t) { core_thread_push(t, &object, "t", 0, "m", 1); }},
        {"module is nil", [](core_thread_t* t) { core_thread_push(t, &object, "t", 1, nullptr, 1); }},
        {"module_len is zero", [](core_thread_t* t) { core_thread_push(t, &object, "t", 1, "m", 0); }},
        {"str is nil", [](core_thread_t* t) { core_thread_push_string(t, nullptr, 1); }},
        {"len is zero", [](core_thread_t* t) { core_thread_push_string(t, "", 0); }},
        {"bytecode already set",
         [](core_thread_t* t) {
             CaptureStderr quiet;
             core_thread_start(t, "x", 1);
             core_thread_stop(t);
             quiet.text();
             core_thread_start(t, "x", 1);
         }},
    };
    for (const auto& c : cases) {
        Thread t;
        EXPECT_EXIT(c.call(&t.thr), testing::ExitedWithCode(1),
                    std::string("^core.thread\\[0x[0-9a-f]+\\] fatal: ") + c.message + "\n$")
            << c.message;
    }
}

TEST(ThreadDeath, NullSelf)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* nil = "^core.thread fatal: self is nil\n$";
    EXPECT_EXIT(core_thread_init(nullptr), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_thread_destroy(nullptr), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_thread_start(nullptr, "x", 1), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_thread_stop(nullptr), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_thread_push(nullptr, nullptr, "t", 1, "m", 1), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_thread_push_string(nullptr, "s", 1), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_thread_push_number(nullptr, 1), testing::ExitedWithCode(1), nil);
    EXPECT_EXIT(core_thread_pop(nullptr), testing::ExitedWithCode(1), nil);
}

}  // namespace
