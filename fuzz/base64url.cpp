// base64url over any text and any bytes. The input is decoded as text (into
// a buffer of exactly the size the decoder asks for, and through the
// allocating decoder), and encoded as bytes; both directions must agree:
//   - the two decoders give the same result and bytes;
//   - a decoded text encodes to a text that decodes to the same bytes;
//   - any bytes encode (both encoders alike) and decode back unchanged;
//   - a buffer one byte too small is refused without a write past it.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/base64url.h"
#include "support/check.h"

namespace {

uint32_t decoded_room(uint32_t len)
{
    return (len + 3) / 4 * 3;
}

uint32_t encoded_room(uint32_t len)
{
    return (len + 2) / 3 * 4;
}

// `len` bytes in a heap block of exactly that size (at least one byte, so the
// pointer is never null).
std::vector<uint8_t> exact(const uint8_t* bytes, size_t len)
{
    std::vector<uint8_t> block(len ? len : 1);
    if (len) {
        memcpy(block.data(), bytes, len);
    }
    block.resize(len);
    block.shrink_to_fit();
    return block;
}

const uint8_t* nonnull(const std::vector<uint8_t>& v)
{
    static const uint8_t none = 0;
    return v.empty() ? &none : v.data();
}

std::vector<uint8_t> encode(const uint8_t* in, uint32_t len)
{
    std::vector<uint8_t> out(encoded_room(len) ? encoded_room(len) : 1);
    const int32_t written = base64url_encode(in, len, out.data(), encoded_room(len));
    FUZZ_CHECK(written >= 0 && uint32_t(written) <= encoded_room(len));
    FUZZ_CHECK(uint32_t(written) == len / 3 * 4 + (len % 3 ? len % 3 + 1 : 0));

    uint8_t* allocated = nullptr;
    FUZZ_CHECK(base64url_encode_alloc(in, len, &allocated) == written);
    FUZZ_CHECK(allocated && memcmp(allocated, out.data(), written) == 0);
    free(allocated);
    out.resize(written);
    return out;
}

void decode_text(const uint8_t* data, size_t size)
{
    const auto len = static_cast<uint32_t>(size);
    const std::vector<uint8_t> text = exact(data, size);
    std::vector<uint8_t> out(decoded_room(len) ? decoded_room(len) : 1);
    uint8_t* out_at = out.data();
    const int32_t result = base64url_decode(nonnull(text), len, out_at, decoded_room(len));
    FUZZ_CHECK(result == -1 || (result >= 0 && uint32_t(result) <= decoded_room(len)));

    uint8_t* allocated = nullptr;
    FUZZ_CHECK(base64url_decode_alloc(nonnull(text), len, &allocated) == result);
    FUZZ_CHECK((result < 0) == (allocated == nullptr));
    if (result > 0) {
        FUZZ_CHECK(memcmp(allocated, out_at, result) == 0);
    }
    free(allocated);

    if (len > 0) {
        // One byte short of the room it asks for: refused, nothing written.
        std::vector<uint8_t> small(decoded_room(len) - 1 ? decoded_room(len) - 1 : 1);
        FUZZ_CHECK(base64url_decode(nonnull(text), len, small.data(), decoded_room(len) - 1) == -ERANGE);
    }
    if (result < 0) {
        return;
    }
    const std::vector<uint8_t> again = encode(out_at, uint32_t(result));
    std::vector<uint8_t> back(decoded_room(uint32_t(again.size())) + 1);
    FUZZ_CHECK(base64url_decode(nonnull(again), uint32_t(again.size()), back.data(), uint32_t(back.size())) ==
               result);
    FUZZ_CHECK(memcmp(back.data(), out_at, result) == 0);
}

void encode_bytes(const uint8_t* data, size_t size)
{
    const auto len = static_cast<uint32_t>(size);
    const std::vector<uint8_t> bytes = exact(data, size);
    const std::vector<uint8_t> text = encode(nonnull(bytes), len);
    for (uint8_t c : text) {
        FUZZ_CHECK((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                   c == '_');
    }
    if (len > 0) {
        std::vector<uint8_t> small(encoded_room(len) - 1);
        FUZZ_CHECK(base64url_encode(nonnull(bytes), len, small.data(), encoded_room(len) - 1) == -ERANGE);
    }
    std::vector<uint8_t> back(decoded_room(uint32_t(text.size())) + 1);
    FUZZ_CHECK(base64url_decode(nonnull(text), uint32_t(text.size()), back.data(), uint32_t(back.size())) ==
               int32_t(len));
    FUZZ_CHECK(len == 0 || memcmp(back.data(), data, len) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    decode_text(data, size);
    encode_bytes(data, size);
    return 0;
}
