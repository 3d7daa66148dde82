// Random and mutated messages through the whole parse: every call must end
// with one of its results, inside the payload and inside the label array.
// Built with the address sanitizer, a read past a message is reported too:
// each message lives in a heap block of exactly its size.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "core/object/dns.h"
#include "support/dns_message.h"

namespace {

constexpr size_t guard = 2;

struct Checker {
    size_t calls = 0, ok = 0, short_input = 0, no_labels = 0;

    static bool guard_intact(const std::vector<core_object_dns_label_t>& labels, size_t used)
    {
        const auto* bytes = reinterpret_cast<const uint8_t*>(labels.data() + used);
        for (size_t i = 0; i < guard * sizeof(core_object_dns_label_t); i++) {
            if (bytes[i] != 0x5A) {
                return false;
            }
        }
        return true;
    }

    void count(int ret)
    {
        calls++;
        ASSERT_TRUE(ret == 0 || ret == -2 || ret == -3) << "result " << ret;
        (ret == 0 ? ok : ret == -2 ? short_input : no_labels)++;
    }

    void check_cursor(const Message& m)
    {
        const core_object_dns_t* dns = m.dns();
        ASSERT_LE(dns->left, dns->len);
        ASSERT_EQ(dns->at, m.bytes() + (dns->len - dns->left));
    }

    // Every ordinary label whose text was taken lies wholly inside the payload.
    static void check_labels(const Message& m, const core_object_dns_label_t* label, size_t used)
    {
        for (size_t i = 0; i < used; i++) {
            const auto& l = label[i];
            ASSERT_LE(l.have_length + l.have_offset + l.have_extension_bits + l.is_end, 1);
            if (l.have_dn) {
                ASSERT_TRUE(l.have_length);
                ASSERT_GE(l.length, 1);
                ASSERT_LE(l.length, 63);
                ASSERT_LE(size_t(l.offset) + 1 + l.length, m.size());
            }
            if (l.have_offset) {
                ASSERT_LT(l.offset, 0x4000);
            }
            if (l.have_extension_bits) {
                ASSERT_TRUE(l.extension_bits == 1 || l.extension_bits == 2);
            }
        }
    }

