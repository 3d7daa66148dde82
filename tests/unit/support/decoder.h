#pragma once
// Drives one layer decoder through its C ABI, in push or pull use, over a
// frame held in a heap block of exactly its size (so a sanitizer build sees
// any read past the captured bytes).
#include <cstring>
#include <memory>
#include <vector>

#include "filter/layer.h"
#include "frames.h"

class Decoder {
public:
    Decoder()
    {
        filter_layer_init(&layer);
        layer.recv = collect;
        layer.ctx = this;
        layer.prod = hand_out;
        layer.prod_ctx = this;
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    void load(uint32_t linktype, const frames::Bytes& frame, bool swapped = false)
    {
        storage.reset(frame.empty() ? nullptr : new uint8_t[frame.size()]);
        if (!frame.empty()) {
            memcpy(storage.get(), frame.data(), frame.size());
        }
        pcap = {};
        pcap.obj_type = CORE_OBJECT_PCAP;
        pcap.snaplen = 65535;
        pcap.linktype = linktype;
        pcap.caplen = static_cast<uint32_t>(frame.size());
        pcap.len = pcap.caplen;
        // An empty frame still has a valid (empty) buffer, as a reader gives it.
        pcap.bytes = storage ? storage.get() : reinterpret_cast<const uint8_t*>("");
        pcap.is_swapped = swapped;
    }

    // Push use: the result handed to the receiver, or null when it was not called.
    const core_object_t* push()
    {
        pushed.clear();
        filter_layer_receiver()(&layer, reinterpret_cast<const core_object_t*>(&pcap));
        return pushed.empty() ? nullptr : pushed.back();
    }

    // Pull use: the result of the pull callback.
    const core_object_t* pull()
    {
        pending = reinterpret_cast<const core_object_t*>(&pcap);
        return filter_layer_producer(&layer)(&layer);
    }

    size_t calls() const { return pushed.size(); }

    filter_layer_t layer;
    core_object_pcap_t pcap{};
    const core_object_t* pending = nullptr;

private:
    static void collect(void* ctx, const core_object_t* obj) { static_cast<Decoder*>(ctx)->pushed.push_back(obj); }
    static const core_object_t* hand_out(void* ctx)
    {
        auto* self = static_cast<Decoder*>(ctx);
        const core_object_t* obj = self->pending;
        self->pending = nullptr;
        return obj;
    }

    std::unique_ptr<uint8_t[]> storage;
    std::vector<const core_object_t*> pushed;
};

// Types from the top of a chain down to its bottom.
inline std::vector<int> chain_types(const core_object_t* top)
{
    std::vector<int> types;
    for (const core_object_t* obj = top; obj && types.size() < 32; obj = obj->obj_prev) {
        types.push_back(obj->obj_type);
    }
    return types;
}
