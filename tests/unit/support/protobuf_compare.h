#pragma once
// Runs the in-place protobuf decoder and protobuf-c's unpack on the same
// bytes and says whether they agree: where the fast path decodes a record,
// protobuf-c must decode it too, to the same known fields (values, presence
// flags, bytes, nested messages).
//
//   const tvx::protobuf::Plan plan(dnstap__dnstap__descriptor);
//   const pbcompare::Outcome o = pbcompare::run(plan, dnstap__dnstap__descriptor, data, size);
//   o.in_place   o.library   o.agree
#include <protobuf-c/protobuf-c.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/detail/protobuf_in_place.h"

namespace pbcompare {

// An allocator over a growing list of blocks, freed together.
struct Blocks {
    std::vector<void*> held;
    ProtobufCAllocator allocator{
        [](void* data, size_t size) -> void* {
            void* block = calloc(1, size ? size : 1);
            static_cast<Blocks*>(data)->held.push_back(block);
            return block;
        },
        [](void*, void*) {}, this};
    ~Blocks()
    {
        for (void* block : held) {
            free(block);
        }
    }
};

template <class T>
T field_of(const ProtobufCMessage* message, unsigned offset)
{
    T value;
    memcpy(&value, reinterpret_cast<const uint8_t*>(message) + offset, sizeof(value));
    return value;
}

// Empty when the known fields agree; else the name of the first that does not.
inline std::string first_difference(const ProtobufCMessageDescriptor& descriptor, const ProtobufCMessage* a,
                                    const ProtobufCMessage* b)
{
    for (unsigned i = 0; i < descriptor.n_fields; i++) {
        const ProtobufCFieldDescriptor& field = descriptor.fields[i];
        const std::string name = std::string(descriptor.short_name) + "." + field.name;
        if (field.label == PROTOBUF_C_LABEL_OPTIONAL && field.quantifier_offset &&
            field_of<protobuf_c_boolean>(a, field.quantifier_offset) !=
                field_of<protobuf_c_boolean>(b, field.quantifier_offset)) {
            return name + " presence";
        }
        switch (field.type) {
        case PROTOBUF_C_TYPE_UINT32:
        case PROTOBUF_C_TYPE_ENUM:
        case PROTOBUF_C_TYPE_FIXED32:
            if (field_of<uint32_t>(a, field.offset) != field_of<uint32_t>(b, field.offset)) {
                return name;
            }
            break;
        case PROTOBUF_C_TYPE_UINT64:
        case PROTOBUF_C_TYPE_FIXED64:
            if (field_of<uint64_t>(a, field.offset) != field_of<uint64_t>(b, field.offset)) {
                return name;
            }
            break;
        case PROTOBUF_C_TYPE_BYTES: {
            const auto x = field_of<ProtobufCBinaryData>(a, field.offset);
            const auto y = field_of<ProtobufCBinaryData>(b, field.offset);
            if (x.len != y.len || (x.data == nullptr) != (y.data == nullptr) ||
                (x.len && memcmp(x.data, y.data, x.len) != 0)) {
                return name;
            }
            break;
        }
        case PROTOBUF_C_TYPE_MESSAGE: {
            const auto* x = field_of<const ProtobufCMessage*>(a, field.offset);
            const auto* y = field_of<const ProtobufCMessage*>(b, field.offset);
            if ((x == nullptr) != (y == nullptr)) {
                return name + " presence";
            }
            if (x) {
                const std::string nested =
                    first_difference(*static_cast<const ProtobufCMessageDescriptor*>(field.descriptor), x, y);
                if (!nested.empty()) {
                    return nested;
                }
            }
            break;
        }
        default:
            break;  // kinds the fast path never decodes
        }
    }
    return {};
}

struct Outcome {
    bool in_place = false;  // the fast path decoded it
    bool library = false;   // protobuf-c decoded it
    std::string difference; // when both did and they differ
    bool agree() const { return !in_place || (library && difference.empty()); }
};

inline Outcome run(const tvx::protobuf::Plan& plan, const ProtobufCMessageDescriptor& descriptor,
                   const uint8_t* data, size_t size)
{
    Blocks ours, theirs;
    Outcome out;
    ProtobufCMessage* fast = nullptr;
    out.in_place = tvx::protobuf::decode_in_place(plan, data, size, ours.allocator, fast) ==
                   tvx::protobuf::InPlace::decoded;
    ProtobufCMessage* slow = protobuf_c_message_unpack(&descriptor, &theirs.allocator, size, data);
    out.library = slow != nullptr;
    if (out.in_place && slow) {
        out.difference = first_difference(descriptor, fast, slow);
    }
    return out;
}

}  // namespace pbcompare
