// The decoders and the decoded byte stream under the compressed readers, fed
// with files made by the lz4, zstd, gzip and xz tools.
// fixtures: compressed
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/detail/decompress.h"
#include "core/detail/zstream.h"

#include <zstd.h>

namespace {

namespace dz = tvx::decompress;
namespace zs = tvx::zstream;

core_log_t test_log = core_log_module_init("test.zstream");

dz::Site site()
{
    return dz::Site{&test_log, __FILE__, __LINE__};
}

std::string fixture(const std::string& name)
{
    return std::string(TARVEX_FIXTURE_DIR) + "/compressed/" + name;
}

std::vector<uint8_t> slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The fields the stream routines use, as the stdio reader has them.
struct StdioReader {
    void* comp_ctx = nullptr;
    uint8_t* in = nullptr;
    uint8_t* out = nullptr;
    size_t in_size = 0, out_size = 0, in_have = 0, out_have = 0, in_at = 0, out_at = 0;
    FILE* file = nullptr;

    StdioReader(const std::string& path, int32_t kind)
    {
        file = fopen(path.c_str(), "rb");
        EXPECT_NE(file, nullptr) << path;
        auto* slot = reinterpret_cast<dz::Decoder**>(&comp_ctx);
        EXPECT_EQ(dz::create(*slot, kind, file, site()), 0);
        in_size = dz::stdio_input_size(kind);
        out_size = dz::output_size(kind);
        in = zs::allocate(nullptr, in_size, 0, site());
        out = zs::allocate(nullptr, out_size, 0, site());
    }
    ~StdioReader()
    {
        dz::release(*reinterpret_cast<dz::Decoder**>(&comp_ctx), site());
        free(in);
        free(out);
        fclose(file);
    }
};

// ... and as the mapping reader has them.
struct MappedReader {
    void* comp_ctx = nullptr;
    uint8_t* out = nullptr;
    size_t out_size = 0, out_have = 0, out_at = 0;
    int fd = -1;
    size_t len = 0, at = 0;
    uint8_t* map = nullptr;

    MappedReader(const std::string& path, int32_t kind)
    {
        fd = open(path.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0) << path;
        struct stat info {};
        fstat(fd, &info);
        len = size_t(info.st_size);
        map = static_cast<uint8_t*>(mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0));
        EXPECT_NE(map, MAP_FAILED);
        auto* slot = reinterpret_cast<dz::Decoder**>(&comp_ctx);
        EXPECT_EQ(dz::create(*slot, kind, nullptr, site()), 0);
        out_size = dz::output_size(kind);
        out = zs::allocate(nullptr, out_size, 1, site());
    }
    ~MappedReader()
    {
        dz::release(*reinterpret_cast<dz::Decoder**>(&comp_ctx), site());
        free(out);
        munmap(map, len);
        close(fd);
    }
};

enum class Feed { stdio, mapped };

struct Outcome {
    std::vector<uint8_t> bytes;
    size_t in_place = 0;   // requests answered with a view into the output buffer
    size_t assembled = 0;  // requests copied together in the destination
    std::vector<size_t> tail;  // results of the requests after the first short one
};

// Reads the whole stream with the request sizes cycling through `sizes`,
// checking where each view points.
template <class Stream, class Reader>
Outcome read_with(Reader& reader, const std::vector<size_t>& sizes)
{
    Stream stream(reader, site());
    Outcome outcome;
    std::vector<uint8_t> dst(300000);
    for (size_t i = 0;; i++) {
        const size_t count = sizes[i % sizes.size()];
        const uint8_t* view = nullptr;
        const size_t got = stream.take(count, dst.data(), &view);
        if (got == count && count > 0) {
            if (view == dst.data()) {
                outcome.assembled++;
            } else {
                EXPECT_GE(view, reader.out);
                EXPECT_LE(view + count, reader.out + reader.out_size);
                outcome.in_place++;
            }
            outcome.bytes.insert(outcome.bytes.end(), view, view + count);
        }
        if (got < count) {
            outcome.bytes.insert(outcome.bytes.end(), dst.data(), dst.data() + got);
            outcome.tail.push_back(got);
            outcome.tail.push_back(stream.take(count, dst.data(), &view));
            outcome.tail.push_back(stream.take(1, dst.data(), &view));
            return outcome;
        }
    }
}

