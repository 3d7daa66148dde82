#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/object/dns.h"
#include "support/capture_stderr.h"
#include "support/dns_message.h"

namespace {

constexpr int OK = 0;
constexpr int SHORT = -2;
constexpr int NO_LABELS = -3;
const std::string need_more_labels = "core.object.dns warning: need more labels, aborting DNS parsing\n";

struct WarningsOn : ::testing::Test {
    void SetUp() override { core_object_dns_log()->settings.warning = CORE_LOG_ON; }
    void TearDown() override { core_object_dns_log()->settings.warning = CORE_LOG_UNSET; }
};

// The header of every case below unless it says otherwise.
Wire header(uint16_t qd, uint16_t an = 0, uint16_t ns = 0, uint16_t ar = 0)
{
    return Wire().header(0xBEEF, 0x8180, qd, an, ns, ar);
}

// ---------------------------------------------------------------- header

// Each header value and the byte offset (after any length prefix) its read ends at.
struct HeaderField {
    const char* name;
    uint8_t core_object_dns_t::*have;
    size_t end;
};
const HeaderField header_fields[] = {
    {"id", &core_object_dns_t::have_id, 2},           {"qr", &core_object_dns_t::have_qr, 3},
    {"opcode", &core_object_dns_t::have_opcode, 3},   {"aa", &core_object_dns_t::have_aa, 3},
    {"tc", &core_object_dns_t::have_tc, 3},           {"rd", &core_object_dns_t::have_rd, 3},
    {"ra", &core_object_dns_t::have_ra, 4},           {"z", &core_object_dns_t::have_z, 4},
    {"ad", &core_object_dns_t::have_ad, 4},           {"cd", &core_object_dns_t::have_cd, 4},
    {"rcode", &core_object_dns_t::have_rcode, 4},     {"qdcount", &core_object_dns_t::have_qdcount, 6},
    {"ancount", &core_object_dns_t::have_ancount, 8}, {"nscount", &core_object_dns_t::have_nscount, 10},
    {"arcount", &core_object_dns_t::have_arcount, 12},
};

TEST(DnsHeader, CutAtEveryByte)
{
    const Bytes full = Wire().header(0xBEEF, 0xFFFF, 1, 2, 3, 4).bytes;
    for (bool dnslen : {false, true}) {
        const size_t prefix = dnslen ? 2 : 0;
        Bytes whole = dnslen ? Wire().u16(12).raw(full).bytes : full;
        for (size_t cut = 0; cut <= whole.size(); cut++) {
            SCOPED_TRACE("dnslen " + std::to_string(dnslen) + " cut " + std::to_string(cut));
            Message m(Bytes(whole.begin(), whole.begin() + cut), dnslen);
            core_object_dns_t* dns = m.dns();
            EXPECT_EQ(core_object_dns_parse_header(dns), cut == whole.size() ? OK : SHORT);
            EXPECT_EQ(dns->have_dnslen, dnslen && cut >= 2);
            EXPECT_EQ(dns->dnslen, dnslen && cut >= 2 ? 12 : 0);
            for (const auto& field : header_fields) {
                EXPECT_EQ(dns->*field.have, cut >= prefix + field.end) << field.name;
            }
            EXPECT_EQ(dns->id, cut >= prefix + 2 ? 0xBEEF : 0);
            EXPECT_EQ(dns->opcode, cut >= prefix + 3 ? 15 : 0);
            EXPECT_EQ(dns->rcode, cut >= prefix + 4 ? 15 : 0);
            EXPECT_EQ(dns->qdcount, cut >= prefix + 6 ? 1 : 0);
            EXPECT_EQ(dns->ancount, cut >= prefix + 8 ? 2 : 0);
            EXPECT_EQ(dns->nscount, cut >= prefix + 10 ? 3 : 0);
            EXPECT_EQ(dns->arcount, cut >= prefix + 12 ? 4 : 0);
            EXPECT_EQ(dns->len, cut);
            EXPECT_EQ(dns->payload, m.bytes());
        }
    }
}

TEST(DnsHeader, FlagBits)
{
    struct Case {
        uint8_t byte2, byte3;
        int qr, opcode, aa, tc, rd, ra, z, ad, cd, rcode;
    };
    const Case cases[] = {
        {0x00, 0x7F, 0, 0, 0, 0, 0, 0, 1, 1, 1, 15},
        {0x81, 0x80, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0},
        {0x84, 0x00, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0},
        {0x78, 0x00, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0},
        {0x2A, 0x93, 0, 5, 0, 1, 0, 1, 0, 0, 1, 3},
        {0xFF, 0xFF, 1, 15, 1, 1, 1, 1, 1, 1, 1, 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.byte2) + " " + std::to_string(c.byte3));
        Message m(Wire().u16(7).u8(c.byte2).u8(c.byte3).zeros(8).bytes);
        core_object_dns_t* dns = m.dns();
        ASSERT_EQ(core_object_dns_parse_header(dns), OK);
        EXPECT_EQ(dns->qr, c.qr);
        EXPECT_EQ(dns->opcode, c.opcode);
        EXPECT_EQ(dns->aa, c.aa);
        EXPECT_EQ(dns->tc, c.tc);
        EXPECT_EQ(dns->rd, c.rd);
        EXPECT_EQ(dns->ra, c.ra);
        EXPECT_EQ(dns->z, c.z);
        EXPECT_EQ(dns->ad, c.ad);
        EXPECT_EQ(dns->cd, c.cd);
        EXPECT_EQ(dns->rcode, c.rcode);
    }
}

