-- Copy: copies the chosen layers of each chain it receives and passes the
-- copied chain on; the receiver owns it and frees each record.
--   local copy = Copy.new()
--   copy:obj_type(object.PAYLOAD) copy:obj_type(object.IP)
--   copy:receiver(channel)
--   layer:receiver(copy)
module("tarvex.filter.copy", package.seeall)

require("tarvex.filter.copy_h")
require("tarvex.core.log")
local ffi = require("ffi")
local C = ffi.C

Copy = {}
local meta = { __index = Copy }

function Copy.new()
    local self = setmetatable({
        obj = ffi.new("filter_copy_t"),
    }, meta)
    C.filter_copy_init(self.obj)
    ffi.gc(self.obj, C.filter_copy_destroy)
    return self
end

function Copy:log()
    if self == nil or self == Copy then
        return C.filter_copy_log()
    end
    return self.obj._log
end

function Copy:obj_type(obj_type)
    C.filter_copy_set(self.obj, obj_type)
end

function Copy:receive()
    return C.filter_copy_receiver(self.obj), self.obj
end

-- The receiver is kept in `_receiver` so that it lives as long as the filter.
function Copy:receiver(o)
    self.obj.recv, self.obj.recv_ctx = o:receive()
    self._receiver = o
end

return Copy
