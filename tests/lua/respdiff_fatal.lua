-- Every misuse of the response-diff writer ends the process with its message.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = [[
local ffi = require("ffi")
local Respdiff = require("tarvex.output.respdiff")
require("tarvex.core.object.payload_h")
local keep = {}
local function rec(kind, len, prev)
    local r = ffi.new("core_object_payload_t")
    local buf = ffi.new("uint8_t[?]", len + 1)
    keep[#keep + 1] = buf
    keep[#keep + 1] = r
    r.obj_type = kind
    r.payload = buf
    r.len = len
    r.obj_prev = prev and ffi.cast("core_object_t*", prev) or nil
    return ffi.cast("core_object_t*", r)
end
local P = 40
]]

local O = "output%.respdiff%[0x%x+%] fatal: "
sub.expect_all({
    { "first object", [[local db = Respdiff.new("d") local f, c = db:receive() f(c, rec(50, 1, rec(P, 1)))]],
        1, O .. "invalid first object\n$" },
    { "second object", [[local db = Respdiff.new("d") local f, c = db:receive() f(c, rec(P, 1))]],
        1, O .. "invalid second object\n$" },
    { "third object", [[local db = Respdiff.new("d") local f, c = db:receive() f(c, rec(P, 1, rec(P, 1, rec(30, 1))))]],
        1, O .. "invalid third object\n$" },
    { "buffer space", [[local db = Respdiff.new("d") local f, c = db:receive()
        f(c, rec(P, 1, rec(P, 70000, rec(P, 62085))))]],
        1, O .. "not enough buffer space for responses\n$" },
    { "query map full", [[local db = Respdiff.new("d", "a", "b", 65536) local f, c = db:receive()
        for i = 1, 100 do f(c, rec(P, 60000, rec(P, 1))) end]],
        1, O .. "mdb_put query failed, database is full\n$" },
    { "answers map full", [[local db = Respdiff.new("d", "a", "b", 65536) local f, c = db:receive()
        for i = 1, 100 do f(c, rec(P, 1, rec(P, 60000))) end]],
        1, O .. "mdb_put answers failed, database is full\n$" },
    { "receive after commit", [[local db = Respdiff.new("d", "a", "b") db:commit(0, 0) db:receive()]],
        1, O .. "no LMDB opened\n$" },
    { "second commit", [[local db = Respdiff.new("d", "a", "b") db:commit(0, 0) db:commit(0, 0)]],
        1, O .. "no LMDB opened\n$" },
    { "origname nil", [[local db = Respdiff.new("d", nil, "b") db:commit(0, 0)]],
        1, O .. "origname is nil\n$" },
    { "recvname nil", [[local db = Respdiff.new("d", "a") db:commit(0, 0)]],
        1, O .. "recvname is nil\n$" },
    { "path nil", [[Respdiff.new(nil)]], 1, O .. "path is nil\n$" },
    { "mkdir", [[Respdiff.new("/dev/null/db")]], 1, O .. "mkdir%(/dev/null/db%) error ENOTDIR\n$" },
    { "null self", [[ffi.C.output_respdiff_init(nil, "d", 1)]], 1, "^output%.respdiff fatal: self is nil\n$" },
}, prelude)
print("respdiff fatal cases pass")
