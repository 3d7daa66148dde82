// fixtures: pcapio
#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/object/pcap.h"
#include "input/pcap.h"
#include "support/capture_listing.h"
#include "support/capture_stderr.h"

// Lets a test turn a successful activation into a warning, the way libpcap
// reports an active handle with a caveat. Everything else goes to libpcap.
static int activate_warning = 0;

extern "C" int pcap_activate(pcap_t* pcap)
{
    using Activate = int (*)(pcap_t*);
    static auto real = reinterpret_cast<Activate>(dlsym(RTLD_NEXT, "pcap_activate"));
    int result = real(pcap);
    return result == 0 && activate_warning ? activate_warning : result;
}

namespace {

struct Seen {
    const core_object_t* obj;
    core_object_pcap_t record;
    std::vector<uint8_t> bytes;
};

struct Collector {
    std::vector<Seen> seen;
    static void receive(void* ctx, const core_object_t* obj)
    {
        auto* self = static_cast<Collector*>(ctx);
        auto* record = reinterpret_cast<const core_object_pcap_t*>(obj);
        self->seen.push_back({obj, *record, std::vector<uint8_t>(record->bytes, record->bytes + record->caplen)});
    }
};

struct Input {
    input_pcap_t rec{};
    Input() { input_pcap_init(&rec); }
    ~Input() { input_pcap_destroy(&rec); }
};

void expect_records(const std::vector<Seen>& seen, const std::vector<ListedRecord>& listed, uint8_t swapped,
                    uint32_t linktype, uint32_t snaplen, int64_t frac_to_nsec)
{
    ASSERT_EQ(seen.size(), listed.size());
    for (size_t i = 0; i < seen.size(); i++) {
        SCOPED_TRACE(i);
        const auto& got = seen[i].record;
        EXPECT_EQ(got.obj_prev, nullptr);
        EXPECT_EQ(got.obj_type, CORE_OBJECT_PCAP);
        EXPECT_EQ(got.ts.sec, listed[i].sec);
        EXPECT_EQ(got.ts.nsec, listed[i].frac * frac_to_nsec);
        EXPECT_EQ(got.caplen, listed[i].caplen);
        EXPECT_EQ(got.len, listed[i].len);
        EXPECT_EQ(seen[i].bytes, listed[i].bytes);
        EXPECT_EQ(got.is_swapped, swapped);
        EXPECT_EQ(got.linktype, linktype);
        EXPECT_EQ(got.snaplen, snaplen);
    }
}

struct FileCase {
    const char* name;
    uint8_t swapped;
    uint32_t linktype;
    uint32_t snaplen;
};

const FileCase file_cases[] = {
    {"native", 0, 1, 65535},
    {"swapped", 1, 1, 65535},
    {"raw", 0, 12, 1500},  // LINKTYPE_RAW 101 is DLT_RAW 12
    {"null", 0, 0, 262144},
};

TEST(InputPcapOffline, LoopDeliversEveryRecordAndCountsIt)
{
    for (const auto& c : file_cases) {
        SCOPED_TRACE(c.name);
        Input input;
        ASSERT_EQ(input_pcap_open_offline(&input.rec, fixture(std::string(c.name) + ".pcap").c_str()), 0);
        EXPECT_EQ(input.rec.is_swapped, c.swapped);
        EXPECT_EQ(input.rec.linktype, c.linktype);
        EXPECT_EQ(input.rec.snaplen, c.snaplen);
        Collector collector;
        input.rec.recv = Collector::receive;
        input.rec.ctx = &collector;
        EXPECT_EQ(input_pcap_loop(&input.rec, -1), 0);
        const auto listed = read_listing(fixture(std::string(c.name) + ".txt"));
        expect_records(collector.seen, listed, c.swapped, c.linktype, c.snaplen, 1000);
        EXPECT_EQ(input.rec.pkts, listed.size());
    }
}

TEST(InputPcapOffline, ProducerHandsOutItsOwnRecordAndLeavesTheCounter)
{
    for (const auto& c : file_cases) {
        SCOPED_TRACE(c.name);
        Input input;
        ASSERT_EQ(input_pcap_open_offline(&input.rec, fixture(std::string(c.name) + ".pcap").c_str()), 0);
        core_producer_t produce = input_pcap_producer(&input.rec);
        std::vector<Seen> seen;
        while (const core_object_t* obj = produce(&input.rec)) {
            EXPECT_EQ(obj, reinterpret_cast<const core_object_t*>(&input.rec.prod_pkt));
            Collector::receive(&seen, obj);
        }
        EXPECT_EQ(produce(&input.rec), nullptr);  // still at the end
        expect_records(seen, read_listing(fixture(std::string(c.name) + ".txt")), c.swapped, c.linktype, c.snaplen,
                       1000);
        EXPECT_EQ(input.rec.pkts, 0u);
    }
}

TEST(InputPcapOffline, NanosecondFileComesInWholeMicroseconds)
{
    Input input;
    ASSERT_EQ(input_pcap_open_offline(&input.rec, fixture("nsec.pcap").c_str()), 0);
    core_producer_t produce = input_pcap_producer(&input.rec);
    auto* first = reinterpret_cast<const core_object_pcap_t*>(produce(&input.rec));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->ts.sec, 12);
    EXPECT_EQ(first->ts.nsec, 345678000);
    auto* second = reinterpret_cast<const core_object_pcap_t*>(produce(&input.rec));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->ts.sec, 13);
    EXPECT_EQ(second->ts.nsec, 0);
}

