#pragma once
// TLS query sender: DNS over TLS to one server, the TCP sender's framing and
// reassembly inside one GnuTLS session; all waiting is bounded by the
// session's record timeout.
#include <cstddef>
#include <cstdint>
#include <gnutls/gnutls.h>

#include "core/log.h"
#include "core/object.h"
#include "core/object/payload.h"
#include "core/timespec.h"

extern "C" {

typedef struct output_tlscli {
    core_log_t _log;
    size_t pkts;
    size_t errs;
    int fd;
    int tls_ok;
    uint8_t recvbuf[64 * 1024];
    core_object_payload_t pkt;
    uint16_t dnslen;
    uint8_t have_dnslen;
    size_t recv;
    size_t pkts_recv;
    core_timespec_t timeout;
    gnutls_session_t session;
    gnutls_certificate_credentials_t cred;
} output_tlscli_t;

core_log_t* output_tlscli_log();
void output_tlscli_init(output_tlscli_t* self);
void output_tlscli_destroy(output_tlscli_t* self);
int output_tlscli_connect(output_tlscli_t* self, const char* host, const char* port);
core_receiver_t output_tlscli_receiver(output_tlscli_t* self);
core_producer_t output_tlscli_producer(output_tlscli_t* self);

}  // extern "C"
