#pragma once
// DNS client: queries to one server over UDP, TCP or TLS, sent whole from a
// pushed object or part by part by the caller, and the server's responses
// pulled one per call; stream responses keep their two-byte length field.
#include <cstddef>
#include <cstdint>
#include <gnutls/gnutls.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "core/log.h"
#include "core/object.h"
#include "core/object/payload.h"
#include "core/timespec.h"

extern "C" {

typedef enum output_dnscli_mode {
    OUTPUT_DNSCLI_MODE_NONE = 0x0,
    OUTPUT_DNSCLI_MODE_OPTIONS = 0xf,
    OUTPUT_DNSCLI_MODE_NONBLOCKING = 0x1,
    OUTPUT_DNSCLI_MODE_MODES = 0xf0,
    OUTPUT_DNSCLI_MODE_UDP = 0x10,
    OUTPUT_DNSCLI_MODE_TCP = 0x20,
    OUTPUT_DNSCLI_MODE_TLS = 0x30
} output_dnscli_mode_t;

typedef struct output_dnscli {
    core_log_t _log;
    output_dnscli_mode_t mode;
    size_t pkts;
    size_t errs;
    size_t timeouts;
    int fd;
    int nonblocking;
    int conn_ok;
    struct pollfd poll;
    int poll_timeout;
    struct sockaddr_storage addr;
    size_t addr_len;
    uint8_t recvbuf[64 * 1024 + 2];
    core_object_payload_t pkt;
    uint16_t dnslen;
    uint8_t have_dnslen;
    uint8_t have_pkt;
    size_t recv;
    size_t pkts_recv;
    core_timespec_t timeout;
    gnutls_session_t session;
    gnutls_certificate_credentials_t cred;
} output_dnscli_t;

core_log_t* output_dnscli_log();
void output_dnscli_init(output_dnscli_t* self, output_dnscli_mode_t mode);
void output_dnscli_destroy(output_dnscli_t* self);
int output_dnscli_connect(output_dnscli_t* self, const char* host, const char* port);
ssize_t output_dnscli_send(output_dnscli_t* self, const core_object_t* obj, size_t sent);
core_receiver_t output_dnscli_receiver(output_dnscli_t* self);
core_producer_t output_dnscli_producer(output_dnscli_t* self);
// What the connection is ready for within `limit_ms` (0: now, -1: no limit):
// bit 1 when a receive would find something without waiting (bytes on the
// socket, a TLS record already decrypted, or a frame begun), bit 2 when a
// send would not block; 0 when neither came in time. Lets a sender that does
// not look at answers still take them off the socket while it waits to send,
// so a stream peer never blocks on a full buffer.
int output_dnscli_ready(output_dnscli_t* self, int limit_ms);

}  // extern "C"
