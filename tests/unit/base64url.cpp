#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib/base64url.h"

namespace {

constexpr uint32_t max_encode_len = 1610612733;
constexpr uint32_t max_decode_len = 2147483647;

const uint8_t* bytes(const std::string& text)
{
    return reinterpret_cast<const uint8_t*>(text.data());
}

std::string as_string(const uint8_t* data, int32_t len)
{
    return std::string(reinterpret_cast<const char*>(data), len > 0 ? len : 0);
}

struct Vector {
    std::string plain, encoded;
};

// RFC 4648 section 10 without padding, and the two characters that differ
// from the standard alphabet.
const Vector vectors[] = {
    {"", ""},
    {"f", "Zg"},
    {"fo", "Zm8"},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg"},
    {"fooba", "Zm9vYmE"},
    {"foobar", "Zm9vYmFy"},
    {std::string("\xfb\xff", 2), "-_8"},
    {std::string("\xfb\xff\xbf", 3), "-_-_"},
    {std::string("\x00\x00\x00", 3), "AAAA"},
    {std::string("\xff", 1), "_w"},
};

TEST(Base64Url, EncodeVectors)
{
    for (const auto& v : vectors) {
        std::vector<uint8_t> out((v.plain.size() + 2) / 3 * 4 + 1, 0xaa);
        const int32_t n = base64url_encode(bytes(v.plain), v.plain.size(), out.data(), out.size());
        EXPECT_EQ(as_string(out.data(), n), v.encoded) << v.encoded;
    }
}

TEST(Base64Url, DecodeVectors)
{
    for (const auto& v : vectors) {
        std::vector<uint8_t> out((v.encoded.size() + 3) / 4 * 3 + 1, 0xaa);
        const int32_t n = base64url_decode(bytes(v.encoded), v.encoded.size(), out.data(), out.size());
        EXPECT_EQ(as_string(out.data(), n), v.plain) << v.encoded;
    }
}

TEST(Base64Url, EncodeFillsTheLastGroupWithZeroBytes)
{
    struct Case {
        std::string plain;
        int32_t result;
        std::string written;  // the whole last group, zero bytes included
    };
    const Case cases[] = {
        {"f", 2, std::string("Zg\0\0", 4)},
        {"fo", 3, std::string("Zm8\0", 4)},
        {"foo", 4, "Zm9v"},
    };
    for (const auto& c : cases) {
        uint8_t out[5];
        std::memset(out, 0xaa, sizeof(out));
        EXPECT_EQ(base64url_encode(bytes(c.plain), c.plain.size(), out, 4), c.result) << c.plain;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), c.written) << c.plain;
        EXPECT_EQ(out[4], 0xaa) << "nothing written past the group";
    }
}

