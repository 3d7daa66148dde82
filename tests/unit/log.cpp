#include <gtest/gtest.h>

#include <pthread.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/detail/log.h"
#include "core/log.h"
#include "support/capture_stderr.h"

namespace {

core_log_t test_module = core_log_module_init("test.module");

struct LogSwitches : ::testing::Test {
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        core_log_log()->settings = {};
        test_module.settings = {};
    }
};

TEST_F(LogSwitches, ObjectOverModuleOverGlobal)
{
    struct Case {
        uint8_t object, module, global;
        bool printed;
    };
    const Case cases[] = {
        {0, 0, 0, false}, {0, 0, 3, true}, {0, 2, 3, false}, {3, 2, 0, true},
        {2, 3, 3, false}, {0, 3, 2, true}, {1, 0, 3, false}, {0, 4, 3, false},
        {0, 0, 1, false}, {3, 0, 0, true},
    };
    for (const auto& c : cases) {
        core_log_t object = core_log_object_init("test.module", test_module);
        object.settings.info = c.object;
        test_module.settings.info = c.module;
        core_log_log()->settings.info = c.global;
        CaptureStderr capture;
        core_log_info(&object, "f", 1, "x");
        EXPECT_EQ(!capture.text().empty(), c.printed)
            << "object " << int(c.object) << " module " << int(c.module) << " global " << int(c.global);
    }
}

TEST_F(LogSwitches, FourLineForms)
{
    core_log_t object = core_log_object_init("test.module", test_module);
    char address[32];
    snprintf(address, sizeof(address), "%p", static_cast<void*>(&object));
    struct Case {
        bool position;
        const core_log_t* handle;
        std::string expected;
    };
    const Case cases[] = {
        {true, &object, std::string("core/x.cpp[7] test.module[") + address + "] warning: m 5\n"},
        {true, &test_module, "core/x.cpp[7] test.module warning: m 5\n"},
        {false, &object, std::string("test.module[") + address + "] warning: m 5\n"},
        {false, &test_module, "test.module warning: m 5\n"},
        {false, nullptr, "core warning: m 5\n"},
    };
    core_log_log()->settings.warning = CORE_LOG_ON;
    for (const auto& c : cases) {
        core_log_log()->settings.display_file_line = c.position ? CORE_LOG_ON : CORE_LOG_UNSET;
        CaptureStderr capture;
        core_log_warning(c.handle, "core/x.cpp", 7, "m %d", 5);
        EXPECT_EQ(capture.text(), c.expected);
    }
}

TEST_F(LogSwitches, CriticalIgnoresSwitchesAndLongMessagesAreCut)
{
    std::string longer(600, 'a');
    CaptureStderr capture;
    core_log_critical(nullptr, "f", 1, "%s", longer.c_str());
    EXPECT_EQ(capture.text(), "core critical: " + std::string(511, 'a') + "\n");
}

TEST(LogMacros, FileIsRelativeToSourceTree)
{
    core_log_log()->settings.display_file_line = CORE_LOG_ON;
    CaptureStderr capture;
    TVX_CRITICAL(nullptr, "here");
    core_log_log()->settings.display_file_line = CORE_LOG_UNSET;
    EXPECT_EQ(capture.text().rfind("unit/log.cpp[", 0), 0u) << capture.text();
}

TEST(LogErrstr, LinuxNumbering)
{
    const std::pair<int, const char*> cases[] = {
        {0, "UNKNOWN"}, {-1, "UNKNOWN"}, {4096, "UNKNOWN"}, {2, "ENOENT"}, {100, "ENETDOWN"},
        {111, "ECONNREFUSED"}, {110, "ETIMEDOUT"}, {11, "EAGAIN"}, {95, "EOPNOTSUPP"},
        {35, "EDEADLK"}, {123, "ENOMEDIUM"}, {130, "EOWNERDEAD"}, {99, "EADDRNOTAVAIL"},
        {91, "EPROTOTYPE"}, {41, "UNKNOWN"}, {125, "ECANCELED"},
    };
    for (const auto& [err, name] : cases) {
        EXPECT_STREQ(core_log_errstr(err), name) << err;
    }
}

TEST(LogConcurrency, EachLineIsOneWrite)
{
    constexpr int threads = 4;
    constexpr int lines = 2000;
    std::string text;
    {
        CaptureStderr capture;
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; t++) {
            workers.emplace_back([t] {
                const std::string body(300, static_cast<char>('a' + t));
                for (int i = 0; i < lines; i++) {
                    core_log_critical(nullptr, "f", 1, "%d %s", t, body.c_str());
                }
            });
        }
        for (auto& worker : workers) {
            worker.join();
        }
        text = capture.text();
    }
    std::istringstream in(text);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ASSERT_EQ(line.size(), std::string("core critical: 0 ").size() + 300) << line.substr(0, 80);
        const char t = line[15];
        ASSERT_EQ(line.substr(17), std::string(300, static_cast<char>('a' + (t - '0'))));
        count++;
    }
    EXPECT_EQ(count, threads * lines);
}

void* fatal_in_thread(void*)
{
    core_log_fatal(nullptr, "f", 1, "from worker %d", 7);
}

TEST(LogFatal, FromWorkerThreadEndsProcessWithStatusOne)
{
    EXPECT_EXIT(
        {
            pthread_t worker;
            pthread_create(&worker, nullptr, fatal_in_thread, nullptr);
            pthread_join(worker, nullptr);
            _exit(0);
        },
        ::testing::ExitedWithCode(1), "core fatal: from worker 7");
}

}  // namespace
