#pragma once
// A fast path in front of protobuf-c's unpack for the messages a reader sees
// by the million: the message structs and descriptors are protoc-c's, the
// wire format is walked once, and bytes fields point into the input instead
// of being copied. Only what this path can decode exactly as
// protobuf_c_message_unpack would is decoded here; anything else (a field
// kind it does not take, a malformed or unusual encoding, a missing required
// field) is handed back undecided, and the caller asks protobuf-c, which
// gives the verdict. So a record this path decodes is one protobuf-c would
// decode to the same known fields (unknown fields are skipped, not kept).
//
// How a reader uses it:
//   tvx::protobuf::Plan plan(descriptor);          // once, kept by the reader
//   ProtobufCMessage* decoded = nullptr;
//   if (tvx::protobuf::decode_in_place(plan, bytes, len, allocator, decoded) !=
//       tvx::protobuf::InPlace::decoded) {
//       decoded = protobuf_c_message_unpack(&descriptor, &allocator, len, bytes);
//   }
// The plan turns the descriptors into a table by field number, made once so
// that a record costs no lookup in them.
// The message and any nested message are taken from `allocator` and never
// freed one by one: meant for an arena the reader resets per record. Bytes
// fields stay valid as long as the input does.
#include <protobuf-c/protobuf-c.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tvx::protobuf {

enum class InPlace { decoded, ask_library };

namespace detail {

constexpr int depth_limit = 8;
constexpr uint32_t wire_varint = 0, wire_64bit = 1, wire_length = 2, wire_32bit = 5;

// How one field is taken. `unknown`: skipped; `ask`: a field kind this path
// does not take (signed, floating, bool, string, repeated, oneof), so the
// record goes to protobuf-c.
enum class Kind : uint8_t { unknown, ask, u32, u64, fixed32, fixed64, bytes, message };

struct MessagePlan;

struct FieldPlan {
    Kind kind = Kind::unknown;
    uint8_t wire = 0;
    uint8_t index = 0;  // in the descriptor's fields: its bit in the seen masks
    uint32_t offset = 0;
    uint32_t flag_offset = 0;  // presence flag, 0 for none
    const MessagePlan* nested = nullptr;
};

// Field numbers below this are found by index; the few messages with known
// fields above it send those to protobuf-c.
constexpr uint32_t direct_numbers = 64;

struct MessagePlan {
    const ProtobufCMessageDescriptor* descriptor = nullptr;
    uint64_t required = 0;
    bool has_high_fields = false;  // a known field numbered direct_numbers or more
    FieldPlan by_number[direct_numbers];
};

struct Reader {
    const uint8_t* at;
    const uint8_t* end;

    // A varint of at most 10 bytes, its value cut to 64 bits, as protobuf-c
    // takes it; false when longer or cut short.
    [[gnu::always_inline]] bool varint(uint64_t& out)
    {
        if (at < end && !(*at & 0x80)) [[likely]] {
            out = *at++;
            return true;
        }
        return long_varint(out);
    }

    bool long_varint(uint64_t& out)
    {
        uint64_t value = 0;
        for (unsigned shift = 0, i = 0; i < 10 && at < end; i++, shift += 7) {
            const uint8_t byte = *at++;
            value |= uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80)) {
                out = value;
                return true;
            }
        }
        return false;
    }

    // A tag of at most 5 bytes, and never field 0.
    [[gnu::always_inline]] bool tag(uint32_t& number, uint32_t& wire)
    {
        const uint8_t* start = at;
        uint64_t value;
        if (!varint(value) || at - start > 5 || (value >> 3) == 0 || value > 0xffffffffu) {
            return false;
        }
        number = uint32_t(value >> 3);
        wire = uint32_t(value & 7);
        return true;
    }

    // A length prefix (at most 5 bytes) and the bytes it covers.
    [[gnu::always_inline]] bool length_prefixed(const uint8_t*& bytes, size_t& len)
    {
        const uint8_t* start = at;
        uint64_t value;
        if (!varint(value) || at - start > 5 || value > uint64_t(end - at)) {
            return false;
        }
        bytes = at;
        len = size_t(value);
        at += len;
        return true;
    }

    [[gnu::always_inline]] bool fixed32(uint64_t& out)
    {
        if (end - at < 4) {
            return false;
        }
        out = uint64_t(at[0]) | uint64_t(at[1]) << 8 | uint64_t(at[2]) << 16 | uint64_t(at[3]) << 24;
        at += 4;
        return true;
    }

    [[gnu::always_inline]] bool fixed64(uint64_t& out)
    {
        if (end - at < 8) {
            return false;
        }
        uint64_t value = 0;
        for (int i = 7; i >= 0; i--) {
            value = value << 8 | at[i];
        }
        at += 8;
        out = value;
        return true;
    }

    // Past a field this message does not know.
    bool skip(uint32_t wire)
    {
        uint64_t ignored;
        const uint8_t* bytes;
        size_t len;
        switch (wire) {
        case wire_varint:
            return varint(ignored);
        case wire_64bit:
            return fixed64(ignored);
        case wire_32bit:
            return fixed32(ignored);
        case wire_length:
            return length_prefixed(bytes, len);
        default:
            return false;  // groups and reserved wire types: protobuf-c decides
        }
    }
};

