// Stream framing and reassembly against a scripted byte source: split fields,
// several frames per read, lone field bytes, closes and failures.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "core/detail/stream_frame.h"

namespace {

using tvx::net::Io;
using tvx::net::Wait;
using tvx::stream::Result;
using Bytes = std::string;

// One thing the peer does, in order.
struct Step {
    enum Kind { chunk, timeout, wait_error, not_ready, again, failed, closed } kind;
    Bytes bytes;
};

Step chunk(Bytes b) { return {Step::chunk, std::move(b)}; }
const Step timeout_step{Step::timeout, {}};
const Step again_step{Step::again, {}};
const Step closed_step{Step::closed, {}};

Bytes frame(const Bytes& message)
{
    uint8_t field[2];
    tvx::stream::put_length_field(field, message.size());
    return Bytes(reinterpret_cast<char*>(field), 2) + message;
}

// wait() reports whatever the next step is; read() takes at most `room` bytes
// of the next chunk and leaves the rest for the following read.
struct ScriptedSource {
    std::deque<Step> steps;
    int reads = 0;

    Wait wait()
    {
        if (steps.empty()) {
            return Wait::timeout;
        }
        switch (steps.front().kind) {
        case Step::timeout:
            steps.pop_front();
            return Wait::timeout;
        case Step::wait_error:
            steps.pop_front();
            return Wait::error;
        case Step::not_ready:
            steps.pop_front();
            return Wait::not_ready;
        default:
            return Wait::ready;
        }
    }