    void run(const Bytes& bytes, bool dnslen, size_t labels)
    {
        Message m(bytes, dnslen);
        core_object_dns_t* dns = m.dns();
        std::vector<core_object_dns_label_t> label(labels + guard);
        memset(label.data(), 0x5A, label.size() * sizeof(label[0]));
        int ret = core_object_dns_parse_header(dns);
        count(ret);
        if (ret != 0) {
            return;
        }
        for (unsigned i = 0; i < dns->qdcount; i++) {
            core_object_dns_q_t q;
            ret = core_object_dns_parse_q(dns, &q, label.data(), labels);
            count(ret);
            check_cursor(m);
            ASSERT_LE(q.labels, labels);
            check_labels(m, label.data(), q.labels);
            ASSERT_TRUE(guard_intact(label, labels));
            if (ret != 0) {
                return;
            }
            ASSERT_TRUE(q.have_type && q.have_class);
        }
        const unsigned records = dns->ancount + dns->nscount + dns->arcount;
        for (unsigned i = 0; i < records; i++) {
            core_object_dns_rr_t rr;
            size_t before = dns->len - dns->left;
            ret = core_object_dns_parse_rr(dns, &rr, label.data(), labels);
            count(ret);
            check_cursor(m);
            ASSERT_LE(rr.labels + rr.rdata_labels, labels);
            check_labels(m, label.data(), rr.labels + rr.rdata_labels);
            ASSERT_TRUE(guard_intact(label, labels));
            if (ret != 0) {
                return;
            }
            // A complete record ends exactly at the end of its rdata.
            ASSERT_TRUE(rr.have_rdata);
            ASSERT_GT(dns->len - dns->left, before);
            ASSERT_EQ(dns->len - dns->left, rr.rdata_offset + rr.rdlength);
            if (rr.padding_length) {
                ASSERT_EQ(rr.padding_offset + rr.padding_length, rr.rdata_offset + rr.rdlength);
            }
        }
    }
};

// Messages that exercise every rdata shape, to mutate from.
std::vector<Bytes> seeds()
{
    std::vector<Bytes> out;
    Wire response = Wire().header(0x1234, 0x8180, 1, 3, 1, 1);
    response.name("www.example.com").u16(1).u16(1);
    response.rr({0xC0, 0x0C}, 5, 1, 300, Wire().u8(3).text("cdn").raw({0xC0, 0x10}).bytes);
    response.rr({0xC0, 0x21}, 1, 1, 60, {192, 0, 2, 7});
    response.rr({0xC0, 0x10}, 15, 1, 60, Wire().u16(10).name("mail.example.com").bytes);
    response.rr({0xC0, 0x10}, 6, 1, 900,
                Wire().name("ns1.example.com").raw({0xC0, 0x10}).u32(1).u32(2).u32(3).u32(4).u32(5).bytes);
    response.rr({0}, 41, 1232, 0, Wire().u16(10).u16(8).zeros(8).bytes);
    out.push_back(response.bytes);

    Wire records = Wire().header(7, 0x8400, 0, 5, 0, 0);
    records.rr({0}, 33, 1, 1, Wire().u16(1).u16(2).u16(3).name("sip.example").bytes);
    records.rr({0}, 35, 1, 1, Wire().u16(1).u16(2).u8(1).text("U").u8(3).text("E2U").u8(0).name("x").bytes);
    records.rr({0}, 55, 1, 1, Wire().u8(4).u8(2).u16(3).zeros(7).name("rvs1").name("rvs2").bytes);
    records.rr({0}, 46, 1, 1, Wire().zeros(18).name("example.com").zeros(32).bytes);
    records.rr({0}, 26, 1, 1, Wire().u16(5).name("a.b").name("c.d").bytes);
    out.push_back(records.bytes);

    out.push_back(Wire().header(1, 0x0100, 1, 0, 0, 0).name("a.b.c.d.e.f.g.h.i.j.k").u16(255).u16(1).bytes);
    // A pointer to itself and a pointer loop between two names.
    out.push_back(Wire().header(2, 0, 2, 0, 0, 0).raw({0xC0, 0x0C}).u16(1).u16(1).u8(1).text("a").raw({0xC0, 0x11})
                      .u16(1).u16(1).bytes);
    return out;
}

Bytes mutate(Bytes bytes, std::mt19937& rng)
{
    std::uniform_int_distribution<int> byte(0, 255);
    const int edits = 1 + rng() % 4;
    for (int e = 0; e < edits && !bytes.empty(); e++) {
        size_t at = rng() % bytes.size();
        switch (rng() % 7) {
        case 0:
            bytes[at] = static_cast<uint8_t>(byte(rng));
            break;
        case 1:
            bytes[at] ^= static_cast<uint8_t>(1 << (rng() % 8));
            break;
        case 2:
            bytes.resize(at);  // truncate
            break;
        case 3:
            bytes.insert(bytes.begin() + at, {0xC0, static_cast<uint8_t>(byte(rng))});
            break;
        case 4:
            bytes[at] = static_cast<uint8_t>(0x40 | (rng() % 0x80));  // extension or pointer byte
            break;
        case 5:
            bytes.erase(bytes.begin() + at);
            break;
        case 6:
            // Section counts far beyond what is there.
            if (bytes.size() >= 12) {
                bytes[4 + 2 * (rng() % 4)] = static_cast<uint8_t>(byte(rng));
            }
            break;
        }
    }
    return bytes;
}

Bytes random_message(std::mt19937& rng)
{
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes bytes(rng() % 300);
    for (auto& b : bytes) {
        // Mostly small values, so that random bytes often read as label lengths.
        b = static_cast<uint8_t>(rng() % 3 ? byte(rng) % 16 : byte(rng));
    }
    if (bytes.size() >= 12) {
        for (int count = 0; count < 4; count++) {
            bytes[4 + 2 * count] = 0;
            bytes[5 + 2 * count] = static_cast<uint8_t>(rng() % 4);
        }
    }
    return bytes;
}

TEST(DnsFuzz, SeedsParseWhole)
{
    Checker checker;
    for (const auto& seed : seeds()) {
        checker.run(seed, false, 64);
        checker.run(Wire().u16(static_cast<uint16_t>(seed.size())).raw(seed).bytes, true, 64);
    }
    EXPECT_EQ(checker.short_input + checker.no_labels, 0u);
}

TEST(DnsFuzz, MutatedAndRandomMessages)
{
    std::mt19937 rng(20240601);
    const std::vector<Bytes> corpus = seeds();
    Checker checker;
    for (int round = 0; round < 200000; round++) {
        const bool dnslen = rng() % 5 == 0;
        const size_t labels = 1 + rng() % 24;
        Bytes message = rng() % 4 ? mutate(corpus[rng() % corpus.size()], rng) : random_message(rng);
        if (dnslen) {
            message.insert(message.begin(), {static_cast<uint8_t>(message.size() >> 8),
                                             static_cast<uint8_t>(message.size())});
        }
        checker.run(message, dnslen, labels);
        if (HasFatalFailure()) {
            ADD_FAILURE() << "round " << round;
            return;
        }
    }
    // The mix must reach every outcome, or the generator has gone stale.
    EXPECT_GT(checker.ok, 10000u);
    EXPECT_GT(checker.short_input, 1000u);
    EXPECT_GT(checker.no_labels, 100u);
}

}  // namespace