template <class T>
[[gnu::always_inline]] inline void store(ProtobufCMessage* message, uint32_t offset, T value)
{
    memcpy(reinterpret_cast<uint8_t*>(message) + offset, &value, sizeof(value));
}

InPlace decode(const MessagePlan& plan, const uint8_t* data, size_t len, ProtobufCAllocator& allocator,
               ProtobufCMessage*& out, int depth);

// One known field's value into `message`; false sends the record to
// protobuf-c.
[[gnu::always_inline]] inline bool take_field(const FieldPlan& field, uint32_t wire, Reader& reader,
                                              ProtobufCMessage* message, ProtobufCAllocator& allocator, int depth,
                                              uint64_t& seen)
{
    if (wire != field.wire) {
        return false;
    }
    uint64_t value;
    switch (field.kind) {
    case Kind::u32:
        if (!reader.varint(value)) {
            return false;
        }
        store(message, field.offset, uint32_t(value));
        break;
    case Kind::u64:
        if (!reader.varint(value)) {
            return false;
        }
        store(message, field.offset, value);
        break;
    case Kind::fixed32:
        if (!reader.fixed32(value)) {
            return false;
        }
        store(message, field.offset, uint32_t(value));
        break;
    case Kind::fixed64:
        if (!reader.fixed64(value)) {
            return false;
        }
        store(message, field.offset, value);
        break;
    case Kind::bytes: {
        const uint8_t* bytes;
        size_t size;
        if (!reader.length_prefixed(bytes, size)) {
            return false;
        }
        // protobuf-c gives an empty value no data pointer.
        store(message, field.offset, ProtobufCBinaryData{size, size ? const_cast<uint8_t*>(bytes) : nullptr});
        break;
    }
    case Kind::message: {
        const uint8_t* bytes;
        size_t size;
        ProtobufCMessage* nested = nullptr;
        // A second occurrence is merged into the first by protobuf-c.
        if ((seen >> field.index & 1) || !reader.length_prefixed(bytes, size) ||
            decode(*field.nested, bytes, size, allocator, nested, depth + 1) != InPlace::decoded) {
            return false;
        }
        store(message, field.offset, nested);
        break;
    }
    default:
        return false;
    }
    if (field.flag_offset != 0) {
        store(message, field.flag_offset, protobuf_c_boolean(1));
    }
    seen |= uint64_t(1) << field.index;
    return true;
}

inline InPlace decode(const MessagePlan& plan, const uint8_t* data, size_t len, ProtobufCAllocator& allocator,
                      ProtobufCMessage*& out, int depth)
{
    const ProtobufCMessageDescriptor& descriptor = *plan.descriptor;
    if (depth > depth_limit) {
        return InPlace::ask_library;
    }
    auto* message = static_cast<ProtobufCMessage*>(allocator.alloc(allocator.allocator_data, descriptor.sizeof_message));
    if (!message) {
        return InPlace::ask_library;
    }
    descriptor.message_init(message);
    Reader reader{data, data + len};
    uint64_t seen = 0;
    while (reader.at < reader.end) {
        uint32_t number, wire;
        if (!reader.tag(number, wire)) {
            return InPlace::ask_library;
        }
        if (number >= direct_numbers) [[unlikely]] {
            if (plan.has_high_fields || !reader.skip(wire)) {
                return InPlace::ask_library;
            }
            continue;
        }
        const FieldPlan& field = plan.by_number[number];
        if (field.kind == Kind::unknown) {
            if (!reader.skip(wire)) {
                return InPlace::ask_library;
            }
            continue;
        }
        if (!take_field(field, wire, reader, message, allocator, depth, seen)) {
            return InPlace::ask_library;
        }
    }
    if ((seen & plan.required) != plan.required) {
        return InPlace::ask_library;
    }
    out = message;
    return InPlace::decoded;
}

}  // namespace detail

