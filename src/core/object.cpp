#include "core/object.h"

#include <array>
#include <type_traits>

#include "core/detail/log.h"
#include "core/object/ether.h"
#include "core/object/dns.h"
#include "core/object/dnstap.h"
#include "core/object/gre.h"
#include "core/object/icmp.h"
#include "core/object/icmp6.h"
#include "core/object/ieee802.h"
#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "core/object/linuxsll.h"
#include "core/object/loop.h"
#include "core/object/null.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "core/object/tcp.h"
#include "core/object/udp.h"

namespace {

struct TypeEntry {
    int32_t type;
    core_object_t* (*copy)(const core_object_t*);
    void (*free)(core_object_t*);
};

// Every record starts with the header, so a header pointer of the right type
// number is a pointer to that record.
template <auto Copy, auto Free>
constexpr TypeEntry entry(int32_t type)
{
    return {
        type,
        [](const core_object_t* self) {
            using Record = std::remove_pointer_t<decltype(Copy(nullptr))>;
            return reinterpret_cast<core_object_t*>(Copy(reinterpret_cast<const Record*>(self)));
        },
        [](core_object_t* self) {
            using Record = std::remove_pointer_t<decltype(Copy(nullptr))>;
            Free(reinterpret_cast<Record*>(self));
        },
    };
}

// The fifteen record types with their copy and free functions.
constexpr std::array<TypeEntry, 16> types = {{
    entry<core_object_pcap_copy, core_object_pcap_free>(CORE_OBJECT_PCAP),
    entry<core_object_dnstap_copy, core_object_dnstap_free>(CORE_OBJECT_DNSTAP),
    entry<core_object_ether_copy, core_object_ether_free>(CORE_OBJECT_ETHER),
    entry<core_object_null_copy, core_object_null_free>(CORE_OBJECT_NULL),
    entry<core_object_loop_copy, core_object_loop_free>(CORE_OBJECT_LOOP),
    entry<core_object_linuxsll_copy, core_object_linuxsll_free>(CORE_OBJECT_LINUXSLL),
    entry<core_object_ieee802_copy, core_object_ieee802_free>(CORE_OBJECT_IEEE802),
    entry<core_object_gre_copy, core_object_gre_free>(CORE_OBJECT_GRE),
    entry<core_object_ip_copy, core_object_ip_free>(CORE_OBJECT_IP),
    entry<core_object_ip6_copy, core_object_ip6_free>(CORE_OBJECT_IP6),
    entry<core_object_icmp_copy, core_object_icmp_free>(CORE_OBJECT_ICMP),
    entry<core_object_icmp6_copy, core_object_icmp6_free>(CORE_OBJECT_ICMP6),
    entry<core_object_udp_copy, core_object_udp_free>(CORE_OBJECT_UDP),
    entry<core_object_tcp_copy, core_object_tcp_free>(CORE_OBJECT_TCP),
    entry<core_object_payload_copy, core_object_payload_free>(CORE_OBJECT_PAYLOAD),
    entry<core_object_dns_copy, core_object_dns_free>(CORE_OBJECT_DNS),
}};

const TypeEntry* find_type(const core_object_t* self)
{
    if (!self) {
        TVX_FATAL(nullptr, "self is nil");
    }
    for (const auto& type : types) {
        if (type.type == self->obj_type) {
            return &type;
        }
    }
    TVX_FATAL(nullptr, "unknown type %d", self->obj_type);
}

}  // namespace

core_object_t* core_object_copy(const core_object_t* self)
{
    return find_type(self)->copy(self);
}

void core_object_free(core_object_t* self)
{
    find_type(self)->free(self);
}