TEST(DnsHeader, LengthPrefixIsReadNotCompared)
{
    Message m(Wire().u16(999).raw(header(0).bytes).bytes, true);
    ASSERT_EQ(core_object_dns_parse_header(m.dns()), OK);
    EXPECT_EQ(m.dns()->dnslen, 999);
    EXPECT_EQ(m.dns()->len, 14u);
    EXPECT_EQ(m.cursor(), 14u);
}

TEST(DnsHeader, EmptyPayloadIsShortNotFatal)
{
    uint8_t byte = 0;
    for (const uint8_t* bytes : {static_cast<const uint8_t*>(nullptr), static_cast<const uint8_t*>(&byte)}) {
        Message m({});
        m.payload()->payload = bytes;
        EXPECT_EQ(core_object_dns_parse_header(m.dns()), SHORT);
        EXPECT_EQ(m.dns()->have_id, 0);
        EXPECT_EQ(m.dns()->len, 0u);
    }
}

TEST(DnsHeader, NewParseRestartsAtTheFirstByte)
{
    Message m(header(1).name("a.b").u16(1).u16(1).bytes);
    core_object_dns_t* dns = m.dns();
    core_object_dns_label_t labels[8];
    core_object_dns_q_t q;
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(core_object_dns_parse_header(dns), OK);
        EXPECT_EQ(m.cursor(), 12u);
        ASSERT_EQ(core_object_dns_parse_q(dns, &q, labels, 8), OK);
        EXPECT_EQ(dns->left, 0u);
    }
}

// ---------------------------------------------------------------- names

struct Label {
    uint8_t is_end, have_length, have_offset, have_extension_bits, have_dn, extension_bits, length;
    uint16_t offset;
};
Label ordinary(uint8_t length, uint16_t offset) { return {0, 1, 0, 0, 1, 0, length, offset}; }
Label cut_ordinary(uint8_t length, uint16_t offset) { return {0, 1, 0, 0, 0, 0, length, offset}; }
Label pointer(uint8_t first, uint16_t offset) { return {0, 0, 1, 0, 0, 0, first, offset}; }
Label cut_pointer(uint8_t first) { return {0, 0, 0, 0, 0, 0, first, 0}; }
Label extension(uint8_t byte) { return {0, 0, 0, 1, 0, static_cast<uint8_t>(byte >> 6), byte, 0}; }
Label root() { return {1, 0, 0, 0, 0, 0, 0, 0}; }
Label cleared() { return {}; }

void expect_label(const core_object_dns_label_t& got, const Label& want, size_t index)
{
    SCOPED_TRACE("label " + std::to_string(index));
    EXPECT_EQ(got.is_end, want.is_end);
    EXPECT_EQ(got.have_length, want.have_length);
    EXPECT_EQ(got.have_offset, want.have_offset);
    EXPECT_EQ(got.have_extension_bits, want.have_extension_bits);
    EXPECT_EQ(got.have_dn, want.have_dn);
    EXPECT_EQ(got.extension_bits, want.extension_bits);
    EXPECT_EQ(got.length, want.length);
    EXPECT_EQ(got.offset, want.offset);
}

