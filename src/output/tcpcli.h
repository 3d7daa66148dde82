#pragma once
// TCP query sender: DNS messages to one server over one connection, each
// behind its two-byte length field, and the server's responses back one whole
// message per produce call, without the field.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "core/object/payload.h"
#include "core/timespec.h"

extern "C" {

typedef struct output_tcpcli {
    core_log_t _log;
    size_t pkts;
    size_t errs;
    int fd;
    uint8_t recvbuf[64 * 1024];
    core_object_payload_t pkt;
    uint16_t dnslen;
    uint8_t have_dnslen;
    size_t recv;
    size_t pkts_recv;
    core_timespec_t timeout;
    int8_t blocking;
} output_tcpcli_t;

core_log_t* output_tcpcli_log();
void output_tcpcli_init(output_tcpcli_t* self);
void output_tcpcli_destroy(output_tcpcli_t* self);
int output_tcpcli_connect(output_tcpcli_t* self, const char* host, const char* port);
int output_tcpcli_nonblocking(output_tcpcli_t* self);
int output_tcpcli_set_nonblocking(output_tcpcli_t* self, int nonblocking);
core_receiver_t output_tcpcli_receiver(output_tcpcli_t* self);
core_producer_t output_tcpcli_producer(output_tcpcli_t* self);

}  // extern "C"
