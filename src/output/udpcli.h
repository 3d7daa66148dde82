#pragma once
// UDP query sender: sends each pushed payload as one datagram to one server
// and hands the datagrams that come back out as payload records.
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include "core/log.h"
#include "core/object.h"
#include "core/object/payload.h"
#include "core/timespec.h"

extern "C" {

typedef struct output_udpcli {
    core_log_t _log;
    size_t pkts;
    size_t errs;
    int fd;
    struct sockaddr_storage addr;
    size_t addr_len;
    uint8_t recvbuf[4 * 1024];
    core_object_payload_t pkt;
    size_t pkts_recv;
    core_timespec_t timeout;
    int8_t blocking;
} output_udpcli_t;

core_log_t* output_udpcli_log();
void output_udpcli_init(output_udpcli_t* self);
void output_udpcli_destroy(output_udpcli_t* self);
int output_udpcli_connect(output_udpcli_t* self, const char* host, const char* port);
int output_udpcli_nonblocking(output_udpcli_t* self);
int output_udpcli_set_nonblocking(output_udpcli_t* self, int nonblocking);
core_receiver_t output_udpcli_receiver(output_udpcli_t* self);
core_producer_t output_udpcli_producer(output_udpcli_t* self);

}  // extern "C"
