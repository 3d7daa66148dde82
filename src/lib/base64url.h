#pragma once
// base64url (RFC 4648 section 5) without padding characters. Results are a
// length (0 or more) or a negative error: -EINVAL for a null pointer, -ERANGE
// for a length out of range or a buffer too small, -ENOMEM, and -1 for an
// invalid character or misplaced padding.
#include <cstdint>

extern "C" {

int32_t base64url_encode(const uint8_t* in, const uint32_t in_len, uint8_t* out, const uint32_t out_len);
int32_t base64url_encode_alloc(const uint8_t* in, const uint32_t in_len, uint8_t** out);
int32_t base64url_decode(const uint8_t* in, const uint32_t in_len, uint8_t* out, const uint32_t out_len);
int32_t base64url_decode_alloc(const uint8_t* in, const uint32_t in_len, uint8_t** out);

}  // extern "C"
