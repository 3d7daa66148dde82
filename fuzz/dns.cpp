// The DNS parser over one message: the header, then as many questions and
// records as the header counts, until a call fails. Input: one control byte,
// then the payload.
//   control & 0x01  the payload starts with a two-byte length (includes_dnslen)
//   control & 0x06  the size of the label array: 1 to 32 labels (from
//                   control >> 3), 64, 255 or 1024
// Every call must end with one of its results, leave the cursor inside the
// payload and write only inside the label array (a guard behind it must stay
// intact); every label whose text was taken lies inside the payload. The
// payload sits in a heap block of exactly its size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../tests/unit/support/dns_message.h"
#include "support/check.h"

namespace {

constexpr size_t guard = 2;
constexpr uint8_t guard_byte = 0x5A;

size_t label_count(uint8_t control)
{
    switch ((control >> 1) & 3) {
    case 0:
        return 1 + (control >> 3);
    case 1:
        return 64;
    case 2:
        return 255;
    default:
        return 1024;
    }
}

bool guard_intact(const std::vector<core_object_dns_label_t>& label, size_t labels)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(label.data() + labels);
    for (size_t i = 0; i < guard * sizeof(core_object_dns_label_t); i++) {
        if (bytes[i] != guard_byte) {
            return false;
        }
    }
    return true;
}

void check_call(const Message& m, int result)
{
    FUZZ_CHECK(result == 0 || result == -2 || result == -3);
    const core_object_dns_t* dns = m.dns();
    FUZZ_CHECK(dns->left <= dns->len);
    FUZZ_CHECK(dns->at == m.bytes() + (dns->len - dns->left));
}

void check_labels(const Message& m, const core_object_dns_label_t* label, size_t used)
{
    for (size_t i = 0; i < used; i++) {
        const core_object_dns_label_t& l = label[i];
        FUZZ_CHECK(l.have_length + l.have_offset + l.have_extension_bits + l.is_end <= 1);
        if (l.have_dn) {
            FUZZ_CHECK(l.have_length);
            FUZZ_CHECK(l.length >= 1 && l.length <= 63);
            FUZZ_CHECK(size_t(l.offset) + 1 + l.length <= m.size());
        }
        if (l.have_offset) {
            FUZZ_CHECK(l.offset < 0x4000);
        }
        if (l.have_extension_bits) {
            FUZZ_CHECK(l.extension_bits == 1 || l.extension_bits == 2);
        }
    }
}

void parse(Message& m, std::vector<core_object_dns_label_t>& label, size_t labels)
{
    core_object_dns_t* dns = m.dns();
    int result = core_object_dns_parse_header(dns);
    check_call(m, result);
    if (result != 0) {
        return;
    }
    for (unsigned i = 0; i < dns->qdcount; i++) {
        core_object_dns_q_t q;
        result = core_object_dns_parse_q(dns, &q, label.data(), labels);
        check_call(m, result);
        FUZZ_CHECK(q.labels <= labels);
        check_labels(m, label.data(), q.labels);
        FUZZ_CHECK(guard_intact(label, labels));
        if (result != 0) {
            return;
        }
        FUZZ_CHECK(q.have_type && q.have_class);
    }
    const unsigned records = unsigned(dns->ancount) + dns->nscount + dns->arcount;
    for (unsigned i = 0; i < records; i++) {
        core_object_dns_rr_t rr;
        const size_t before = m.cursor();
        result = core_object_dns_parse_rr(dns, &rr, label.data(), labels);
        check_call(m, result);
        FUZZ_CHECK(rr.labels + rr.rdata_labels <= labels);
        check_labels(m, label.data(), rr.labels + rr.rdata_labels);
        FUZZ_CHECK(guard_intact(label, labels));
        if (result != 0) {
            return;
        }
        // A whole record ends exactly at the end of its rdata.
        FUZZ_CHECK(rr.have_rdata);
        FUZZ_CHECK(m.cursor() > before);
        FUZZ_CHECK(m.cursor() == rr.rdata_offset + rr.rdlength);
        if (rr.padding_length) {
            FUZZ_CHECK(rr.padding_offset + rr.padding_length == rr.rdata_offset + rr.rdlength);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return -1;
    }
    const uint8_t control = data[0];
    const size_t labels = label_count(control);
    Message m(Bytes(data + 1, data + size), control & 1);
    std::vector<core_object_dns_label_t> label(labels + guard);
    memset(label.data(), guard_byte, label.size() * sizeof(label[0]));
    parse(m, label, labels);
    return 0;
}
