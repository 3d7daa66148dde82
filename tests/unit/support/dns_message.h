#pragma once
// Building DNS messages byte by byte and parsing them over a payload record.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "core/object/dns.h"
#include "core/object/payload.h"

using Bytes = std::vector<uint8_t>;

struct Wire {
    Bytes bytes;

    Wire& u8(uint8_t value)
    {
        bytes.push_back(value);
        return *this;
    }
    Wire& u16(uint16_t value) { return u8(value >> 8).u8(value & 0xFF); }
    Wire& u32(uint32_t value) { return u16(value >> 16).u16(value & 0xFFFF); }
    Wire& raw(std::initializer_list<uint8_t> values)
    {
        bytes.insert(bytes.end(), values);
        return *this;
    }
    Wire& raw(const Bytes& values)
    {
        bytes.insert(bytes.end(), values.begin(), values.end());
        return *this;
    }
    Wire& text(const std::string& value)
    {
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    Wire& zeros(size_t count)
    {
        bytes.insert(bytes.end(), count, 0);
        return *this;
    }
    // Uncompressed labels of a dotted name and the root label.
    Wire& name(const std::string& dotted)
    {
        size_t start = 0;
        while (start < dotted.size()) {
            size_t dot = dotted.find('.', start);
            if (dot == std::string::npos) {
                dot = dotted.size();
            }
            if (dot > start) {
                u8(static_cast<uint8_t>(dot - start)).text(dotted.substr(start, dot - start));
            }
            start = dot + 1;
        }
        return u8(0);
    }
    Wire& header(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar)
    {
        return u16(id).u16(flags).u16(qd).u16(an).u16(ns).u16(ar);
    }
    // A resource record; `rdlength` overrides the true length of `rdata`.
    Wire& rr(const Bytes& owner, uint16_t type, uint16_t klass, uint32_t ttl, const Bytes& rdata,
             int rdlength = -1)
    {
        raw(owner).u16(type).u16(klass).u32(ttl);
        u16(rdlength < 0 ? static_cast<uint16_t>(rdata.size()) : static_cast<uint16_t>(rdlength));
        return raw(rdata);
    }
    size_t size() const { return bytes.size(); }
};

inline Bytes name_bytes(const std::string& dotted)
{
    return Wire().name(dotted).bytes;
}

// A payload record over an exactly sized heap copy of the bytes (so that the
// address sanitizer sees any read past the end), and a DNS object on it.
class Message {
public:
    explicit Message(const Bytes& bytes, bool dnslen = false) : size_(bytes.size())
    {
        if (size_) {
            buffer_.reset(new uint8_t[size_]);
            std::copy(bytes.begin(), bytes.end(), buffer_.get());
        }
        payload_.obj_type = CORE_OBJECT_PAYLOAD;
        payload_.payload = buffer_.get();
        payload_.len = size_;
        dns_ = core_object_dns_new();
        dns_->obj_prev = reinterpret_cast<const core_object_t*>(&payload_);
        dns_->includes_dnslen = dnslen;
    }
    ~Message() { core_object_dns_free(dns_); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    core_object_dns_t* dns() { return dns_; }
    const core_object_dns_t* dns() const { return dns_; }
    const uint8_t* bytes() const { return buffer_.get(); }
    size_t size() const { return size_; }
    core_object_payload_t* payload() { return &payload_; }
    // Position of the parse cursor counted from the first payload byte.
    size_t cursor() const { return dns_->len - dns_->left; }

private:
    size_t size_;
    std::unique_ptr<uint8_t[]> buffer_;
    core_object_payload_t payload_{};
    core_object_dns_t* dns_;
};
