#pragma once
// The classic PCAP file format as every capture-file reader reads it: the
// 24-byte file header (magic classification, byte swapping, version and
// snaplen checks, link-type translation) and the 16-byte record header that
// precedes each frame, plus the run and pull loops over them.
//
// How a reader uses it: it supplies only a byte source, a type with
//     size_t take(size_t count, uint8_t* dst, const uint8_t** view);
// that delivers the next `count` bytes and returns how many it got: `count`
// on success, 0 at a clean end of the data, anything in between when the data
// ends inside the request (a cut file, or a decompressed stream that ends
// inside a record header, which is an error, not a clean end). On success it
// sets *view to the bytes: `dst` when it copied them there, or its own storage
// (a mapping, a decompression buffer) when they lie there whole. `dst` may be
// null for a source that never copies.
//
// The reader record must have the fields the shared readers have in common:
// _log, recv, ctx, is_swapped, is_nanosec, is_broken, prod_pkt, pkts,
// magic_number, version_major, version_minor, thiszone, sigfigs, snaplen,
// network, linktype. Then, in the reader's .cpp:
//     open:  uint8_t raw[24]; const uint8_t* view = raw;
//            size_t got = source.take(24, raw, &view);
//            auto result = tvx::pcap::parse_file_header(view, got, limit, header);
//            if (result != tvx::pcap::HeaderResult::ok) { TVX_PCAP_REPORT_HEADER(self, result, header); return -2; }
//            tvx::pcap::adopt_header(*self, header);   ... allocate its buffer ...
//            TVX_PCAP_REPORT_OPENED(self, header);
//     run:   return tvx::pcap::push_all(*self, source, self->buf, TVX_HERE);
//     pull:  return tvx::pcap::pull_one(*self, source, self->buf, TVX_HERE);
// The macros pass the reader's own source position, so its log lines carry it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>

#include "core/detail/cursor.h"
#include "core/detail/log.h"
#include "core/object.h"
#include "core/object/pcap.h"

