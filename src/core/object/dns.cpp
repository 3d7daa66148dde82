#include "core/object/dns.h"

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "core/detail/cursor.h"
#include "core/detail/log.h"
#include "core/object/payload.h"

static_assert(std::is_standard_layout_v<core_object_dns_t>);
static_assert(std::is_standard_layout_v<core_object_dns_q_t>);
static_assert(std::is_standard_layout_v<core_object_dns_rr_t>);
static_assert(std::is_standard_layout_v<core_object_dns_label_t>);

namespace {

core_log_t module_log = core_log_module_init("core.object.dns");

constexpr core_object_dns_t defaults = [] {
    core_object_dns_t dns{};
    dns.obj_type = CORE_OBJECT_DNS;
    return dns;
}();

using tvx::Cursor;

constexpr int parse_ok = 0;
constexpr int parse_short = -2;
constexpr int parse_no_labels = -3;

// The object's cursor for the length of one call: whatever happens, the
// object's `at`/`left` end up where reading stopped.
class Parse {
public:
    explicit Parse(core_object_dns_t* self) : self_(self), cursor_(self->at, self->left) {}
    ~Parse()
    {
        self_->at = cursor_.at;
        self_->left = cursor_.left;
    }
    Parse(const Parse&) = delete;
    Parse& operator=(const Parse&) = delete;

    Cursor& cursor() { return cursor_; }
    // Position of the next unread byte, counted from `payload`.
    size_t offset() const { return self_->len - cursor_.left; }

    int name(core_object_dns_label_t* label, size_t labels, size_t start, size_t& used);

private:
    core_object_dns_t* self_;
    Cursor cursor_;
};

// Writes the labels of one name from index `start`; `used` counts the records
// that describe it (the terminal record included once it was read).
int Parse::name(core_object_dns_label_t* label, size_t labels, size_t start, size_t& used)
{
    used = 0;
    for (size_t index = start;; index++) {
        if (index >= labels) {
            used = index - start;
            TVX_WARNING(&module_log, "need more labels, aborting DNS parsing");
            return parse_no_labels;
        }
        core_object_dns_label_t& record = label[index];
        record = {};
        size_t length_at = offset();
        uint8_t length;
        if (!cursor_.take_u8(length)) {
            return parse_short;
        }
        record.length = length;
        if ((length & 0xC0) == 0xC0) {
            uint8_t low;
            if (!cursor_.take_u8(low)) {
                return parse_short;
            }
            record.offset = static_cast<uint16_t>((length & 0x3F) << 8 | low);
            record.have_offset = 1;
            used = index - start + 1;
            return parse_ok;
        }
        if (length & 0xC0) {
            // Extended label types: nothing behind the length byte is understood.
            record.have_extension_bits = 1;
            record.extension_bits = length >> 6;
            used = index - start + 1;
            return parse_ok;
        }
        if (length == 0) {
            record.is_end = 1;
            used = index - start + 1;
            return parse_ok;
        }
        record.have_length = 1;
        // A position that does not fit the 16-bit field would point the label
        // at the wrong text; such a payload is not one DNS message anyway.
        if (length_at > UINT16_MAX) {
            return parse_short;
        }
        record.offset = static_cast<uint16_t>(length_at);
        if (!cursor_.skip(length)) {
            return parse_short;
        }
        record.have_dn = 1;
        used = index - start + 1;
    }
}

enum class Rdata : uint8_t { opaque, names, naptr, hip };

struct RdataShape {
    Rdata kind;
    uint8_t prefix;
    uint8_t names;
};

// Types whose rdata carries domain names, with the fixed bytes in front of them.
constexpr RdataShape rdata_shape(uint16_t type)
{
    switch (type) {
    case 2:    // NS
    case 3:    // MD
    case 4:    // MF
    case 5:    // CNAME
    case 7:    // MB
    case 8:    // MG
    case 9:    // MR
    case 12:   // PTR
    case 30:   // NXT
    case 39:   // DNAME
    case 47:   // NSEC
    case 249:  // TKEY
    case 250:  // TSIG
        return {Rdata::names, 0, 1};
    case 6:    // SOA: serial and timers follow the two names
    case 14:   // MINFO
    case 17:   // RP
    case 58:   // TALINK
        return {Rdata::names, 0, 2};
    case 15:   // MX
    case 18:   // AFSDB
    case 21:   // RT
    case 36:   // KX
    case 107:  // LP
        return {Rdata::names, 2, 1};
    case 26:  // PX
        return {Rdata::names, 2, 2};
    case 24:  // SIG
    case 46:  // RRSIG
        return {Rdata::names, 18, 1};
    case 33:  // SRV
        return {Rdata::names, 6, 1};
    case 35:  // NAPTR
        return {Rdata::naptr, 4, 1};
    case 55:  // HIP
        return {Rdata::hip, 0, 1};
    default:
        return {Rdata::opaque, 0, 0};
    }
}

// Order and preference, then flags, services and regexp as character-strings;
// each string is skipped only when it is wholly there.
void skip_naptr_prefix(Cursor& cursor)
{
    if (!cursor.skip(4)) {
        return;
    }
    for (int string = 0; string < 3; string++) {
        Cursor probe = cursor;
        uint8_t length;
        if (!probe.take_u8(length) || !probe.skip(length)) {
            return;
        }
        cursor = probe;
    }
}

// HIT length, algorithm, public-key length, HIT, public key.
void skip_hip_prefix(Cursor& cursor)
{
    uint8_t hit_length;
    uint16_t key_length;
    if (!cursor.take_u8(hit_length) || !cursor.skip(1) || !cursor.take_u16be(key_length) ||
        !cursor.skip(hit_length)) {
        return;
    }
    cursor.skip(key_length);
}

bool is_payload(const core_object_t* obj)
{
    return obj && obj->obj_type == CORE_OBJECT_PAYLOAD;
}

void check_parse_args(const core_object_dns_t* self, const core_object_dns_label_t* label, size_t labels)
{
    if (!label) {
        TVX_FATAL(&module_log, "label is nil");
    }
    if (!labels) {
        TVX_FATAL(&module_log, "labels is zero");
    }
    if (!self->at) {
        TVX_FATAL(&module_log, "at is nil");
    }
}

}  // namespace

