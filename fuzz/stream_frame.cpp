// The stream reassembly shared by the TCP and TLS senders (messages without
// their length field) and the DNS client (whole frames), against a scripted
// peer, so that every wait and read outcome can come at any point; the TLS
// sender's session source is one such script (a timed-out read, then an
// ended wait). Input: one control byte, then steps.
//   control % 5     0 messages, blocking; 1 messages, non-blocking;
//                   2 frames, blocking; 3 frames, non-blocking;
//                   4 frames, blocking, a lone field byte kept (TLS client)
//   step byte b     b % 8: 0 a chunk of (b >> 3) + 1 input bytes, 1 a chunk of
//                   ((b >> 3) + 1) * 2048 bytes, 2 a wait timeout, 3 a wait
//                   that is not ready, 4 a failed wait, 5 a read that would
//                   block, 6 a failed read, 7 the peer closes (for good)
// The caller pulls after every step, then until nothing whole is left. What
// is handed out must be exactly the complete frames of the bytes read, in
// order; no read may be offered room past the buffer or no room at all.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "core/detail/stream_frame.h"
#include "support/check.h"

namespace {

using tvx::net::Io;
using tvx::net::Wait;
using tvx::stream::Result;
using Bytes = std::vector<uint8_t>;

struct Step {
    enum Kind { chunk, timeout, not_ready, wait_error, again, failed, closed } kind;
    Bytes bytes;
};

std::deque<Step> parse_steps(const uint8_t* data, size_t size)
{
    std::deque<Step> steps;
    for (size_t at = 0; at < size;) {
        const uint8_t b = data[at++];
        switch (b % 8) {
        case 0:
        case 1: {
            const size_t want = b % 8 == 0 ? size_t(b >> 3) + 1 : (size_t(b >> 3) + 1) * 2048;
            const size_t take = want < size - at ? want : size - at;
            if (take) {
                steps.push_back({Step::chunk, Bytes(data + at, data + at + take)});
            }
            at += take;
            break;
        }
        default:
            steps.push_back({Step::Kind(b % 8 - 1), {}});
            break;
        }
    }
    return steps;
}

// wait() reports the next step; read() takes at most `room` bytes of the
// next chunk. With no steps left the peer is silent (timeouts); once it has
// closed, it stays closed.
class ScriptedPeer {
public:
    ScriptedPeer(std::deque<Step> steps, const uint8_t* buf, size_t capacity)
        : steps_(std::move(steps)), buf_(buf), capacity_(capacity)
    {
    }

    Wait wait()
    {
        if (closed_) {
            return Wait::ready;
        }
        if (steps_.empty()) {
            return Wait::timeout;
        }
        switch (steps_.front().kind) {
        case Step::timeout:
            steps_.pop_front();
            return Wait::timeout;
        case Step::not_ready:
            steps_.pop_front();
            return Wait::not_ready;
        case Step::wait_error:
            steps_.pop_front();
            return Wait::error;
        default:
            return Wait::ready;
        }
    }

    Io read(uint8_t* into, size_t room)
    {
        FUZZ_CHECK(room > 0);
        FUZZ_CHECK(into >= buf_ && size_t(into - buf_) + room <= capacity_);
        if (closed_) {
            return {Io::closed, 0, 0};
        }
        if (steps_.empty()) {
            return {Io::again, 0, 0};
        }
        Step& step = steps_.front();
        switch (step.kind) {
        case Step::chunk: {
            const size_t size = room < step.bytes.size() ? room : step.bytes.size();
            memcpy(into, step.bytes.data(), size);
            read_.insert(read_.end(), step.bytes.begin(), step.bytes.begin() + size);
            step.bytes.erase(step.bytes.begin(), step.bytes.begin() + size);
            if (step.bytes.empty()) {
                steps_.pop_front();
            }
            return {Io::data, size, 0};
        }
        case Step::again:
            steps_.pop_front();
            return {Io::again, 0, 0};
        case Step::failed:
            steps_.pop_front();
            return {Io::failed, 0, 5};
        case Step::closed:
            closed_ = true;
            return {Io::closed, 0, 0};
        default:
            // A wait step is taken by wait(); a read without a ready wait is a fault.
            FUZZ_CHECK(false);
            return {Io::failed, 0, 0};
        }
    }

    bool done() const { return closed_ || steps_.empty(); }
    const Bytes& read_bytes() const { return read_; }

private:
    std::deque<Step> steps_;
    const uint8_t* buf_;
    size_t capacity_;
    bool closed_ = false;
    Bytes read_;
};

// The complete frames in `stream`, each with its field when `with_field`.
std::vector<Bytes> frames_of(const Bytes& stream, bool with_field)
{
    std::vector<Bytes> frames;
    for (size_t at = 0; stream.size() - at >= 2;) {
        const size_t len = size_t(stream[at]) << 8 | stream[at + 1];
        if (stream.size() - at - 2 < len) {
            break;
        }
        frames.emplace_back(stream.begin() + at + (with_field ? 0 : 2), stream.begin() + at + 2 + len);
        at += 2 + len;
    }
    return frames;
}

enum class Mode { messages_blocking, messages_nonblocking, frames_blocking, frames_nonblocking, frames_keep_byte };

struct State {
    size_t held = 0;
    uint16_t dnslen = 0;
    uint8_t have_dnslen = 0;
    uint8_t have_message = 0;
};

template <class Next>
void run(ScriptedPeer& peer, const Bytes& buf, bool with_field, Next next)
{
    size_t handed_out = 0;
    auto pull = [&] {
        const Result got = next();
        if (got.kind != Result::message) {
            return false;
        }
        const std::vector<Bytes> expected = frames_of(peer.read_bytes(), with_field);
        FUZZ_CHECK(handed_out < expected.size());
        const Bytes& frame = expected[handed_out++];
        FUZZ_CHECK(got.len == frame.size());
        FUZZ_CHECK(frame.empty() || memcmp(buf.data(), frame.data(), frame.size()) == 0);
        return true;
    };
    while (!peer.done()) {
        pull();
    }
    // Nothing more arrives: whatever is whole comes out, then nothing.
    while (pull()) {
    }
    FUZZ_CHECK(handed_out == frames_of(peer.read_bytes(), with_field).size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return -1;
    }
    const auto mode = Mode(data[0] % 5);
    const bool frames = mode >= Mode::frames_blocking;
    // The senders' and the DNS client's buffer sizes, in exact heap blocks.
    Bytes buf(frames ? 64 * 1024 + 2 : 64 * 1024);
    ScriptedPeer peer(parse_steps(data + 1, size - 1), buf.data(), buf.size());
    State state;
    if (frames) {
        tvx::stream::FrameAssembly assembly{buf.data(), buf.size(), state.held, state.dnslen, state.have_dnslen,
                                            state.have_message};
        const bool nonblocking = mode == Mode::frames_nonblocking;
        const bool keep_lone_byte = mode == Mode::frames_keep_byte;
        run(peer, buf, true, [&] { return assembly.next(peer, nonblocking, keep_lone_byte); });
    } else {
        tvx::stream::MessageAssembly assembly{buf.data(), buf.size(), state.held, state.dnslen, state.have_dnslen};
        const bool blocking = mode == Mode::messages_blocking;
        run(peer, buf, false, [&] { return assembly.next(peer, blocking); });
    }
    return 0;
}
