#pragma once
// Frame Streams as files hold it: a START control frame naming the content
// type, data frames (a 32-bit big-endian length, then that many bytes), and a
// STOP control frame; a control frame is announced by a zero length (the
// escape) followed by its own length and its type. Files written one after
// the other may be joined, so a START after a STOP opens the next stream.
//
// How a reader uses it (the source follows the byte-source contract of the
// PCAP format code: `size_t take(size_t count, uint8_t* dst, const uint8_t**
// view)`; `buf` holds at least `frame_limit` bytes for a copying source):
//   tvx::fstrm::Stream stream;                         // lives in the reader
//   if (tvx::fstrm::open(stream, source, "protobuf:dnstap.Dnstap", log, TVX_HERE) != 0) ...refused...
//   tvx::fstrm::Data data;
//   switch (tvx::fstrm::next(stream, source, buf, data, log, TVX_HERE)) { ... }
// A frame that cannot be read whole is told apart from a clean end: the file
// then ends inside a frame or announces one larger than any reader takes.
// Control frames out of place (a handshake frame in a file, a data frame
// after STOP, an unknown type) are reported and skipped: the framing around
// them is intact.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/detail/cursor.h"
#include "core/detail/log.h"
#include "core/log.h"

namespace tvx::fstrm {

constexpr uint32_t control_accept = 1;
constexpr uint32_t control_start = 2;
constexpr uint32_t control_stop = 3;
constexpr uint32_t control_ready = 4;
constexpr uint32_t control_finish = 5;
constexpr uint32_t field_content_type = 1;

// libfstrm's own bounds: a control frame is at most 512 bytes, and a data
// frame larger than 1 MiB is refused rather than allocated for.
constexpr uint32_t control_limit = 512;
constexpr uint32_t frame_limit = 1024 * 1024;

// The first bytes of a file that starts a stream: the escape, a control
// length, and the START type.
constexpr size_t signature_size = 12;
inline bool starts_stream(const uint8_t* bytes, size_t size)
{
    Cursor head(bytes, size);
    uint32_t escape, length, type;
    return head.take_u32be(escape) && head.take_u32be(length) && head.take_u32be(type) && escape == 0 &&
           type == control_start && length >= 4 && length <= control_limit;
}

struct Stream {
    bool open = false;       // inside a START .. STOP
    bool stopped = false;    // a STOP was read and nothing after it yet
    char content_type[control_limit + 1] = {};
};

struct Data {
    const uint8_t* bytes = nullptr;
    uint32_t len = 0;
};

enum class Next { data, end, broken };

// Why a frame could not be read; the text a reader logs.
enum class Fault { none, cut_length, cut_frame, cut_control, oversize_frame, oversize_control };

namespace detail {

inline const char* control_name(uint32_t type)
{
    switch (type) {
    case control_accept:
        return "ACCEPT";
    case control_start:
        return "START";
    case control_stop:
        return "STOP";
    case control_ready:
        return "READY";
    case control_finish:
        return "FINISH";
    default:
        return "unknown";
    }
}

// The content type a START frame names, or an empty string when it names
// none; false when its fields run past the frame.
inline bool content_type_of(Cursor fields, char (&out)[control_limit + 1])
{
    out[0] = 0;
    while (fields.left) {
        uint32_t field, length;
        const uint8_t* value;
        if (!fields.take_u32be(field) || !fields.take_u32be(length) || !fields.take_view(value, length)) {
            return false;
        }
        if (field == field_content_type && out[0] == 0) {
            memcpy(out, value, length);
            out[length] = 0;
        }
    }
    return true;
}

template <class Source>
Fault take_control(Source& source, uint8_t* buf, Cursor& control)
{
    uint8_t raw[4];
    const uint8_t* view = raw;
    if (source.take(4, raw, &view) != 4) {
        return Fault::cut_control;
    }
    uint32_t length;
    Cursor(view, 4).take_u32be(length);
    if (length > control_limit) {
        return Fault::oversize_control;
    }
    if (source.take(length, buf, &view) != length) {
        return Fault::cut_control;
    }
    control = Cursor(view, length);
    return Fault::none;
}

inline void report(const core_log_t* log, Here site, Fault fault, uint32_t length)
{
    switch (fault) {
    case Fault::none:
        return;
    case Fault::cut_length:
        core_log_warning(log, site.file, site.line, "Frame Streams file ends inside a frame length");
        return;
    case Fault::cut_frame:
        core_log_warning(log, site.file, site.line, "Frame Streams file ends inside a data frame of %u bytes", length);
        return;
    case Fault::cut_control:
        core_log_warning(log, site.file, site.line, "Frame Streams file ends inside a control frame");
        return;
    case Fault::oversize_frame:
        core_log_warning(log, site.file, site.line, "data frame of %u bytes is over the limit of %u, aborting",
                         length, frame_limit);
        return;
    case Fault::oversize_control:
        core_log_warning(log, site.file, site.line, "control frame over the limit of %u bytes, aborting",
                         control_limit);
        return;
    }
}

// A START: the stream takes it only with the content type it was opened
// with (or none named); anything else is another kind of file.
inline bool start(Stream& stream, Cursor fields, const core_log_t* log, Here site)
{
    char named[control_limit + 1];
    if (!content_type_of(fields, named)) {
        core_log_warning(log, site.file, site.line, "malformed START frame, aborting");
        return false;
    }
    if (named[0] && strcmp(named, stream.content_type) != 0) {
        core_log_warning(log, site.file, site.line, "START frame of content type \"%s\", not \"%s\", aborting",
                         named, stream.content_type);
        return false;
    }
    if (stream.open) {
        core_log_warning(log, site.file, site.line, "START frame inside a stream, read as the start of another");
    }
    stream.open = true;
    stream.stopped = false;
    return true;
}

}  // namespace detail

// Reads the START frame the file begins with. 0, or -2 after a critical line
// (not a Frame Streams file, cut, or another content type).
template <class Source>
int open(Stream& stream, Source& source, const char* content_type, const core_log_t* log, Here site)
{
    stream = Stream{};
    strncpy(stream.content_type, content_type, control_limit);
    uint8_t raw[4];
    const uint8_t* view = raw;
    uint32_t escape = 1;
    if (source.take(4, raw, &view) == 4) {
        Cursor(view, 4).take_u32be(escape);
    }
    uint8_t control_buf[control_limit];
    Cursor control;
    uint32_t type = 0;
    if (escape != 0 || detail::take_control(source, control_buf, control) != Fault::none ||
        !control.take_u32be(type) || type != control_start) {
        core_log_critical(log, site.file, site.line, "not a Frame Streams file (no START frame at its start)");
        return -2;
    }
    char named[control_limit + 1];
    if (!detail::content_type_of(control, named) || (named[0] && strcmp(named, content_type) != 0)) {
        core_log_critical(log, site.file, site.line, "Frame Streams file of content type \"%s\", not \"%s\"", named,
                          content_type);
        return -2;
    }
    stream.open = true;
    return 0;
}

// The next data frame into `data` (in place in the source, or in `buf`).
// end: the file ended between two frames; broken: logged, nothing more can
// be read.
template <class Source>
Next next(Stream& stream, Source& source, uint8_t* buf, Data& data, const core_log_t* log, Here site)
{
    for (;;) {
        uint8_t raw[4];
        const uint8_t* view = raw;
        const size_t got = source.take(4, raw, &view);
        if (got == 0) {
            if (!stream.stopped) {
                core_log_notice(log, site.file, site.line, "Frame Streams file ends without a STOP frame");
            }
            return Next::end;
        }
        if (got != 4) {
            detail::report(log, site, Fault::cut_length, 0);
            return Next::broken;
        }
        uint32_t length;
        Cursor(view, 4).take_u32be(length);
        if (length > 0) [[likely]] {
            if (length > frame_limit) {
                detail::report(log, site, Fault::oversize_frame, length);
                return Next::broken;
            }
            if (source.take(length, buf, &view) != length) {
                detail::report(log, site, Fault::cut_frame, length);
                return Next::broken;
            }
            if (!stream.open) [[unlikely]] {
                core_log_warning(log, site.file, site.line, "data frame after a STOP frame, read on");
                stream.open = true;
            }
            stream.stopped = false;
            data.bytes = view;
            data.len = length;
            return Next::data;
        }
        Cursor control;
        const Fault fault = detail::take_control(source, buf, control);
        if (fault != Fault::none) {
            detail::report(log, site, fault, 0);
            return Next::broken;
        }
        uint32_t type = 0;
        if (!control.take_u32be(type)) {
            core_log_warning(log, site.file, site.line, "control frame without a type, skipped");
            continue;
        }
        if (type == control_start) {
            if (!detail::start(stream, control, log, site)) {
                return Next::broken;
            }
        } else if (type == control_stop) {
            stream.open = false;
            stream.stopped = true;
        } else {
            core_log_warning(log, site.file, site.line, "%s control frame (type %u) in a file, skipped",
                             detail::control_name(type), type);
        }
    }
}

}  // namespace tvx::fstrm
