#pragma once
// The layer decoder's network-layer entry, for components that rebuild a
// datagram in their own buffer (IP fragment reassembly) and want it decoded
// exactly as if it had been captured whole: the same records, the same rules.
//
// How a component uses it:
//   filter_layer_t decoder;  filter_layer_init(&decoder);   // its records make the chain
//   const core_object_t* top = tvx::layer::decode_ip(&decoder, link_record, datagram, datagram_len);
//   // null: the decoder drops such a datagram; else the chain's top, `link_record` beneath its IP record
//
//   tvx::Cursor datagram = tvx::layer::fragment_datagram(payload, ip_record);
//   // the whole captured IP datagram (header first) a fragment's payload record came from
#include <cstddef>
#include <cstdint>

#include "core/detail/cursor.h"
#include "filter/layer.h"

namespace tvx::layer {

// Decodes the IPv4 or IPv6 datagram at [at, at + len) into `self`'s records,
// with `below` as the record beneath the IP record. The bytes must stay as
// they are while the chain is in use.
const core_object_t* decode_ip(filter_layer_t* self, const core_object_t* below, const uint8_t* at, size_t len);

// For a payload record that the decoder made for a fragment (its `obj_prev`
// an IPv4 record with more-fragments or an offset, or an IPv6 record with
// `is_frag`): the datagram from its first IP header byte to its declared end.
// The decoder only hands on a fragment whose declared datagram was captured
// whole, and the payload then ends at the declared end, so the start follows
// from the lengths in the IP record. An empty cursor for anything else.
Cursor fragment_datagram(const core_object_payload_t& payload, const core_object_t* ip);

}  // namespace tvx::layer
