#pragma once
// What the two compressed capture readers do alike once their byte source is
// set: set up the decoder and its buffers, then read and adopt the PCAP file
// header through the decoded stream. Each reader supplies its stream type.
//
//   int result = tvx::zreader::start_decoder(*self, stream_or_null, TVX_LOG_SITE(self));
//   if (result == 0) result = tvx::zreader::read_header(*self, source, limit_snaplen, TVX_LOG_SITE(self));
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/detail/decompress.h"
#include "core/detail/log.h"
#include "core/detail/pcap_file.h"
#include "core/detail/zstream.h"

namespace tvx::zreader {

inline decompress::Decoder*& decoder_slot(void*& comp_ctx)
{
    return reinterpret_cast<decompress::Decoder*&>(comp_ctx);
}

// The output buffer, and for a reader with an input buffer (`in`) that too.
// The mapping reader's zstd output gets one spare byte.
template <class Reader>
void allocate_buffers(Reader& self, int32_t kind, LogSite site)
{
    if constexpr (requires { self.in; }) {
        if (decompress::reads_gz_file(*decoder_slot(self.comp_ctx))) {
            return;
        }
        self.in_size = decompress::stdio_input_size(kind);
        self.in = zstream::allocate(self.in, self.in_size, 0, site);
        self.in_have = 0;
        self.in_at = 0;
        self.out_size = decompress::output_size(kind);
        self.out = zstream::allocate(self.out, self.out_size, 0, site);
    } else {
        self.out_size = decompress::output_size(kind);
        self.out = zstream::allocate(self.out, self.out_size, kind == decompress::zstd ? 1 : 0, site);
    }
    self.out_have = 0;
    self.out_at = 0;
}

// The decoder for the reader's `compression` and its buffers. `stream`: the
// stdio reader's stream (gzip then reads through the gz file interface). A
// stream without a descriptor of its own (one that replays bytes already
// read, say) cannot be handed to the gz file interface: gzip then inflates
// through the stream like the other kinds.
template <class Reader>
int start_decoder(Reader& self, FILE* stream, LogSite site)
{
    const int32_t kind = self.compression;
    if (stream && fileno(stream) < 0) {
        stream = nullptr;
    }
    const int result = decompress::create(decoder_slot(self.comp_ctx), kind, stream, site);
    if (result != 0) {
        return result;
    }
    allocate_buffers(self, kind, site);
    return 0;
}

// Calls `use` with the byte source of a stdio reader: the gz file interface
// for gzip on a descriptor, else the decoded stream over the stdio stream.
template <class Reader, class Use>
auto with_stdio_source(Reader* self, LogSite site, Use&& use)
{
    if (decompress::reads_gz_file(*decoder_slot(self->comp_ctx))) {
        zstream::GzStream source(self->comp_ctx, site);
        return use(source);
    }
    zstream::DecodedStream<Reader, zstream::StdioFeed<Reader>> source(*self, site);
    return use(source);
}

// Reads the 24-byte file header through `source`; on success adopts it and
// allocates the frame buffer `buf` of snaplen bytes. 0, or -2 after the
// header's critical line.
template <class Reader, class Source>
int read_header(Reader& self, Source& source, bool limit_snaplen, LogSite site)
{
    uint8_t raw[pcap::file_header_size];
    const uint8_t* view = raw;
    const size_t got = source.take(sizeof(raw), raw, &view);
    pcap::FileHeader header;
    const auto result = pcap::parse_file_header(view, got == sizeof(raw) ? got : 0, limit_snaplen, header);
    const Here position{site.file, site.line};
    if (result != pcap::HeaderResult::ok) {
        pcap::report_header(site.log, position, result, header);
        return -2;
    }
    pcap::adopt_header(self, header);
    self.buf = zstream::allocate(self.buf, header.snaplen, 0, site);
    pcap::report_opened(site.log, position, header);
    return 0;
}

}  // namespace tvx::zreader