extern "C" {

core_log_t* core_object_dns_log()
{
    return &module_log;
}

core_object_dns_t* core_object_dns_new()
{
    auto* self = static_cast<core_object_dns_t*>(malloc(sizeof(core_object_dns_t)));
    if (!self) {
        TVX_FATAL(&module_log, "out of memory");
    }
    *self = defaults;
    return self;
}

core_object_dns_t* core_object_dns_copy(const core_object_dns_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    auto* copy = static_cast<core_object_dns_t*>(malloc(sizeof(core_object_dns_t)));
    if (!copy) {
        TVX_FATAL(&module_log, "out of memory");
    }
    memcpy(copy, self, sizeof(*copy));
    copy->obj_prev = nullptr;
    return copy;
}

void core_object_dns_free(core_object_dns_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    free(self);
}

void core_object_dns_reset(core_object_dns_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

int core_object_dns_parse_header(core_object_dns_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!is_payload(self->obj_prev)) {
        TVX_FATAL(&module_log, "no obj_prev or invalid type");
    }
    const auto* payload = reinterpret_cast<const core_object_payload_t*>(self->obj_prev);
    if (!payload->payload && payload->len) {
        TVX_FATAL(&module_log, "no payload set or zero length");
    }
    self->payload = payload->payload;
    self->at = payload->payload;
    self->len = payload->len;
    self->left = payload->len;

    // An empty datagram is a short message, not a programming error: it reads
    // nothing and reports -2 like any other cut header.
    Parse parse(self);
    Cursor& cursor = parse.cursor();
    if (self->includes_dnslen) {
        if (!cursor.take_u16be(self->dnslen)) {
            return parse_short;
        }
        self->have_dnslen = 1;
    }
    if (!cursor.take_u16be(self->id)) {
        return parse_short;
    }
    self->have_id = 1;

    uint8_t bits;
    if (!cursor.take_u8(bits)) {
        return parse_short;
    }
    self->qr = static_cast<int8_t>(bits >> 7);
    self->opcode = (bits >> 3) & 0x0F;
    self->aa = (bits >> 2) & 1;
    self->tc = (bits >> 1) & 1;
    self->rd = bits & 1;
    self->have_qr = self->have_opcode = self->have_aa = self->have_tc = self->have_rd = 1;

    if (!cursor.take_u8(bits)) {
        return parse_short;
    }
    self->ra = bits >> 7;
    self->z = (bits >> 6) & 1;
    self->ad = (bits >> 5) & 1;
    self->cd = (bits >> 4) & 1;
    self->rcode = bits & 0x0F;
    self->have_ra = self->have_z = self->have_ad = self->have_cd = self->have_rcode = 1;

    if (!cursor.take_u16be(self->qdcount)) {
        return parse_short;
    }
    self->have_qdcount = 1;
    if (!cursor.take_u16be(self->ancount)) {
        return parse_short;
    }
    self->have_ancount = 1;
    if (!cursor.take_u16be(self->nscount)) {
        return parse_short;
    }
    self->have_nscount = 1;
    if (!cursor.take_u16be(self->arcount)) {
        return parse_short;
    }
    self->have_arcount = 1;
    return parse_ok;
}

int core_object_dns_parse_q(core_object_dns_t* self, core_object_dns_q_t* q, core_object_dns_label_t* label,
                            size_t labels)
{
    TVX_CHECK_SELF(self, module_log);
    if (!q) {
        TVX_FATAL(&module_log, "q is nil");
    }
    check_parse_args(self, label, labels);

    *q = {};
    Parse parse(self);
    if (int ret = parse.name(label, labels, 0, q->labels); ret != parse_ok) {
        return ret;
    }
    Cursor& cursor = parse.cursor();
    if (!cursor.take_u16be(q->type)) {
        return parse_short;
    }
    q->have_type = 1;
    if (!cursor.take_u16be(q->class_)) {
        return parse_short;
    }
    q->have_class = 1;
    return parse_ok;
}

int core_object_dns_parse_rr(core_object_dns_t* self, core_object_dns_rr_t* rr, core_object_dns_label_t* label,
                             size_t labels)
{
    TVX_CHECK_SELF(self, module_log);
    if (!rr) {
        TVX_FATAL(&module_log, "rr is nil");
    }
    check_parse_args(self, label, labels);

    *rr = {};
    Parse parse(self);
    if (int ret = parse.name(label, labels, 0, rr->labels); ret != parse_ok) {
        return ret;
    }
    Cursor& cursor = parse.cursor();
    if (!cursor.take_u16be(rr->type)) {
        return parse_short;
    }
    rr->have_type = 1;
    if (!cursor.take_u16be(rr->class_)) {
        return parse_short;
    }
    rr->have_class = 1;
    if (!cursor.take_u32be(rr->ttl)) {
        return parse_short;
    }
    rr->have_ttl = 1;
    if (!cursor.take_u16be(rr->rdlength)) {
        return parse_short;
    }
    rr->have_rdlength = 1;
    rr->rdata_offset = parse.offset();
    const size_t rdata_end = rr->rdata_offset + rr->rdlength;

    const RdataShape shape = rdata_shape(rr->type);
    if (shape.kind == Rdata::opaque) {
        if (!cursor.skip(rr->rdlength)) {
            return parse_short;
        }
        rr->have_rdata = 1;
        return parse_ok;
    }

    // Fixed fields in front of the names; one that is not there leaves the
    // names to be read from where the cursor stands.
    size_t names = shape.names;
    switch (shape.kind) {
    case Rdata::names:
        cursor.skip(shape.prefix);
        break;
    case Rdata::naptr:
        skip_naptr_prefix(cursor);
        break;
    case Rdata::hip:
        skip_hip_prefix(cursor);
        if (parse.offset() == rdata_end) {
            rr->have_rdata = 1;
            return parse_ok;
        }
        if (parse.offset() > rdata_end) {
            return parse_short;
        }
        break;
    case Rdata::opaque:
        break;
    }

    // HIP lists rendezvous servers until the rdata ends; the others have a
    // fixed number of names.
    for (size_t name = 0; name < names || (shape.kind == Rdata::hip && parse.offset() < rdata_end); name++) {
        size_t used;
        int ret = parse.name(label, labels, rr->labels + rr->rdata_labels, used);
        rr->rdata_labels += used;
        rr->have_rdata_labels = rr->rdata_labels != 0;
        if (ret != parse_ok) {
            return ret;
        }
    }

    const size_t at = parse.offset();
    if (at > rdata_end) {
        return parse_short;
    }
    if (at < rdata_end) {
        rr->padding_offset = at;
        rr->padding_length = rdata_end - at;
        rr->have_padding = 1;
        if (!cursor.skip(rr->padding_length)) {
            return parse_short;
        }
    }
    rr->have_rdata = 1;
    return parse_ok;
}

}  // extern "C"
