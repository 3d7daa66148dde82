#include "output/brief.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "core/detail/dns_question.h"
#include "core/detail/log.h"
#include "core/object/dnstap.h"
#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "core/object/tcp.h"
#include "core/object/udp.h"

static_assert(std::is_standard_layout_v<output_brief_t>);

namespace {

core_log_t module_log = core_log_module_init("output.brief");

constexpr output_brief_t make_defaults()
{
    output_brief_t record{};
    record._log = core_log_object_init("output.brief", module_log);
    record.fd = -1;
    record.stamp_sec = -1;
    return record;
}
constexpr output_brief_t defaults = make_defaults();

constexpr size_t buffer_size = 64 * 1024;
// The longest line: a 255-byte name with every byte escaped (\DDD) and the
// rest of the fields at their widest.
constexpr size_t line_room = 4 * 255 + 256;

// The dnstap message types in order, as dnstap tools abbreviate them.
constexpr const char* tap_kinds[] = {"AQ", "AR", "RQ", "RR", "CQ", "CR", "FQ", "FR",
                                     "SQ", "SR", "TQ", "TR", "UQ", "UR"};
constexpr const char* tap_transports[] = {"udp", "tcp", "dot", "doh", "dnscrypt-udp", "dnscrypt-tcp", "doq"};
constexpr const char* rcodes[] = {"NOERROR", "FORMERR",  "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED",
                                  "YXDOMAIN", "YXRRSET", "NXRRSET",  "NOTAUTH",  "NOTZONE"};

struct TypeName {
    uint16_t type;
    const char* name;
};
constexpr TypeName type_names[] = {
    {1, "A"},        {2, "NS"},      {5, "CNAME"},   {6, "SOA"},     {12, "PTR"},   {13, "HINFO"},
    {15, "MX"},      {16, "TXT"},    {17, "RP"},     {18, "AFSDB"},  {24, "SIG"},   {25, "KEY"},
    {28, "AAAA"},    {29, "LOC"},    {33, "SRV"},    {35, "NAPTR"},  {36, "KX"},    {37, "CERT"},
    {39, "DNAME"},   {41, "OPT"},    {42, "APL"},    {43, "DS"},     {44, "SSHFP"}, {45, "IPSECKEY"},
    {46, "RRSIG"},   {47, "NSEC"},   {48, "DNSKEY"}, {49, "DHCID"},  {50, "NSEC3"}, {51, "NSEC3PARAM"},
    {52, "TLSA"},    {53, "SMIMEA"}, {55, "HIP"},    {59, "CDS"},    {60, "CDNSKEY"}, {61, "OPENPGPKEY"},
    {62, "CSYNC"},   {63, "ZONEMD"}, {64, "SVCB"},   {65, "HTTPS"},  {99, "SPF"},   {249, "TKEY"},
    {250, "TSIG"},   {251, "IXFR"},  {252, "AXFR"},  {255, "ANY"},   {256, "URI"},  {257, "CAA"},
};

// Appends to a line being built; the caller made room for the widest line.
struct Line {
    char* at;

