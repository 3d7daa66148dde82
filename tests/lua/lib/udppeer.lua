-- A loopback UDP socket for script tests that play the server side.
--   local peer = require("udppeer").new()
--   udp:connect("127.0.0.1", peer.port)
--   local bytes = peer:take(1000)     -- next datagram within 1000 ms, or nil
--   peer:reply("answer")              -- to whoever sent last
--   peer:send("query", other.port)    -- to a port on 127.0.0.1
local ffi = require("ffi")
local C = ffi.C

pcall(ffi.cdef, [[
typedef struct { uint16_t family; uint16_t port; uint32_t addr; uint8_t zero[8]; } udppeer_sockaddr_in;
typedef struct { int fd; short events; short revents; } udppeer_pollfd;
int socket(int domain, int type, int protocol);
int bind(int fd, const void* addr, uint32_t len);
int getsockname(int fd, void* addr, uint32_t* len);
intptr_t recvfrom(int fd, void* buf, size_t len, int flags, void* from, uint32_t* fromlen);
intptr_t sendto(int fd, const void* buf, size_t len, int flags, const void* to, uint32_t tolen);
int poll(udppeer_pollfd* fds, unsigned long nfds, int timeout);
int close(int fd);
]])

local AF_INET, SOCK_DGRAM, POLLIN = 2, 2, 1

local Peer = {}
Peer.__index = Peer

local function be16(n)
    return bit.bor(bit.rshift(n, 8), bit.lshift(bit.band(n, 0xff), 8))
end

function Peer.new()
    local self = setmetatable({ fd = C.socket(AF_INET, SOCK_DGRAM, 0) }, Peer)
    assert(self.fd >= 0, "socket")
    local addr = ffi.new("udppeer_sockaddr_in")
    addr.family = AF_INET
    addr.addr = 0x0100007f -- 127.0.0.1 in network order on a little-endian host
    assert(C.bind(self.fd, addr, ffi.sizeof(addr)) == 0, "bind")
    local len = ffi.new("uint32_t[1]", ffi.sizeof(addr))
    assert(C.getsockname(self.fd, addr, len) == 0, "getsockname")
    self.port = tostring(be16(addr.port))
    self.from = ffi.new("udppeer_sockaddr_in")
    self.from_len = ffi.new("uint32_t[1]")
    self.buf = ffi.new("uint8_t[65536]")
    return self
end

function Peer:take(timeout_ms)
    local pfd = ffi.new("udppeer_pollfd", { self.fd, POLLIN, 0 })
    if C.poll(pfd, 1, timeout_ms or 1000) ~= 1 then
        return nil
    end
    self.from_len[0] = ffi.sizeof(self.from)
    local got = C.recvfrom(self.fd, self.buf, 65536, 0, self.from, self.from_len)
    assert(got >= 0, "recvfrom")
    return ffi.string(self.buf, got)
end

function Peer:reply(bytes)
    assert(C.sendto(self.fd, bytes, #bytes, 0, self.from, self.from_len[0]) == #bytes, "sendto")
end

-- To a port on 127.0.0.1.
function Peer:send(bytes, port)
    local to = ffi.new("udppeer_sockaddr_in")
    to.family = AF_INET
    to.port = be16(tonumber(port))
    to.addr = 0x0100007f
    assert(C.sendto(self.fd, bytes, #bytes, 0, to, ffi.sizeof(to)) == #bytes, "sendto")
end

function Peer:close()
    C.close(self.fd)
end

return Peer
