// The TCP sender's receive path over a real stream socket: the input becomes
// the bytes a server sends, written in chunks to one end of a socketpair
// while the sender's producer reads the other end. Input: one control byte,
// then chunks, each a size byte and that many stream bytes.
//   control & 0x01  blocking sender: the whole stream is written, the server
//                   end shut, then responses are pulled until the end
//                   (otherwise non-blocking, pulled after every chunk until
//                   the producer has nothing whole)
//   size byte s     s + 1 bytes when s < 0xf0, else (s - 0xef) KiB
// The responses must be exactly the stream's complete frames, in order and
// without their length fields; a non-blocking sender hands out every frame
// as soon as its last byte was written, and neither mode counts an error.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "output/tcpcli.h"
#include "support/check.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> split_chunks(const uint8_t* data, size_t size)
{
    std::vector<Bytes> chunks;
    for (size_t at = 0; at < size;) {
        const uint8_t s = data[at++];
        const size_t want = s < 0xf0 ? size_t(s) + 1 : size_t(s - 0xef) * 1024;
        const size_t take = want < size - at ? want : size - at;
        chunks.emplace_back(data + at, data + at + take);
        at += take;
    }
    return chunks;
}

// The complete frames of a stream, messages without their fields.
std::vector<Bytes> frames_of(const Bytes& stream)
{
    std::vector<Bytes> messages;
    for (size_t at = 0; stream.size() - at >= 2;) {
        const size_t len = size_t(stream[at]) << 8 | stream[at + 1];
        if (stream.size() - at - 2 < len) {
            break;
        }
        messages.emplace_back(stream.begin() + at + 2, stream.begin() + at + 2 + len);
        at += 2 + len;
    }
    return messages;
}

class Session {
public:
    explicit Session(bool blocking) : blocking_(blocking)
    {
        int ends[2];
        FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
        server_ = ends[1];
        // Room for a whole blocking session's stream; writes never wait.
        const int room = 4 << 20;
        setsockopt(server_, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof(room));
        setsockopt(ends[0], SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room));
        FUZZ_CHECK(fcntl(server_, F_SETFL, O_NONBLOCK) == 0);
        output_tcpcli_init(&sender_);
        sender_.fd = ends[0];
        sender_.timeout = {0, 1000000};
        if (!blocking) {
            FUZZ_CHECK(output_tcpcli_set_nonblocking(&sender_, 1) == 0);
        }
        produce_ = output_tcpcli_producer(&sender_);
    }
    ~Session()
    {
        output_tcpcli_destroy(&sender_);
        if (server_ >= 0) {
            close(server_);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Writes what the socket takes now; the count written.
    size_t send(const Bytes& chunk)
    {
        size_t done = 0;
        while (done < chunk.size()) {
            const ssize_t wrote = write(server_, chunk.data() + done, chunk.size() - done);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                FUZZ_CHECK(errno == EAGAIN || errno == EWOULDBLOCK);
                break;
            }
            done += size_t(wrote);
        }
        written_.insert(written_.end(), chunk.begin(), chunk.begin() + done);
        return done;
    }

    void shut() { FUZZ_CHECK(shutdown(server_, SHUT_WR) == 0); }

    // One pull: false once the producer ended (null), or when it had nothing
    // whole (empty); a whole message is checked against the stream.
    bool pull(bool& ended)
    {
        const size_t before = sender_.pkts_recv;
        const core_object_t* obj = produce_(&sender_);
        FUZZ_CHECK(sender_.errs == 0);
        if (!obj) {
            ended = true;
            return false;
        }
        FUZZ_CHECK(obj == reinterpret_cast<const core_object_t*>(&sender_.pkt));
        if (sender_.pkts_recv == before) {
            FUZZ_CHECK(sender_.pkt.len == 0);
            return false;
        }
        FUZZ_CHECK(sender_.pkts_recv == before + 1);
        const std::vector<Bytes> expected = frames_of(written_);
        FUZZ_CHECK(received_ < expected.size());
        const Bytes& message = expected[received_++];
        FUZZ_CHECK(sender_.pkt.len == message.size());
        FUZZ_CHECK(sender_.pkt.payload == sender_.recvbuf);
        FUZZ_CHECK(message.empty() || memcmp(sender_.pkt.payload, message.data(), message.size()) == 0);
        return true;
    }

    // Every frame written so far was handed out.
    bool caught_up() const { return received_ == frames_of(written_).size(); }
    bool blocking() const { return blocking_; }

private:
    bool blocking_;
    int server_ = -1;
    output_tcpcli_t sender_;
    core_producer_t produce_;
    Bytes written_;
    size_t received_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return -1;
    }
    const bool blocking = data[0] & 1;
    const std::vector<Bytes> chunks = split_chunks(data + 1, size - 1);
    // On the heap: the sender's record holds a 64 KiB buffer.
    const auto s = std::make_unique<Session>(blocking);
    bool ended = false;
    for (const Bytes& chunk : chunks) {
        const size_t sent = s->send(chunk);
        if (!blocking) {
            while (s->pull(ended)) {
            }
            FUZZ_CHECK(!ended);
            FUZZ_CHECK(s->caught_up());
        }
        if (sent < chunk.size()) {
            break;  // the socket is full: the stream ends here
        }
    }
    // Past the shut end every pull is a message or the end, never empty.
    s->shut();
    while (s->pull(ended)) {
    }
    FUZZ_CHECK(ended);
    FUZZ_CHECK(s->caught_up());
    return 0;
}