    void text(const char* s)
    {
        const size_t n = strlen(s);
        memcpy(at, s, n);
        at += n;
    }
    void ch(char c) { *at++ = c; }
    void number(uint64_t value)
    {
        char digits[20];
        size_t n = 0;
        do {
            digits[n++] = char('0' + value % 10);
            value /= 10;
        } while (value);
        while (n) {
            *at++ = digits[--n];
        }
    }
    void padded(uint64_t value, int width)
    {
        for (int i = width - 1; i >= 0; i--) {
            at[i] = char('0' + value % 10);
            value /= 10;
        }
        at += width;
    }
};

template <class T>
const T* find(const core_object_t* obj, int32_t type)
{
    for (; obj; obj = obj->obj_prev) {
        if (obj->obj_type == type) {
            return reinterpret_cast<const T*>(obj);
        }
    }
    return nullptr;
}

// "YYYY-MM-DD HH:MM:SS" of a second, worked out once per second seen.
const char* stamp_of(output_brief_t* self, int64_t sec)
{
    if (sec != self->stamp_sec) {
        const time_t t = time_t(sec);
        struct tm tm;
        if (!gmtime_r(&t, &tm) ||
            strftime(self->stamp, sizeof(self->stamp), "%Y-%m-%d %H:%M:%S", &tm) == 0) {
            snprintf(self->stamp, sizeof(self->stamp), "%lld", static_cast<long long>(sec));
        }
        self->stamp_sec = sec;
    }
    return self->stamp;
}

void address(Line& line, const core_object_t* net, bool source)
{
    char text[INET6_ADDRSTRLEN];
    if (net && net->obj_type == CORE_OBJECT_IP) {
        // Dotted quad by hand: inet_ntop formats it through sprintf, which
        // was a third of a line's cost.
        const auto* ip = reinterpret_cast<const core_object_ip_t*>(net);
        const uint8_t* bytes = source ? ip->src : ip->dst;
        for (int i = 0; i < 4; i++) {
            if (i) {
                line.ch('.');
            }
            line.number(bytes[i]);
        }
        return;
    }
    if (net && net->obj_type == CORE_OBJECT_IP6) {
        const auto* ip6 = reinterpret_cast<const core_object_ip6_t*>(net);
        inet_ntop(AF_INET6, source ? ip6->src : ip6->dst, text, sizeof(text));
    } else {
        strcpy(text, "?");
    }
    line.text(text);
}

// A wire-form name (as the question reader gives it) in presentation form.
void name(Line& line, const uint8_t* wire, size_t len)
{
    size_t at = 0;
    while (at < len && wire[at] != 0) {
        const uint8_t label = wire[at];
        for (size_t i = 1; i <= label && at + i < len; i++) {
            const uint8_t c = wire[at + i];
            if (c == '.' || c == '\\' || c == '"' || c == ';' || c == '(' || c == ')' || c == '@' || c == '$') {
                line.ch('\\');
                line.ch(char(c));
            } else if (c > 0x20 && c < 0x7f) {
                line.ch(char(c));
            } else {
                line.ch('\\');
                line.padded(c, 3);
            }
        }
        line.ch('.');
        at += 1 + label;
    }
    if (at == 0) {
        line.ch('.');  // the root
    }
}

void type_of(Line& line, uint16_t type)
{
    for (const TypeName& known : type_names) {
        if (known.type == type) {
            line.text(known.name);
            return;
        }
    }
    line.text("TYPE");
    line.number(type);
}

void class_of(Line& line, uint16_t klass)
{
    switch (klass) {
    case 1:
        line.text("IN");
        return;
    case 3:
        line.text("CH");
        return;
    case 4:
        line.text("HS");
        return;
    case 255:
        line.text("ANY");
        return;
    default:
        line.text("CLASS");
        line.number(klass);
    }
}

// The DNS part of a line: id, question, rcode of a response; "malformed"
// where the message does not hold them. The header's QR bit, or -1.
int dns_fields(Line& line, const uint8_t* message, size_t len)
{
    tvx::dns::Question q;
    if (!tvx::dns::read_header(message, len, q) || len < tvx::dns::header_size) {
        line.text(" malformed");
        return -1;
    }
    line.ch(' ');
    line.number(q.id);
    if (q.qdcount > 0) {
        if (!tvx::dns::read_question<false>(message, len, q)) {
            line.text(" malformed");
            return q.qr;
        }
        line.text(" \"");
        name(line, q.name, q.name_len);
        line.text("\" ");
        class_of(line, q.qclass);
        line.ch(' ');
        type_of(line, q.qtype);
    }
    if (q.qr) {
        line.ch(' ');
        if (q.rcode < sizeof(rcodes) / sizeof(rcodes[0])) {
            line.text(rcodes[q.rcode]);
        } else {
            line.text("RCODE");
            line.number(q.rcode);
        }
    }
    return q.qr;
}

int flush_buffer(output_brief_t* self)
{
    size_t done = 0;
    while (done < self->used) {
        const ssize_t put = ::write(self->fd, self->buf + done, self->used - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            // Told once: the lines after it fail the same way.
            if (!self->failed) {
                TVX_CRITICAL(self, "write() error %s", core_log_errstr(errno));
            }
            self->failed = 1;
            self->used = 0;
            return -1;
        }
        done += size_t(put);
    }
    self->used = 0;
    return 0;
}

int write_line(output_brief_t* self, const core_object_t* obj)
{
    if (self->fd < 0) {
        TVX_FATAL(self, "no output opened");
    }
    if (!obj || obj->obj_type != CORE_OBJECT_PAYLOAD || !obj->obj_prev) {
        return 0;
    }
    const auto* payload = reinterpret_cast<const core_object_payload_t*>(obj);
    const core_object_t* transport = obj->obj_prev;
    uint16_t sport, dport;
    if (transport->obj_type == CORE_OBJECT_UDP) {
        const auto* udp = reinterpret_cast<const core_object_udp_t*>(transport);
        sport = udp->sport;
        dport = udp->dport;
    } else if (transport->obj_type == CORE_OBJECT_TCP) {
        const auto* tcp = reinterpret_cast<const core_object_tcp_t*>(transport);
        sport = tcp->sport;
        dport = tcp->dport;
    } else {
        return 0;
    }
    if (payload->len == 0 || (self->port && sport != self->port && dport != self->port)) {
        return 0;
    }
    if (buffer_size - self->used < line_room && flush_buffer(self) != 0) {
        return 0;
    }
    const auto* pkt = find<core_object_pcap_t>(obj, CORE_OBJECT_PCAP);
    const auto* tap = find<core_object_dnstap_t>(obj, CORE_OBJECT_DNSTAP);
    Line line{self->buf + self->used};
    const int64_t sec = pkt ? pkt->ts.sec : 0;
    line.text(stamp_of(self, sec));
    line.ch('.');
    line.padded(uint64_t(pkt ? pkt->ts.nsec / 1000 : 0) % 1000000, 6);
    line.ch(' ');
    char* kind = line.at;
    if (tap && tap->message_type >= 1 && tap->message_type <= 14) {
        line.text(tap_kinds[tap->message_type - 1]);
    } else {
        line.ch('?');  // the header's QR bit says, below
    }
    line.ch(' ');
    address(line, transport->obj_prev, true);
    line.ch('.');
    line.number(sport);
    line.text(" > ");
    address(line, transport->obj_prev, false);
    line.ch('.');
    line.number(dport);
    line.ch(' ');
    if (tap && tap->socket_protocol >= 1 && tap->socket_protocol <= 7) {
        line.text(tap_transports[tap->socket_protocol - 1]);
    } else {
        line.text(transport->obj_type == CORE_OBJECT_TCP ? "tcp" : "udp");
    }
    line.ch(' ');
    line.number(payload->len);
    line.ch('b');
    const int qr = dns_fields(line, payload->payload, payload->len);
    if (*kind == '?' && qr >= 0) {
        *kind = qr ? 'R' : 'Q';
    }
    line.ch('\n');
    self->used = size_t(line.at - self->buf);
    self->lines++;
    return 1;
}

void receive(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<output_brief_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    write_line(self, obj);
}

}  // namespace