TEST(InputPcapOffline, CountLimitsLoopAndDispatch)
{
    struct Case {
        bool dispatch;
        int cnt;
        int result;
        size_t delivered;
    };
    // libpcap: loop returns 0 once cnt packets are done; dispatch returns the number.
    const Case cases[] = {
        {false, 3, 0, 3}, {false, 0, 0, 7}, {false, -1, 0, 7}, {true, 2, 2, 2}, {true, -1, 7, 7}, {true, 100, 7, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.dispatch) + " " + std::to_string(c.cnt));
        Input input;
        ASSERT_EQ(input_pcap_open_offline(&input.rec, fixture("native.pcap").c_str()), 0);
        Collector collector;
        input.rec.recv = Collector::receive;
        input.rec.ctx = &collector;
        int result = c.dispatch ? input_pcap_dispatch(&input.rec, c.cnt) : input_pcap_loop(&input.rec, c.cnt);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(collector.seen.size(), c.delivered);
        EXPECT_EQ(input.rec.pkts, c.delivered);
    }
}

TEST(InputPcapOffline, CutFileIsAnErrorWithLibpcapsMessage)
{
    {
        Input input;
        ASSERT_EQ(input_pcap_open_offline(&input.rec, fixture("cut_header.pcap").c_str()), 0);
        Collector collector;
        input.rec.recv = Collector::receive;
        input.rec.ctx = &collector;
        CaptureStderr capture;
        input.rec._log.settings.warning = CORE_LOG_ON;
        EXPECT_EQ(input_pcap_loop(&input.rec, -1), -1);
        EXPECT_EQ(collector.seen.size(), 2u);
        EXPECT_NE(capture.text().find("] warning: pcap_loop() error: truncated dump file"), std::string::npos)
            << capture.text();
    }
    {
        Input input;
        ASSERT_EQ(input_pcap_open_offline(&input.rec, fixture("cut_header.pcap").c_str()), 0);
        core_producer_t produce = input_pcap_producer(&input.rec);
        input.rec._log.settings.warning = CORE_LOG_ON;
        CaptureStderr capture;
        EXPECT_NE(produce(&input.rec), nullptr);
        EXPECT_NE(produce(&input.rec), nullptr);
        EXPECT_EQ(produce(&input.rec), nullptr);
        EXPECT_NE(capture.text().find("] warning: pcap_next_ex() error: truncated dump file"), std::string::npos)
            << capture.text();
    }
}