// A label array whose unused records hold a pattern, to see what was written.
struct LabelArray {
    std::vector<core_object_dns_label_t> records;
    explicit LabelArray(size_t count) : records(count)
    {
        memset(records.data(), 0xA5, count * sizeof(core_object_dns_label_t));
    }
    core_object_dns_label_t* data() { return records.data(); }
    bool untouched(size_t index) const
    {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&records[index]);
        for (size_t i = 0; i < sizeof(core_object_dns_label_t); i++) {
            if (bytes[i] != 0xA5) {
                return false;
            }
        }
        return true;
    }
};

struct QuestionCase {
    const char* what;
    Bytes question;  // everything after the 12-byte header
    bool dnslen;
    size_t labels;
    int ret;
    size_t used;
    std::vector<Label> expect;
    int type;   // -1: not read
    int klass;  // -1: not read
};

const QuestionCase question_cases[] = {
    {"three labels and the root", Wire().name("www.example.com").u16(1).u16(1).bytes, false, 4, OK, 4,
     {ordinary(3, 12), ordinary(7, 16), ordinary(3, 24), root()}, 1, 1},
    {"three labels, three records", Wire().name("www.example.com").u16(1).u16(1).bytes, false, 3, NO_LABELS, 3,
     {ordinary(3, 12), ordinary(7, 16), ordinary(3, 24)}, -1, -1},
    {"offsets with the length prefix", Wire().name("www.example.com").u16(1).u16(1).bytes, true, 4, OK, 4,
     {ordinary(3, 14), ordinary(7, 18), ordinary(3, 26), root()}, 1, 1},
    {"label then pointer", Wire().u8(3).text("www").raw({0xC0, 0x0C}).u16(28).u16(1).bytes, false, 4, OK, 2,
     {ordinary(3, 12), pointer(0xC0, 12)}, 28, 1},
    {"label then pointer, length prefix", Wire().u8(3).text("www").raw({0xC0, 0x0C}).u16(28).u16(1).bytes, true, 4,
     OK, 2, {ordinary(3, 14), pointer(0xC0, 12)}, 28, 1},
    {"pointer uses all 14 bits", Wire().raw({0xFF, 0xFF}).u16(1).u16(3).bytes, false, 1, OK, 1,
     {pointer(0xFF, 0x3FFF)}, 1, 3},
    {"extension bits 01", Wire().u8(0x41).u16(28).u16(1).bytes, false, 2, OK, 1, {extension(0x41)}, 28, 1},
    {"extension bits 10", Wire().u8(0xBF).u16(2).u16(1).bytes, false, 2, OK, 1, {extension(0xBF)}, 2, 1},
    {"root name", Wire().u8(0).u16(2).u16(1).bytes, false, 1, OK, 1, {root()}, 2, 1},
    {"63-byte label", Wire().u8(63).zeros(63).u8(0).u16(1).u16(1).bytes, false, 2, OK, 2,
     {ordinary(63, 12), root()}, 1, 1},
    {"pointer's first byte last", Wire().u8(3).text("www").u8(0xC0).bytes, false, 4, SHORT, 1,
     {ordinary(3, 12), cut_pointer(0xC0)}, -1, -1},
    {"label text past the end", Wire().u8(3).text("www").u8(7).text("exa").bytes, false, 4, SHORT, 1,
     {ordinary(3, 12), cut_ordinary(7, 16)}, -1, -1},
    {"name ends with the payload", Wire().u8(3).text("www").bytes, false, 4, SHORT, 1,
     {ordinary(3, 12), cleared()}, -1, -1},
    {"no name at all", Bytes{}, false, 4, SHORT, 0, {cleared()}, -1, -1},
    {"type cut", Wire().u8(0).u8(0).bytes, false, 2, SHORT, 1, {root()}, -1, -1},
    {"class cut", Wire().u8(0).u16(6).u8(0).bytes, false, 2, SHORT, 1, {root()}, 6, -1},
    {"pointer to itself", Wire().raw({0xC0, 0x0C}).u16(1).u16(1).bytes, false, 4, OK, 1, {pointer(0xC0, 12)}, 1,
     1},
    {"one record, one label", Wire().name("a").u16(1).u16(1).bytes, false, 1, NO_LABELS, 1, {ordinary(1, 12)}, -1,
     -1},
};

class DnsQuestion : public WarningsOn {};

