-- Channel: a bounded queue of object pointers between two threads, the
-- record itself (core_channel_t) with these methods.
module("tarvex.core.channel", package.seeall)

require("tarvex.core.channel_h")
require("tarvex.core.log")
local ffi = require("ffi")
local C = ffi.C

Channel = {}

local DEFAULT_CAPACITY = 2048

function Channel.new(capacity)
    local self = ffi.new("core_channel_t")
    C.core_channel_init(self, capacity or DEFAULT_CAPACITY)
    ffi.gc(self, C.core_channel_destroy)
    return self
end

function Channel:log()
    if self == nil then
        return C.core_channel_log()
    end
    return self._log
end

-- What a Thread needs to hand this channel to another interpreter state.
function Channel:share()
    return ffi.cast("void*", self), "core_channel_t*", "tarvex.core.channel"
end

function Channel:put(obj)
    C.core_channel_put(self, obj)
end

function Channel:try_put(obj)
    return C.core_channel_try_put(self, obj)
end

function Channel:get()
    return C.core_channel_get(self)
end

function Channel:try_get()
    return C.core_channel_try_get(self)
end

function Channel:size()
    return C.core_channel_size(self)
end

function Channel:full()
    return C.core_channel_full(self)
end

function Channel:close()
    C.core_channel_close(self)
end

function Channel:receive()
    return C.core_channel_receiver(), self
end

function Channel:receiver(o)
    self.recv, self.ctx = o:receive()
end

function Channel:run()
    C.core_channel_run(self)
end

ffi.metatype("core_channel_t", { __index = Channel })

return Channel
