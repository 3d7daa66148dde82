#pragma once
// Tells a capture file by its content: which compression (none, LZ4 frame,
// Zstandard, gzip, xz) and which format inside (PCAP, pcapng, a dnstap log
// in Frame Streams), and whether
// the path is a regular file that the mapping readers can take. The stream
// it leaves reads the file from its first byte even when the file cannot be
// read twice (a pipe, standard input): what was read to tell is given again.
//
// input_capture_probe: 0, or -1 when the file cannot be opened or read
// (`error` holds the errno value; nothing is logged, the caller words it).
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/log.h"

extern "C" {

typedef enum input_capture_format {
    input_capture_format_unknown = 0,
    input_capture_format_pcap = 1,
    input_capture_format_pcapng = 2,
    input_capture_format_dnstap = 3
} input_capture_format_t;

typedef struct input_capture {
    core_log_t _log;
    int32_t compression;
    input_capture_format_t format;
    int32_t is_regular;
    int32_t is_stdin;
    FILE* stream;
    uint8_t* prefix;
    size_t prefix_len;
    int32_t error;
} input_capture_t;

core_log_t* input_capture_log();
void input_capture_init(input_capture_t* self);
void input_capture_destroy(input_capture_t* self);
int input_capture_probe(input_capture_t* self, const char* path);
void input_capture_close(input_capture_t* self);

}  // extern "C"