// The gz file interface never hands out a view of its own: every read is
// copied into the destination.
Outcome read_gz(void* comp_ctx, const std::vector<size_t>& sizes)
{
    zs::GzStream stream(comp_ctx, site());
    Outcome outcome;
    std::vector<uint8_t> dst(300000);
    for (size_t i = 0;; i++) {
        const size_t count = sizes[i % sizes.size()];
        const uint8_t* view = nullptr;
        const size_t got = stream.take(count, dst.data(), &view);
        EXPECT_EQ(view, dst.data());
        outcome.bytes.insert(outcome.bytes.end(), dst.data(), dst.data() + got);
        if (got == count && count > 0) {
            outcome.assembled++;
        }
        if (got < count) {
            outcome.tail.push_back(got);
            outcome.tail.push_back(stream.take(count, dst.data(), &view));
            outcome.tail.push_back(stream.take(1, dst.data(), &view));
            return outcome;
        }
    }
}

Outcome read_file(const std::string& name, int32_t kind, Feed feed, const std::vector<size_t>& sizes)
{
    if (feed == Feed::stdio) {
        StdioReader reader(fixture(name), kind);
        if (kind == dz::gzip) {
            return read_gz(reader.comp_ctx, sizes);
        }
        return read_with<zs::DecodedStream<StdioReader, zs::StdioFeed<StdioReader>>>(reader, sizes);
    }
    MappedReader reader(fixture(name), kind);
    return read_with<zs::DecodedStream<MappedReader, zs::MappedFeed<MappedReader>>>(reader, sizes);
}

}  // namespace

namespace {

struct Kind {
    int32_t kind;
    const char* ext;
};
const Kind kinds[] = {{dz::lz4, "lz4"}, {dz::zstd, "zst"}, {dz::gzip, "gz"}, {dz::lzma, "xz"}};
const Feed feeds[] = {Feed::stdio, Feed::mapped};

const char* feed_name(Feed feed)
{
    return feed == Feed::stdio ? "stdio" : "mapped";
}

// Request sizes of every kind: record headers, tiny and empty reads, reads
// larger than any output buffer.
const std::vector<size_t> mixed_sizes = {16, 1, 100, 262144, 70000, 3, 0, 131073, 16, 65535, 7};

}  // namespace

TEST(Zstream, WholeFilesDecodeToTheCapture)
{
    const char* names[] = {"small.pcap.", "large.pcap.", "jumbo.pcap.", "small.concat.", "large.concat.",
                           "jumbo.concat."};
    for (const char* name : names) {
        const std::vector<uint8_t> plain = slurp(fixture(std::string(name).substr(0, std::string(name).find('.')) +
                                                         ".pcap"));
        for (const Kind& kind : kinds) {
            for (Feed feed : feeds) {
                SCOPED_TRACE(std::string(name) + kind.ext + " " + feed_name(feed));
                const Outcome outcome = read_file(std::string(name) + kind.ext, kind.kind, feed, mixed_sizes);
                EXPECT_EQ(outcome.bytes.size(), plain.size());
                EXPECT_TRUE(outcome.bytes == plain);
                // The data ends inside the last request; after that nothing more.
                ASSERT_EQ(outcome.tail.size(), 3u);
                EXPECT_EQ(outcome.tail[1], 0u);
                EXPECT_EQ(outcome.tail[2], 0u);
            }
        }
    }
}

TEST(Zstream, OtherEncodingsOfTheSameData)
{
    struct Case {
        const char* file;
        int32_t kind;
        const char* plain;
    };
    const Case cases[] = {
        {"large.linked.lz4", dz::lz4, "large.pcap"},
        {"small.linked.lz4", dz::lz4, "small.pcap"},
        {"jumbo.linked.lz4", dz::lz4, "jumbo.pcap"},
        {"small.pcap.zlib", dz::gzip, "small.pcap"},
        {"large.pcap.zlib", dz::gzip, "large.pcap"},
    };
    for (const Case& c : cases) {
        for (Feed feed : feeds) {
            // The gz file interface reads gzip only (a zlib stream comes out as it is).
            if (feed == Feed::stdio && c.kind == dz::gzip) {
                continue;
            }
            SCOPED_TRACE(std::string(c.file) + " " + feed_name(feed));
            const Outcome outcome = read_file(c.file, c.kind, feed, mixed_sizes);
            EXPECT_TRUE(outcome.bytes == slurp(fixture(c.plain)));
        }
    }
}