TEST(InputPcapOffline, CleanEndIsSilent)
{
    Input input;
    ASSERT_EQ(input_pcap_open_offline(&input.rec, fixture("raw.pcap").c_str()), 0);
    input.rec._log.settings.warning = CORE_LOG_ON;
    core_producer_t produce = input_pcap_producer(&input.rec);
    CaptureStderr capture;
    EXPECT_NE(produce(&input.rec), nullptr);
    EXPECT_EQ(produce(&input.rec), nullptr);
    EXPECT_EQ(capture.text(), "");
}

TEST(InputPcapOffline, DebugLineShowsVersionSnaplenAndByteOrder)
{
    const std::pair<const char*, const char*> cases[] = {
        {"native", "] debug: pcap v2.4 snaplen:65535 \n"},
        {"swapped", "] debug: pcap v2.4 snaplen:65535  swapped\n"},
        {"raw", "] debug: pcap v2.4 snaplen:1500 \n"},
    };
    for (const auto& [name, line] : cases) {
        Input input;
        input.rec._log.settings.debug = CORE_LOG_ON;
        CaptureStderr capture;
        ASSERT_EQ(input_pcap_open_offline(&input.rec, fixture(std::string(name) + ".pcap").c_str()), 0);
        const std::string text = capture.text();
        EXPECT_EQ(text.rfind("input.pcap[", 0), 0u) << text;
        EXPECT_NE(text.find(line), std::string::npos) << text;
    }
}

TEST(InputPcapOffline, MissingFileGivesMinusOneAndLibpcapsMessage)
{
    Input input;
    CaptureStderr capture;
    EXPECT_EQ(input_pcap_open_offline(&input.rec, "/nonexistent/missing.pcap"), -1);
    EXPECT_EQ(input.rec.pcap, nullptr);
    const std::string text = capture.text();
    EXPECT_NE(text.find("] critical: pcap_open_offline(/nonexistent/missing.pcap) error: "
                        "/nonexistent/missing.pcap: No such file or directory\n"),
              std::string::npos)
        << text;
    // Nothing was opened, so another file can still be.
    EXPECT_EQ(input_pcap_open_offline(&input.rec, fixture("raw.pcap").c_str()), 0);
}

TEST(InputPcapOffline, GarbageFileIsRejected)
{
    const std::string path = testing::TempDir() + "input_pcap_garbage.pcap";
    FILE* file = fopen(path.c_str(), "wb");
    fputs("this is not a capture file at all", file);
    fclose(file);
    Input input;
    CaptureStderr capture;
    EXPECT_EQ(input_pcap_open_offline(&input.rec, path.c_str()), -1);
    EXPECT_NE(capture.text().find("critical: pcap_open_offline(" + path + ") error: "), std::string::npos);
}

TEST(InputPcapLive, UnknownDeviceFailsToActivateAndLeavesTheHandleUnset)
{
    Input input;
    ASSERT_EQ(input_pcap_create(&input.rec, "tvxnosuchdev0"), 0);
    int result = input_pcap_activate(&input.rec);
    EXPECT_LT(result, 0);
    EXPECT_EQ(input.rec.snaplen, 0u);
    EXPECT_EQ(input.rec.linktype, 0u);
    EXPECT_EQ(input.rec.prod_pkt.linktype, 0u);
}

TEST(InputPcapLive, UnactivatedHandleRefusesToRead)
{
    Input input;
    ASSERT_EQ(input_pcap_create(&input.rec, "lo"), 0);
    core_producer_t produce = input_pcap_producer(&input.rec);
    CaptureStderr capture;
    input.rec._log.settings.warning = CORE_LOG_ON;
    EXPECT_EQ(produce(&input.rec), nullptr);
    Collector collector;
    input.rec.recv = Collector::receive;
    input.rec.ctx = &collector;
    EXPECT_EQ(input_pcap_dispatch(&input.rec, 1), PCAP_ERROR_NOT_ACTIVATED);
    EXPECT_NE(capture.text().find("warning: pcap_dispatch() error: "), std::string::npos) << capture.text();
}

