#include "input/pcap.h"

#include <type_traits>

#include "core/detail/log.h"

static_assert(std::is_standard_layout_v<input_pcap_t>);

namespace {

core_log_t module_log = core_log_module_init("input.pcap");

// libpcap's default buffer timeout is none: on Linux a live handle then holds
// packets back until a whole ring block fills, so sparse traffic is never
// delivered and what is held when the script stops is lost. With a timeout
// a read hands over what has arrived at least this often (as tcpdump does).
constexpr int live_buffer_timeout_ms = 1000;

constexpr input_pcap_t defaults = {
    core_log_object_init("input.pcap", module_log),
    nullptr,
    nullptr,
    0,
    {nullptr, CORE_OBJECT_PCAP, 0, 0, {0, 0}, 0, 0, nullptr, 0},
    nullptr,
    0,
    0,
    0,
};

// The handle is usable: take over its snapshot length, link type and byte
// order, so that every packet record carries them.
void adopt_handle(input_pcap_t* self, uint8_t is_swapped)
{
    self->snaplen = static_cast<size_t>(pcap_snapshot(self->pcap));
    self->linktype = static_cast<uint32_t>(pcap_datalink(self->pcap));
    self->is_swapped = is_swapped;
    self->prod_pkt.snaplen = static_cast<uint32_t>(self->snaplen);
    self->prod_pkt.linktype = self->linktype;
    self->prod_pkt.is_swapped = is_swapped;
    TVX_DEBUG(self, "pcap v%u.%u snaplen:%lu %s", static_cast<unsigned>(pcap_major_version(self->pcap)),
              static_cast<unsigned>(pcap_minor_version(self->pcap)), self->snaplen, is_swapped ? " swapped" : "");
}

void require_handle(const input_pcap_t* self)
{
    if (!self->pcap) {
        TVX_FATAL(self, "no PCAP opened");
    }
}

void require_no_handle(const input_pcap_t* self)
{
    if (self->pcap) {
        TVX_FATAL(self, "already opened");
    }
}

// libpcap keeps the text of a plain error (-1) in the handle; the other
// negative results are status codes with a fixed text.
const char* error_text(pcap_t* pcap, int result)
{
    return result == PCAP_ERROR ? pcap_geterr(pcap) : pcap_statustostr(result);
}

// A break (-2) is libpcap's end of a file or of a broken loop, not an error.
void report_failure(input_pcap_t* self, const char* call, int result)
{
    if (result < 0 && result != PCAP_ERROR_BREAK) {
        TVX_WARNING(self, "%s() error: %s", call, error_text(self->pcap, result));
    }
}

void on_packet(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes)
{
    auto* self = reinterpret_cast<input_pcap_t*>(user);
    TVX_CHECK_SELF(self, module_log);
    if (!header) {
        TVX_FATAL(self, "pcap_pkthdr is nil");
    }
    if (!bytes) {
        TVX_FATAL(self, "bytes is nil");
    }
    // Lent to the receiver for this call only: libpcap reuses its buffer.
    const core_object_pcap_t record = {
        nullptr,
        CORE_OBJECT_PCAP,
        static_cast<uint32_t>(self->snaplen),
        self->linktype,
        {static_cast<int64_t>(header->ts.tv_sec), static_cast<int64_t>(header->ts.tv_usec) * 1000},
        header->caplen,
        header->len,
        bytes,
        self->is_swapped,
    };
    self->pkts++;
    self->recv(self->ctx, reinterpret_cast<const core_object_t*>(&record));
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<input_pcap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    require_handle(self);

    struct pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int result;
    // 0 is a live capture's read timeout: nothing arrived yet, ask again.
    do {
        result = pcap_next_ex(self->pcap, &header, &data);
    } while (result == 0);
    if (result != 1 || !header || !data) {
        report_failure(self, "pcap_next_ex", result);
        return nullptr;
    }
    self->prod_pkt.ts.sec = static_cast<int64_t>(header->ts.tv_sec);
    self->prod_pkt.ts.nsec = static_cast<int64_t>(header->ts.tv_usec) * 1000;
    self->prod_pkt.caplen = header->caplen;
    self->prod_pkt.len = header->len;
    self->prod_pkt.bytes = data;
    return reinterpret_cast<const core_object_t*>(&self->prod_pkt);
}

void require_receiver(const input_pcap_t* self)
{
    require_handle(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
}

}  // namespace

extern "C" core_log_t* input_pcap_log()
{
    return &module_log;
}

extern "C" void input_pcap_init(input_pcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

extern "C" void input_pcap_destroy(input_pcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->pcap) {
        pcap_close(self->pcap);
        self->pcap = nullptr;
    }
}

extern "C" int input_pcap_create(input_pcap_t* self, const char* source)
{
    TVX_CHECK_SELF(self, module_log);
    if (!source) {
        TVX_FATAL(self, "source is nil");
    }
    require_no_handle(self);
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    self->pcap = pcap_create(source, errbuf);
    if (!self->pcap) {
        TVX_CRITICAL(self, "pcap_create(%s) error: %s", source, errbuf);
        return -1;
    }
    // Only an already active handle refuses this, and this one is new.
    pcap_set_timeout(self->pcap, live_buffer_timeout_ms);
    return 0;
}

extern "C" int input_pcap_activate(input_pcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    require_handle(self);
    int result = pcap_activate(self->pcap);
    if (result < 0) {
        return result;
    }
    // A warning still leaves the handle active and capturing: without its link
    // type and snapshot length every packet would be stamped with link type 0.
    if (result > 0) {
        TVX_WARNING(self, "pcap_activate() warning: %s",
                    result == PCAP_WARNING ? pcap_geterr(self->pcap) : pcap_statustostr(result));
    }
    adopt_handle(self, 0);
    return result;
}

extern "C" int input_pcap_open_offline(input_pcap_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    if (!file) {
        TVX_FATAL(self, "file is nil");
    }
    require_no_handle(self);
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    self->pcap = pcap_open_offline(file, errbuf);
    if (!self->pcap) {
        TVX_CRITICAL(self, "pcap_open_offline(%s) error: %s", file, errbuf);
        return -1;
    }
    adopt_handle(self, pcap_is_swapped(self->pcap) ? 1 : 0);
    return 0;
}

extern "C" int input_pcap_loop(input_pcap_t* self, int cnt)
{
    TVX_CHECK_SELF(self, module_log);
    require_receiver(self);
    int result = pcap_loop(self->pcap, cnt, on_packet, reinterpret_cast<u_char*>(self));
    report_failure(self, "pcap_loop", result);
    return result;
}

extern "C" int input_pcap_dispatch(input_pcap_t* self, int cnt)
{
    TVX_CHECK_SELF(self, module_log);
    require_receiver(self);
    int result = pcap_dispatch(self->pcap, cnt, on_packet, reinterpret_cast<u_char*>(self));
    report_failure(self, "pcap_dispatch", result);
    return result;
}

extern "C" core_producer_t input_pcap_producer(input_pcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    require_handle(self);
    return produce;
}