TEST(Zstream, RecordSizedReadsMostlyStayInPlace)
{
    // Requests shaped like a capture of small frames: most are answered in the
    // output buffer, the few that straddle a refill are assembled.
    const std::vector<size_t> record_like = {16, 60, 16, 90, 16, 75};
    for (const Kind& kind : kinds) {
        for (Feed feed : feeds) {
            if (feed == Feed::stdio && kind.kind == dz::gzip) {
                continue;
            }
            SCOPED_TRACE(std::string(kind.ext) + " " + feed_name(feed));
            const Outcome outcome = read_file(std::string("small.pcap.") + kind.ext, kind.kind, feed, record_like);
            EXPECT_GT(outcome.assembled, 0u);
            EXPECT_GT(outcome.in_place, 100 * outcome.assembled);
        }
    }
}

TEST(Zstream, CutCompressedFilesEndWithWhatCouldBeDecoded)
{
    const std::vector<uint8_t> plain = slurp(fixture("large.pcap"));
    for (const Kind& kind : kinds) {
        for (Feed feed : feeds) {
            SCOPED_TRACE(std::string(kind.ext) + " " + feed_name(feed));
            const Outcome outcome = read_file(std::string("large.trunc.") + kind.ext, kind.kind, feed, mixed_sizes);
            EXPECT_GT(outcome.bytes.size(), plain.size() / 4);
            EXPECT_LT(outcome.bytes.size(), plain.size());
            EXPECT_TRUE(std::equal(outcome.bytes.begin(), outcome.bytes.end(), plain.begin()));
            ASSERT_EQ(outcome.tail.size(), 3u);
            EXPECT_EQ(outcome.tail[1], 0u);
        }
    }
}

TEST(Zstream, DataAfterTheLastGzipMemberIsIgnored)
{
    for (Feed feed : feeds) {
        SCOPED_TRACE(feed_name(feed));
        EXPECT_TRUE(read_file("small.garbage.gz", dz::gzip, feed, mixed_sizes).bytes == slurp(fixture("small.pcap")));
    }
}

TEST(Zstream, BufferSizes)
{
    EXPECT_EQ(dz::output_size(dz::lz4), 262144u);
    EXPECT_EQ(dz::output_size(dz::gzip), 262144u);
    EXPECT_EQ(dz::output_size(dz::lzma), 262144u);
    EXPECT_EQ(dz::output_size(dz::zstd), ZSTD_DStreamOutSize());
    EXPECT_EQ(dz::stdio_input_size(dz::lz4), 262144u);
    EXPECT_EQ(dz::stdio_input_size(dz::zstd), ZSTD_DStreamInSize());
    EXPECT_EQ(dz::stdio_input_size(dz::lzma), 1024u);
    // Used only by a stream without a descriptor, which inflates through it.
    EXPECT_EQ(dz::stdio_input_size(dz::gzip), 262144u);
}

TEST(Zstream, UnsupportedKindsAreRefused)
{
    for (int32_t kind : {0, 5, -1}) {
        dz::Decoder* decoder = nullptr;
        testing::internal::CaptureStderr();
        EXPECT_EQ(dz::create(decoder, kind, nullptr, site()), -2);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("no support for selected compression"), std::string::npos);
        EXPECT_EQ(decoder, nullptr);
    }
    for (int32_t kind = 1; kind <= 4; kind++) {
        EXPECT_TRUE(dz::supported(kind));
    }
    EXPECT_FALSE(dz::supported(0));
    EXPECT_FALSE(dz::supported(5));
}

TEST(Zstream, RecreatingReleasesTheEarlierDecoder)
{
    dz::Decoder* decoder = nullptr;
    for (const Kind& kind : kinds) {
        ASSERT_EQ(dz::create(decoder, kind.kind, nullptr, site()), 0);
        EXPECT_EQ(dz::kind_of(*decoder), kind.kind);
        EXPECT_FALSE(dz::reads_gz_file(*decoder));
    }
    dz::release(decoder, site());
    EXPECT_EQ(decoder, nullptr);
    dz::release(decoder, site());
}

