#include "core/object/pcap.h"

#include "core/detail/object_copy.h"

// The captured bytes travel with the copy; `len` stays a number, since bytes
// past `caplen` were never captured.
core_object_pcap_t* core_object_pcap_copy(const core_object_pcap_t* self)
{
    return tvx::detail::copy_record(self, &core_object_pcap_t::bytes,
                                    [](const core_object_pcap_t& pcap) { return size_t{pcap.caplen}; });
}

void core_object_pcap_free(core_object_pcap_t* self)
{
    tvx::detail::free_record(self);
}
