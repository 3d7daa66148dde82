-- Dohcli: DNS queries to one server over HTTPS (HTTP/2), and its answers.
--   local cli = Dohcli.new()
--   cli:method("GET"); cli:path("/dns-query")    -- POST and /dns-query unless set
--   cli:verify(true); cli:ca("ca.pem")           -- no certificate check unless asked
--   cli:h2c(true)                                -- HTTP/2 without TLS
--   cli:timeout(2, 0)                            -- wait limit; none: as long as queries are out
--   if cli:connect("127.0.0.1", "443") ~= 0 then ... end
--   layer:receiver(cli)                          -- each pushed query becomes a stream
--   local produce, ctx = cli:produce()           -- an answer (no length field), len 0: none
--                                                -- now, nil: the connection ended
-- Answers carry the query's DNS id; their order is the server's.
module("tarvex.output.dohcli", package.seeall)

require("tarvex.output.dohcli_h")
local ffi = require("ffi")
local C = ffi.C

Dohcli = {}
local meta = { __index = Dohcli }

function Dohcli.new()
    local self = setmetatable({
        obj = ffi.new("output_dohcli_t"),
    }, meta)
    C.output_dohcli_init(self.obj)
    ffi.gc(self.obj, C.output_dohcli_destroy)
    return self
end

function Dohcli:log()
    if self == nil or self == Dohcli then
        return C.output_dohcli_log()
    end
    return self.obj._log
end

-- No arguments: the wait limit (a core_timespec_t); else sets it.
function Dohcli:timeout(seconds, nanoseconds)
    if seconds == nil and nanoseconds == nil then
        return self.obj.timeout
    end
    self.obj.timeout.sec = seconds
    self.obj.timeout.nsec = nanoseconds or 0
end

local methods = { POST = 0, GET = 1 }

-- "GET" or "POST"; no argument: the method in use. Read at each connect.
function Dohcli:method(name)
    if name == nil then
        return self.obj.method == 1 and "GET" or "POST"
    end
    local value = methods[name]
    if not value then
        self:log():fatal("method must be GET or POST")
    end
    self.obj.method = value
end

local function text_option(self, setter, field, value, what)
    if value == nil then
        return ffi.string(self.obj[field])
    end
    if setter(self.obj, value) ~= 0 then
        self:log():fatal(what)
    end
end

function Dohcli:path(path)
    return text_option(self, C.output_dohcli_set_path, "path", path, "path must start with / and fit 1023 bytes")
end

-- The name sent (SNI, :authority) and checked; the host given to connect by default.
function Dohcli:server_name(name)
    return text_option(self, C.output_dohcli_set_server_name, "server_name", name, "server name too long")
end

-- Trust anchors (PEM) for verify in place of the system store.
function Dohcli:ca(file)
    return text_option(self, C.output_dohcli_set_ca_file, "ca_file", file, "CA file name too long")
end

function Dohcli:verify(on)
    if on == nil then
        return self.obj.verify == 1
    end
    self.obj.verify = on and 1 or 0
end

function Dohcli:h2c(on)
    if on == nil then
        return self.obj.h2c == 1
    end
    self.obj.h2c = on and 1 or 0
end

function Dohcli:connect(host, port)
    return C.output_dohcli_connect(self.obj, host, port)
end

function Dohcli:receive()
    return C.output_dohcli_receiver(self.obj), self.obj
end

function Dohcli:produce()
    return C.output_dohcli_producer(self.obj), self.obj
end

function Dohcli:in_flight()
    return tonumber(C.output_dohcli_in_flight(self.obj))
end

function Dohcli:max_streams()
    return tonumber(C.output_dohcli_max_streams(self.obj))
end

-- The counters as numbers: packets() sent, received() answers handed out,
-- and how the other queries ended.
local counters = {
    packets = "pkts", received = "pkts_recv", errors = "errs", timeouts = "timeouts",
    bad_status = "bad_status", bad_type = "bad_type", resets = "resets", refused = "refused",
    gone = "gone", too_long = "too_long", resent = "resent", lost = "lost", connects = "connects",
    peak = "peak",
}
for name, field in pairs(counters) do
    Dohcli[name] = function(self)
        return tonumber(self.obj[field])
    end
end

return Dohcli
