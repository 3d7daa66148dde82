#pragma once
// One line per DNS message, formatted here so that a capture or a dnstap log
// of millions of messages prints at the rate it is read:
//   2023-11-14 22:13:20.000001 CQ 192.0.2.10.1024 > 192.0.2.53.53 udp 34b 4660 "q1.example." IN A
// time (UTC, microseconds), kind (the dnstap message type, CQ/CR/RQ/...,
// or Q/R from the header for a packet), source and destination address and
// port, transport, message size, id, the first question, and for a
// response its rcode. A message too short for a header or with an
// unreadable question ends in "malformed". Lines are gathered in a buffer
// and written when it fills, on flush and on close.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"

extern "C" {

typedef struct output_brief {
    core_log_t _log;
    int32_t fd;
    int32_t own_fd;
    uint32_t port;
    int32_t failed;
    size_t lines;
    char* buf;
    size_t used;
    int64_t stamp_sec;
    char stamp[24];
} output_brief_t;

core_log_t* output_brief_log();
void output_brief_init(output_brief_t* self);
void output_brief_destroy(output_brief_t* self);
int output_brief_open(output_brief_t* self, const char* file);
void output_brief_port(output_brief_t* self, uint32_t port);
int output_brief_write(output_brief_t* self, const core_object_t* obj);
int output_brief_flush(output_brief_t* self);
void output_brief_close(output_brief_t* self);
core_receiver_t output_brief_receiver(output_brief_t* self);

}  // extern "C"
