#include "core/detail/pcap_file.h"

namespace tvx::pcap {

HeaderResult parse_file_header(const uint8_t* bytes, size_t length, bool limit_snaplen, FileHeader& out)
{
    out = FileHeader{};
    Cursor header(bytes, length < file_header_size ? length : file_header_size);
    uint32_t sigfigs = 0, thiszone = 0;
    if (!header.take_u32host(out.magic_number) || !header.take_u16host(out.version_major) ||
        !header.take_u16host(out.version_minor) || !header.take_u32host(thiszone) ||
        !header.take_u32host(sigfigs) || !header.take_u32host(out.snaplen) ||
        !header.take_u32host(out.network)) {
        return HeaderResult::short_header;
    }
    out.thiszone = static_cast<int32_t>(thiszone);
    out.sigfigs = sigfigs;

    switch (out.magic_number) {
    case magic_usec:
        break;
    case magic_nsec:
        out.is_nanosec = 1;
        break;
    case magic_usec_swapped:
        out.is_swapped = 1;
        break;
    case magic_nsec_swapped:
        out.is_swapped = 1;
        out.is_nanosec = 1;
        break;
    default:
        return HeaderResult::bad_magic;
    }
    if (out.is_swapped) {
        out.version_major = __builtin_bswap16(out.version_major);
        out.version_minor = __builtin_bswap16(out.version_minor);
        out.thiszone = static_cast<int32_t>(__builtin_bswap32(thiszone));
        out.sigfigs = __builtin_bswap32(out.sigfigs);
        out.snaplen = __builtin_bswap32(out.snaplen);
        out.network = __builtin_bswap32(out.network);
    }
    if (limit_snaplen && out.snaplen > snaplen_limit) {
        return HeaderResult::snaplen_too_large;
    }
    if (out.version_major != 2 || out.version_minor != 4) {
        return HeaderResult::bad_version;
    }
    out.linktype = linktype_of(out.network);
    return HeaderResult::ok;
}

uint32_t linktype_of(uint32_t network)
{
    // LINKTYPE values that differ from the DLT numbers the records carry.
    switch (network) {
    case 100:
        return 11;
    case 101:
        return 12;
    case 102:
        return 15;
    case 103:
        return 16;
    case 106:
        return 19;
    default:
        return network;
    }
}

void report_header(const core_log_t* log, Here site, HeaderResult result, const FileHeader& header)
{
    switch (result) {
    case HeaderResult::ok:
        return;
    case HeaderResult::short_header:
        core_log_critical(log, site.file, site.line, "could not read full PCAP header");
        return;
    case HeaderResult::bad_magic:
        core_log_critical(log, site.file, site.line, "invalid PCAP header");
        return;
    case HeaderResult::snaplen_too_large:
        core_log_critical(log, site.file, site.line, "too large snaplen (%u)", header.snaplen);
        return;
    case HeaderResult::bad_version:
        core_log_critical(log, site.file, site.line, "unsupported PCAP version v%u.%u", header.version_major,
                          header.version_minor);
        return;
    }
}

void report_opened(const core_log_t* log, Here site, const FileHeader& header)
{
    core_log_debug(log, site.file, site.line, "pcap v%u.%u snaplen:%lu %s", header.version_major,
                   header.version_minor, static_cast<unsigned long>(header.snaplen),
                   header.is_swapped ? " swapped" : "");
}

const char* frame_failure(Frame frame)
{
    switch (frame) {
    case Frame::short_header:
        return "could not read next PCAP header, aborting";
    case Frame::too_long:
        return "invalid packet length, larger then snaplen";
    case Frame::short_data:
        return "could not read all of packet, aborting";
    case Frame::ok:
    case Frame::end:
        break;
    }
    return nullptr;
}

}  // namespace tvx::pcap
