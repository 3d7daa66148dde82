#pragma once
// DNS messages on a byte stream (TCP, TLS): a two-byte length field in network
// order in front of each message. Field and message may be split over any
// number of reads, and one read may carry several messages.
//
// The reassemblers below keep their state in the sender record's own public
// fields (the caller passes references to them) and get their bytes from a
// Source, so the TCP and TLS paths share one algorithm and only differ in I/O:
//
//   struct Source {
//       tvx::net::Wait wait();                           // wait for input, the sender's limit
//       tvx::net::Io read(uint8_t* into, size_t room);   // one read
//   };
//
//   tvx::stream::MessageAssembly assembly{self->recvbuf, sizeof(self->recvbuf),
//                                         self->recv, self->dnslen, self->have_dnslen};
//   tvx::stream::Result got = assembly.next(source, self->blocking != 0);
//   switch (got.kind) { case Result::message: pkt.len = got.len; ... }
//
// MessageAssembly hands out messages without their length field (query
// senders); FrameAssembly hands out whole frames, field included (DNS client).
// Either way the message starts at the first byte of the buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/detail/socket.h"

namespace tvx::stream {

constexpr size_t length_field_size = 2;

// The field for a message of `len` bytes: its low 16 bits, most significant first.
inline void put_length_field(uint8_t* out, size_t len)
{
    out[0] = static_cast<uint8_t>(len >> 8);
    out[1] = static_cast<uint8_t>(len);
}

inline uint16_t read_length_field(const uint8_t* at)
{
    return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

struct Result {
    enum Kind {
        message,  // `len` bytes at the start of the buffer
        empty,    // nothing whole yet; what was received stays for the next call
        end,      // the peer closed the stream
        error,    // a failed wait or read: the caller counts it
    } kind;
    size_t len;
};

// Messages handed out without their length field. State, in the record's fields:
// while `have_dnslen` is 1, buf[0 .. held) are the first bytes of a message of
// `dnslen` bytes; once one is handed out (`have_dnslen` 0), buf[0 .. dnslen) is
// that message and buf[dnslen .. held) the start of the next frame, its field
// first. A lone field byte waiting for its partner is kept as such a leftover
// (dnslen 0, held 1), so a non-blocking caller loses nothing between calls.
struct MessageAssembly {
    uint8_t* buf;
    size_t capacity;  // at least 65 536: room for the largest message
    size_t& held;
    uint16_t& dnslen;
    uint8_t& have_dnslen;

    template <class Source>
    Result next(Source& source, bool blocking)
    {
        if (!have_dnslen) {
            take_leftover();
        }
        while (!have_dnslen) {
            const net::Wait ready = source.wait();
            if (ready == net::Wait::error) {
                return {Result::error, 0};
            }
            if (ready != net::Wait::ready) {
                // Half a field at the end of a blocking wait means the peer
                // stalled inside a frame; a non-blocking caller just comes back.
                if (held > 0 && blocking) {
                    return {Result::error, 0};
                }
                return {Result::empty, 0};
            }
            const net::Io got = source.read(buf + held, length_field_size - held);
            switch (got.kind) {
            case net::Io::data:
                held += got.size;
                if (held >= length_field_size) {
                    start_message();
                }
                break;
            case net::Io::closed:
                return {Result::end, 0};
            case net::Io::again:
                break;
            case net::Io::failed:
                return {Result::error, 0};
            }
        }
        while (held < dnslen) {
            const net::Wait ready = source.wait();
            if (ready == net::Wait::error) {
                return {Result::error, 0};
            }
            if (ready != net::Wait::ready) {
                return {Result::empty, 0};
            }
            const net::Io got = source.read(buf + held, capacity - held);
            switch (got.kind) {
            case net::Io::data:
                held += got.size;
                break;
            case net::Io::closed:
                return {Result::end, 0};
            case net::Io::again:
                return {Result::empty, 0};
            case net::Io::failed:
                return {Result::error, 0};
            }
        }
        have_dnslen = 0;
        return {Result::message, dnslen};
    }

private:
    // Moves what follows the last handed-out message to the front; a whole
    // field there starts the next message.
    void take_leftover()
    {
        const size_t leftover = held > dnslen ? held - dnslen : 0;
        if (leftover > 0 && dnslen > 0) {
            memmove(buf, buf + dnslen, leftover);
        }
        held = leftover;
        dnslen = 0;
        if (held >= length_field_size) {
            start_message();
        }
    }

    // The field is at buf[0 .. 2); message bytes already held behind it move
    // to the front.
    void start_message()
    {
        dnslen = read_length_field(buf);
        have_dnslen = 1;
        const size_t body = held - length_field_size;
        if (body > 0) {
            memmove(buf, buf + length_field_size, body);
        }
        held = body;
    }
};

// Whole frames handed out, length field included (`len` = message + 2). State:
// buf[0 .. held) is received data starting at a frame boundary; `have_dnslen`
// says `dnslen` holds the first frame's field; `have_message` says that frame
// was handed out by the previous call and is dropped by this one.
//
// A blocking wait that ends while a lone field byte is held means the peer
// stalled inside a frame (an error), unless `keep_lone_byte`: a TLS session's
// record timeout can end a wait between the two bytes of one field, and the
// byte then stays for the next call like any other part of a frame.
struct FrameAssembly {
    uint8_t* buf;
    size_t capacity;  // at least 65 537: room for the largest frame
    size_t& held;
    uint16_t& dnslen;
    uint8_t& have_dnslen;
    uint8_t& have_message;

    template <class Source>
    Result next(Source& source, bool nonblocking, bool keep_lone_byte = false)
    {
        if (have_message) {
            drop_handed_out();
        }
        for (;;) {
            if (!have_dnslen && held >= length_field_size) {
                dnslen = read_length_field(buf);
                have_dnslen = 1;
            }
            if (have_dnslen && held >= dnslen + length_field_size) {
                have_message = 1;
                return {Result::message, dnslen + length_field_size};
            }
            const net::Wait ready = source.wait();
            if (ready == net::Wait::timeout) {
                if (!nonblocking && !keep_lone_byte && lone_field_byte()) {
                    return {Result::error, 0};
                }
                return {Result::empty, 0};
            }
            if (ready != net::Wait::ready) {
                return {Result::error, 0};
            }
            const net::Io got = source.read(buf + held, capacity - held);
            switch (got.kind) {
            case net::Io::data:
                held += got.size;
                if (nonblocking && !whole_frame_held()) {
                    return {Result::empty, 0};
                }
                break;
            case net::Io::closed:
                return {Result::end, 0};
            case net::Io::again:
                if (nonblocking) {
                    return {Result::empty, 0};
                }
                break;
            case net::Io::failed:
                return {Result::error, 0};
            }
        }
    }

    // Whether a whole frame waits behind the one handed out last, so that the
    // next call returns it without reading.
    bool frame_ready() const
    {
        const size_t handed_out = have_message ? size_t(dnslen) + length_field_size : 0;
        if (held < handed_out + length_field_size) {
            return false;
        }
        return held >= handed_out + size_t(read_length_field(buf + handed_out)) + length_field_size;
    }

private:
    bool lone_field_byte() const { return !have_dnslen && held == 1; }

    bool whole_frame_held() const
    {
        if (held < length_field_size) {
            return false;
        }
        return held >= size_t(read_length_field(buf)) + length_field_size;
    }

    void drop_handed_out()
    {
        const size_t frame = size_t(dnslen) + length_field_size;
        if (held > frame) {
            memmove(buf, buf + frame, held - frame);
            held -= frame;
        } else {
            held = 0;
        }
        have_dnslen = 0;
        have_message = 0;
    }
};

}  // namespace tvx::stream
