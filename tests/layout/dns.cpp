#include "core/object/dns.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(core_object_dns_t);
    LAYOUT_FIELD(core_object_dns_t, obj_prev);
    LAYOUT_FIELD(core_object_dns_t, obj_type);
    LAYOUT_FIELD(core_object_dns_t, includes_dnslen);
    LAYOUT_FIELD(core_object_dns_t, payload);
    LAYOUT_FIELD(core_object_dns_t, at);
    LAYOUT_FIELD(core_object_dns_t, len);
    LAYOUT_FIELD(core_object_dns_t, left);
    LAYOUT_FIELD(core_object_dns_t, have_dnslen);
    LAYOUT_FIELD(core_object_dns_t, have_id);
    LAYOUT_FIELD(core_object_dns_t, have_qr);
    LAYOUT_FIELD(core_object_dns_t, have_opcode);
    LAYOUT_FIELD(core_object_dns_t, have_aa);
    LAYOUT_FIELD(core_object_dns_t, have_tc);
    LAYOUT_FIELD(core_object_dns_t, have_rd);
    LAYOUT_FIELD(core_object_dns_t, have_ra);
    LAYOUT_FIELD(core_object_dns_t, have_z);
    LAYOUT_FIELD(core_object_dns_t, have_ad);
    LAYOUT_FIELD(core_object_dns_t, have_cd);
    LAYOUT_FIELD(core_object_dns_t, have_rcode);
    LAYOUT_FIELD(core_object_dns_t, have_qdcount);
    LAYOUT_FIELD(core_object_dns_t, have_ancount);
    LAYOUT_FIELD(core_object_dns_t, have_nscount);
    LAYOUT_FIELD(core_object_dns_t, have_arcount);
    LAYOUT_FIELD(core_object_dns_t, dnslen);
    LAYOUT_FIELD(core_object_dns_t, id);
    LAYOUT_FIELD(core_object_dns_t, qr);
    LAYOUT_FIELD(core_object_dns_t, opcode);
    LAYOUT_FIELD(core_object_dns_t, aa);
    LAYOUT_FIELD(core_object_dns_t, tc);
    LAYOUT_FIELD(core_object_dns_t, rd);
    LAYOUT_FIELD(core_object_dns_t, ra);
    LAYOUT_FIELD(core_object_dns_t, z);
    LAYOUT_FIELD(core_object_dns_t, ad);
    LAYOUT_FIELD(core_object_dns_t, cd);
    LAYOUT_FIELD(core_object_dns_t, rcode);
    LAYOUT_FIELD(core_object_dns_t, qdcount);
    LAYOUT_FIELD(core_object_dns_t, ancount);
    LAYOUT_FIELD(core_object_dns_t, nscount);
    LAYOUT_FIELD(core_object_dns_t, arcount);

    // `class_` in C++ is `class` in the script layer.
    LAYOUT_TYPE(core_object_dns_q_t);
    LAYOUT_FIELD(core_object_dns_q_t, have_type);
    LAYOUT_FIELD(core_object_dns_q_t, have_class);
    LAYOUT_FIELD(core_object_dns_q_t, type);
    layout::field("core_object_dns_q_t", "class", offsetof(core_object_dns_q_t, class_),
                  sizeof(core_object_dns_q_t::class_), layout::kind<decltype(core_object_dns_q_t::class_)>());
    LAYOUT_FIELD(core_object_dns_q_t, labels);

    LAYOUT_TYPE(core_object_dns_rr_t);
    LAYOUT_FIELD(core_object_dns_rr_t, have_type);
    LAYOUT_FIELD(core_object_dns_rr_t, have_class);
    LAYOUT_FIELD(core_object_dns_rr_t, have_ttl);
    LAYOUT_FIELD(core_object_dns_rr_t, have_rdlength);
    LAYOUT_FIELD(core_object_dns_rr_t, have_rdata);
    LAYOUT_FIELD(core_object_dns_rr_t, have_rdata_labels);
    LAYOUT_FIELD(core_object_dns_rr_t, have_padding);
    LAYOUT_FIELD(core_object_dns_rr_t, type);
    layout::field("core_object_dns_rr_t", "class", offsetof(core_object_dns_rr_t, class_),
                  sizeof(core_object_dns_rr_t::class_), layout::kind<decltype(core_object_dns_rr_t::class_)>());
    LAYOUT_FIELD(core_object_dns_rr_t, ttl);
    LAYOUT_FIELD(core_object_dns_rr_t, rdlength);
    LAYOUT_FIELD(core_object_dns_rr_t, labels);
    LAYOUT_FIELD(core_object_dns_rr_t, rdata_offset);
    LAYOUT_FIELD(core_object_dns_rr_t, rdata_labels);
    LAYOUT_FIELD(core_object_dns_rr_t, padding_offset);
    LAYOUT_FIELD(core_object_dns_rr_t, padding_length);

    LAYOUT_TYPE(core_object_dns_label_t);
    LAYOUT_FIELD(core_object_dns_label_t, is_end);
    LAYOUT_FIELD(core_object_dns_label_t, have_length);
    LAYOUT_FIELD(core_object_dns_label_t, have_offset);
    LAYOUT_FIELD(core_object_dns_label_t, have_extension_bits);
    LAYOUT_FIELD(core_object_dns_label_t, have_dn);
    LAYOUT_FIELD(core_object_dns_label_t, extension_bits);
    LAYOUT_FIELD(core_object_dns_label_t, length);
    LAYOUT_FIELD(core_object_dns_label_t, offset);
} LAYOUT_END;
