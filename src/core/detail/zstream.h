#pragma once
// The decompressed byte stream the compressed capture readers parse: an
// output buffer that the decoder refills from a feed of compressed bytes, and
// the one read routine through which the readers take every byte.
//
// The two readers differ only in their feed:
//   StdioFeed<Reader>   compressed bytes read from `file` into the reader's
//                       input buffer (`in`, `in_size`, `in_have`, `in_at`);
//   MappedFeed<Reader>  compressed bytes straight from the mapping (`map`,
//                       `len`; `at` counts what was consumed).
// Both readers have the output fields `out`, `out_size`, `out_have`, `out_at`
// and `comp_ctx` (the Decoder).
//
// How a reader uses it:
//   tvx::zstream::DecodedStream<Reader, tvx::zstream::MappedFeed<Reader>> source(*self, site);
//   size_t got = source.take(count, dst, &view);
// take() follows the byte-source contract of the PCAP format code: it returns
// `count` and sets *view to the bytes, in place in the output buffer when they
// lie there whole, else assembled in `dst`; 0 when the data ended before the
// request; anything in between when the data ended inside it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/detail/decompress.h"

namespace tvx::zstream {

template <class Reader>
struct StdioFeed {
    Reader& self;

    // The held input, topped up from the stream once it is used up.
    const uint8_t* available(size_t& size)
    {
        if (self.in_have == 0 && !ended()) {
            self.in_at = fread_unlocked(self.in, 1, self.in_size, self.file);
            self.in_have = self.in_at;
        }
        size = self.in_have;
        return self.in + (self.in_at - self.in_have);
    }
    void consume(size_t count) { self.in_have -= count; }
    // A read error ends the input like the end of the file does.
    bool ended() const { return feof_unlocked(self.file) || ferror_unlocked(self.file); }
};

template <class Reader>
struct MappedFeed {
    Reader& self;

    const uint8_t* available(size_t& size)
    {
        size = self.len - self.at;
        return self.map + self.at;
    }
    void consume(size_t count) { self.at += count; }
    // The whole file is in the mapping: what is left is all there is.
    bool ended() const { return true; }
};

template <class Reader, class Feed>
class DecodedStream {
public:
    DecodedStream(Reader& self, decompress::Site site)
        : self_(self), feed_{self}, decoder_(*static_cast<decompress::Decoder*>(self.comp_ctx)), site_(site)
    {
    }

    size_t take(size_t count, uint8_t* dst, const uint8_t** view)
    {
        if (self_.out_have >= count) {
            *view = self_.out + self_.out_at;
            self_.out_at += count;
            self_.out_have -= count;
            return count;
        }
        return take_across(count, dst, view);
    }

private:
    // The request reaches past the unread output: copy what is there, refill,
    // and go on until it is complete or the data ends.
    size_t take_across(size_t count, uint8_t* dst, const uint8_t** view)
    {
        size_t got = 0;
        if (self_.out_have == 0) {
            // At a refill boundary the request may well fit the next output whole.
            if (!refill()) {
                return 0;
            }
            if (self_.out_have >= count) {
                return take(count, dst, view);
            }
        }
        for (;;) {
            const size_t part = self_.out_have < count - got ? self_.out_have : count - got;
            memcpy(dst + got, self_.out + self_.out_at, part);
            self_.out_at += part;
            self_.out_have -= part;
            got += part;
            if (got == count) {
                *view = dst;
                return count;
            }
            if (!refill()) {
                return got;
            }
        }
    }

    // Decodes into the output buffer, from its start, until it is full or the
    // decoder has nothing more to give; false when nothing came out (the end
    // of the data). Only called once the output is used up. Filling the whole
    // buffer keeps frames that straddle two refills rare even when each
    // decoding call yields little (small input chunks).
    bool refill()
    {
        size_t produced = 0;
        while (produced < self_.out_size) {
            size_t size = 0;
            const uint8_t* input = feed_.available(size);
            const decompress::Step step = decompress::decode(decoder_, input, size, feed_.ended(),
                                                             self_.out + produced, self_.out_size - produced, site_);
            feed_.consume(step.consumed);
            produced += step.produced;
            // The decoder is done, or could make no progress at all (the
            // input is used up, or what is left cannot be decoded further).
            if (step.finished || (step.consumed == 0 && step.produced == 0)) {
                break;
            }
        }
        self_.out_at = 0;
        self_.out_have = produced;
        return produced > 0;
    }

    Reader& self_;
    Feed feed_;
    decompress::Decoder& decoder_;
    decompress::Site site_;
};

// The stdio reader's gzip kind: zlib's gz file interface does its own
// buffering, so every read is one gz read into `dst`.
class GzStream {
public:
    GzStream(void* comp_ctx, decompress::Site site)
        : decoder_(*static_cast<decompress::Decoder*>(comp_ctx)), site_(site)
    {
    }

    size_t take(size_t count, uint8_t* dst, const uint8_t** view)
    {
        *view = dst;
        return decompress::gz_read(decoder_, dst, count, site_);
    }

private:
    decompress::Decoder& decoder_;
    decompress::Site site_;
};

// (Re)allocates a buffer of `size` bytes (`spare` more are allocated and
// never used); failure is fatal.
inline uint8_t* allocate(uint8_t* old, size_t size, size_t spare, decompress::Site site)
{
    free(old);
    auto* buffer = static_cast<uint8_t*>(malloc(size + spare ? size + spare : 1));
    if (!buffer) {
        core_log_fatal(site.log, site.file, site.line, "out of memory");
    }
    return buffer;
}

}  // namespace tvx::zstream