    Io read(uint8_t* into, size_t room)
    {
        reads++;
        if (steps.empty()) {
            return {Io::again, 0, 0};
        }
        Step& step = steps.front();
        switch (step.kind) {
        case Step::chunk: {
            const size_t size = std::min(room, step.bytes.size());
            memcpy(into, step.bytes.data(), size);
            step.bytes.erase(0, size);
            if (step.bytes.empty()) {
                steps.pop_front();
            }
            return {Io::data, size, 0};
        }
        case Step::again:
            steps.pop_front();
            return {Io::again, 0, 0};
        case Step::failed:
            steps.pop_front();
            return {Io::failed, 0, 5};
        case Step::closed:
            return {Io::closed, 0, 0};
        default:
            ADD_FAILURE() << "read without a ready wait";
            return {Io::failed, 0, 0};
        }
    }
};

struct Expect {
    Result::Kind kind;
    Bytes bytes;  // message: what the buffer's start must hold
    int reads;    // reads made so far, -1: not checked
};

Expect message(Bytes b, int reads = -1) { return {Result::message, std::move(b), reads}; }
const Expect empty{Result::empty, {}, -1};
const Expect end{Result::end, {}, -1};
const Expect error{Result::error, {}, -1};

struct Case {
    const char* name;
    bool blocking;
    std::vector<Step> steps;
    std::vector<Expect> expect;
};

struct Record {
    std::vector<uint8_t> buf = std::vector<uint8_t>(65538);
    size_t held = 0;
    uint16_t dnslen = 0;
    uint8_t have_dnslen = 0;
    uint8_t have_message = 0;
};

const Bytes big(65535, 'x');

// Messages without their field: the query senders' view.
const Case message_cases[] = {
    {"one frame", false, {chunk(frame("abc"))}, {message("abc", 2), empty}},
    {"two frames in one segment, second from the buffer", false, {chunk(frame("abc") + frame("hello"))},
     {message("abc", 2), message("hello", 2), empty}},
    {"second frame ends exactly at the data's end", true, {chunk(frame("abc") + frame("de"))},
     {message("abc"), message("de", 2)}},
    {"field and body in three segments", false,
     {chunk(Bytes("\0", 1)), timeout_step, chunk(Bytes("\x03""a", 2)), timeout_step, chunk("bc")},
     {empty, empty, message("abc")}},
    {"lone field byte kept across a non-blocking call", false,
     {chunk(Bytes("\0", 1)), timeout_step, chunk("\x02xy")}, {empty, message("xy")}},
    {"lone field byte at a blocking timeout", true, {chunk(Bytes("\0", 1)), timeout_step}, {error}},
    {"field byte left over behind a message", false,
     {chunk(frame("abc") + Bytes("\0", 1)), timeout_step, chunk("\x01z")}, {message("abc"), empty, message("z")}},
    {"two field bytes left over", false, {chunk(frame("abc") + Bytes("\0\x02", 2)), timeout_step, chunk("hi")},
     {message("abc"), empty, message("hi")}},
    {"body stalls: empty, then the rest", true, {chunk(frame("hello").substr(0, 4)), timeout_step, chunk("llo")},
     {empty, message("hello")}},
    {"zero-length message", false, {chunk(Bytes("\0\0", 2) + frame("a"))}, {message(""), message("a")}},
    {"largest message", true, {chunk(frame(big))}, {message(big)}},
    {"nothing there", false, {}, {empty}},
    {"closed before a field", true, {closed_step}, {end}},
    {"closed inside a body", true, {chunk(frame("abc").substr(0, 3)), closed_step}, {end}},
    {"read failure", true, {{Step::failed, {}}}, {error}},
    {"wait failure", true, {{Step::wait_error, {}}}, {error}},
    {"would block during the field is retried", true, {again_step, chunk(frame("ab"))}, {message("ab")}},
    {"would block during the body returns empty", false, {chunk(frame("abc").substr(0, 3)), again_step, chunk("bc")},
     {empty, message("abc")}},
};

class MessageAssemblyTest : public ::testing::TestWithParam<Case> {};

TEST_P(MessageAssemblyTest, HandsOutMessages)
{
    const Case& c = GetParam();
    ScriptedSource source{{c.steps.begin(), c.steps.end()}};
    Record r;
    tvx::stream::MessageAssembly assembly{r.buf.data(), 65536, r.held, r.dnslen, r.have_dnslen};
    for (size_t i = 0; i < c.expect.size(); i++) {
        const Expect& want = c.expect[i];
        const Result got = assembly.next(source, c.blocking);
        ASSERT_EQ(got.kind, want.kind) << c.name << ", call " << i;
        if (want.kind == Result::message) {
            ASSERT_EQ(Bytes(reinterpret_cast<char*>(r.buf.data()), got.len), want.bytes) << c.name << ", call " << i;
        }
        if (want.reads >= 0) {
            EXPECT_EQ(source.reads, want.reads) << c.name << ", call " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MessageAssemblyTest, ::testing::ValuesIn(message_cases));

// Whole frames with their field: the DNS client's view (non-blocking flag).
const Case frame_cases[] = {
    {"one frame", true, {chunk(frame("abc"))}, {message(frame("abc"), 1)}},
    {"two frames in one read", true, {chunk(frame("abc") + frame("hello"))},
     {message(frame("abc"), 1), message(frame("hello"), 1)}},
    {"field, then body in two reads", true, {chunk(Bytes("\0\x03", 2)), chunk("a"), chunk("bc")},
     {message(frame("abc"), 3)}},
    {"non-blocking: incomplete reads return empty", false, {chunk(Bytes("\0\x03", 2)), chunk("a"), chunk("bc")},
     {empty, empty, message(frame("abc"))}},
    {"non-blocking: lone field byte kept", false, {chunk(Bytes("\0", 1)), timeout_step, chunk("\x01z")},
     {empty, empty, message(frame("z"))}},
    {"blocking: lone field byte at a timeout", true, {chunk(Bytes("\0", 1)), timeout_step}, {error}},
    {"blocking: timeout with nothing held", true, {timeout_step}, {empty}},
    {"not readable", true, {{Step::not_ready, {}}}, {error}},
    {"would block, blocking: read again", true, {again_step, chunk(frame("q"))}, {message(frame("q"))}},
    {"would block, non-blocking: empty", false, {again_step, chunk(frame("q"))}, {empty, message(frame("q"))}},
    {"largest frame", true, {chunk(frame(big) + frame("n"))}, {message(frame(big)), message(frame("n"))}},
    {"closed", true, {chunk(frame("ab").substr(0, 3)), closed_step}, {end}},
    {"read failure", true, {{Step::failed, {}}}, {error}},
};

class FrameAssemblyTest : public ::testing::TestWithParam<Case> {};

TEST_P(FrameAssemblyTest, HandsOutFrames)
{
    const Case& c = GetParam();
    ScriptedSource source{{c.steps.begin(), c.steps.end()}};
    Record r;
    tvx::stream::FrameAssembly assembly{r.buf.data(), r.buf.size(), r.held, r.dnslen, r.have_dnslen, r.have_message};
    for (size_t i = 0; i < c.expect.size(); i++) {
        const Expect& want = c.expect[i];
        const Result got = assembly.next(source, !c.blocking);
        ASSERT_EQ(got.kind, want.kind) << c.name << ", call " << i;
        if (want.kind == Result::message) {
            ASSERT_EQ(Bytes(reinterpret_cast<char*>(r.buf.data()), got.len), want.bytes) << c.name << ", call " << i;
        }
        if (want.reads >= 0) {
            EXPECT_EQ(source.reads, want.reads) << c.name << ", call " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameAssemblyTest, ::testing::ValuesIn(frame_cases));

// A TLS record timeout between the two bytes of a field: the byte stays,
// even for a blocking caller, and the frame comes whole later.
TEST(FrameAssembly, KeepsALoneByteWhenAsked)
{
    ScriptedSource source{{chunk(Bytes("\0", 1)), timeout_step, chunk("\x02xy")}};
    Record r;
    tvx::stream::FrameAssembly assembly{r.buf.data(), r.buf.size(), r.held, r.dnslen, r.have_dnslen, r.have_message};
    EXPECT_EQ(assembly.next(source, false, true).kind, Result::empty);
    EXPECT_EQ(r.held, 1u);
    const Result got = assembly.next(source, false, true);
    ASSERT_EQ(got.kind, Result::message);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(r.buf.data()), got.len), frame("xy"));
}

// What the DNS client's readiness check asks: is a whole frame waiting
// behind the one handed out, so that the next call needs no read?
TEST(FrameAssembly, TellsWhetherAWholeFrameWaits)
{
    struct ReadyCase {
        const char* name;
        Bytes read;
        bool after_first, after_second;
    } cases[] = {
        {"one frame: nothing behind it", frame("abc"), false, false},
        {"two frames: the second waits", frame("abc") + frame("de"), true, false},
        {"a frame begun behind it", frame("abc") + frame("de").substr(0, 3), false, false},
        {"a lone field byte behind it", frame("abc") + Bytes("\0", 1), false, false},
        {"three frames", frame("a") + frame("b") + frame("c"), true, true},
    };
    for (const ReadyCase& c : cases) {
        ScriptedSource source{{chunk(c.read), timeout_step, timeout_step}};
        Record r;
        tvx::stream::FrameAssembly assembly{r.buf.data(), r.buf.size(), r.held, r.dnslen, r.have_dnslen,
                                            r.have_message};
        EXPECT_FALSE(assembly.frame_ready()) << c.name << ": before any read";
        ASSERT_EQ(assembly.next(source, false).kind, Result::message) << c.name;
        EXPECT_EQ(assembly.frame_ready(), c.after_first) << c.name;
        if (c.after_first) {
            ASSERT_EQ(assembly.next(source, false).kind, Result::message) << c.name;
            EXPECT_EQ(assembly.frame_ready(), c.after_second) << c.name;
        }
    }
}

TEST(LengthField, LowSixteenBitsMostSignificantFirst)
{
    struct {
        size_t len;
        uint8_t hi, lo;
    } cases[] = {{0, 0, 0}, {29, 0x00, 0x1d}, {0x1234, 0x12, 0x34}, {65535, 0xff, 0xff}, {65536 + 7, 0, 7}};
    for (const auto& c : cases) {
        uint8_t field[2];
        tvx::stream::put_length_field(field, c.len);
        EXPECT_EQ(field[0], c.hi) << c.len;
        EXPECT_EQ(field[1], c.lo) << c.len;
        EXPECT_EQ(tvx::stream::read_length_field(field), c.len & 0xffff) << c.len;
    }
}

}  // namespace
