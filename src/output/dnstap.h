#pragma once
// dnstap writer: a receiver that appends the logged record under each pushed
// object (its dnstap record's frame) to a Frame Streams file of content type
// "protobuf:dnstap.Dnstap", through libfstrm's file writer. Objects without a
// dnstap record are not written.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"

extern "C" {

typedef struct output_dnstap {
    core_log_t _log;
    void* writer;
    size_t frames;
    int32_t failed;
} output_dnstap_t;

core_log_t* output_dnstap_log();
void output_dnstap_init(output_dnstap_t* self);
void output_dnstap_destroy(output_dnstap_t* self);
int output_dnstap_open(output_dnstap_t* self, const char* file);
void output_dnstap_close(output_dnstap_t* self);
int output_dnstap_have_errors(output_dnstap_t* self);
core_receiver_t output_dnstap_receiver(output_dnstap_t* self);

}  // extern "C"
