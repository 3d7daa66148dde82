// The question an answer is paired by: header fields, the name folded to
// lower case, compression pointers followed, and malformed names refused.
#include <gtest/gtest.h>

#include <string>

#include "core/detail/dns_question.h"

namespace {

using Bytes = std::string;

Bytes header(uint16_t id, uint8_t flags_hi, uint8_t flags_lo, uint16_t qdcount)
{
    return Bytes{char(id >> 8), char(id), char(flags_hi), char(flags_lo), char(qdcount >> 8), char(qdcount), 0, 0,
                 0, 0, 0, 0};
}

const Bytes tail_a_in("\x00\x01\x00\x01", 4);

bool read(const Bytes& message, tvx::dns::Question& q)
{
    return tvx::dns::read_question(reinterpret_cast<const uint8_t*>(message.data()), message.size(), q);
}

TEST(DnsQuestion, ReadsHeaderAndFoldedName)
{
    tvx::dns::Question q;
    ASSERT_TRUE(read(header(0x1234, 0x81, 0x83, 1) + Bytes("\x03WwW\x04TeSt\x00", 10) + tail_a_in, q));
    EXPECT_EQ(q.id, 0x1234);
    EXPECT_EQ(q.qr, 1);
    EXPECT_EQ(q.rcode, 3);
    EXPECT_EQ(q.tc, 0);
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(q.name), q.name_len), Bytes("\x03www\x04test\x00", 10));
    EXPECT_EQ(q.qtype, 1);
    EXPECT_EQ(q.qclass, 1);
}

TEST(DnsQuestion, SameQuestionIgnoresCaseOnly)
{
    tvx::dns::Question a, b, c;
    ASSERT_TRUE(read(header(1, 0, 0, 1) + Bytes("\x01x\x04TEST\x00", 8) + tail_a_in, a));
    ASSERT_TRUE(read(header(1, 0x80, 0, 1) + Bytes("\x01X\x04test\x00", 8) + tail_a_in, b));
    ASSERT_TRUE(read(header(1, 0x80, 0, 1) + Bytes("\x01X\x04test\x00", 8) + Bytes("\x00\x1c\x00\x01", 4), c));
    EXPECT_TRUE(a.same_question(b));
    EXPECT_FALSE(a.same_question(c));  // AAAA, not A
}

TEST(DnsQuestion, FollowsAPointerAndResumesAfterIt)
{
    // At 12: "a" and a pointer to 20, where "b." lies behind the type and
    // class: the name reads a.b. and the type is the one after the pointer.
    Bytes body = Bytes("\x01" "a" "\xc0\x14", 4) + tail_a_in + Bytes("\x01" "b" "\x00", 3);
    tvx::dns::Question q;
    ASSERT_TRUE(read(header(9, 0, 0, 1) + body, q));
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(q.name), q.name_len), Bytes("\x01" "a" "\x01" "b" "\x00", 5));
    EXPECT_EQ(q.qtype, 1);
}

TEST(DnsQuestion, RefusesMalformedMessages)
{
    tvx::dns::Question q;
    const Bytes cases[] = {
        header(1, 0, 0, 1).substr(0, 11),                            // header cut
        header(1, 0, 0, 0) + tail_a_in,                              // no question
        header(1, 0, 0, 1) + Bytes("\x05" "ab", 3),                  // label past the end
        header(1, 0, 0, 1) + Bytes("\xc0\x0c", 2) + tail_a_in,       // pointer to itself: a loop
        header(1, 0, 0, 1) + Bytes("\x41" "a\x00", 3) + tail_a_in,   // reserved label kind
        header(1, 0, 0, 1) + Bytes("\x01" "a\x00", 3) + Bytes("\x00", 1),  // type cut
    };
    for (const Bytes& message : cases) {
        EXPECT_FALSE(read(message, q)) << message.size();
    }
    // A name of 255 octets (the root's included) is taken, one of 257 refused.
    Bytes longest;
    for (int i = 0; i < 3; i++) {
        longest += Bytes(1, char(63)) + Bytes(63, 'x');
    }
    longest += Bytes(1, char(61)) + Bytes(61, 'x');
    EXPECT_TRUE(read(header(1, 0, 0, 1) + longest + Bytes(1, '\0') + tail_a_in, q));
    EXPECT_EQ(q.name_len, 255);
    const Bytes too_long = longest.substr(0, 192) + Bytes(1, char(63)) + Bytes(63, 'x');
    EXPECT_FALSE(read(header(1, 0, 0, 1) + too_long + Bytes(1, '\0') + tail_a_in, q));
}

}  // namespace
