-- Live capture on the loopback interface: datagrams sent to a loopback port
-- arrive through dispatch (written by the PCAP writer) and through the
-- producer, a few at a time, without waiting for a buffer to fill.
-- Skipped (77) where the sandbox does not allow capturing.
-- timeout: 30
-- expect-stdout: ^live capture cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ffi = require("ffi")
local pcapio = require("pcapio")
local Input = require("tarvex.input.pcap")
local Output = require("tarvex.output.pcap")
local C = ffi.C

-- Test-only control of the handle (the input itself configures nothing) and
-- a loopback socket.
ffi.cdef [[
struct bpf_program { unsigned int bf_len; void* bf_insns; };
int pcap_compile(pcap_t* p, struct bpf_program* fp, const char* str, int optimize, uint32_t netmask);
int pcap_setfilter(pcap_t* p, struct bpf_program* fp);
void pcap_freecode(struct bpf_program* fp);
char* pcap_geterr(pcap_t* p);
struct tvx_sockaddr_in { uint16_t sin_family; uint16_t sin_port; uint32_t sin_addr; uint8_t sin_zero[8]; };
int socket(int domain, int type, int protocol);
int bind(int fd, const struct tvx_sockaddr_in* addr, uint32_t len);
int getsockname(int fd, struct tvx_sockaddr_in* addr, uint32_t* len);
intptr_t sendto(int fd, const void* buf, size_t len, int flags, const struct tvx_sockaddr_in* addr, uint32_t alen);
int close(int fd);
]]

local input = Input.new()
assert(input:create("lo") == 0)
local activated = input:activate()
if activated < 0 then
    print("cannot capture on lo here: " .. ffi.string(C.pcap_geterr(input.obj.pcap)))
    os.exit(77)
end
assert(input:linktype() == 1, "loopback link type " .. input:linktype())
assert(input:snaplen() > 0)
assert(input.obj.prod_pkt.linktype == 1 and input.obj.prod_pkt.snaplen == input:snaplen())

-- A bound socket gives a free port that nobody else's traffic uses.
local AF_INET, SOCK_DGRAM = 2, 2
local loopback = 0x0100007F -- 127.0.0.1 in network order on a little-endian host
local sink = C.socket(AF_INET, SOCK_DGRAM, 0)
assert(sink >= 0)
local addr = ffi.new("struct tvx_sockaddr_in", { AF_INET, 0, loopback })
assert(C.bind(sink, addr, ffi.sizeof(addr)) == 0)
local len = ffi.new("uint32_t[1]", ffi.sizeof(addr))
assert(C.getsockname(sink, addr, len) == 0)
local port = bit.bor(bit.rshift(addr.sin_port, 8), bit.lshift(bit.band(addr.sin_port, 0xff), 8))

local program = ffi.new("struct bpf_program")
assert(C.pcap_compile(input.obj.pcap, program, "udp and dst port " .. port, 1, 0) == 0)
assert(C.pcap_setfilter(input.obj.pcap, program) == 0)
C.pcap_freecode(program)

local sender = C.socket(AF_INET, SOCK_DGRAM, 0)
assert(sender >= 0)
local function send(text)
    assert(C.sendto(sender, text, #text, 0, addr, ffi.sizeof(addr)) == #text)
end

-- Push: what arrives goes to the writer until every datagram is there or the
-- deadline passes; each dispatch returns at the latest after the handle's
-- buffer timeout.
local out = Output.new()
assert(out:open("live.pcap", input:linktype(), input:snaplen()) == 0)
input:receiver(out)
local count = 5
for i = 1, count do
    send("tarvex live datagram " .. i)
end
local deadline = os.time() + 15
while input:packets() < count and os.time() < deadline do
    local got = input:dispatch()
    assert(got >= 0, "dispatch failed: " .. got)
end
assert(input:packets() == count, string.format("%d of %d datagrams captured", input:packets(), count))
assert(not out:have_errors())
out:close()

local back = Input.new()
assert(back:open_offline("live.pcap") == 0)
local produce, ctx = back:produce()
for i = 1, count do
    local obj = produce(ctx)
    assert(obj ~= nil, "written capture ends at " .. i)
    local pkt = pcapio.snapshot(obj)
    local text = "tarvex live datagram " .. i
    assert(pkt.bytes:sub(-#text) == text, "datagram " .. i .. " is not in the capture")
    assert(pkt.caplen == pkt.len and pkt.nsec % 1000 == 0 and pkt.nsec < 1e9)
end
assert(produce(ctx) == nil)

-- Pull: the producer waits out the buffer timeouts until the next datagram
-- is there.
send("tarvex pulled datagram")
produce, ctx = input:produce()
local pkt = pcapio.snapshot(produce(ctx))
assert(pkt.bytes:sub(-22) == "tarvex pulled datagram", "pulled something else")
assert(pkt.linktype == 1 and pkt.is_swapped == 0 and pkt.prev == nil)
assert(input:packets() == count, "the producer counted")

C.close(sender)
C.close(sink)
print("live capture cases pass")