TEST(Base64Url, EncodeErrors)
{
    const uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t out[16];
    struct Case {
        const char* name;
        const uint8_t* in;
        uint32_t in_len;
        uint8_t* out;
        uint32_t out_len;
        int32_t result;
    };
    const Case cases[] = {
        {"null input", nullptr, 1, out, sizeof(out), -EINVAL},
        {"null output", in, 1, nullptr, sizeof(out), -EINVAL},
        {"null input, zero length", nullptr, 0, out, sizeof(out), -EINVAL},
        {"1 byte, 3-byte buffer", in, 1, out, 3, -ERANGE},
        {"1 byte, 4-byte buffer", in, 1, out, 4, 2},
        {"4 bytes, 7-byte buffer", in, 4, out, 7, -ERANGE},
        {"4 bytes, 8-byte buffer", in, 4, out, 8, 6},
        {"input above the limit", in, max_encode_len + 1, out, sizeof(out), -ERANGE},
        {"largest input, small buffer", in, max_encode_len, out, sizeof(out), -ERANGE},
        {"zero length", in, 0, out, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(base64url_encode(c.in, c.in_len, c.out, c.out_len), c.result) << c.name;
    }
}

TEST(Base64Url, DecodeErrors)
{
    struct Case {
        const char* name;
        std::string in;
        int32_t result;
    };
    const Case cases[] = {
        {"padding mark =", "Zg==", -1},
        {"standard alphabet +", "Zm+v", -1},
        {"standard alphabet /", "Zm/v", -1},
        {"blank", "Zm9 ", -1},
        {"high byte", "Zm9\xc3", -1},
        {"zero bytes as padding", std::string("Zg\0\0", 4), 1},
        {"one zero byte as padding", std::string("Zm8\0", 4), 2},
        {"zero byte in first place", std::string("\0Zg", 3), -1},
        {"zero byte in second place", std::string("Z\0g\0", 4), -1},
        {"zero byte before a value", std::string("Zg\0A", 4), -1},
        {"zero byte behind a short block", std::string("Zm9vZg\0", 7), 4},
        {"a block behind padding", std::string("Zg\0\0Zm9v", 8), -1},
        {"a block behind a short block", std::string("Zm8\0Zm9v", 8), -1},
        {"length 1", "Z", -1},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out((c.in.size() + 3) / 4 * 3 + 1);
        EXPECT_EQ(base64url_decode(bytes(c.in), c.in.size(), out.data(), out.size()), c.result) << c.name;
    }
}

TEST(Base64Url, DecodeArgumentErrors)
{
    const uint8_t in[] = "Zm9vYmFy";
    uint8_t out[16];
    std::memset(out, 0xaa, sizeof(out));
    struct Case {
        const char* name;
        const uint8_t* in;
        uint32_t in_len;
        uint8_t* out;
        uint32_t out_len;
        int32_t result;
    };
    const Case cases[] = {
        {"null input", nullptr, 4, out, sizeof(out), -EINVAL},
        {"null output", in, 4, nullptr, sizeof(out), -EINVAL},
        {"input above the limit", in, max_decode_len + 1u, out, sizeof(out), -ERANGE},
        {"2 characters, 2-byte buffer", in, 2, out, 2, -ERANGE},
        {"8 characters, 5-byte buffer", in, 8, out, 5, -ERANGE},
        {"8 characters, 6-byte buffer", in, 8, out, 6, 6},
        {"5 characters, 5-byte buffer", in, 5, out, 5, -ERANGE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(base64url_decode(c.in, c.in_len, c.out, c.out_len), c.result) << c.name;
    }
    std::memset(out, 0xaa, sizeof(out));
    EXPECT_EQ(base64url_decode(in, 0, out, 0), 0);
    EXPECT_EQ(out[0], 0xaa) << "zero length writes nothing";
}

TEST(Base64Url, LengthFourKPlusOneAlwaysFails)
{
    std::mt19937 random(41);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    for (uint32_t len = 1; len < 400; len += 4) {
        std::string text;
        for (uint32_t i = 0; i < len; i++) {
            text += alphabet[random() % 64];
        }
        std::vector<uint8_t> out((len + 3) / 4 * 3);
        EXPECT_EQ(base64url_decode(bytes(text), len, out.data(), out.size()), -1) << "length " << len;
        uint8_t* allocated = reinterpret_cast<uint8_t*>(1);
        EXPECT_EQ(base64url_decode_alloc(bytes(text), len, &allocated), -1) << "length " << len;
        EXPECT_EQ(allocated, nullptr);
    }
}

TEST(Base64Url, RoundTripsOfEveryLength)
{
    std::mt19937 random(7);
    for (uint32_t len = 0; len <= 300; len++) {
        // One spare byte everywhere keeps data() valid for length 0.
        std::vector<uint8_t> plain(len + 1);
        for (auto& b : plain) {
            b = static_cast<uint8_t>(random());
        }
        const uint32_t group_len = (len + 2) / 3 * 4;
        std::vector<uint8_t> text(group_len + 1);
        const int32_t text_len = base64url_encode(plain.data(), len, text.data(), group_len);
        ASSERT_EQ(text_len, static_cast<int32_t>((len * 4 + 2) / 3)) << "length " << len;
        std::vector<uint8_t> back((text_len + 3) / 4 * 3 + 1);
        const int32_t back_len = base64url_decode(text.data(), text_len, back.data(), back.size());
        ASSERT_EQ(back_len, static_cast<int32_t>(len));
        EXPECT_EQ(std::memcmp(back.data(), plain.data(), len), 0) << "length " << len;

        uint8_t* encoded = nullptr;
        ASSERT_EQ(base64url_encode_alloc(plain.data(), len, &encoded), text_len);
        ASSERT_NE(encoded, nullptr);
        EXPECT_EQ(std::memcmp(encoded, text.data(), text_len), 0);
        // The allocated text, zero bytes of the last group included, decodes back.
        uint8_t* decoded = nullptr;
        ASSERT_EQ(base64url_decode_alloc(encoded, group_len, &decoded), static_cast<int32_t>(len));
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(std::memcmp(decoded, plain.data(), len), 0) << "length " << len;
        std::free(encoded);
        std::free(decoded);
    }
}

TEST(Base64Url, AllocErrorsLeaveNoBuffer)
{
    const uint8_t in[] = "Zm9v";
    struct Case {
        const char* name;
        int32_t (*call)(const uint8_t*, const uint32_t, uint8_t**);
        const uint8_t* in;
        uint32_t in_len;
        int32_t result;
    };
    const Case cases[] = {
        {"encode, null input", base64url_encode_alloc, nullptr, 3, -EINVAL},
        {"encode, above the limit", base64url_encode_alloc, in, max_encode_len + 1, -ERANGE},
        {"decode, null input", base64url_decode_alloc, nullptr, 4, -EINVAL},
        {"decode, above the limit", base64url_decode_alloc, in, max_decode_len + 1u, -ERANGE},
        {"decode, invalid character", base64url_decode_alloc, reinterpret_cast<const uint8_t*>("Zm+v"), 4, -1},
    };
    for (const auto& c : cases) {
        uint8_t* out = reinterpret_cast<uint8_t*>(1);
        EXPECT_EQ(c.call(c.in, c.in_len, &out), c.result) << c.name;
        EXPECT_EQ(out, nullptr) << c.name;
        EXPECT_EQ(c.call(c.in, c.in_len, nullptr), -EINVAL) << c.name << ", null result pointer";
    }
    uint8_t* out = nullptr;
    EXPECT_EQ(base64url_encode_alloc(in, 0, &out), 0);
    EXPECT_NE(out, nullptr) << "an empty result is still a buffer to free";
    std::free(out);
    out = nullptr;
    EXPECT_EQ(base64url_decode_alloc(in, 0, &out), 0);
    EXPECT_NE(out, nullptr);
    std::free(out);
}

// Caps the address space a little above what the process uses now, so that
// a large allocation fails; restores the old limit afterwards.
struct AddressSpaceCap {
    rlimit saved{};
    bool active = false;
    AddressSpaceCap()
    {
        FILE* statm = std::fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (!statm || std::fscanf(statm, "%lu", &pages) != 1 || getrlimit(RLIMIT_AS, &saved) != 0) {
            if (statm) {
                std::fclose(statm);
            }
            return;
        }
        std::fclose(statm);
        rlimit cap = saved;
        cap.rlim_cur = pages * sysconf(_SC_PAGESIZE) + (256ul << 20);
        active = setrlimit(RLIMIT_AS, &cap) == 0;
    }
    ~AddressSpaceCap()
    {
        if (active) {
            setrlimit(RLIMIT_AS, &saved);
        }
    }
};

TEST(Base64Url, AllocOutOfMemory)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer reserves its own address space";
#else
    // Only the first block is ever read when the allocation succeeds: a zero
    // byte in first place is refused at once, so the small input is safe.
    const uint8_t zeros[4] = {0, 0, 0, 0};
    int32_t result;
    uint8_t* out = reinterpret_cast<uint8_t*>(1);
    {
        AddressSpaceCap cap;
        if (!cap.active) {
            GTEST_SKIP() << "cannot limit the address space";
        }
        result = base64url_decode_alloc(zeros, max_decode_len, &out);
    }
    EXPECT_EQ(result, -ENOMEM);
    EXPECT_EQ(out, nullptr);

    // The encoder reads its whole input, so give it one that is mapped but
    // never backed by memory.
    void* region = mmap(nullptr, max_encode_len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    out = reinterpret_cast<uint8_t*>(1);
    {
        AddressSpaceCap cap;
        ASSERT_TRUE(cap.active);
        result = base64url_encode_alloc(static_cast<const uint8_t*>(region), max_encode_len, &out);
    }
    munmap(region, max_encode_len);
    EXPECT_EQ(result, -ENOMEM);
    EXPECT_EQ(out, nullptr);
    std::free(out);
#endif
}

}  // namespace