namespace tvx::pcap {

constexpr size_t file_header_size = 24;
constexpr size_t record_header_size = 16;
// Bounds the frame buffer a stdio reader allocates from an untrusted header.
constexpr uint32_t snaplen_limit = 262144;

constexpr uint32_t magic_usec = 0xa1b2c3d4;
constexpr uint32_t magic_nsec = 0xa1b23c4d;
constexpr uint32_t magic_usec_swapped = 0xd4c3b2a1;
constexpr uint32_t magic_nsec_swapped = 0x4d3cb2a1;

struct FileHeader {
    uint32_t magic_number = 0;  // as read in host order, never swapped back
    uint16_t version_major = 0;
    uint16_t version_minor = 0;
    int32_t thiszone = 0;
    uint32_t sigfigs = 0;
    uint32_t snaplen = 0;
    uint32_t network = 0;
    uint32_t linktype = 0;
    uint8_t is_swapped = 0;
    uint8_t is_nanosec = 0;
};

enum class HeaderResult { ok, short_header, bad_magic, snaplen_too_large, bad_version };

// Reads a file header from the `length` bytes at `bytes` (fewer than 24 is a
// short header). With `limit_snaplen` a snaplen above snaplen_limit is refused.
// The fields read so far are in `out` whatever the result (for the messages).
HeaderResult parse_file_header(const uint8_t* bytes, size_t length, bool limit_snaplen, FileHeader& out);

// The file's LINKTYPE value as the link-type number the records carry.
uint32_t linktype_of(uint32_t network);


// The critical line for a rejected header.
void report_header(const core_log_t* log, Here site, HeaderResult result, const FileHeader& header);
#define TVX_PCAP_REPORT_HEADER(obj, result, header) \
    tvx::pcap::report_header(TVX_LOG_HANDLE(obj), TVX_HERE, result, header)

// The debug line of an accepted header.
void report_opened(const core_log_t* log, Here site, const FileHeader& header);
#define TVX_PCAP_REPORT_OPENED(obj, header) tvx::pcap::report_opened(TVX_LOG_HANDLE(obj), TVX_HERE, header)

// Stores an accepted header in the reader and primes its producer record
// (snaplen, linktype, is_swapped; `bytes` is the reader's business).
template <class Reader>
void adopt_header(Reader& self, const FileHeader& header)
{
    self.magic_number = header.magic_number;
    self.version_major = header.version_major;
    self.version_minor = header.version_minor;
    self.thiszone = header.thiszone;
    self.sigfigs = header.sigfigs;
    self.snaplen = header.snaplen;
    self.network = header.network;
    self.linktype = header.linktype;
    self.is_swapped = header.is_swapped;
    self.is_nanosec = header.is_nanosec;
    self.prod_pkt.snaplen = header.snaplen;
    self.prod_pkt.linktype = header.linktype;
    self.prod_pkt.is_swapped = header.is_swapped;
}

struct RecordHeader {
    uint32_t ts_sec;
    uint32_t ts_frac;
    uint32_t incl_len;
    uint32_t orig_len;
};

enum class Frame { ok, end, short_header, too_long, short_data };

// The warning text of a failed frame read (null for ok and end).
const char* frame_failure(Frame frame);

inline RecordHeader decode_record_header(const uint8_t* bytes, bool swapped)
{
    Cursor header(bytes, record_header_size);
    RecordHeader out{};
    header.take_u32host(out.ts_sec);
    header.take_u32host(out.ts_frac);
    header.take_u32host(out.incl_len);
    header.take_u32host(out.orig_len);
    if (swapped) {
        out.ts_sec = __builtin_bswap32(out.ts_sec);
        out.ts_frac = __builtin_bswap32(out.ts_frac);
        out.incl_len = __builtin_bswap32(out.incl_len);
        out.orig_len = __builtin_bswap32(out.orig_len);
    }
    return out;
}

// Reads one record into `record` and counts it; `buf` is where a copying
// source puts the frame (at least snaplen bytes).
template <class Reader, class Source>
inline Frame next_frame(Reader& self, Source& source, uint8_t* buf, core_object_pcap_t& record)
{
    uint8_t raw[record_header_size];
    const uint8_t* view = raw;
    const size_t got = source.take(record_header_size, raw, &view);
    if (got != record_header_size) {
        return got == 0 ? Frame::end : Frame::short_header;
    }
    const RecordHeader header = decode_record_header(view, self.is_swapped);
    if (header.incl_len > self.snaplen) {
        return Frame::too_long;
    }
    const uint8_t* bytes = buf;
    if (source.take(header.incl_len, buf, &bytes) != header.incl_len) {
        return Frame::short_data;
    }
    self.pkts++;
    // Unsigned seconds widened, so 0xffffffff stays positive.
    record.ts.sec = static_cast<int64_t>(header.ts_sec);
    record.ts.nsec = self.is_nanosec ? int64_t(header.ts_frac) : int64_t(header.ts_frac) * 1000;
    record.caplen = header.incl_len;
    record.len = header.orig_len;
    record.bytes = bytes;
    return Frame::ok;
}

// run: every remaining frame to the receiver; 0 at a clean end, -1 (after a
// warning) on a read error. Frames delivered before the error stay counted.
template <class Reader, class Source>
int push_all(Reader& self, Source& source, uint8_t* buf, Here site)
{
    core_object_pcap_t record{};
    record.obj_type = CORE_OBJECT_PCAP;
    record.snaplen = self.snaplen;
    record.linktype = self.linktype;
    record.bytes = buf;
    record.is_swapped = self.is_swapped;
    for (;;) {
        const Frame frame = next_frame(self, source, buf, record);
        if (frame == Frame::ok) {
            self.recv(self.ctx, reinterpret_cast<const core_object_t*>(&record));
            continue;
        }
        if (frame == Frame::end) {
            return 0;
        }
        core_log_warning(TVX_LOG_HANDLE(&self), site.file, site.line, "%s", frame_failure(frame));
        return -1;
    }
}

// The producer step: the next frame in prod_pkt, or null at the end; a read
// error is logged, breaks the reader and gives null, as does every pull after.
template <class Reader, class Source>
const core_object_t* pull_one(Reader& self, Source& source, uint8_t* buf, Here site)
{
    if (self.is_broken) {
        core_log_warning(TVX_LOG_HANDLE(&self), site.file, site.line, "PCAP is broken, will not read next packet");
        return nullptr;
    }
    const Frame frame = next_frame(self, source, buf, self.prod_pkt);
    if (frame == Frame::ok) {
        return reinterpret_cast<const core_object_t*>(&self.prod_pkt);
    }
    if (frame != Frame::end) {
        core_log_warning(TVX_LOG_HANDLE(&self), site.file, site.line, "%s", frame_failure(frame));
        self.is_broken = 1;
    }
    return nullptr;
}

// Tells the kernel the whole file will be read once, front to back (a hint:
// a pipe or a file that refuses it reads the same).
inline void advise_sequential(FILE* file)
{
    if (file) {
        posix_fadvise(fileno(file), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
}

}  // namespace tvx::pcap