TEST(InputPcapLive, ActivationWarningStillTakesOverTheHandle)
{
    Input input;
    ASSERT_EQ(input_pcap_create(&input.rec, "lo"), 0);
    input.rec._log.settings.warning = CORE_LOG_ON;
    activate_warning = PCAP_WARNING;
    CaptureStderr capture;
    int result = input_pcap_activate(&input.rec);
    activate_warning = 0;
    if (result < 0) {
        GTEST_SKIP() << "no capture on lo here: " << pcap_statustostr(result);
    }
    EXPECT_EQ(result, PCAP_WARNING);
    EXPECT_EQ(input.rec.linktype, static_cast<uint32_t>(pcap_datalink(input.rec.pcap)));
    EXPECT_EQ(input.rec.prod_pkt.linktype, input.rec.linktype);
    EXPECT_GT(input.rec.snaplen, 0u);
    EXPECT_EQ(input.rec.prod_pkt.snaplen, input.rec.snaplen);
    EXPECT_NE(capture.text().find("] warning: pcap_activate() warning: "), std::string::npos) << capture.text();
}

struct FatalCase {
    const char* name;
    void (*run)();
    const char* message;
};

void no_receiver_loop()
{
    Input input;
    input_pcap_open_offline(&input.rec, fixture("native.pcap").c_str());
    input_pcap_loop(&input.rec, -1);
}

void no_receiver_dispatch()
{
    Input input;
    input_pcap_open_offline(&input.rec, fixture("native.pcap").c_str());
    input_pcap_dispatch(&input.rec, -1);
}

void open_twice()
{
    Input input;
    input_pcap_open_offline(&input.rec, fixture("native.pcap").c_str());
    input_pcap_open_offline(&input.rec, fixture("native.pcap").c_str());
}

void create_after_open()
{
    Input input;
    input_pcap_open_offline(&input.rec, fixture("native.pcap").c_str());
    input_pcap_create(&input.rec, "lo");
}

void producer_without_handle()
{
    Input input;
    input_pcap_producer(&input.rec);
}

void loop_without_handle()
{
    Input input;
    input_pcap_loop(&input.rec, -1);
}

void activate_without_handle()
{
    Input input;
    input_pcap_activate(&input.rec);
}

void null_source()
{
    Input input;
    input_pcap_create(&input.rec, nullptr);
}

void null_file()
{
    Input input;
    input_pcap_open_offline(&input.rec, nullptr);
}

void null_self_init() { input_pcap_init(nullptr); }
void null_self_destroy() { input_pcap_destroy(nullptr); }
void null_self_producer() { input_pcap_producer(nullptr); }

void null_context_in_producer()
{
    Input input;
    input_pcap_open_offline(&input.rec, fixture("native.pcap").c_str());
    input_pcap_producer(&input.rec)(nullptr);
}

TEST(InputPcapFatal, MisuseEndsTheProcess)
{
    const FatalCase cases[] = {
        {"loop without receiver", no_receiver_loop, "^input.pcap\\[0x[0-9a-f]+\\] fatal: no receiver set\n$"},
        {"dispatch without receiver", no_receiver_dispatch, "fatal: no receiver set\n$"},
        {"open twice", open_twice, "^input.pcap\\[0x[0-9a-f]+\\] fatal: already opened\n$"},
        {"create after open", create_after_open, "fatal: already opened\n$"},
        {"producer before open", producer_without_handle, "^input.pcap\\[0x[0-9a-f]+\\] fatal: no PCAP opened\n$"},
        {"loop before open", loop_without_handle, "fatal: no PCAP opened\n$"},
        {"activate before create", activate_without_handle, "fatal: no PCAP opened\n$"},
        {"null source", null_source, "fatal: source is nil\n$"},
        {"null file", null_file, "fatal: file is nil\n$"},
        {"null init", null_self_init, "^input.pcap fatal: self is nil\n$"},
        {"null destroy", null_self_destroy, "^input.pcap fatal: self is nil\n$"},
        {"null producer", null_self_producer, "^input.pcap fatal: self is nil\n$"},
        {"null producer context", null_context_in_producer, "^input.pcap fatal: self is nil\n$"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(c.run(), ::testing::ExitedWithCode(1), c.message);
    }
}

}  // namespace
