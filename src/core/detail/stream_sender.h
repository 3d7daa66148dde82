#pragma once
// What the query senders share around their transport calls: finding the
// query in a pushed object, and turning one reassembly result into the
// producer's answer. The TCP and TLS senders differ only in the Source and
// the write they pass in.
#include "core/detail/stream_frame.h"
#include "core/object.h"
#include "core/object/payload.h"

namespace tvx::sender {

// Over DNS records to the payload they rest on; anything else is not a query.
inline const core_object_payload_t* query_payload(const core_object_t* obj)
{
    while (obj && obj->obj_type == CORE_OBJECT_DNS) {
        obj = obj->obj_prev;
    }
    if (!obj || obj->obj_type != CORE_OBJECT_PAYLOAD) {
        return nullptr;
    }
    return reinterpret_cast<const core_object_payload_t*>(obj);
}

// Push: the query framed and written whole by `write_frame(bytes, len)`,
// which returns a net::Io; counted in `pkts`, or in `errs` when it failed.
// Every payload gets its field, even one that already starts with one.
template <class Sender, class WriteFrame>
void send_framed(Sender* self, const core_object_t* obj, WriteFrame write_frame)
{
    const core_object_payload_t* query = query_payload(obj);
    if (!query) {
        return;
    }
    if (write_frame(query->payload, query->len).kind != net::Io::data) {
        self->errs++;
        return;
    }
    self->pkts++;
}

// Pull: the next whole message from `source` as the sender's `pkt`, without
// its field; an empty `pkt` when none is whole yet; null at the end of the
// stream or after a failure (counted in `errs`).
template <class Sender, class Source>
const core_object_t* produce_message(Sender* self, Source& source, bool blocking)
{
    stream::MessageAssembly assembly{self->recvbuf, sizeof(self->recvbuf), self->recv, self->dnslen,
                                     self->have_dnslen};
    const stream::Result got = assembly.next(source, blocking);
    switch (got.kind) {
    case stream::Result::message:
        self->pkts_recv++;
        self->pkt.len = got.len;
        break;
    case stream::Result::empty:
        self->pkt.len = 0;
        break;
    case stream::Result::end:
        return nullptr;
    case stream::Result::error:
        self->errs++;
        return nullptr;
    }
    return reinterpret_cast<const core_object_t*>(&self->pkt);
}

}  // namespace tvx::sender
