#pragma once
// Reading a whole capture with any of the file readers, for the reader fuzz
// targets: the input as a file, and what one reader makes of it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/object/pcap.h"
#include "support/check.h"

namespace fuzz {

// The input as an anonymous in-memory file, opened by path (/proc/self/fd/N)
// as a reader opens any file.
class MemFile {
public:
    MemFile(const uint8_t* data, size_t size) : fd_(memfd_create("fuzz-capture", MFD_CLOEXEC))
    {
        FUZZ_CHECK(fd_ >= 0);
        for (size_t done = 0; done < size;) {
            const ssize_t wrote = write(fd_, data + done, size - done);
            FUZZ_CHECK(wrote > 0);
            done += size_t(wrote);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemFile() { close(fd_); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    const char* path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

struct Frame {
    int64_t sec;
    int64_t nsec;
    uint32_t caplen;
    uint32_t len;
    uint32_t linktype;
    uint32_t snaplen;
    std::vector<uint8_t> bytes;

    bool operator==(const Frame&) const = default;
};

// What a reader made of a file: the open result, the frames delivered and
// how the reading ended (0 clean, -1 after a read error).
struct Reading {
    int opened = 0;
    std::vector<Frame> frames;
    int ended = 0;
    size_t pkts = 0;

    bool operator==(const Reading&) const = default;
};

// Where a reader may hand out frame bytes: [start, start + size).
struct Area {
    const uint8_t* start;
    size_t size;

    bool holds(const uint8_t* bytes, size_t count) const
    {
        return bytes >= start && count <= size && bytes - start <= std::ptrdiff_t(size - count);
    }
};

inline Frame frame_of(const core_object_t* obj)
{
    FUZZ_CHECK(obj && obj->obj_type == CORE_OBJECT_PCAP);
    const auto* pcap = reinterpret_cast<const core_object_pcap_t*>(obj);
    FUZZ_CHECK(pcap->caplen <= pcap->snaplen);
    FUZZ_CHECK(pcap->bytes || pcap->caplen == 0);
    Frame frame{pcap->ts.sec, pcap->ts.nsec, pcap->caplen, pcap->len, pcap->linktype, pcap->snaplen, {}};
    if (pcap->caplen) {
        frame.bytes.assign(pcap->bytes, pcap->bytes + pcap->caplen);
    }
    return frame;
}

// Drives one opened reader record. `Ops` supplies, for the reader type:
//   static int run(Reader*);  static core_producer_t producer(Reader*);
//   static std::vector<Area> areas(const Reader&);   where frames may lie
template <class Ops, class Reader>
class Drive {
public:
    // Every frame through the receiver (`run`).
    static void push(Reader& reader, Reading& out)
    {
        Context context{&reader, &out};
        reader.recv = receive;
        reader.ctx = &context;
        out.ended = Ops::run(&reader);
        out.pkts = reader.pkts;
        FUZZ_CHECK(out.ended == 0 || out.ended == -1);
        FUZZ_CHECK(out.pkts == out.frames.size());
    }

    // Frame by frame through the producer until it gives null; a broken
    // reader stays broken, an ended one stays ended.
    static void pull(Reader& reader, Reading& out)
    {
        const core_producer_t produce = Ops::producer(&reader);
        while (const core_object_t* obj = produce(&reader)) {
            check_inside(reader, obj);
            out.frames.push_back(frame_of(obj));
        }
        out.ended = reader.is_broken ? -1 : 0;
        out.pkts = reader.pkts;
        FUZZ_CHECK(produce(&reader) == nullptr);
        FUZZ_CHECK(out.pkts == out.frames.size());
    }

private:
    struct Context {
        Reader* reader;
        Reading* out;
    };

    static void check_inside(const Reader& reader, const core_object_t* obj)
    {
        const auto* pcap = reinterpret_cast<const core_object_pcap_t*>(obj);
        if (pcap->caplen == 0) {
            return;
        }
        bool inside = false;
        for (const Area& area : Ops::areas(reader)) {
            inside = inside || area.holds(pcap->bytes, pcap->caplen);
        }
        FUZZ_CHECK(inside);
    }

    static void receive(void* ctx, const core_object_t* obj)
    {
        auto* context = static_cast<Context*>(ctx);
        check_inside(*context->reader, obj);
        context->out->frames.push_back(frame_of(obj));
    }
};

}  // namespace fuzz
