#pragma once
// The libraries tarvex links, with the version each was built against and the
// version the running process got from the dynamic linker: a mismatch between
// the two is the first thing to look at when a packaged binary misbehaves.

extern "C" {
// The LuaJIT the program was built against; the one it runs with is jit.version.
const char* core_version_luajit(void);
// Name of the index-th library ("libpcap", "GnuTLS", ...), null past the end.
const char* core_version_library(unsigned index);
// The version of the headers the index-th library was built against.
const char* core_version_built(unsigned index);
// The version the running process uses, as the library reports it (or, for a
// library that has no version call, as its file name gives it); "unknown"
// when neither tells.
const char* core_version_running(unsigned index);
}
