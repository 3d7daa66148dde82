-- Zero: an input that hands out empty PCAP records (no captured bytes),
-- pushed into a receiver by run(num) or pulled through produce(). A source
-- for benchmarks and tests; the system loads it as tarvex.input.zero.
module("example.input.zero", package.seeall)

require("tarvex.core.object.pcap_h")
require("tarvex.core.receiver_h")
require("tarvex.core.producer_h")
local ffi = require("ffi")
local Log = require("tarvex.core.log")

ffi.cdef [[
typedef struct example_input_zero {
    core_receiver_t recv;
    void* ctx;
    int64_t left;
    uint64_t produced;
    core_object_pcap_t pkt;
    uint8_t empty[1];
} example_input_zero_t;
]]

local PCAP = 1
local LINKTYPE_ETHERNET = 1

local module_log = Log.new("example.input.zero")

-- One producer callback serves every instance: the context is the record.
-- Callback slots are few, so none is made per instance; this one lives as
-- long as the module (that is, the interpreter state).
local zero_producer = ffi.cast("core_producer_t", function(ctx)
    local self = ffi.cast("example_input_zero_t*", ctx)
    if self.left == 0 then
        return nil
    end
    if self.left > 0 then
        self.left = self.left - 1
    end
    self.produced = self.produced + 1
    return ffi.cast("const core_object_t*", self.pkt)
end)

Zero = {}

function Zero.new()
    local obj = ffi.new("example_input_zero_t")
    obj.left = -1
    obj.pkt.obj_type = PCAP
    obj.pkt.snaplen = 65535
    obj.pkt.linktype = LINKTYPE_ETHERNET
    -- Never null, so that a consumer that looks before checking caplen is safe.
    obj.pkt.bytes = obj.empty
    local self = setmetatable({
        obj = obj,
        _log = Log.new("example.input.zero", module_log),
    }, { __index = Zero })
    self._log:debug("new()")
    return self
end

function Zero:log()
    if self == nil or self == Zero then
        return module_log
    end
    return self._log
end

function Zero:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

-- Pushes num empty records into the receiver.
function Zero:run(num)
    local obj = self.obj
    if obj.recv == nil then
        self._log:fatal("no receiver set")
    end
    local recv, ctx = obj.recv, obj.ctx
    local pkt = ffi.cast("const core_object_t*", obj.pkt)
    num = tonumber(num) or 0
    for _ = 1, num do
        recv(ctx, pkt)
    end
    obj.produced = obj.produced + num
end

function Zero:produce()
    return zero_producer, self.obj
end

-- How many records the producer still hands out before it returns null;
-- nil or a negative number for no limit (the default).
function Zero:limit(num)
    self.obj.left = tonumber(num) or -1
end

-- Records handed out so far, pushed and pulled.
function Zero:packets()
    return tonumber(self.obj.produced)
end

return Zero
