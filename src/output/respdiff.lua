-- Respdiff: stores query/response/response chains for the respdiff tool.
--   local db = Respdiff.new("out.lmdb", "original", "tested")
--   upstream:receiver(db)   -- each object: query -> response 0 -> [response 1]
--   db:commit(start_time, end_time)
module("tarvex.output.respdiff", package.seeall)

require("tarvex.output.respdiff_h")
local ffi = require("ffi")
local C = ffi.C

Respdiff = {}
local meta = { __index = Respdiff }

function Respdiff.new(path, origname, recvname, mapsize)
    local self = setmetatable({
        path = path,
        origname = origname,
        recvname = recvname,
        obj = ffi.new("output_respdiff_t"),
    }, meta)
    C.output_respdiff_init(self.obj, path, mapsize or 10485760)
    ffi.gc(self.obj, C.output_respdiff_destroy)
    return self
end

function Respdiff:log()
    if self == nil or self == Respdiff then
        return C.output_respdiff_log()
    end
    return self.obj._log
end

function Respdiff:receive()
    return C.output_respdiff_receiver(self.obj), self.obj
end

function Respdiff:commit(start_time, end_time)
    C.output_respdiff_commit(self.obj, self.origname, self.recvname, start_time, end_time)
end

return Respdiff