TEST_F(DnsQuestion, Names)
{
    for (const auto& c : question_cases) {
        SCOPED_TRACE(c.what);
        Wire wire;
        if (c.dnslen) {
            wire.u16(static_cast<uint16_t>(12 + c.question.size()));
        }
        Message m(wire.raw(header(1).bytes).raw(c.question).bytes, c.dnslen);
        ASSERT_EQ(core_object_dns_parse_header(m.dns()), OK);
        LabelArray labels(c.labels + 1);
        core_object_dns_q_t q;
        memset(&q, 0xA5, sizeof(q));
        CaptureStderr capture;
        EXPECT_EQ(core_object_dns_parse_q(m.dns(), &q, labels.data(), c.labels), c.ret);
        EXPECT_EQ(capture.text(), c.ret == NO_LABELS ? need_more_labels : "");
        EXPECT_EQ(q.labels, c.used);
        for (size_t i = 0; i < c.expect.size(); i++) {
            expect_label(labels.records[i], c.expect[i], i);
        }
        for (size_t i = c.expect.size(); i <= c.labels; i++) {
            EXPECT_TRUE(labels.untouched(i)) << "record " << i << " written";
        }
        EXPECT_EQ(q.have_type, c.type >= 0);
        EXPECT_EQ(q.type, c.type >= 0 ? c.type : 0);
        EXPECT_EQ(q.have_class, c.klass >= 0);
        EXPECT_EQ(q.class_, c.klass >= 0 ? c.klass : 0);
        if (c.ret == OK) {
            EXPECT_EQ(m.dns()->left, 0u);
        }
    }
}

TEST_F(DnsQuestion, RetryWithMoreLabels)
{
    Message m(header(1).name("a.b.c.d.e.f.g.h").u16(1).u16(1).bytes);
    core_object_dns_label_t labels[16];
    core_object_dns_q_t q;
    ASSERT_EQ(core_object_dns_parse_header(m.dns()), OK);
    {
        CaptureStderr capture;
        EXPECT_EQ(core_object_dns_parse_q(m.dns(), &q, labels, 4), NO_LABELS);
        EXPECT_EQ(capture.text(), need_more_labels);
    }
    ASSERT_EQ(core_object_dns_parse_header(m.dns()), OK);
    EXPECT_EQ(core_object_dns_parse_q(m.dns(), &q, labels, 16), OK);
    EXPECT_EQ(q.labels, 9u);
    EXPECT_EQ(q.type, 1);
}

TEST_F(DnsQuestion, CallsContinueWhereThePreviousStopped)
{
    Message m(header(3).name("one").u16(1).u16(1).raw({0xC0, 0x0C}).u16(28).u16(1).name("three.x").u16(16).u16(3)
                  .bytes);
    core_object_dns_label_t labels[4];
    core_object_dns_q_t q;
    ASSERT_EQ(core_object_dns_parse_header(m.dns()), OK);
    const struct {
        uint16_t type, klass;
        size_t used;
        uint16_t first_offset;
    } expected[] = {{1, 1, 2, 12}, {28, 1, 1, 12}, {16, 3, 3, 27}};
    for (const auto& e : expected) {
        ASSERT_EQ(core_object_dns_parse_q(m.dns(), &q, labels, 4), OK);
        EXPECT_EQ(q.type, e.type);
        EXPECT_EQ(q.class_, e.klass);
        EXPECT_EQ(q.labels, e.used);
        EXPECT_EQ(labels[0].offset, e.first_offset);
    }
    EXPECT_EQ(m.dns()->left, 0u);
    EXPECT_EQ(core_object_dns_parse_q(m.dns(), &q, labels, 4), SHORT);
}

// ---------------------------------------------------------------- records

struct RecordCase {
    const char* what;
    Bytes record;  // everything after the 12-byte header
    size_t labels;
    int ret;
    int type;  // -1: not read
    size_t owner_labels;
    size_t rdata_offset;
    size_t rdata_labels;
    size_t padding_offset;
    size_t padding_length;
    bool have_rdata;
    long cursor;  // expected cursor after the call; -1: the end of the message
};

const Bytes compressed_owner = {0xC0, 0x0C};
const Bytes root_owner = {0};

Bytes soa_rdata()
{
    return Wire().name("ns1.example.com").name("hostmaster.example.com").u32(2024).u32(7200).u32(3600)
        .u32(1209600).u32(300).bytes;
}

