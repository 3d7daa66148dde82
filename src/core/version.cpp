#include "core/version.h"

#include <dlfcn.h>
#include <gnutls/gnutls.h>
#include <limits.h>
#include <lmdb.h>
#include <luajit.h>
#include <lz4.h>
#include <lzma.h>
#include <pcap/pcap.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>
#include <zstd.h>

#include <array>

// ck's headers declare C functions without a C++ guard.
extern "C" {
#include <ck_hs.h>
}

namespace {

#define TVX_TEXT(x) #x
#define TVX_NUMBER_TEXT(x) TVX_TEXT(x)
// MDB_VERSION_STRING carries the release date too; the numbers are enough.
constexpr const char* lmdb_built =
    TVX_NUMBER_TEXT(MDB_VERSION_MAJOR) "." TVX_NUMBER_TEXT(MDB_VERSION_MINOR) "." TVX_NUMBER_TEXT(MDB_VERSION_PATCH);

// libck has no version call; its real file name carries the version
// (libck.so.0.7.1), so ask the dynamic linker where ck_hs_init came from.
const char* ck_running()
{
    static char version[64] = "unknown";
    Dl_info info {};
    if (dladdr(reinterpret_cast<void*>(&ck_hs_init), &info) == 0 || info.dli_fname == nullptr) {
        return version;
    }
    char path[PATH_MAX];
    if (realpath(info.dli_fname, path) == nullptr) {
        return version;
    }
    const char* suffix = strstr(path, ".so.");
    if (suffix != nullptr) {
        snprintf(version, sizeof version, "%s", suffix + 4);
    } else {
        // Linked statically: the running code is the code built against.
        snprintf(version, sizeof version, "%s", TARVEX_CK_VERSION);
    }
    return version;
}

// pcap_lib_version() reads "libpcap version 1.10.3 (with TPACKET_V3)".
const char* pcap_running()
{
    const char* text = pcap_lib_version();
    const char* prefix = "libpcap version ";
    return strncmp(text, prefix, strlen(prefix)) == 0 ? text + strlen(prefix) : text;
}

const char* gnutls_running()
{
    const char* text = gnutls_check_version(nullptr);
    return text != nullptr ? text : "unknown";
}

const char* lmdb_running()
{
    static char version[32];
    int major = 0, minor = 0, patch = 0;
    mdb_version(&major, &minor, &patch);
    snprintf(version, sizeof version, "%d.%d.%d", major, minor, patch);
    return version;
}

struct Library {
    const char* name;
    const char* built;
    const char* (*running)();
};

const std::array<Library, 8> libraries {{
    { "libpcap", TARVEX_PCAP_VERSION, pcap_running },
    { "GnuTLS", GNUTLS_VERSION, gnutls_running },
    { "LMDB", lmdb_built, lmdb_running },
    { "lz4", LZ4_VERSION_STRING, LZ4_versionString },
    { "zstd", ZSTD_VERSION_STRING, ZSTD_versionString },
    { "zlib", ZLIB_VERSION, zlibVersion },
    { "xz", LZMA_VERSION_STRING, lzma_version_string },
    { "ck", TARVEX_CK_VERSION, ck_running },
}};

}  // namespace

extern "C" const char* core_version_luajit(void)
{
    // LUAJIT_VERSION reads "LuaJIT 2.1.0-beta3".
    return &LUAJIT_VERSION[7];
}

extern "C" const char* core_version_library(unsigned index)
{
    return index < libraries.size() ? libraries[index].name : nullptr;
}

extern "C" const char* core_version_built(unsigned index)
{
    return index < libraries.size() ? libraries[index].built : nullptr;
}

extern "C" const char* core_version_running(unsigned index)
{
    return index < libraries.size() ? libraries[index].running() : nullptr;
}
