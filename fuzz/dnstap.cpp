// The dnstap reader on any file, once pushing every message (run) and once
// pulling them (producer), each through its chain stage. Every message must
// make a chain down to the reader's PCAP record whose payload lies inside
// that record's packet, and both readings must agree: same open result,
// same packets, same chains, same end.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/object/dnstap.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "input/dnstap.h"
#include "support/capture.h"
#include "support/check.h"

namespace {

// A message as the chain gives it: its packet plus what the log said.
struct Message {
    fuzz::Frame frame;
    int32_t message_type;
    int32_t socket_protocol;
    size_t payload_at;
    size_t payload_len;
    bool operator==(const Message&) const = default;
};

struct Result {
    int opened = 0;
    int ended = 0;
    size_t pkts = 0;
    size_t skipped = 0;
    std::vector<Message> messages;
    bool operator==(const Result&) const = default;
};

void take(Result& out, const core_object_t* top)
{
    FUZZ_CHECK(top && top->obj_type == CORE_OBJECT_PAYLOAD);
    const auto* payload = reinterpret_cast<const core_object_payload_t*>(top);
    const core_object_t* below = top;
    while (below->obj_prev) {
        below = below->obj_prev;
    }
    FUZZ_CHECK(below->obj_type == CORE_OBJECT_PCAP);
    const auto* pkt = reinterpret_cast<const core_object_pcap_t*>(below);
    FUZZ_CHECK(payload->payload >= pkt->bytes && payload->payload + payload->len <= pkt->bytes + pkt->caplen);
    const core_object_t* tap = top;
    while (tap && tap->obj_type != CORE_OBJECT_DNSTAP) {
        tap = tap->obj_prev;
    }
    FUZZ_CHECK(tap);
    const auto* record = reinterpret_cast<const core_object_dnstap_t*>(tap);
    Message message{{pkt->ts.sec, pkt->ts.nsec, pkt->caplen, pkt->len, pkt->linktype, pkt->snaplen,
                     std::vector<uint8_t>(pkt->bytes, pkt->bytes + pkt->caplen)},
                    record->message_type, record->socket_protocol, size_t(payload->payload - pkt->bytes),
                    payload->len};
    out.messages.push_back(std::move(message));
}

struct PushContext {
    core_receiver_t stage;
    input_dnstap_t* reader;
};

Result read(const char* path, bool pull)
{
    input_dnstap_t reader;
    input_dnstap_init(&reader);
    Result out;
    out.opened = input_dnstap_open(&reader, path);
    if (out.opened == 0) {
        if (pull) {
            reader.stage_prod = input_dnstap_producer(&reader);
            reader.stage_prod_ctx = &reader;
            const core_producer_t chain = input_dnstap_chain_producer(&reader);
            while (const core_object_t* top = chain(&reader)) {
                take(out, top);
            }
            out.ended = reader.is_broken ? -1 : 0;
        } else {
            reader.stage_recv = [](void* ctx, const core_object_t* top) { take(*static_cast<Result*>(ctx), top); };
            reader.stage_ctx = &out;
            reader.recv = input_dnstap_chain_receiver();
            reader.ctx = &reader;
            out.ended = input_dnstap_run(&reader);
        }
    }
    out.pkts = reader.pkts;
    out.skipped = reader.skipped;
    input_dnstap_destroy(&reader);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fuzz::MemFile file(data, size);
    const Result pushed = read(file.path(), false);
    const Result pulled = read(file.path(), true);
    FUZZ_CHECK(pushed == pulled);
    FUZZ_CHECK(pushed.messages.size() + pushed.skipped == pushed.pkts);
    return 0;
}