const RecordCase record_cases[] = {
    {"A", Wire().rr(compressed_owner, 1, 1, 300, {192, 0, 2, 1}).bytes, 8, OK, 1, 1, 24, 0, 0, 0, true, -1},
    {"AAAA", Wire().rr(compressed_owner, 28, 1, 300, Bytes(16, 1)).bytes, 8, OK, 28, 1, 24, 0, 0, 0, true, -1},
    {"SOA", Wire().rr(compressed_owner, 6, 1, 300, soa_rdata()).bytes, 16, OK, 6, 1, 24, 8, 24 + 17 + 24, 20,
     true, -1},
    {"CNAME", Wire().rr(compressed_owner, 5, 1, 60, Wire().u8(3).text("www").raw({0xC0, 0x0C}).bytes).bytes, 8,
     OK, 5, 1, 24, 2, 0, 0, true, -1},
    {"MX", Wire().rr(compressed_owner, 15, 1, 60, Wire().u16(10).name("mail.example.com").bytes).bytes, 8, OK, 15,
     1, 24, 4, 0, 0, true, -1},
    {"MX exchange past rdlength", Wire().rr(compressed_owner, 15, 1, 60, Wire().u16(10).name("mail").bytes, 5)
         .zeros(4).bytes, 8, SHORT, 15, 1, 24, 2, 0, 0, false, 24 + 8},
    {"MX cut inside its preference", Wire().rr(compressed_owner, 15, 1, 60, {0}, 3).bytes, 8, SHORT, 15, 1, 24, 1,
     25, 2, false, 25},
    {"SRV", Wire().rr(compressed_owner, 33, 1, 60, Wire().u16(0).u16(5).u16(5060).u8(3).text("sip").raw({0xC0, 0x0C})
         .bytes).bytes, 8, OK, 33, 1, 24, 2, 0, 0, true, -1},
    {"NAPTR", Wire().rr(compressed_owner, 35, 1, 60, Wire().u16(100).u16(10).u8(1).text("U").u8(7).text("E2U+sip")
         .u8(0).name("sip.example.com").bytes).bytes, 8, OK, 35, 1, 24, 4, 0, 0, true, -1},
    {"NAPTR cut inside its strings", Wire().rr(compressed_owner, 35, 1, 60, Wire().u16(100).u16(10).u8(1).text("U")
         .u8(7).text("E2").bytes, 16).bytes, 8, SHORT, 35, 1, 24, 0, 0, 0, false, 24 + 7},
    {"HIP without rendezvous servers", Wire().rr(compressed_owner, 55, 1, 60, Wire().u8(4).u8(2).u16(3).zeros(7)
         .bytes).bytes, 8, OK, 55, 1, 24, 0, 0, 0, true, -1},
    {"HIP with two rendezvous servers", Wire().rr(compressed_owner, 55, 1, 60, Wire().u8(4).u8(2).u16(3).zeros(7)
         .name("rvs").raw({0xC0, 0x0C}).bytes).bytes, 8, OK, 55, 1, 24, 3, 0, 0, true, -1},
    {"HIP key past rdata", Wire().rr(compressed_owner, 55, 1, 60, Wire().u8(4).u8(2).u16(3).zeros(7).bytes, 9)
         .zeros(2).bytes, 8, SHORT, 55, 1, 24, 0, 0, 0, false, 24 + 11},
    {"HIP prefix cut by the payload", Wire().rr(compressed_owner, 55, 1, 60, {4, 2}, 11).bytes, 8, SHORT, 55, 1, 24,
     0, 0, 0, false, 26},
    {"RRSIG", Wire().rr(compressed_owner, 46, 1, 60, Wire().zeros(18).name("example.com").zeros(16).bytes).bytes, 8,
     OK, 46, 1, 24, 3, 24 + 18 + 13, 16, true, -1},
    {"OPT is opaque", Wire().rr(root_owner, 41, 1232, 0, Wire().u16(10).u16(8).raw({3, 'w', 'w', 'w', 0}).zeros(3)
         .bytes).bytes, 8, OK, 41, 1, 23, 0, 0, 0, true, -1},
    {"CAA is opaque", Wire().rr(compressed_owner, 257, 1, 60, Wire().u8(0).u8(5).text("issue").text("ca.example")
         .bytes).bytes, 8, OK, 257, 1, 24, 0, 0, 0, true, -1},
    {"opaque rdata longer than the rest", Wire().rr(compressed_owner, 16, 1, 60, {5, 'h', 'e'}, 6).bytes, 8, SHORT,
     16, 1, 24, 0, 0, 0, false, 24},
    {"CNAME past the payload", Wire().rr(compressed_owner, 5, 1, 60, {3, 'w', 'w', 'w'}, 10).bytes, 8, SHORT, 5, 1,
     24, 1, 0, 0, false, 28},
    {"SOA timers cut", Wire().rr(compressed_owner, 6, 1, 60, Wire().name("a").name("b").zeros(10).bytes, 26).bytes,
     8, SHORT, 6, 1, 24, 4, 30, 20, false, 30},
    {"owner fills the array", Wire().rr(name_bytes("www"), 2, 1, 60, name_bytes("ns")).bytes, 2, NO_LABELS, 2, 2, 27,
     0, 0, 0, false, 27},
    {"rdata name fills the array", Wire().rr(compressed_owner, 2, 1, 60, name_bytes("ns1.example.com")).bytes, 3,
     NO_LABELS, 2, 1, 24, 2, 0, 0, false, 24 + 12},
    {"type cut", Wire().raw(compressed_owner).u8(0).bytes, 4, SHORT, -1, 1, 0, 0, 0, 0, false, 14},
    {"ttl cut", Wire().raw(compressed_owner).u16(1).u16(1).u16(0).bytes, 4, SHORT, 1, 1, 0, 0, 0, 0, false, 18},
    {"rdlength cut", Wire().raw(compressed_owner).u16(1).u16(1).u32(0).u8(0).bytes, 4, SHORT, 1, 1, 0, 0, 0, 0,
     false, 22},
};

