// fixtures: captures
// The stdio PCAP reader over the generated capture files: every file kind,
// every row of its failure table, push and pull use.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "input/fpcap.h"
#include "support/capture_stderr.h"

namespace {

std::string fixture(const std::string& name)
{
    return std::string(TARVEX_FIXTURE_DIR) + "/captures/" + name;
}

struct Delivered {
    std::vector<core_object_pcap_t> records;
    std::vector<std::vector<uint8_t>> frames;
    static void receive(void* ctx, const core_object_t* obj)
    {
        auto* self = static_cast<Delivered*>(ctx);
        const auto* pcap = reinterpret_cast<const core_object_pcap_t*>(obj);
        self->records.push_back(*pcap);
        self->frames.emplace_back(pcap->bytes, pcap->bytes + pcap->caplen);
    }
};

class Reader {
public:
    Reader() { input_fpcap_init(&record); }
    ~Reader() { input_fpcap_destroy(&record); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    int open(const std::string& name) { return input_fpcap_open(&record, fixture(name).c_str()); }
    int run()
    {
        record.recv = Delivered::receive;
        record.ctx = &pushed;
        return input_fpcap_run(&record);
    }
    // Pulls until null; returns the records.
    std::vector<core_object_pcap_t> pull_all()
    {
        std::vector<core_object_pcap_t> out;
        core_producer_t produce = input_fpcap_producer(&record);
        while (const core_object_t* obj = produce(&record)) {
            EXPECT_EQ(obj, reinterpret_cast<const core_object_t*>(&record.prod_pkt));
            out.push_back(record.prod_pkt);
        }
        return out;
    }

    input_fpcap_t record;
    Delivered pushed;
};

struct LogOn : ::testing::Test {
    void SetUp() override { core_log_log()->settings = {CORE_LOG_ON, CORE_LOG_ON, CORE_LOG_ON, CORE_LOG_ON, 0}; }
    void TearDown() override { core_log_log()->settings = {}; }
};

const std::string object_log = "input\\.fpcap\\[0x[0-9a-f]+\\] ";

// The whole text is the pattern (standard error lines end in a newline).
bool matches(const std::string& text, const std::string& pattern)
{
    return std::regex_match(text, std::regex(pattern));
}

TEST(Fpcap, InitialRecord)
{
    input_fpcap_t record;
    memset(&record, 0x5a, sizeof(record));
    input_fpcap_init(&record);
    EXPECT_STREQ(record._log.name, "input.fpcap");
    EXPECT_EQ(record._log.is_obj, 1);
    EXPECT_EQ(record._log.module, &input_fpcap_log()->settings);
    EXPECT_STREQ(input_fpcap_log()->name, "input.fpcap");
    EXPECT_EQ(record.prod_pkt.obj_type, CORE_OBJECT_PCAP);
    EXPECT_EQ(record.prod_pkt.bytes, nullptr);
    EXPECT_EQ(record.file, nullptr);
    EXPECT_EQ(record.buf, nullptr);
    EXPECT_EQ(record.recv, nullptr);
    EXPECT_EQ(record.pkts, 0u);
    EXPECT_EQ(record.snaplen, 0u);
    EXPECT_EQ(record.is_broken, 0);
    input_fpcap_destroy(&record);
}

// The same three frames in each byte order and stamp unit.
TEST(Fpcap, ByteOrdersAndStampUnits)
{
    struct Case {
        const char* file;
        uint8_t swapped, nanosec;
        uint32_t magic;
        int64_t unit;
    };
    const Case cases[] = {
        {"native_usec.pcap", 0, 0, 0xa1b2c3d4, 1000},
        {"native_nsec.pcap", 0, 1, 0xa1b23c4d, 1},
        {"swapped_usec.pcap", 1, 0, 0xd4c3b2a1, 1000},
        {"swapped_nsec.pcap", 1, 1, 0x4d3cb2a1, 1},
    };
    std::vector<std::vector<uint8_t>> reference;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Reader reader;
        ASSERT_EQ(reader.open(c.file), 0);
        const input_fpcap_t& r = reader.record;
        EXPECT_EQ(r.is_swapped, c.swapped);
        EXPECT_EQ(r.is_nanosec, c.nanosec);
        EXPECT_EQ(r.magic_number, c.magic);
        EXPECT_EQ(r.version_major, 2);
        EXPECT_EQ(r.version_minor, 4);
        EXPECT_EQ(r.snaplen, 65535u);
        EXPECT_EQ(r.network, 1u);
        EXPECT_EQ(r.linktype, 1u);
        EXPECT_EQ(r.thiszone, 0);
        EXPECT_EQ(r.extern_file, 0);
        EXPECT_EQ(r.buf_size, 0u);
        EXPECT_EQ(r.prod_pkt.snaplen, 65535u);
        EXPECT_EQ(r.prod_pkt.is_swapped, c.swapped);
        EXPECT_EQ(r.prod_pkt.bytes, r.buf);
        ASSERT_EQ(reader.run(), 0);
        ASSERT_EQ(reader.pushed.records.size(), 3u);
        EXPECT_EQ(r.pkts, 3u);
        for (size_t i = 0; i < 3; i++) {
            const core_object_pcap_t& pcap = reader.pushed.records[i];
            EXPECT_EQ(pcap.obj_type, CORE_OBJECT_PCAP);
            EXPECT_EQ(pcap.obj_prev, nullptr);
            EXPECT_EQ(pcap.ts.sec, int64_t(i + 1));
            EXPECT_EQ(pcap.ts.nsec, int64_t(i + 5) * c.unit);
            EXPECT_EQ(pcap.caplen, reader.pushed.frames[i].size());
            EXPECT_EQ(pcap.len, pcap.caplen + 100 * i) << "lengths are not compared with each other";
            EXPECT_EQ(pcap.is_swapped, c.swapped);
            EXPECT_EQ(pcap.linktype, 1u);
            EXPECT_EQ(pcap.snaplen, 65535u);
            EXPECT_EQ(pcap.bytes, r.buf);
        }
        if (reference.empty()) {
            reference = reader.pushed.frames;
        }
        EXPECT_EQ(reader.pushed.frames, reference) << "frame bytes are the same in every file";

        Reader puller;
        ASSERT_EQ(puller.open(c.file), 0);
        const auto pulled = puller.pull_all();
        ASSERT_EQ(pulled.size(), 3u);
        for (size_t i = 0; i < 3; i++) {
            EXPECT_EQ(pulled[i].ts.nsec, reader.pushed.records[i].ts.nsec);
            EXPECT_EQ(pulled[i].len, reader.pushed.records[i].len);
            EXPECT_EQ(pulled[i].is_swapped, c.swapped);
        }
        EXPECT_EQ(puller.record.pkts, 3u);
        // A clean end stays a clean end: a later pull reads again and gives null.
        EXPECT_EQ(input_fpcap_producer(&puller.record)(&puller.record), nullptr);
        EXPECT_EQ(puller.record.is_broken, 0);
    }
}

TEST(Fpcap, FrameEdgeCases)
{
    {
        Reader reader;
        ASSERT_EQ(reader.open("ts_max.pcap"), 0);
        ASSERT_EQ(reader.run(), 0);
        ASSERT_EQ(reader.pushed.records.size(), 1u);
        EXPECT_EQ(reader.pushed.records[0].ts.sec, 4294967295);
        EXPECT_EQ(reader.pushed.records[0].ts.nsec, 999999000);
    }
    {
        Reader reader;
        ASSERT_EQ(reader.open("empty_frame.pcap"), 0);
        ASSERT_EQ(reader.run(), 0);
        ASSERT_EQ(reader.pushed.records.size(), 3u);
        EXPECT_EQ(reader.pushed.records[1].caplen, 0u);
        EXPECT_EQ(reader.pushed.records[1].len, 60u);
        EXPECT_EQ(reader.pushed.records[2].ts.sec, 3);
    }
    {
        Reader reader;
        ASSERT_EQ(reader.open("header_only.pcap"), 0);
        EXPECT_EQ(reader.run(), 0);
        EXPECT_TRUE(reader.pushed.records.empty());
        EXPECT_TRUE(reader.pull_all().empty());
        EXPECT_EQ(reader.record.pkts, 0u);
    }
    {
        Reader reader;
        ASSERT_EQ(reader.open("snaplen_262144.pcap"), 0);
        ASSERT_EQ(reader.run(), 0);
        ASSERT_EQ(reader.pushed.frames.size(), 1u);
        ASSERT_EQ(reader.pushed.frames[0].size(), 262144u);
        EXPECT_EQ(reader.pushed.frames[0][262143], 255);
    }
    for (const char* name : {"link_raw.pcap", "link_ipv4.pcap", "link_other.pcap"}) {
        Reader reader;
        ASSERT_EQ(reader.open(name), 0);
        ASSERT_EQ(reader.run(), 0);
        const uint32_t expected = std::string(name) == "link_raw.pcap" ? 12 : reader.record.network;
        EXPECT_EQ(reader.record.linktype, expected) << name;
        for (const auto& pcap : reader.pushed.records) {
            EXPECT_EQ(pcap.linktype, expected) << name;
        }
    }
    Reader raw;
    ASSERT_EQ(raw.open("link_raw.pcap"), 0);
    EXPECT_EQ(raw.record.network, 101u);
    EXPECT_EQ(raw.record.prod_pkt.linktype, 12u);
}

TEST_F(LogOn, OpenedDebugLine)
{
    struct Case {
        const char* file;
        const char* tail;
    };
    const Case cases[] = {
        {"native_usec.pcap", "debug: pcap v2.4 snaplen:65535 \n"},
        {"swapped_nsec.pcap", "debug: pcap v2.4 snaplen:65535  swapped\n"},
    };
    for (const auto& c : cases) {
        Reader reader;
        CaptureStderr capture;
        ASSERT_EQ(reader.open(c.file), 0);
        EXPECT_PRED2(matches, capture.text(), (object_log + c.tail)) << c.file;
    }
}

TEST_F(LogOn, RejectedFiles)
{
    struct Case {
        const char* file;
        int result;
        std::string line;
    };
    const Case cases[] = {
        {"cut_file_header.pcap", -2, "critical: could not read full PCAP header"},
        {"bad_magic.pcap", -2, "critical: invalid PCAP header"},
        {"snaplen_262145.pcap", -2, "critical: too large snaplen \\(262145\\)"},
        {"version_2_3.pcap", -2, "critical: unsupported PCAP version v2\\.3"},
        {"version_2_3_swapped.pcap", -2, "critical: unsupported PCAP version v2\\.3"},
        {"missing.pcap", -1, "critical: fopen\\(" + fixture("missing.pcap") + "\\) error: ENOENT"},
    };
    for (const auto& c : cases) {
        Reader reader;
        CaptureStderr capture;
        EXPECT_EQ(reader.open(c.file), c.result) << c.file;
        EXPECT_PRED2(matches, capture.text(), (object_log + c.line + "\n")) << c.file;
        EXPECT_EQ(reader.record.buf, nullptr);
        EXPECT_EQ(reader.record.file != nullptr, c.result == -2) << "a rejected header keeps the stream";
    }
}

// Frames delivered before a read error stay delivered and counted.
TEST_F(LogOn, ReadErrors)
{
    struct Case {
        const char* file;
        size_t delivered;
        const char* message;
    };
    const Case cases[] = {
        {"too_long.pcap", 2, "invalid packet length, larger then snaplen"},
        {"cut_data.pcap", 2, "could not read all of packet, aborting"},
        {"cut_data_swapped.pcap", 2, "could not read all of packet, aborting"},
        {"cut_record_header.pcap", 2, "could not read next PCAP header, aborting"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        {
            Reader reader;
            ASSERT_EQ(reader.open(c.file), 0);
            CaptureStderr capture;
            EXPECT_EQ(reader.run(), -1);
            EXPECT_PRED2(matches, capture.text(), (object_log + "warning: " + c.message + "\n"));
            EXPECT_EQ(reader.pushed.records.size(), c.delivered);
            EXPECT_EQ(reader.record.pkts, c.delivered);
            EXPECT_EQ(reader.record.is_broken, 0) << "run neither reads nor sets the broken state";
        }
        {
            Reader reader;
            ASSERT_EQ(reader.open(c.file), 0);
            core_producer_t produce = input_fpcap_producer(&reader.record);
            for (size_t i = 0; i < c.delivered; i++) {
                EXPECT_NE(produce(&reader.record), nullptr);
            }
            {
                CaptureStderr capture;
                EXPECT_EQ(produce(&reader.record), nullptr);
                EXPECT_PRED2(matches, capture.text(), (object_log + "warning: " + c.message + "\n"));
            }
            EXPECT_EQ(reader.record.is_broken, 1);
            EXPECT_EQ(reader.record.pkts, c.delivered);
            CaptureStderr capture;
            EXPECT_EQ(produce(&reader.record), nullptr);
            EXPECT_PRED2(matches, capture.text(), object_log + "warning: PCAP is broken, will not read next packet\n");
        }
    }
}

size_t open_descriptors()
{
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir)) {
        count++;
    }
    closedir(dir);
    return count;
}

