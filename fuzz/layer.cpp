// The layer decoder over one frame of any link type, pushed and pulled.
// Input: one control byte, then the frame.
//   control & 0x0f  link type, an index into `linktypes` (taken modulo its size)
//   control & 0x40  the wire length exceeds the captured length (a cut frame)
//   control & 0x80  the capture is byte-swapped (the null header's family)
// The frame sits in a heap block of exactly its size, so any read past
// caplen is reported by the address sanitizer. Both uses must give the same
// chain, every record of which lies in the decoder, down to the PCAP record;
// a payload must end exactly at the end of the frame, padding included.
#include <cstddef>
#include <cstdint>

#include "../tests/unit/support/decoder.h"
#include "support/check.h"

namespace {

// Every link type the decoder knows, and two it does not (101, 105).
constexpr uint32_t linktypes[] = {0, 1, 12, 101, 105, 108, 113, 228, 229};

bool inside_decoder(const Decoder& d, const core_object_t* obj)
{
    const auto* at = reinterpret_cast<const uint8_t*>(obj);
    const auto* start = reinterpret_cast<const uint8_t*>(&d.layer);
    return at >= start && at + sizeof(core_object_t) <= start + sizeof(d.layer);
}

void check_chain(const Decoder& d, const core_object_t* result)
{
    FUZZ_CHECK(d.layer.n_ieee802 <= 2);
    FUZZ_CHECK(d.layer.tcp.opts_len <= 40);
    if (!result) {
        return;
    }
    size_t depth = 0;
    const core_object_t* obj = result;
    for (; obj->obj_prev; obj = obj->obj_prev) {
        FUZZ_CHECK(inside_decoder(d, obj));
        FUZZ_CHECK(++depth < 12);
    }
    FUZZ_CHECK(obj == reinterpret_cast<const core_object_t*>(&d.pcap));
    if (result->obj_type == CORE_OBJECT_PAYLOAD) {
        const core_object_payload_t& payload = d.layer.payload;
        const uint8_t* frame_end = d.pcap.bytes + d.pcap.caplen;
        FUZZ_CHECK(payload.payload >= d.pcap.bytes);
        FUZZ_CHECK(payload.payload <= frame_end);
        FUZZ_CHECK(payload.payload + payload.len + payload.padding == frame_end);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return -1;
    }
    const uint8_t control = data[0];
    const uint32_t linktype = linktypes[(control & 0x0f) % std::size(linktypes)];
    const frames::Bytes frame(data + 1, data + size);

    static Decoder pusher, puller;
    pusher.load(linktype, frame, control & 0x80);
    puller.load(linktype, frame, control & 0x80);
    if (control & 0x40) {
        pusher.pcap.len = puller.pcap.len = pusher.pcap.caplen + 1000;
    }
    const core_object_t* pushed = pusher.push();
    const core_object_t* pulled = puller.pull();
    FUZZ_CHECK(pusher.calls() <= 1);
    check_chain(pusher, pushed);
    check_chain(puller, pulled);
    FUZZ_CHECK(chain_types(pushed) == chain_types(pulled));
    return 0;
}
