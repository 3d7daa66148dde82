#pragma once
// The decompressors behind the compressed capture readers: one Decoder per
// open reader (kept behind the reader's `comp_ctx`), created for a kind, fed
// compressed bytes one decoding call at a time, released with the reader.
//
// How a reader uses it:
//   tvx::decompress::Decoder* decoder = nullptr;
//   int result = tvx::decompress::create(decoder, kind, stream_or_null, TVX_LOG_SITE(self));
//   ... tvx::decompress::decode(*decoder, input, input_ended, out, out_size, site) ...
//   tvx::decompress::release(decoder, site);
// The byte sources and the buffered stream read on top of this are in
// core/detail/zstream.h.
//
// Corrupt compressed data is fatal: the reader cannot tell good frames from
// bad ones past that point, and going on would hand out garbage as packets.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/detail/log.h"
#include "core/log.h"

namespace tvx::decompress {

// One numbering for both compressed readers (their enums use these values).
enum Kind : int32_t { none = 0, lz4 = 1, zstd = 2, gzip = 3, lzma = 4 };

inline bool supported(int32_t kind)
{
    return kind >= lz4 && kind <= lzma;
}

// Log lines from inside the decoders go to the reader's log, at the reader's
// source position (TVX_LOG_SITE(self)).
using Site = LogSite;

struct Decoder;

// Makes `slot` a decoder for `kind`, releasing the one it held. With a
// `stream`, the gzip kind reads through zlib's gz file interface on a
// duplicate of the stream's descriptor (the stdio reader); without one it
// inflates bytes handed to decode() with zlib/gzip header detection (the
// mapping reader). Returns 0; -1 (logged) when the decompressor cannot be set
// up; -2 (logged) for an unsupported kind, leaving `slot` null.
int create(Decoder*& slot, int32_t kind, FILE* stream, Site site);

// Releases the decoder and nulls `slot` (null is allowed).
void release(Decoder*& slot, Site site);

// The kind the decoder was made for (the reader's `compression` may have
// been changed by the script since).
int32_t kind_of(const Decoder& decoder);

// True when the decoder reads through the gz file interface (see gz_read).
bool reads_gz_file(const Decoder& decoder);

// Output buffer of the reader for the kind, and the stdio reader's input
// buffer (for gzip only used by a stream without a descriptor: the gz file
// interface buffers on its own).
size_t output_size(int32_t kind);
size_t stdio_input_size(int32_t kind);

struct Step {
    size_t consumed;  // input bytes taken
    size_t produced;  // output bytes written
    bool finished;    // no further output will ever come
};

// One decoding call over `input_size` bytes at `input` into `out`.
// `input_ended`: no compressed bytes exist beyond these. A decoder that
// neither consumes nor produces has nothing more to give from this input.
Step decode(Decoder& decoder, const uint8_t* input, size_t input_size, bool input_ended, uint8_t* out,
            size_t out_size, Site site);

// The gz file interface: up to `count` bytes into `dst`; fewer when the data
// ends (a cut file included). Corrupt data is fatal.
size_t gz_read(Decoder& decoder, uint8_t* dst, size_t count, Site site);

// The compression a file's first bytes announce (`none` for none of the
// four), from the magic numbers of the LZ4 frame, Zstandard, gzip and xz
// formats.
int32_t kind_of_magic(const uint8_t* bytes, size_t size);

// Decodes the start of compressed data, for telling what it holds: up to
// `want` bytes into `out` from the `size` bytes at `input`. Returns how many
// came out; corrupt or cut data gives what came out before it, and no log
// line (a file that is not what it seems is the caller's finding, not a
// failure).
size_t decode_start(int32_t kind, const uint8_t* input, size_t size, uint8_t* out, size_t want);

}  // namespace tvx::decompress