// The tables for a message type and the message types nested in it, made
// once per reader. A type with more than 64 fields, or nesting past what the
// plan holds, is planned as a field kind to ask protobuf-c about.
class Plan {
public:
    explicit Plan(const ProtobufCMessageDescriptor& descriptor) { root_ = plan(descriptor); }
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;

    const detail::MessagePlan* root() const { return root_; }

private:
    static constexpr size_t message_types = 8;

    const detail::MessagePlan* plan(const ProtobufCMessageDescriptor& descriptor)
    {
        for (size_t i = 0; i < used_; i++) {
            if (messages_[i].descriptor == &descriptor) {
                return &messages_[i];
            }
        }
        if (used_ == message_types || descriptor.n_fields > 64) {
            return nullptr;
        }
        detail::MessagePlan& message = messages_[used_++];
        message.descriptor = &descriptor;
        for (unsigned i = 0; i < descriptor.n_fields; i++) {
            const ProtobufCFieldDescriptor& field = descriptor.fields[i];
            if (field.label == PROTOBUF_C_LABEL_REQUIRED) {
                message.required |= uint64_t(1) << i;
            }
            if (field.id >= detail::direct_numbers) {
                message.has_high_fields = true;
                continue;
            }
            detail::FieldPlan& entry = message.by_number[field.id];
            entry.index = uint8_t(i);
            entry.offset = field.offset;
            entry.flag_offset = field.label == PROTOBUF_C_LABEL_OPTIONAL ? field.quantifier_offset : 0;
            entry.kind = detail::Kind::ask;
            if (field.label == PROTOBUF_C_LABEL_REPEATED || (field.flags & PROTOBUF_C_FIELD_FLAG_ONEOF)) {
                continue;
            }
            switch (field.type) {
            case PROTOBUF_C_TYPE_UINT32:
            case PROTOBUF_C_TYPE_ENUM:
                entry.kind = detail::Kind::u32;
                entry.wire = detail::wire_varint;
                break;
            case PROTOBUF_C_TYPE_UINT64:
                entry.kind = detail::Kind::u64;
                entry.wire = detail::wire_varint;
                break;
            case PROTOBUF_C_TYPE_FIXED32:
                entry.kind = detail::Kind::fixed32;
                entry.wire = detail::wire_32bit;
                break;
            case PROTOBUF_C_TYPE_FIXED64:
                entry.kind = detail::Kind::fixed64;
                entry.wire = detail::wire_64bit;
                break;
            case PROTOBUF_C_TYPE_BYTES:
                entry.kind = detail::Kind::bytes;
                entry.wire = detail::wire_length;
                break;
            case PROTOBUF_C_TYPE_MESSAGE:
                // Planned before its own fields, so a type nested in itself
                // finds its plan.
                if ((entry.nested = plan(*static_cast<const ProtobufCMessageDescriptor*>(field.descriptor)))) {
                    entry.kind = detail::Kind::message;
                    entry.wire = detail::wire_length;
                }
                break;
            default:
                break;
            }
        }
        return &message;
    }

    detail::MessagePlan messages_[message_types];
    size_t used_ = 0;
    const detail::MessagePlan* root_ = nullptr;
};

inline InPlace decode_in_place(const Plan& plan, const uint8_t* data, size_t len, ProtobufCAllocator& allocator,
                               ProtobufCMessage*& out)
{
    if (!plan.root()) {
        return InPlace::ask_library;
    }
    return detail::decode(*plan.root(), data, len, allocator, out, 0);
}

}  // namespace tvx::protobuf
