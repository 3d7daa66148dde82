// fixtures: pcapio
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/log.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "core/object/udp.h"
#include "input/pcap.h"
#include "output/pcap.h"
#include "support/capture_listing.h"
#include "support/capture_stderr.h"

namespace {

std::string temp(const std::string& name)
{
    return testing::TempDir() + "output_pcap_" + name;
}

struct Output {
    output_pcap_t rec{};
    Output() { output_pcap_init(&rec); }
    ~Output() { output_pcap_destroy(&rec); }
    void push(const void* obj) { output_pcap_receiver(&rec)(&rec, static_cast<const core_object_t*>(obj)); }
};

core_object_pcap_t packet(int64_t sec, int64_t nsec, const std::vector<uint8_t>& bytes, uint32_t len)
{
    core_object_pcap_t record{};
    record.obj_type = CORE_OBJECT_PCAP;
    record.snaplen = 65535;
    record.linktype = 1;
    record.ts = {sec, nsec};
    record.caplen = static_cast<uint32_t>(bytes.size());
    record.len = len;
    record.bytes = bytes.data();
    return record;
}

uint32_t le32(const std::vector<uint8_t>& file, size_t at)
{
    return file[at] | file[at + 1] << 8 | file[at + 2] << 16 | static_cast<uint32_t>(file[at + 3]) << 24;
}

// The records of a host-order microsecond file written by libpcap.
std::vector<ListedRecord> records_of(const std::vector<uint8_t>& file)
{
    std::vector<ListedRecord> records;
    size_t at = 24;
    while (at + 16 <= file.size()) {
        ListedRecord record;
        record.sec = le32(file, at);
        record.frac = le32(file, at + 4);
        record.caplen = le32(file, at + 8);
        record.len = le32(file, at + 12);
        at += 16;
        record.bytes.assign(file.begin() + at, file.begin() + at + std::min<size_t>(record.caplen, file.size() - at));
        at += record.caplen;
        records.push_back(record);
    }
    EXPECT_EQ(at, file.size());
    return records;
}

TEST(OutputPcap, FileHeaderCarriesLinkTypeAndSnaplen)
{
    struct Case {
        int linktype, snaplen;
        uint32_t written_snaplen;
    };
    // A length of 0 or less means no limit to libpcap; it is written as the
    // largest length the readers accept, as is anything above it.
    const Case cases[] = {{1, 65535, 65535}, {12, 1500, 1500}, {0, 262144, 262144},
                          {113, 0, 262144}, {1, -1, 262144}, {1, 262145, 262144}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.snaplen);
        const std::string path = temp("header.pcap");
        {
            Output out;
            ASSERT_EQ(output_pcap_open(&out.rec, path.c_str(), c.linktype, c.snaplen), 0);
        }
        const auto file = read_file(path);
        ASSERT_EQ(file.size(), 24u);
        EXPECT_EQ(le32(file, 0), 0xa1b2c3d4u);
        EXPECT_EQ(file[4] | file[5] << 8, 2);
        EXPECT_EQ(file[6] | file[7] << 8, 4);
        EXPECT_EQ(le32(file, 16), c.written_snaplen);
        EXPECT_EQ(le32(file, 20), c.linktype == 12 ? 101u : static_cast<uint32_t>(c.linktype));
    }
}

TEST(OutputPcap, TimeIsWrittenInWholeMicroseconds)
{
    struct Case {
        int64_t sec, nsec;
        uint32_t usec;
    };
    const Case cases[] = {
        {12, 345678999, 345678}, {0, 0, 0}, {1, 999, 0}, {1, 1000, 1}, {7, 999999999, 999999}, {0x7fffffff, 1, 0},
    };
    const std::string path = temp("times.pcap");
    const std::vector<uint8_t> bytes = {1, 2, 3};
    {
        Output out;
        ASSERT_EQ(output_pcap_open(&out.rec, path.c_str(), 1, 65535), 0);
        for (const auto& c : cases) {
            auto record = packet(c.sec, c.nsec, bytes, 3);
            out.push(&record);
        }
        output_pcap_close(&out.rec);
    }
    const auto records = records_of(read_file(path));
    ASSERT_EQ(records.size(), std::size(cases));
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_EQ(records[i].sec, cases[i].sec) << i;
        EXPECT_EQ(records[i].frac, cases[i].usec) << i;
        EXPECT_EQ(records[i].bytes, bytes) << i;
    }
}

