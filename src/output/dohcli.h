#pragma once
// DNS-over-HTTPS client: queries to one server as concurrent HTTP/2 streams on
// one connection (TLS with ALPN h2, or h2c), sent from pushed objects, and
// the server's DNS answers pulled one per call. A query the server reset, or
// that a GOAWAY or a lost connection left unanswered, is sent once more (on a
// new connection when needed); answers come without a length field.
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "core/log.h"
#include "core/object.h"
#include "core/object/payload.h"
#include "core/timespec.h"

extern "C" {

typedef enum output_dohcli_method {
    OUTPUT_DOHCLI_POST = 0,
    OUTPUT_DOHCLI_GET = 1
} output_dohcli_method_t;

typedef struct output_dohcli {
    core_log_t _log;
    output_dohcli_method_t method;
    int h2c;
    int verify;
    int conn_ok;
    size_t pkts;
    size_t pkts_recv;
    size_t errs;
    size_t timeouts;
    size_t bad_status;
    size_t bad_type;
    size_t resets;
    size_t refused;
    size_t gone;
    size_t too_long;
    size_t resent;
    size_t lost;
    size_t connects;
    size_t peak;
    core_timespec_t timeout;
    char host[256];
    char port[32];
    char path[1024];
    char server_name[256];
    char ca_file[4096];
    uint8_t recvbuf[64 * 1024];
    core_object_payload_t pkt;
    void* engine;
} output_dohcli_t;

core_log_t* output_dohcli_log();
void output_dohcli_init(output_dohcli_t* self);
void output_dohcli_destroy(output_dohcli_t* self);
// path, server name, CA file: 0, or -1 when the text does not fit its field.
int output_dohcli_set_path(output_dohcli_t* self, const char* path);
int output_dohcli_set_server_name(output_dohcli_t* self, const char* name);
int output_dohcli_set_ca_file(output_dohcli_t* self, const char* file);
// 0; -1 resolution failure, -2 socket or connection failure, -3 TLS or
// HTTP/2 set-up failure (the handshake itself completes while sending or
// receiving; a failed one ends the connection and its queries are counted).
int output_dohcli_connect(output_dohcli_t* self, const char* host, const char* port);
core_receiver_t output_dohcli_receiver(output_dohcli_t* self);
core_producer_t output_dohcli_producer(output_dohcli_t* self);
// Queries sent and not yet completed (answered, refused or given up).
size_t output_dohcli_in_flight(output_dohcli_t* self);
// The server's concurrent stream limit on the current connection (0: none open).
uint32_t output_dohcli_max_streams(output_dohcli_t* self);

}  // extern "C"
