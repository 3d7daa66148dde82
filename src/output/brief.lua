-- Brief: one line per DNS message (time, kind, addresses and ports,
-- transport, size, id, question, rcode), formatted in C++ and written in
-- large blocks.
--   local out = Brief.new()
--   out:open("-")                 -- standard output, or a file name
--   out:port(53)                  -- only messages to or from port 53 (0: any)
--   out:write(obj)                -- a payload chain top; true when it printed a line
--   upstream:receiver(out)        -- or pushed
--   out:close()   if out:have_errors() then ... end
module("tarvex.output.brief", package.seeall)

require("tarvex.output.brief_h")
local ffi = require("ffi")
local C = ffi.C

Brief = {}
local meta = { __index = Brief }

function Brief.new()
    local self = setmetatable({ obj = ffi.new("output_brief_t") }, meta)
    C.output_brief_init(self.obj)
    ffi.gc(self.obj, C.output_brief_destroy)
    return self
end

function Brief:log()
    if self == nil or self == Brief then
        return C.output_brief_log()
    end
    return self.obj._log
end

function Brief:open(file)
    return C.output_brief_open(self.obj, file)
end

function Brief:port(port)
    C.output_brief_port(self.obj, port)
end

function Brief:write(obj)
    return C.output_brief_write(self.obj, obj) == 1
end

-- 0, or -1 when a write failed (now or before).
function Brief:flush()
    return C.output_brief_flush(self.obj)
end

function Brief:close()
    C.output_brief_close(self.obj)
end

function Brief:have_errors()
    return self.obj.failed ~= 0
end

-- Lines printed so far.
function Brief:lines()
    return tonumber(self.obj.lines)
end

function Brief:receive()
    return C.output_brief_receiver(self.obj), self.obj
end

return Brief