TEST(OutputPcap, WalksDownTheChainToThePcapRecord)
{
    const std::vector<uint8_t> frame = {0xde, 0xad, 0xbe, 0xef, 0, 1, 2, 3, 4, 5};
    auto bottom = packet(5, 6000, frame, 60);
    core_object_udp_t udp{};
    udp.obj_prev = reinterpret_cast<const core_object_t*>(&bottom);
    udp.obj_type = CORE_OBJECT_UDP;
    core_object_payload_t payload{};
    payload.obj_prev = reinterpret_cast<const core_object_t*>(&udp);
    payload.obj_type = CORE_OBJECT_PAYLOAD;
    const core_object_t dns = {reinterpret_cast<const core_object_t*>(&payload), CORE_OBJECT_DNS};

    // Objects without a PCAP record beneath them write nothing.
    core_object_payload_t loose{};
    loose.obj_type = CORE_OBJECT_PAYLOAD;
    const core_object_t unset = {nullptr, CORE_OBJECT_NONE};

    const std::string path = temp("chain.pcap");
    {
        Output out;
        ASSERT_EQ(output_pcap_open(&out.rec, path.c_str(), 1, 65535), 0);
        out.push(&dns);
        out.push(&loose);
        out.push(&unset);
        out.push(&udp);
        out.push(nullptr);
        output_pcap_close(&out.rec);
    }
    const auto records = records_of(read_file(path));
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        EXPECT_EQ(record.sec, 5);
        EXPECT_EQ(record.frac, 6);
        EXPECT_EQ(record.caplen, frame.size());
        EXPECT_EQ(record.len, 60u);
        EXPECT_EQ(record.bytes, frame);
    }
}

TEST(OutputPcap, RecordsLongerThanTheSnaplenAreCutKeepingTheWireLength)
{
    std::vector<uint8_t> frame(100);
    for (size_t i = 0; i < frame.size(); i++) {
        frame[i] = static_cast<uint8_t>(i);
    }
    const std::string path = temp("cut.pcap");
    {
        Output out;
        ASSERT_EQ(output_pcap_open(&out.rec, path.c_str(), 1, 64), 0);
        auto longer = packet(1, 0, frame, 100);
        out.push(&longer);
        std::vector<uint8_t> exact(frame.begin(), frame.begin() + 64);
        auto fits = packet(2, 0, exact, 64);
        out.push(&fits);
        auto empty = packet(3, 0, {}, 50);
        empty.bytes = nullptr;
        out.push(&empty);
    }
    const auto records = records_of(read_file(path));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].caplen, 64u);
    EXPECT_EQ(records[0].len, 100u);
    EXPECT_EQ(records[0].bytes, std::vector<uint8_t>(frame.begin(), frame.begin() + 64));
    EXPECT_EQ(records[1].caplen, 64u);
    EXPECT_EQ(records[1].len, 64u);
    EXPECT_EQ(records[2].caplen, 0u);
    EXPECT_EQ(records[2].len, 50u);
}

TEST(OutputPcap, OpenCloseOpenWritesBothFiles)
{
    const std::vector<uint8_t> bytes = {9, 8, 7};
    auto record = packet(1, 0, bytes, 3);
    Output out;
    EXPECT_EQ(output_pcap_have_errors(&out.rec), 0);
    ASSERT_EQ(output_pcap_open(&out.rec, temp("first.pcap").c_str(), 1, 65535), 0);
    core_receiver_t receive = output_pcap_receiver(&out.rec);
    receive(&out.rec, reinterpret_cast<const core_object_t*>(&record));
    output_pcap_close(&out.rec);
    EXPECT_EQ(out.rec.pcap, nullptr);
    EXPECT_EQ(out.rec.dumper, nullptr);
    output_pcap_close(&out.rec);  // a second close does nothing
    EXPECT_EQ(output_pcap_have_errors(&out.rec), 0);

    ASSERT_EQ(output_pcap_open(&out.rec, temp("second.pcap").c_str(), 12, 1500), 0);
    // The receiver handed out before still writes, now to the new file.
    receive(&out.rec, reinterpret_cast<const core_object_t*>(&record));
    receive(&out.rec, reinterpret_cast<const core_object_t*>(&record));
    output_pcap_close(&out.rec);

    EXPECT_EQ(records_of(read_file(temp("first.pcap"))).size(), 1u);
    const auto second = read_file(temp("second.pcap"));
    EXPECT_EQ(records_of(second).size(), 2u);
    EXPECT_EQ(le32(second, 20), 101u);
}

