#include "lib/base64url.h"

#include <array>
#include <cerrno>
#include <cstdlib>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// The largest multiple of 3 whose encoding still fits a signed 32-bit length.
constexpr uint32_t max_encode_len = 1610612733;
constexpr uint32_t max_decode_len = 2147483647;

// A zero byte marks padding: the allocating encoder leaves zero bytes in the
// unused end of the last group, and such a text decodes back.
constexpr uint8_t padding = 64;
constexpr uint8_t invalid = 255;

constexpr std::array<uint8_t, 256> decode_table = [] {
    std::array<uint8_t, 256> table{};
    table.fill(invalid);
    for (uint8_t value = 0; value < 64; value++) {
        table[static_cast<uint8_t>(alphabet[value])] = value;
    }
    table[0] = padding;
    return table;
}();

constexpr uint32_t encoded_size(uint32_t in_len)
{
    return (in_len + 2) / 3 * 4;
}

constexpr uint32_t decoded_size(uint32_t in_len)
{
    return (in_len + 3) / 4 * 3;
}

uint8_t sextet(const uint8_t* in, uint32_t in_len, uint32_t pos)
{
    return pos < in_len ? decode_table[in[pos]] : padding;
}

}  // namespace

extern "C" {

int32_t base64url_encode(const uint8_t* in, const uint32_t in_len, uint8_t* out, const uint32_t out_len)
{
    if (!in || !out) {
        return -EINVAL;
    }
    if (in_len > max_encode_len || out_len < encoded_size(in_len)) {
        return -ERANGE;
    }
    uint32_t written = 0;
    uint32_t pos = 0;
    for (; in_len - pos >= 3; pos += 3) {
        const uint8_t b0 = in[pos], b1 = in[pos + 1], b2 = in[pos + 2];
        out[written++] = alphabet[b0 >> 2];
        out[written++] = alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out[written++] = alphabet[((b1 & 15) << 2) | (b2 >> 6)];
        out[written++] = alphabet[b2 & 63];
    }
    const uint32_t rest = in_len - pos;
    if (rest == 1) {
        const uint8_t b0 = in[pos];
        out[written] = alphabet[b0 >> 2];
        out[written + 1] = alphabet[(b0 & 3) << 4];
        out[written + 2] = 0;
        out[written + 3] = 0;
        written += 2;
    } else if (rest == 2) {
        const uint8_t b0 = in[pos], b1 = in[pos + 1];
        out[written] = alphabet[b0 >> 2];
        out[written + 1] = alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out[written + 2] = alphabet[(b1 & 15) << 2];
        out[written + 3] = 0;
        written += 3;
    }
    return static_cast<int32_t>(written);
}

int32_t base64url_encode_alloc(const uint8_t* in, const uint32_t in_len, uint8_t** out)
{
    if (!out) {
        return -EINVAL;
    }
    *out = nullptr;
    if (!in) {
        return -EINVAL;
    }
    if (in_len > max_encode_len) {
        return -ERANGE;
    }
    const uint32_t size = encoded_size(in_len);
    // malloc(0) may give null, which would read as out of memory.
    auto* buffer = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (!buffer) {
        return -ENOMEM;
    }
    const int32_t result = base64url_encode(in, in_len, buffer, size);
    if (result < 0) {
        std::free(buffer);
        return result;
    }
    *out = buffer;
    return result;
}

int32_t base64url_decode(const uint8_t* in, const uint32_t in_len, uint8_t* out, const uint32_t out_len)
{
    if (!in || !out) {
        return -EINVAL;
    }
    if (in_len > max_decode_len || out_len < decoded_size(in_len)) {
        return -ERANGE;
    }
    uint32_t written = 0;
    // 0 for a full block, 1 after one padding position, 2 after two.
    int state = 0;
    for (uint32_t pos = 0; pos < in_len; pos += 4) {
        // Padding ends the text: a block behind a padded one would lose its
        // last bytes silently, so it is refused as misplaced padding.
        if (state != 0) {
            return -1;
        }
        const uint8_t c1 = sextet(in, in_len, pos);
        const uint8_t c2 = sextet(in, in_len, pos + 1);
        const uint8_t c3 = sextet(in, in_len, pos + 2);
        const uint8_t c4 = sextet(in, in_len, pos + 3);
        if (c4 >= 64) {
            if (c4 != padding) {
                return -1;
            }
            state = 1;
        }
        if (c3 >= 64) {
            if (c3 != padding || state != 1) {
                return -1;
            }
            state = 2;
        }
        if (c1 >= 64 || c2 >= 64) {
            return -1;
        }
        out[written++] = static_cast<uint8_t>((c1 << 2) | (c2 >> 4));
        if (state < 2) {
            out[written++] = static_cast<uint8_t>((c2 << 4) | (c3 >> 2));
        }
        if (state < 1) {
            out[written++] = static_cast<uint8_t>((c3 << 6) | c4);
        }
    }
    return static_cast<int32_t>(written);
}

int32_t base64url_decode_alloc(const uint8_t* in, const uint32_t in_len, uint8_t** out)
{
    if (!out) {
        return -EINVAL;
    }
    *out = nullptr;
    if (!in) {
        return -EINVAL;
    }
    if (in_len > max_decode_len) {
        return -ERANGE;
    }
    const uint32_t size = decoded_size(in_len);
    auto* buffer = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (!buffer) {
        return -ENOMEM;
    }
    const int32_t result = base64url_decode(in, in_len, buffer, size);
    if (result < 0) {
        std::free(buffer);
        return result;
    }
    *out = buffer;
    return result;
}

}  // extern "C"