class DnsRecord : public WarningsOn {};

TEST_F(DnsRecord, Rdata)
{
    for (const auto& c : record_cases) {
        SCOPED_TRACE(c.what);
        Message m(header(0, 1).raw(c.record).bytes);
        ASSERT_EQ(core_object_dns_parse_header(m.dns()), OK);
        LabelArray labels(c.labels + 1);
        core_object_dns_rr_t rr;
        memset(&rr, 0xA5, sizeof(rr));
        CaptureStderr capture;
        EXPECT_EQ(core_object_dns_parse_rr(m.dns(), &rr, labels.data(), c.labels), c.ret);
        EXPECT_EQ(capture.text(), c.ret == NO_LABELS ? need_more_labels : "");
        EXPECT_EQ(rr.have_type, c.type >= 0);
        EXPECT_EQ(rr.type, c.type >= 0 ? c.type : 0);
        EXPECT_EQ(rr.labels, c.owner_labels);
        EXPECT_EQ(rr.rdata_offset, c.rdata_offset);
        EXPECT_EQ(rr.rdata_labels, c.rdata_labels);
        EXPECT_EQ(rr.have_rdata_labels, c.rdata_labels != 0);
        EXPECT_EQ(rr.padding_offset, c.padding_offset);
        EXPECT_EQ(rr.padding_length, c.padding_length);
        EXPECT_EQ(rr.have_padding, c.padding_length != 0);
        EXPECT_EQ(rr.have_rdata, c.have_rdata);
        EXPECT_EQ(m.cursor(), c.cursor < 0 ? m.size() : static_cast<size_t>(c.cursor));
        EXPECT_TRUE(labels.untouched(c.labels)) << "wrote past the array";
    }
}

TEST_F(DnsRecord, FixedFields)
{
    Message m(header(0, 1).rr(compressed_owner, 28, 3, 0xDEADBEEF, Bytes(16, 0)).bytes);
    ASSERT_EQ(core_object_dns_parse_header(m.dns()), OK);
    core_object_dns_label_t labels[2];
    core_object_dns_rr_t rr;
    ASSERT_EQ(core_object_dns_parse_rr(m.dns(), &rr, labels, 2), OK);
    EXPECT_EQ(rr.type, 28);
    EXPECT_EQ(rr.class_, 3);
    EXPECT_EQ(rr.ttl, 0xDEADBEEFu);
    EXPECT_EQ(rr.rdlength, 16);
    EXPECT_TRUE(rr.have_type && rr.have_class && rr.have_ttl && rr.have_rdlength && rr.have_rdata);
}

TEST_F(DnsRecord, SoaNamesAndSerial)
{
    Message m(header(0, 1).rr(root_owner, 6, 1, 60, soa_rdata()).bytes);
    ASSERT_EQ(core_object_dns_parse_header(m.dns()), OK);
    core_object_dns_label_t labels[16];
    core_object_dns_rr_t rr;
    ASSERT_EQ(core_object_dns_parse_rr(m.dns(), &rr, labels, 16), OK);
    // Owner root, then ns1.example.com. (4 records) and hostmaster.example.com. (4 records).
    ASSERT_EQ(rr.labels + rr.rdata_labels, 9u);
    EXPECT_EQ(labels[1].offset, rr.rdata_offset);
    EXPECT_TRUE(labels[4].is_end);
    EXPECT_EQ(labels[5].length, 10);
    EXPECT_TRUE(labels[8].is_end);
    const uint8_t* serial = m.bytes() + rr.padding_offset;
    EXPECT_EQ(serial[0] << 24 | serial[1] << 16 | serial[2] << 8 | serial[3], 2024);
}