TEST(OutputPcap, DestroyWhileOpenFlushesTheFile)
{
    const std::string path = temp("destroyed.pcap");
    std::vector<uint8_t> bytes(200, 0x5a);
    {
        output_pcap_t rec;
        output_pcap_init(&rec);
        ASSERT_EQ(output_pcap_open(&rec, path.c_str(), 1, 65535), 0);
        auto record = packet(4, 0, bytes, 200);
        for (int i = 0; i < 3; i++) {
            output_pcap_receiver(&rec)(&rec, reinterpret_cast<const core_object_t*>(&record));
        }
        output_pcap_destroy(&rec);
        EXPECT_EQ(rec.dumper, nullptr);
        EXPECT_EQ(rec.pcap, nullptr);
        output_pcap_destroy(&rec);  // nothing left to release
    }
    const auto records = records_of(read_file(path));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].bytes, bytes);
}

TEST(OutputPcap, OpenFailureLeavesTheWriterClosed)
{
    Output out;
    CaptureStderr capture;
    EXPECT_EQ(output_pcap_open(&out.rec, "/nonexistent/dir/out.pcap", 1, 65535), -1);
    EXPECT_EQ(output_pcap_open(&out.rec, nullptr, 1, 65535), -1);
    const std::string text = capture.text();
    EXPECT_NE(text.find("] critical: pcap_dump_open() error: /nonexistent/dir/out.pcap: No such file or directory\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(out.rec.pcap, nullptr);
    EXPECT_EQ(out.rec.dumper, nullptr);
    EXPECT_EQ(output_pcap_have_errors(&out.rec), 0);
    EXPECT_EQ(output_pcap_open(&out.rec, temp("after_failure.pcap").c_str(), 1, 65535), 0);
}

// Ways to make the file refuse what is written to it.
struct BrokenFile {
    const char* name;
    std::string path;
    bool read_only_descriptor;
};

TEST(OutputPcap, HaveErrorsReportsAFailedWrite)
{
    const BrokenFile cases[] = {
        {"full device", "/dev/full", false},
        {"read-only descriptor", temp("read_only.pcap"), true},
    };
    const std::vector<uint8_t> bytes(64, 1);
    auto record = packet(1, 0, bytes, 64);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Output out;
        EXPECT_EQ(output_pcap_have_errors(&out.rec), 0);
        ASSERT_EQ(output_pcap_open(&out.rec, c.path.c_str(), 1, 65535), 0);
        if (c.read_only_descriptor) {
            // Put a read-only descriptor in the file's place; closing it
            // instead would let the next open reuse the number.
            int read_only = open("/dev/null", O_RDONLY);
            ASSERT_GE(read_only, 0);
            ASSERT_GE(dup2(read_only, fileno(pcap_dump_file(out.rec.dumper))), 0);
            close(read_only);
        }
        // One small record stays in the stdio buffer; asking must still tell.
        out.push(&record);
        EXPECT_NE(output_pcap_have_errors(&out.rec), 0);
        EXPECT_NE(output_pcap_have_errors(&out.rec), 0);
        CaptureStderr capture;
        output_pcap_close(&out.rec);
        EXPECT_NE(capture.text().find("] critical: could not write every packet to the PCAP file\n"),
                  std::string::npos)
            << capture.text();
        EXPECT_EQ(output_pcap_have_errors(&out.rec), 0);
    }
}

TEST(OutputPcap, HealthyFileHasNoErrorsAndClosesSilently)
{
    const std::vector<uint8_t> bytes(64, 1);
    auto record = packet(1, 0, bytes, 64);
    Output out;
    ASSERT_EQ(output_pcap_open(&out.rec, temp("healthy.pcap").c_str(), 1, 65535), 0);
    out.push(&record);
    EXPECT_EQ(output_pcap_have_errors(&out.rec), 0);
    CaptureStderr capture;
    output_pcap_close(&out.rec);
    EXPECT_EQ(capture.text(), "");
}

// What a capture read through libpcap looks like when written back: the
// same file, byte for byte, since both sides are host-order microsecond files.
TEST(OutputPcap, LibpcapInputWrittenBackIsTheSameFile)
{
    const std::pair<const char*, const char*> cases[] = {
        {"native", "native"}, {"swapped", "native"}, {"raw", "raw"}, {"null", "null"},
    };
    for (const auto& [source, expected] : cases) {
        SCOPED_TRACE(source);
        const std::string path = temp(std::string("copy_") + source + ".pcap");
        input_pcap_t input;
        input_pcap_init(&input);
        ASSERT_EQ(input_pcap_open_offline(&input, fixture(std::string(source) + ".pcap").c_str()), 0);
        output_pcap_t out;
        output_pcap_init(&out);
        // The link type is libpcap's (DLT_RAW 12 for a LINKTYPE_RAW 101 file),
        // and libpcap stores it as the file's own value again.
        ASSERT_EQ(output_pcap_open(&out, path.c_str(), static_cast<int>(input.linktype),
                                   static_cast<int>(input.snaplen)),
                  0);
        input.recv = output_pcap_receiver(&out);
        input.ctx = &out;
        EXPECT_EQ(input_pcap_loop(&input, -1), 0);
        EXPECT_EQ(output_pcap_have_errors(&out), 0);
        output_pcap_close(&out);
        output_pcap_destroy(&out);
        input_pcap_destroy(&input);
        EXPECT_EQ(read_file(path), read_file(fixture(std::string(expected) + ".pcap")));
    }
}

struct FatalCase {
    const char* name;
    void (*run)();
    const char* message;
};

void open_twice()
{
    Output out;
    output_pcap_open(&out.rec, temp("twice.pcap").c_str(), 1, 65535);
    output_pcap_open(&out.rec, temp("twice.pcap").c_str(), 1, 65535);
}

void receiver_before_open()
{
    Output out;
    output_pcap_receiver(&out.rec);
}

void receiver_after_failed_open()
{
    Output out;
    output_pcap_open(&out.rec, "/nonexistent/dir/x.pcap", 1, 65535);
    output_pcap_receiver(&out.rec);
}

void push_after_close()
{
    Output out;
    output_pcap_open(&out.rec, temp("closed_push.pcap").c_str(), 1, 65535);
    core_receiver_t receive = output_pcap_receiver(&out.rec);
    output_pcap_close(&out.rec);
    const std::vector<uint8_t> bytes = {1};
    auto record = packet(1, 0, bytes, 1);
    receive(&out.rec, reinterpret_cast<const core_object_t*>(&record));
}

void captured_bytes_missing()
{
    Output out;
    output_pcap_open(&out.rec, temp("nil_bytes.pcap").c_str(), 1, 65535);
    auto record = packet(1, 0, {}, 10);
    record.caplen = 10;
    record.bytes = nullptr;
    out.push(&record);
}

void null_context_in_receiver()
{
    Output out;
    output_pcap_open(&out.rec, temp("nil_ctx.pcap").c_str(), 1, 65535);
    output_pcap_receiver(&out.rec)(nullptr, nullptr);
}

void null_init() { output_pcap_init(nullptr); }
void null_destroy() { output_pcap_destroy(nullptr); }
void null_open() { output_pcap_open(nullptr, "x", 1, 1); }
void null_close() { output_pcap_close(nullptr); }
void null_have_errors() { output_pcap_have_errors(nullptr); }
void null_receiver() { output_pcap_receiver(nullptr); }

TEST(OutputPcapFatal, MisuseEndsTheProcess)
{
    const FatalCase cases[] = {
        {"open twice", open_twice, "^output.pcap\\[0x[0-9a-f]+\\] fatal: PCAP already opened\n$"},
        {"receiver before open", receiver_before_open, "^output.pcap\\[0x[0-9a-f]+\\] fatal: PCAP not opened\n$"},
        {"receiver after a failed open", receiver_after_failed_open, "fatal: PCAP not opened\n$"},
        {"push after close", push_after_close, "^output.pcap\\[0x[0-9a-f]+\\] fatal: PCAP not opened\n$"},
        {"captured bytes missing", captured_bytes_missing, "fatal: bytes is nil\n$"},
        {"null receiver context", null_context_in_receiver, "^output.pcap fatal: self is nil\n$"},
        {"null init", null_init, "^output.pcap fatal: self is nil\n$"},
        {"null destroy", null_destroy, "^output.pcap fatal: self is nil\n$"},
        {"null open", null_open, "^output.pcap fatal: self is nil\n$"},
        {"null close", null_close, "^output.pcap fatal: self is nil\n$"},
        {"null have_errors", null_have_errors, "^output.pcap fatal: self is nil\n$"},
        {"null receiver", null_receiver, "^output.pcap fatal: self is nil\n$"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(c.run(), ::testing::ExitedWithCode(1), c.message);
    }
}

}  // namespace