extern "C" core_log_t* output_brief_log()
{
    return &module_log;
}

extern "C" void output_brief_init(output_brief_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

extern "C" void output_brief_destroy(output_brief_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    output_brief_close(self);
}

extern "C" int output_brief_open(output_brief_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    if (!file) {
        TVX_FATAL(self, "file is nil");
    }
    output_brief_close(self);
    if (strcmp(file, "-") == 0) {
        self->fd = STDOUT_FILENO;
        self->own_fd = 0;
    } else {
        self->fd = ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (self->fd < 0) {
            TVX_CRITICAL(self, "open(%s) error %s", file, core_log_errstr(errno));
            return -1;
        }
        self->own_fd = 1;
    }
    self->buf = static_cast<char*>(malloc(buffer_size));
    if (!self->buf) {
        TVX_FATAL(self, "out of memory");
    }
    self->used = 0;
    self->failed = 0;
    return 0;
}

extern "C" void output_brief_port(output_brief_t* self, uint32_t port)
{
    TVX_CHECK_SELF(self, module_log);
    self->port = port;
}

extern "C" int output_brief_write(output_brief_t* self, const core_object_t* obj)
{
    TVX_CHECK_SELF(self, module_log);
    return write_line(self, obj);
}

extern "C" int output_brief_flush(output_brief_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->fd < 0 || self->used == 0) {
        return self->failed ? -1 : 0;
    }
    return flush_buffer(self) == 0 && !self->failed ? 0 : -1;
}

extern "C" void output_brief_close(output_brief_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->fd >= 0) {
        if (self->used) {
            flush_buffer(self);
        }
        if (self->own_fd) {
            close(self->fd);
        }
    }
    self->fd = -1;
    self->own_fd = 0;
    free(self->buf);
    self->buf = nullptr;
    self->used = 0;
}

extern "C" core_receiver_t output_brief_receiver(output_brief_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return receive;
}