// Every type: the table types read their names, all others skip rdata whole.
// rdata is the fixed prefix (zeros, which also make empty NAPTR strings and
// a zero-length HIT and key) followed by `names` root labels.
TEST_F(DnsRecord, EveryTypeNamedOrOpaque)
{
    const std::map<uint16_t, std::pair<size_t, size_t>> named = {
        {2, {0, 1}},   {3, {0, 1}},   {4, {0, 1}},    {5, {0, 1}},   {6, {0, 2}},   {7, {0, 1}},
        {8, {0, 1}},   {9, {0, 1}},   {12, {0, 1}},   {14, {0, 2}},  {15, {2, 1}},  {17, {0, 2}},
        {18, {2, 1}},  {21, {2, 1}},  {24, {18, 1}},  {26, {2, 2}},  {30, {0, 1}},  {33, {6, 1}},
        {35, {7, 1}},  {36, {2, 1}},  {39, {0, 1}},   {46, {18, 1}}, {47, {0, 1}},  {55, {4, 1}},
        {58, {0, 2}},  {107, {2, 1}}, {249, {0, 1}},  {250, {0, 1}},
    };
    for (uint32_t type = 0; type <= 0xFFFF; type++) {
        auto found = named.find(static_cast<uint16_t>(type));
        size_t prefix = found == named.end() ? 3 : found->second.first;
        size_t names = found == named.end() ? 0 : found->second.second;
        // Opaque rdata: bytes that would read as a name that runs out of rdata.
        Bytes rdata = found == named.end() ? Bytes{5, 'x', 'y'} : Bytes(prefix + names, 0);
        Message m(header(0, 1).rr(root_owner, static_cast<uint16_t>(type), 1, 0, rdata).bytes);
        ASSERT_EQ(core_object_dns_parse_header(m.dns()), OK);
        core_object_dns_label_t labels[4];
        core_object_dns_rr_t rr;
        ASSERT_EQ(core_object_dns_parse_rr(m.dns(), &rr, labels, 4), OK) << "type " << type;
        EXPECT_EQ(rr.rdata_labels, names) << "type " << type;
        EXPECT_EQ(rr.padding_length, 0u) << "type " << type;
        ASSERT_EQ(m.dns()->left, 0u) << "type " << type;
    }
}

TEST_F(DnsRecord, WholeMessageInWireOrder)
{
    Wire wire = header(1, 2, 1, 1);
    wire.name("www.example.com").u16(1).u16(1);
    wire.rr(compressed_owner, 5, 1, 300, Wire().u8(3).text("cdn").raw({0xC0, 0x10}).bytes);
    wire.rr({0xC0, 0x21}, 1, 1, 60, {192, 0, 2, 7});
    wire.rr({0xC0, 0x10}, 6, 1, 900, soa_rdata());
    wire.rr(root_owner, 41, 1232, 0, {});
    Message m(wire.bytes);
    core_object_dns_t* dns = m.dns();
    ASSERT_EQ(core_object_dns_parse_header(dns), OK);
    core_object_dns_label_t labels[16];
    core_object_dns_q_t q;
    ASSERT_EQ(core_object_dns_parse_q(dns, &q, labels, 16), OK);
    const uint16_t types[] = {5, 1, 6, 41};
    for (uint16_t type : types) {
        core_object_dns_rr_t rr;
        ASSERT_EQ(core_object_dns_parse_rr(dns, &rr, labels, 16), OK);
        EXPECT_EQ(rr.type, type);
    }
    EXPECT_EQ(dns->left, 0u);
    core_object_dns_rr_t rr;
    EXPECT_EQ(core_object_dns_parse_rr(dns, &rr, labels, 16), SHORT);
}

// ---------------------------------------------------------------- lifecycle