TEST(Zstream, GzHandleOnABadDescriptor)
{
    // A stream whose descriptor cannot be duplicated.
    FILE* stream = fopen("/dev/null", "rb");
    ASSERT_NE(stream, nullptr);
    dz::Decoder* decoder = nullptr;
    testing::internal::CaptureStderr();
    close(fileno(stream));
    EXPECT_EQ(dz::create(decoder, dz::gzip, stream, site()), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("gzdopen(-1) error: EBADF"), std::string::npos) << err;
    EXPECT_EQ(decoder, nullptr);
    fclose(stream);
}

// Corrupt data ends the process with the library's message.
struct Corrupt {
    const char* file;
    int32_t kind;
    Feed feed;
    const char* message;
};

class ZstreamCorrupt : public testing::TestWithParam<Corrupt> {};

TEST_P(ZstreamCorrupt, IsFatal)
{
    const Corrupt& c = GetParam();
    EXPECT_EXIT(read_file(c.file, c.kind, c.feed, mixed_sizes), testing::ExitedWithCode(1), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ZstreamCorrupt,
    testing::Values(
        Corrupt{"small.badmagic.lz4", dz::lz4, Feed::stdio, "fatal: LZ4F_decompress\\(\\) failed: ERROR_frameType_unknown"},
        Corrupt{"small.badmagic.lz4", dz::lz4, Feed::mapped, "fatal: LZ4F_decompress\\(\\) failed: ERROR_frameType_unknown"},
        Corrupt{"small.badcheck.lz4", dz::lz4, Feed::stdio, "fatal: LZ4F_decompress\\(\\) failed: ERROR_contentChecksum_invalid"},
        Corrupt{"small.badcheck.lz4", dz::lz4, Feed::mapped, "fatal: LZ4F_decompress\\(\\) failed: ERROR_contentChecksum_invalid"},
        Corrupt{"small.tail.lz4", dz::lz4, Feed::stdio, "fatal: LZ4F_decompress\\(\\) failed: ERROR_frameType_unknown"},
        Corrupt{"small.tail.lz4", dz::lz4, Feed::mapped, "fatal: LZ4F_decompress\\(\\) failed: ERROR_frameType_unknown"},
        Corrupt{"small.badmagic.zst", dz::zstd, Feed::stdio, "fatal: ZSTD_decompressStream\\(\\) failed: Unknown frame descriptor"},
        Corrupt{"small.badmagic.zst", dz::zstd, Feed::mapped, "fatal: ZSTD_decompressStream\\(\\) failed: Unknown frame descriptor"},
        Corrupt{"small.badcheck.zst", dz::zstd, Feed::stdio, "fatal: ZSTD_decompressStream\\(\\) failed: Restored data doesn't match checksum"},
        Corrupt{"small.badcheck.zst", dz::zstd, Feed::mapped, "fatal: ZSTD_decompressStream\\(\\) failed: Restored data doesn't match checksum"},
        Corrupt{"small.tail.zst", dz::zstd, Feed::stdio, "fatal: ZSTD_decompressStream\\(\\) failed: Unknown frame descriptor"},
        Corrupt{"small.tail.zst", dz::zstd, Feed::mapped, "fatal: ZSTD_decompressStream\\(\\) failed: Unknown frame descriptor"},
        Corrupt{"small.badcheck.gz", dz::gzip, Feed::stdio, "fatal: gzfread\\(\\) failed: -3: incorrect data check"},
        Corrupt{"small.badmagic.gz", dz::gzip, Feed::mapped, "fatal: inflate\\(\\) failed: -3: incorrect header check"},
        Corrupt{"small.badcheck.gz", dz::gzip, Feed::mapped, "fatal: inflate\\(\\) failed: -3: incorrect data check"},
        Corrupt{"small.badmagic.xz", dz::lzma, Feed::stdio, "fatal: lzma_code\\(\\) failed: 7"},
        Corrupt{"small.badmagic.xz", dz::lzma, Feed::mapped, "fatal: lzma_code\\(\\) failed: 7"},
        Corrupt{"small.badcheck.xz", dz::lzma, Feed::stdio, "fatal: lzma_code\\(\\) failed: 9"},
        Corrupt{"small.badcheck.xz", dz::lzma, Feed::mapped, "fatal: lzma_code\\(\\) failed: 9"},
        Corrupt{"small.tail.xz", dz::lzma, Feed::stdio, "fatal: lzma_code\\(\\) failed: "},
        Corrupt{"small.tail.xz", dz::lzma, Feed::mapped, "fatal: lzma_code\\(\\) failed: "}));
