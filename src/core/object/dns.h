#pragma once
// One DNS message over a payload record, parsed in place in wire order: the
// header, then one question or resource record per call. Names are recorded
// as label positions in an array the caller supplies; nothing is copied.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"

extern "C" {

typedef struct core_object_dns {
    const core_object_t* obj_prev;
    int32_t obj_type;
    int includes_dnslen;
    const uint8_t* payload;
    const uint8_t* at;
    size_t len;
    size_t left;
    uint8_t have_dnslen;
    uint8_t have_id;
    uint8_t have_qr;
    uint8_t have_opcode;
    uint8_t have_aa;
    uint8_t have_tc;
    uint8_t have_rd;
    uint8_t have_ra;
    uint8_t have_z;
    uint8_t have_ad;
    uint8_t have_cd;
    uint8_t have_rcode;
    uint8_t have_qdcount;
    uint8_t have_ancount;
    uint8_t have_nscount;
    uint8_t have_arcount;
    uint16_t dnslen;
    uint16_t id;
    int8_t qr;
    uint8_t opcode;
    uint8_t aa;
    uint8_t tc;
    uint8_t rd;
    uint8_t ra;
    uint8_t z;
    uint8_t ad;
    uint8_t cd;
    uint8_t rcode;
    uint16_t qdcount;
    uint16_t ancount;
    uint16_t nscount;
    uint16_t arcount;
} core_object_dns_t;

// `class` is a C++ keyword: the field is `class` in the script layer and
// `class_` here, at the same offset (the layout check registers it as "class").
typedef struct core_object_dns_q {
    uint8_t have_type;
    uint8_t have_class;
    uint16_t type;
    uint16_t class_;
    size_t labels;
} core_object_dns_q_t;

typedef struct core_object_dns_rr {
    uint8_t have_type;
    uint8_t have_class;
    uint8_t have_ttl;
    uint8_t have_rdlength;
    uint8_t have_rdata;
    uint8_t have_rdata_labels;
    uint8_t have_padding;
    uint16_t type;
    uint16_t class_;
    uint32_t ttl;
    uint16_t rdlength;
    size_t labels;
    size_t rdata_offset;
    size_t rdata_labels;
    size_t padding_offset;
    size_t padding_length;
} core_object_dns_rr_t;

typedef struct core_object_dns_label {
    uint8_t is_end;
    uint8_t have_length;
    uint8_t have_offset;
    uint8_t have_extension_bits;
    uint8_t have_dn;
    uint8_t extension_bits;
    uint8_t length;
    uint16_t offset;
} core_object_dns_label_t;

core_log_t* core_object_dns_log();
core_object_dns_t* core_object_dns_new();
core_object_dns_t* core_object_dns_copy(const core_object_dns_t* self);
void core_object_dns_free(core_object_dns_t* self);
void core_object_dns_reset(core_object_dns_t* self);
int core_object_dns_parse_header(core_object_dns_t* self);
int core_object_dns_parse_q(core_object_dns_t* self, core_object_dns_q_t* q, core_object_dns_label_t* label,
                            size_t labels);
int core_object_dns_parse_rr(core_object_dns_t* self, core_object_dns_rr_t* rr, core_object_dns_label_t* label,
                             size_t labels);

}  // extern "C"
