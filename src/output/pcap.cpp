#include "output/pcap.h"

#include <cstdio>
#include <type_traits>

#include "core/detail/log.h"
#include "core/object/pcap.h"

static_assert(std::is_standard_layout_v<output_pcap_t>);

namespace {

core_log_t module_log = core_log_module_init("output.pcap");

constexpr output_pcap_t defaults = {
    core_log_object_init("output.pcap", module_log),
    nullptr,
    nullptr,
    0,
};

// The largest snapshot length libpcap and the readers accept; a length of 0
// or less means "no limit" in libpcap and is written as this one, since a
// file header of 0 would make every non-empty record invalid for a reader.
constexpr int max_snaplen = 262144;

const core_object_pcap_t* find_pcap(const core_object_t* obj)
{
    for (; obj; obj = obj->obj_prev) {
        if (obj->obj_type == CORE_OBJECT_PCAP) {
            return reinterpret_cast<const core_object_pcap_t*>(obj);
        }
    }
    return nullptr;
}

void write_packet(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<output_pcap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    // A pipeline still wired to a writer that was closed would otherwise hand
    // libpcap a dead writer.
    if (!self->dumper) {
        TVX_FATAL(self, "PCAP not opened");
    }
    const core_object_pcap_t* packet = find_pcap(obj);
    if (!packet) {
        return;
    }
    if (!packet->bytes && packet->caplen) {
        TVX_FATAL(self, "bytes is nil");
    }
    // A record longer than the file's snapshot length would make the file
    // unreadable from that record on; store it cut, as a capture with that
    // snapshot length would have, keeping the original length.
    uint32_t caplen = packet->caplen;
    const auto snaplen = static_cast<uint32_t>(pcap_snapshot(self->pcap));
    if (caplen > snaplen) {
        caplen = snaplen;
    }
    struct pcap_pkthdr header = {};
    header.ts.tv_sec = static_cast<time_t>(packet->ts.sec);
    header.ts.tv_usec = static_cast<suseconds_t>(packet->ts.nsec / 1000);
    header.caplen = caplen;
    header.len = packet->len;
    pcap_dump(reinterpret_cast<u_char*>(self->dumper), &header, packet->bytes);
    self->packets++;
}

// Pushes what stdio still buffers to the file, so that a failed write shows
// in the error indicator now and not only when the file is closed.
bool write_failed(pcap_dumper_t* dumper)
{
    const bool flush_failed = pcap_dump_flush(dumper) != 0;
    return flush_failed || ferror(pcap_dump_file(dumper));
}

}  // namespace

extern "C" core_log_t* output_pcap_log()
{
    return &module_log;
}

extern "C" void output_pcap_init(output_pcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

// An open writer is closed here: the packets written so far reach the file
// even when the script never called close().
extern "C" void output_pcap_destroy(output_pcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    output_pcap_close(self);
}

extern "C" int output_pcap_open(output_pcap_t* self, const char* file, int linktype, int snaplen)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->dumper || self->pcap) {
        TVX_FATAL(self, "PCAP already opened");
    }
    if (snaplen <= 0 || snaplen > max_snaplen) {
        snaplen = max_snaplen;
    }
    self->pcap = pcap_open_dead(linktype, snaplen);
    if (!self->pcap) {
        TVX_CRITICAL(self, "pcap_open_dead() failed");
        return -1;
    }
    self->dumper = pcap_dump_open(self->pcap, file);
    if (!self->dumper) {
        TVX_CRITICAL(self, "pcap_dump_open() error: %s", pcap_geterr(self->pcap));
        pcap_close(self->pcap);
        self->pcap = nullptr;
        return -1;
    }
    self->packets = 0;
    return 0;
}

extern "C" void output_pcap_close(output_pcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->dumper) {
        if (write_failed(self->dumper)) {
            TVX_CRITICAL(self, "could not write every packet to the PCAP file");
        }
        pcap_dump_close(self->dumper);
        self->dumper = nullptr;
    }
    if (self->pcap) {
        pcap_close(self->pcap);
        self->pcap = nullptr;
    }
}

extern "C" int output_pcap_have_errors(output_pcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->dumper) {
        return 0;
    }
    return write_failed(self->dumper) ? 1 : 0;
}

extern "C" core_receiver_t output_pcap_receiver(output_pcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->dumper) {
        TVX_FATAL(self, "PCAP not opened");
    }
    return write_packet;
}