TEST(DnsObject, NewCopyReset)
{
    core_object_dns_t zero{};
    zero.obj_type = CORE_OBJECT_DNS;
    core_object_dns_t* fresh = core_object_dns_new();
    EXPECT_EQ(memcmp(fresh, &zero, sizeof(zero)), 0);

    Message m(Wire().u16(12).raw(header(1).bytes).bytes, true);
    core_object_dns_t* dns = m.dns();
    ASSERT_EQ(core_object_dns_parse_header(dns), OK);
    core_object_dns_t* copy = core_object_dns_copy(dns);
    EXPECT_EQ(copy->obj_prev, nullptr);
    EXPECT_EQ(copy->obj_type, CORE_OBJECT_DNS);
    EXPECT_EQ(copy->payload, dns->payload);
    EXPECT_EQ(copy->at, dns->at);
    EXPECT_EQ(memcmp(reinterpret_cast<const uint8_t*>(copy) + sizeof(core_object_t),
                     reinterpret_cast<const uint8_t*>(dns) + sizeof(core_object_t),
                     sizeof(core_object_dns_t) - sizeof(core_object_t)),
              0);

    core_object_dns_reset(copy);
    EXPECT_EQ(memcmp(copy, &zero, sizeof(zero)), 0);
    core_object_dns_free(copy);
    core_object_dns_free(fresh);
}

// ---------------------------------------------------------------- misuse

struct FatalCase {
    const char* what;
    void (*call)();
    const char* message;
};

core_object_dns_label_t some_labels[4];
core_object_dns_q_t some_q;
core_object_dns_rr_t some_rr;
core_object_payload_t some_payload;

core_object_dns_t* parsed()
{
    static const uint8_t bytes[12] = {};
    some_payload = {};
    some_payload.obj_type = CORE_OBJECT_PAYLOAD;
    some_payload.payload = bytes;
    some_payload.len = sizeof(bytes);
    core_object_dns_t* dns = core_object_dns_new();
    dns->obj_prev = reinterpret_cast<core_object_t*>(&some_payload);
    core_object_dns_parse_header(dns);
    return dns;
}

const FatalCase fatal_cases[] = {
    {"copy nil", [] { core_object_dns_copy(nullptr); }, "self is nil"},
    {"free nil", [] { core_object_dns_free(nullptr); }, "self is nil"},
    {"reset nil", [] { core_object_dns_reset(nullptr); }, "self is nil"},
    {"header nil", [] { core_object_dns_parse_header(nullptr); }, "self is nil"},
    {"q nil self", [] { core_object_dns_parse_q(nullptr, nullptr, nullptr, 0); }, "self is nil"},
    {"rr nil self", [] { core_object_dns_parse_rr(nullptr, nullptr, nullptr, 0); }, "self is nil"},
    {"no obj_prev", [] { core_object_dns_parse_header(core_object_dns_new()); }, "no obj_prev or invalid type"},
    {"obj_prev not a payload",
     [] {
         core_object_dns_t* dns = parsed();
         some_payload.obj_type = CORE_OBJECT_UDP;
         core_object_dns_parse_header(dns);
     },
     "no obj_prev or invalid type"},
    {"no payload bytes",
     [] {
         core_object_dns_t* dns = parsed();
         some_payload.payload = nullptr;
         core_object_dns_parse_header(dns);
     },
     "no payload set or zero length"},
    {"q nil before label nil", [] { core_object_dns_parse_q(parsed(), nullptr, nullptr, 0); }, "q is nil"},
    {"rr nil before label nil", [] { core_object_dns_parse_rr(parsed(), nullptr, nullptr, 0); }, "rr is nil"},
    {"q label nil", [] { core_object_dns_parse_q(parsed(), &some_q, nullptr, 0); }, "label is nil"},
    {"rr label nil", [] { core_object_dns_parse_rr(parsed(), &some_rr, nullptr, 4); }, "label is nil"},
    {"q labels zero", [] { core_object_dns_parse_q(core_object_dns_new(), &some_q, some_labels, 0); },
     "labels is zero"},
    {"rr labels zero", [] { core_object_dns_parse_rr(parsed(), &some_rr, some_labels, 0); }, "labels is zero"},
    {"q before header", [] { core_object_dns_parse_q(core_object_dns_new(), &some_q, some_labels, 4); },
     "at is nil"},
    {"rr before header", [] { core_object_dns_parse_rr(core_object_dns_new(), &some_rr, some_labels, 4); },
     "at is nil"},
};

TEST(DnsMisuse, FatalOnTheModuleLog)
{
    for (const auto& c : fatal_cases) {
        EXPECT_EXIT(c.call(), ::testing::ExitedWithCode(1), std::string("^core\\.object\\.dns fatal: ") + c.message +
                                                                 "\n$")
            << c.what;
    }
}

}  // namespace