TEST(Fpcap, StreamOwnership)
{
    const size_t before = open_descriptors();
    {
        Reader reader;
        ASSERT_EQ(reader.open("native_usec.pcap"), 0);
        EXPECT_EQ(open_descriptors(), before + 1);
    }
    EXPECT_EQ(open_descriptors(), before) << "destroy closes a stream it opened";

    FILE* fp = fopen(fixture("native_usec.pcap").c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    {
        Reader reader;
        ASSERT_EQ(input_fpcap_openfp(&reader.record, fp), 0);
        EXPECT_EQ(reader.record.extern_file, 1);
        EXPECT_EQ(reader.run(), 0);
        EXPECT_EQ(reader.pushed.records.size(), 3u);
    }
    EXPECT_NE(fcntl(fileno(fp), F_GETFD), -1) << "destroy leaves a handed-in stream open";
    EXPECT_EQ(fgetc(fp), EOF) << "the stream is still usable";
    fclose(fp);
}

TEST(Fpcap, SequentialHintChangesNothing)
{
    Reader plain, before_open, after_open;
    input_fpcap_fadvise_sequential(&before_open.record);
    EXPECT_EQ(before_open.record.use_fadvise, 1);
    ASSERT_EQ(plain.open("swapped_nsec.pcap"), 0);
    ASSERT_EQ(before_open.open("swapped_nsec.pcap"), 0);
    ASSERT_EQ(after_open.open("swapped_nsec.pcap"), 0);
    input_fpcap_fadvise_sequential(&after_open.record);
    EXPECT_EQ(after_open.record.use_fadvise, 1);
    ASSERT_EQ(plain.run(), 0);
    ASSERT_EQ(before_open.run(), 0);
    ASSERT_EQ(after_open.run(), 0);
    EXPECT_EQ(before_open.pushed.frames, plain.pushed.frames);
    EXPECT_EQ(after_open.pushed.frames, plain.pushed.frames);
    // A pipe refuses the hint; reading is the same.
    FILE* pipe = popen(("cat " + fixture("swapped_nsec.pcap")).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    Reader piped;
    input_fpcap_fadvise_sequential(&piped.record);
    ASSERT_EQ(input_fpcap_openfp(&piped.record, pipe), 0);
    ASSERT_EQ(piped.run(), 0);
    EXPECT_EQ(piped.pushed.frames, plain.pushed.frames);
    pclose(pipe);
}

TEST(FpcapDeathTest, FatalMisuse)
{
    const std::string module = "^input\\.fpcap fatal: self is nil\n$";
    EXPECT_EXIT(input_fpcap_init(nullptr), testing::ExitedWithCode(1), module);
    EXPECT_EXIT(input_fpcap_destroy(nullptr), testing::ExitedWithCode(1), module);
    EXPECT_EXIT(input_fpcap_open(nullptr, "x"), testing::ExitedWithCode(1), module);
    EXPECT_EXIT(input_fpcap_openfp(nullptr, stdin), testing::ExitedWithCode(1), module);
    EXPECT_EXIT(input_fpcap_run(nullptr), testing::ExitedWithCode(1), module);
    EXPECT_EXIT(input_fpcap_producer(nullptr), testing::ExitedWithCode(1), module);
    EXPECT_EXIT(input_fpcap_fadvise_sequential(nullptr), testing::ExitedWithCode(1), module);
    {
        Reader reader;
        ASSERT_EQ(reader.open("native_usec.pcap"), 0);
        EXPECT_EXIT(input_fpcap_producer(&reader.record)(nullptr), testing::ExitedWithCode(1), module);
    }

    const std::string fatal = "^" + object_log + "fatal: ";
    {
        Reader reader;
        EXPECT_EXIT(input_fpcap_open(&reader.record, nullptr), testing::ExitedWithCode(1), fatal + "file is nil\n$");
        EXPECT_EXIT(input_fpcap_openfp(&reader.record, nullptr), testing::ExitedWithCode(1), fatal + "fp is nil\n$");
        EXPECT_EXIT(reader.run(), testing::ExitedWithCode(1), fatal + "no PCAP opened\n$");
        EXPECT_EXIT(input_fpcap_producer(&reader.record), testing::ExitedWithCode(1), fatal + "no PCAP opened\n$");
        ASSERT_EQ(reader.open("missing.pcap"), -1);
        EXPECT_EXIT(reader.run(), testing::ExitedWithCode(1), fatal + "no PCAP opened\n$");
        ASSERT_EQ(reader.open("native_usec.pcap"), 0) << "a reader whose fopen failed may be opened again";
        EXPECT_EXIT(reader.open("native_usec.pcap"), testing::ExitedWithCode(1), fatal + "already opened\n$");
        EXPECT_EXIT(input_fpcap_openfp(&reader.record, stdin), testing::ExitedWithCode(1),
                    fatal + "already opened\n$");
        EXPECT_EXIT(input_fpcap_run(&reader.record), testing::ExitedWithCode(1), fatal + "no receiver set\n$");
    }
    {
        // A rejected header leaves the stream but no buffer: refused, never read.
        Reader reader;
        ASSERT_EQ(reader.open("bad_magic.pcap"), -2);
        EXPECT_EXIT(reader.run(), testing::ExitedWithCode(1), fatal + "no PCAP opened\n$");
        EXPECT_EXIT(input_fpcap_producer(&reader.record), testing::ExitedWithCode(1), fatal + "no PCAP opened\n$");
        EXPECT_EXIT(reader.open("native_usec.pcap"), testing::ExitedWithCode(1), fatal + "already opened\n$");
    }
#if !defined(__SANITIZE_ADDRESS__)
    {
        // The frame buffer cannot be had: an address-space limit just above
        // what the process uses makes the 256 KiB allocation fail.
        FILE* fp = fopen(fixture("snaplen_262144.pcap").c_str(), "rb");
        ASSERT_NE(fp, nullptr);
        ungetc(fgetc(fp), fp);  // the stream's own buffer exists before the limit
        Reader reader;
        auto starve_and_open = [&]() {
            long pages = 0;
            FILE* statm = fopen("/proc/self/statm", "r");
            if (!statm || fscanf(statm, "%ld", &pages) != 1) {
                _exit(2);
            }
            fclose(statm);
            const rlim_t limit = rlim_t(pages) * sysconf(_SC_PAGESIZE) + 64 * 1024;
            struct rlimit cap = {limit, limit};
            setrlimit(RLIMIT_AS, &cap);
            input_fpcap_openfp(&reader.record, fp);
        };
        EXPECT_EXIT(starve_and_open(), testing::ExitedWithCode(1), fatal + "out of memory\n$");
        fclose(fp);
    }
#endif
}

}  // namespace
