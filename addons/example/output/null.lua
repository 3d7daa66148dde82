-- Null: an output that counts and discards every object, as a receiver for
-- pushing inputs or by draining a producer with run(). A sink for benchmarks
-- and tests; the system loads it as tarvex.output.null.
module("example.output.null", package.seeall)

require("tarvex.core.object_h")
require("tarvex.core.receiver_h")
require("tarvex.core.producer_h")
local ffi = require("ffi")
local Log = require("tarvex.core.log")

ffi.cdef [[
typedef struct example_output_null {
    core_producer_t prod;
    void* prod_ctx;
    uint64_t pkts;
} example_output_null_t;
]]

local module_log = Log.new("example.output.null")

-- One receiver callback serves every instance: the context is the record.
-- Callback slots are few, so none is made per instance; this one lives as
-- long as the module (that is, the interpreter state).
local null_receiver = ffi.cast("core_receiver_t", function(ctx, obj)
    if obj == nil then
        module_log:fatal("obj is nil")
    end
    local self = ffi.cast("example_output_null_t*", ctx)
    self.pkts = self.pkts + 1
end)

Null = {}

function Null.new()
    local self = setmetatable({
        obj = ffi.new("example_output_null_t"),
        _log = Log.new("example.output.null", module_log),
    }, { __index = Null })
    self._log:debug("new()")
    return self
end

function Null:log()
    if self == nil or self == Null then
        return module_log
    end
    return self._log
end

function Null:receive()
    return null_receiver, self.obj
end

function Null:producer(o)
    self.obj.prod, self.obj.prod_ctx = o:produce()
    self._producer = o
end

-- Pulls and discards objects until the producer returns null, or num
-- objects when num is given; returns how many this call took.
function Null:run(num)
    local obj = self.obj
    if obj.prod == nil then
        self._log:fatal("no producer set")
    end
    local prod, ctx = obj.prod, obj.prod_ctx
    num = tonumber(num)
    local taken = 0
    while num == nil or taken < num do
        if prod(ctx) == nil then
            break
        end
        taken = taken + 1
    end
    obj.pkts = obj.pkts + taken
    return taken
end

-- Objects counted so far, received and pulled.
function Null:packets()
    return tonumber(self.obj.pkts)
end

return Null
