// The in-place decoder in front of protobuf-c, on dnstap records: what it
// decodes must be what protobuf-c decodes, and every encoding it does not
// take exactly (malformed, unusual, or a field kind it leaves alone) must go
// to protobuf-c undecided, whatever protobuf-c then says.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/detail/protobuf_in_place.h"
#include "dnstap.pb-c.h"
#include "support/protobuf_compare.h"

namespace {

using Bytes = std::string;

Bytes varint(uint64_t value)
{
    Bytes out;
    while (value >= 0x80) {
        out += char(0x80 | (value & 0x7f));
        value >>= 7;
    }
    return out + char(value);
}

Bytes key(uint32_t number, uint32_t wire)
{
    return varint(uint64_t(number) << 3 | wire);
}

Bytes number(uint32_t field, uint64_t value)
{
    return key(field, 0) + varint(value);
}

Bytes delimited(uint32_t field, const Bytes& body)
{
    return key(field, 2) + varint(body.size()) + body;
}

Bytes fixed32(uint32_t field, uint32_t value)
{
    return key(field, 5) + Bytes{char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

const Bytes query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x07\x65xample\x00\x00\x01\x00\x01", 25);

// A client query as unbound logs it, fields in number order.
Bytes message_body()
{
    return number(1, 5) + number(2, 1) + number(3, 1) + delimited(4, Bytes("\x7f\x00\x00\x01", 4)) +
           delimited(5, Bytes("\x7f\x00\x00\x02", 4)) + number(6, 53000) + number(7, 53) +
           number(8, 1765400000) + fixed32(9, 123456789) + delimited(10, query);
}

Bytes record(const Bytes& message)
{
    return delimited(1, "resolver") + delimited(2, "unbound 1.22") + delimited(14, message) + number(15, 1);
}

enum class Library { accepts, refuses, either };

struct Case {
    const char* name;
    Bytes bytes;
    bool in_place;
    Library library;
};

TEST(ProtobufInPlace, AgreesWithProtobufC)
{
    const Bytes body = message_body();
    const Bytes eleven_bytes = key(6, 0) + Bytes(10, '\xff') + Bytes(1, '\x01');
    const Bytes ten_bytes = key(6, 0) + Bytes(9, '\xff') + Bytes(1, '\x01');
    const Case cases[] = {
        {"as unbound writes it", record(body), true, Library::accepts},
        {"fields out of order", number(15, 1) + delimited(14, delimited(10, query) + number(1, 6)), true,
         Library::accepts},
        {"unknown fields of every wire type",
         record(body + number(40, 7) + key(41, 1) + Bytes(8, 'x') + delimited(42, "zz") + fixed32(43, 9)) +
             number(63, 1) + number(1000, 2),
         true, Library::accepts},
        {"an empty bytes field", record(body + delimited(11, "")), true, Library::accepts},
        {"a field given twice: the last counts", record(body + number(6, 4242)), true, Library::accepts},
        {"a ten-byte varint, cut to 32 bits", record(body + ten_bytes), true, Library::accepts},
        {"an empty record", "", false, Library::refuses},
        {"no record type", delimited(14, body), false, Library::refuses},
        {"no message type", record(number(2, 1) + delimited(10, query)), false, Library::refuses},
        {"a port sent as fixed32", record(body + fixed32(6, 53)), false, Library::refuses},
        {"an eleven-byte varint", record(body + eleven_bytes), false, Library::refuses},
        {"bytes cut short", record(body).substr(0, 60), false, Library::refuses},
        {"a length past the end", record(body) + key(3, 2) + varint(500) + "abc", false, Library::refuses},
        {"a group", record(body) + key(20, 3) + key(20, 4), false, Library::either},
        {"field number 0", key(0, 0) + varint(1) + record(body), false, Library::either},
        {"a tag in six bytes", record(body) + Bytes("\x80\x80\x80\x80\x80\x01", 6) + varint(1), false,
         Library::either},
        {"the message given twice (protobuf-c merges)", record(body) + delimited(14, number(6, 1)), false,
         Library::either},
        {"a policy with a string (left to protobuf-c)", record(body + delimited(15, delimited(1, "rpz"))), false,
         Library::accepts},
    };
    const tvx::protobuf::Plan plan(dnstap__dnstap__descriptor);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto* data = reinterpret_cast<const uint8_t*>(c.bytes.data());
        const pbcompare::Outcome outcome = pbcompare::run(plan, dnstap__dnstap__descriptor, data, c.bytes.size());
        EXPECT_EQ(outcome.in_place, c.in_place);
        if (c.library != Library::either) {
            EXPECT_EQ(outcome.library, c.library == Library::accepts);
        }
        EXPECT_TRUE(outcome.agree()) << outcome.difference;
    }
}

TEST(ProtobufInPlace, BytesPointIntoTheInput)
{
    const Bytes bytes = record(message_body());
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const tvx::protobuf::Plan plan(dnstap__dnstap__descriptor);
    pbcompare::Blocks blocks;
    ProtobufCMessage* decoded = nullptr;
    ASSERT_EQ(tvx::protobuf::decode_in_place(plan, data, bytes.size(), blocks.allocator, decoded),
              tvx::protobuf::InPlace::decoded);
    const auto* tap = reinterpret_cast<const Dnstap__Dnstap*>(decoded);
    ASSERT_NE(tap->message, nullptr);
    const ProtobufCBinaryData& wire = tap->message->query_message;
    EXPECT_GE(wire.data, data);
    EXPECT_LE(wire.data + wire.len, data + bytes.size());
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(wire.data), wire.len), query);
    EXPECT_EQ(tap->message->query_port, 53000u);
    EXPECT_TRUE(tap->message->has_response_port);
}

}  // namespace
