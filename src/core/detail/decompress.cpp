#include "core/detail/decompress.h"

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>
#include <unistd.h>

#include <lz4frame.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

namespace tvx::decompress {

struct Decoder {
    int32_t kind = none;
    LZ4F_dctx* lz4 = nullptr;
    LZ4F_decompressOptions_t lz4_options{};
    ZSTD_DCtx* zstd = nullptr;
    z_stream inflater{};
    bool inflating = false;
    // The gzip member ended and nothing that looks like another member follows.
    bool inflate_done = false;
    lzma_stream xz = LZMA_STREAM_INIT;
    bool xz_live = false;
    bool xz_done = false;
    gzFile gz = nullptr;
};

namespace {

constexpr size_t frame_buffer_size = 262144;
constexpr size_t xz_chunk_size = 1024;
// The gz handle's own read buffer; larger than zlib's default so that a
// capture costs few read calls.
constexpr unsigned gz_buffer_size = 262144;

[[noreturn]] void out_of_memory(Site site)
{
    core_log_fatal(site.log, site.file, site.line, "out of memory");
}

int open_gz(Decoder& decoder, FILE* stream, Site site)
{
    // The gz handle owns its descriptor and closes it; the stream keeps its own.
    const int duplicate = dup(fileno(stream));
    decoder.gz = duplicate < 0 ? nullptr : gzdopen(duplicate, "rb");
    if (!decoder.gz) {
        core_log_critical(site.log, site.file, site.line, "gzdopen(%d) error: %s", duplicate, core_log_errstr(errno));
        if (duplicate >= 0) {
            close(duplicate);
        }
        return -1;
    }
    gzbuffer(decoder.gz, gz_buffer_size);
    return 0;
}

int open_inflate(Decoder& decoder, Site site)
{
    // 32: accept a zlib or a gzip header, window size taken from the header.
    const int result = inflateInit2(&decoder.inflater, 32);
    if (result != Z_OK) {
        core_log_critical(site.log, site.file, site.line, "inflateInit() error: %d", result);
        return -1;
    }
    decoder.inflating = true;
    return 0;
}

int open_xz(Decoder& decoder, Site site)
{
    // No memory limit; several xz streams one after another decode as one.
    const lzma_ret result = lzma_stream_decoder(&decoder.xz, UINT64_MAX, LZMA_CONCATENATED);
    if (result != LZMA_OK) {
        core_log_critical(site.log, site.file, site.line, "lzma_stream_decoder() error: %d", int(result));
        return -1;
    }
    decoder.xz_live = true;
    return 0;
}

void open_lz4(Decoder& decoder, Site site)
{
    const LZ4F_errorCode_t result = LZ4F_createDecompressionContext(&decoder.lz4, LZ4F_VERSION);
    if (LZ4F_isError(result)) {
        core_log_fatal(site.log, site.file, site.line, "LZ4F_createDecompressionContext() failed: %s",
                       LZ4F_getErrorName(result));
    }
    // The output buffer is reused from its start on every call, so the last
    // 64 KiB of output are not kept in place: the decoder must keep its own
    // history for frames whose blocks refer back to earlier blocks.
    decoder.lz4_options.stableDst = 0;
}

Step decode_lz4(Decoder& decoder, const uint8_t* input, size_t input_size, uint8_t* out, size_t out_size,
                Site site)
{
    size_t produced = out_size;
    size_t consumed = input_size;
    const size_t result = LZ4F_decompress(decoder.lz4, out, &produced, input, &consumed, &decoder.lz4_options);
    if (LZ4F_isError(result)) {
        core_log_fatal(site.log, site.file, site.line, "LZ4F_decompress() failed: %s", LZ4F_getErrorName(result));
    }
    // A finished frame may be followed by another: keep going.
    return {consumed, produced, false};
}

Step decode_zstd(Decoder& decoder, const uint8_t* input, size_t input_size, uint8_t* out, size_t out_size,
                 Site site)
{
    ZSTD_inBuffer in{input, input_size, 0};
    ZSTD_outBuffer output{out, out_size, 0};
    const size_t result = ZSTD_decompressStream(decoder.zstd, &output, &in);
    if (ZSTD_isError(result)) {
        core_log_fatal(site.log, site.file, site.line, "ZSTD_decompressStream() failed: %s",
                       ZSTD_getErrorName(result));
    }
    return {in.pos, output.pos, false};
}

bool starts_gzip_member(const uint8_t* bytes, size_t size)
{
    return size >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b;
}

Step decode_inflate(Decoder& decoder, const uint8_t* input, size_t input_size, uint8_t* out, size_t out_size,
                    Site site)
{
    if (decoder.inflate_done) {
        return {0, 0, true};
    }
    // zlib counts in 32 bits: a larger mapping is fed in pieces.
    const uInt offered_in = input_size > UINT_MAX ? UINT_MAX : uInt(input_size);
    const uInt offered_out = out_size > UINT_MAX ? UINT_MAX : uInt(out_size);
    z_stream& stream = decoder.inflater;
    stream.next_in = const_cast<Bytef*>(input);
    stream.avail_in = offered_in;
    stream.next_out = out;
    stream.avail_out = offered_out;
    const int result = inflate(&stream, Z_NO_FLUSH);
    const Step step{size_t(offered_in - stream.avail_in), size_t(offered_out - stream.avail_out), false};
    if (result == Z_STREAM_END) {
        // gzip files may hold several members back to back (gzip -d reads
        // them all, and so does the gz file interface); anything else after a
        // member is ignored, as the gz file interface ignores it.
        if (starts_gzip_member(input + step.consumed, input_size - step.consumed)) {
            inflateReset(&stream);
        } else {
            decoder.inflate_done = true;
        }
        return step;
    }
    // Z_BUF_ERROR only says that no progress was possible (the input ran out).
    if (result != Z_OK && result != Z_BUF_ERROR) {
        core_log_fatal(site.log, site.file, site.line, "inflate() failed: %d: %s", result,
                       stream.msg ? stream.msg : "");
    }
    return step;
}

Step decode_xz(Decoder& decoder, const uint8_t* input, size_t input_size, bool input_ended, uint8_t* out,
               size_t out_size, Site site)
{
    if (decoder.xz_done) {
        return {0, 0, true};
    }
    lzma_stream& stream = decoder.xz;
    stream.next_in = input;
    stream.avail_in = input_size;
    stream.next_out = out;
    stream.avail_out = out_size;
    // With concatenated streams only the finish action tells the decoder that
    // no further stream follows, so it can report the end and check it.
    const lzma_ret result = lzma_code(&stream, input_ended ? LZMA_FINISH : LZMA_RUN);
    const Step step{input_size - stream.avail_in, out_size - stream.avail_out, false};
    if (result == LZMA_STREAM_END) {
        decoder.xz_done = true;
        return step;
    }
    // LZMA_BUF_ERROR: no progress possible, the input ended inside a stream (a
    // cut file); it ends the data like a cut file of any other kind.
    if (result != LZMA_OK && result != LZMA_BUF_ERROR) {
        core_log_fatal(site.log, site.file, site.line, "lzma_code() failed: %d", int(result));
    }
    return step;
}

}  // namespace

int create(Decoder*& slot, int32_t kind, FILE* stream, Site site)
{
    release(slot, site);
    if (!supported(kind)) {
        core_log_critical(site.log, site.file, site.line, "no support for selected compression");
        return -2;
    }
    auto* decoder = new (std::nothrow) Decoder;
    if (!decoder) {
        out_of_memory(site);
    }
    decoder->kind = kind;
    int result = 0;
    switch (kind) {
    case lz4:
        open_lz4(*decoder, site);
        break;
    case zstd:
        decoder->zstd = ZSTD_createDCtx();
        if (!decoder->zstd) {
            out_of_memory(site);
        }
        break;
    case gzip:
        result = stream ? open_gz(*decoder, stream, site) : open_inflate(*decoder, site);
        break;
    case lzma:
        result = open_xz(*decoder, site);
        break;
    }
    if (result != 0) {
        release(decoder, site);
        return result;
    }
    slot = decoder;
    return 0;
}

void release(Decoder*& slot, Site site)
{
    Decoder* decoder = slot;
    slot = nullptr;
    if (!decoder) {
        return;
    }
    if (decoder->lz4) {
        const LZ4F_errorCode_t result = LZ4F_freeDecompressionContext(decoder->lz4);
        if (LZ4F_isError(result)) {
            core_log_fatal(site.log, site.file, site.line, "LZ4F_freeDecompressionContext() failed: %s",
                           LZ4F_getErrorName(result));
        }
    }
    ZSTD_freeDCtx(decoder->zstd);
    if (decoder->inflating) {
        inflateEnd(&decoder->inflater);
    }
    if (decoder->xz_live) {
        lzma_end(&decoder->xz);
    }
    if (decoder->gz) {
        gzclose(decoder->gz);
    }
    delete decoder;
}

int32_t kind_of(const Decoder& decoder)
{
    return decoder.kind;
}

bool reads_gz_file(const Decoder& decoder)
{
    return decoder.gz != nullptr;
}

size_t output_size(int32_t kind)
{
    return kind == zstd ? ZSTD_DStreamOutSize() : frame_buffer_size;
}

size_t stdio_input_size(int32_t kind)
{
    switch (kind) {
    case lz4:
        return frame_buffer_size;
    case zstd:
        return ZSTD_DStreamInSize();
    case lzma:
        return xz_chunk_size;
    case gzip:
        // Only a stream without a descriptor inflates through this buffer.
        return frame_buffer_size;
    default:
        return 0;
    }
}

Step decode(Decoder& decoder, const uint8_t* input, size_t input_size, bool input_ended, uint8_t* out,
            size_t out_size, Site site)
{
    switch (decoder.kind) {
    case lz4:
        return decode_lz4(decoder, input, input_size, out, out_size, site);
    case zstd:
        return decode_zstd(decoder, input, input_size, out, out_size, site);
    case gzip:
        return decode_inflate(decoder, input, input_size, out, out_size, site);
    case lzma:
        return decode_xz(decoder, input, input_size, input_ended, out, out_size, site);
    default:
        return {0, 0, true};
    }
}

size_t gz_read(Decoder& decoder, uint8_t* dst, size_t count, Site site)
{
    const size_t got = gzfread(dst, 1, count, decoder.gz);
    if (got < count) {
        int code = Z_OK;
        const char* message = gzerror(decoder.gz, &code);
        // Z_BUF_ERROR: the file ends inside a gzip member (a cut file);
        // Z_ERRNO: the file could not be read on. Both end the data; any
        // other error means the data is corrupt.
        if (code != Z_OK && code != Z_BUF_ERROR && code != Z_ERRNO) {
            // gzerror puts the handle's name ("<fd:N>: ") before zlib's message.
            const char* text = message ? strstr(message, ": ") : nullptr;
            core_log_fatal(site.log, site.file, site.line, "gzfread() failed: %d: %s", code,
                           text ? text + 2 : (message ? message : ""));
        }
    }
    return got;
}

int32_t kind_of_magic(const uint8_t* bytes, size_t size)
{
    auto starts = [&](std::initializer_list<uint8_t> magic) {
        return size >= magic.size() && std::equal(magic.begin(), magic.end(), bytes);
    };
    if (starts({0x04, 0x22, 0x4d, 0x18})) {
        return lz4;
    }
    if (starts({0x28, 0xb5, 0x2f, 0xfd})) {
        return zstd;
    }
    if (starts({0x1f, 0x8b})) {
        return gzip;
    }
    if (starts({0xfd, '7', 'z', 'X', 'Z', 0x00})) {
        return lzma;
    }
    return none;
}

size_t decode_start(int32_t kind, const uint8_t* input, size_t size, uint8_t* out, size_t want)
{
    size_t produced = 0;
    switch (kind) {
    case lz4: {
        LZ4F_dctx* context = nullptr;
        if (LZ4F_isError(LZ4F_createDecompressionContext(&context, LZ4F_VERSION))) {
            return 0;
        }
        while (produced < want && size > 0) {
            size_t room = want - produced, consumed = size;
            const size_t result = LZ4F_decompress(context, out + produced, &room, input, &consumed, nullptr);
            if (LZ4F_isError(result) || (room == 0 && consumed == 0)) {
                break;
            }
            produced += room;
            input += consumed;
            size -= consumed;
        }
        LZ4F_freeDecompressionContext(context);
        return produced;
    }
    case zstd: {
        ZSTD_DCtx* context = ZSTD_createDCtx();
        if (!context) {
            return 0;
        }
        ZSTD_inBuffer in{input, size, 0};
        ZSTD_outBuffer output{out, want, 0};
        while (output.pos < want && in.pos < in.size) {
            const size_t before = in.pos + output.pos;
            if (ZSTD_isError(ZSTD_decompressStream(context, &output, &in)) || in.pos + output.pos == before) {
                break;
            }
        }
        ZSTD_freeDCtx(context);
        return output.pos;
    }
    case gzip: {
        z_stream stream{};
        if (inflateInit2(&stream, 32) != Z_OK) {
            return 0;
        }
        stream.next_in = const_cast<Bytef*>(input);
        stream.avail_in = size > UINT_MAX ? UINT_MAX : uInt(size);
        stream.next_out = out;
        stream.avail_out = uInt(want);
        inflate(&stream, Z_SYNC_FLUSH);
        produced = want - stream.avail_out;
        inflateEnd(&stream);
        return produced;
    }
    case lzma: {
        lzma_stream stream = LZMA_STREAM_INIT;
        if (lzma_stream_decoder(&stream, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) {
            return 0;
        }
        stream.next_in = input;
        stream.avail_in = size;
        stream.next_out = out;
        stream.avail_out = want;
        // Whatever came out before an error or the end of the input is the answer.
        const lzma_ret result = lzma_code(&stream, LZMA_RUN);
        (void)result;
        produced = want - stream.avail_out;
        lzma_end(&stream);
        return produced;
    }
    default:
        return 0;
    }
}

}  // namespace tvx::decompress
