-- The response-diff writer's layout, read back with mdb_dump.
-- expect-stderr: output.respdiff\[0x[0-9a-f]+\] warning: response of server 1 is 70000 bytes, storing its first 65535$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ffi = require("ffi")
local Respdiff = require("tarvex.output.respdiff")
require("tarvex.core.object.payload_h")
local mdb = require("mdb")
local hex = mdb.hex

local keep = {}
local function payload(bytes, prev)
    local rec = ffi.new("core_object_payload_t")
    local buf = ffi.new("uint8_t[?]", #bytes + 1, bytes)
    keep[#keep + 1] = buf
    rec.obj_type = 40
    rec.payload = buf
    rec.len = #bytes
    rec.obj_prev = prev and ffi.cast("core_object_t*", prev) or nil
    keep[#keep + 1] = rec
    return rec
end

local function chain(query, first, second)
    local tail = second and payload(second) or nil
    return ffi.cast("core_object_t*", payload(query, payload(first, tail)))
end

local function le32(n)
    return string.format("%02x%02x%02x%02x", n % 256, math.floor(n / 256) % 256,
        math.floor(n / 65536) % 256, math.floor(n / 16777216) % 256)
end

local db = Respdiff.new("db", "orig", "recv")
local recv, ctx = db:receive()
local q, r0, r1 = string.rep("q", 30), string.rep("a", 50), string.rep("b", 60)
recv(ctx, chain(q, r0, r1))
recv(ctx, chain(q, r0, nil))
recv(ctx, chain("", "", ""))
Respdiff.log():enable("warning")
local big = string.rep("z", 70000)
recv(ctx, chain("x", "y", big))
assert(db.obj.count == 4 and db.obj.id == 4)

-- Nothing is durable before commit.
local before = mdb.dump("db", "queries")
assert(next((before)) == nil, "stored without commit")

db:commit(2 ^ 32 + 5, 7)

local queries, keys = mdb.dump("db", "queries")
assert(#keys == 4)
for i = 0, 3 do
    assert(keys[i + 1] == le32(i), "key " .. i .. " is " .. tostring(keys[i + 1]))
end
assert(queries[le32(0)] == hex(q))
assert(queries[le32(2)] == nil or queries[le32(2)] == "", "empty query")

local answers = mdb.dump("db", "answers")
local expected = "01000000" .. "3200" .. hex(r0) .. "01000000" .. "3c00" .. hex(r1)
assert(#answers[le32(0)] == 2 * 122 and answers[le32(0)] == expected, "the 122-byte value")
assert(answers[le32(1)] == "01000000" .. "3200" .. hex(r0) .. "ffffffff0000", "missing second response")
assert(answers[le32(2)] == "010000000000" .. "010000000000", "empty responses are present")
local cut = answers[le32(3)]
assert(#cut == 2 * (12 + 1 + 65535), "long response cut to 65535 bytes")
assert(cut:sub(15, 26) == "01000000ffff", "length field matches the stored bytes")

local meta, meta_keys = mdb.dump("db", "meta")
assert(#meta_keys == 6, "six meta keys")
local want = {
    [hex("version")] = hex("2018-05-21"),
    [hex("servers")] = "02000000",
    [hex("name0")] = hex("orig"),
    [hex("name1")] = hex("recv"),
    [hex("start_time")] = "05000000",
    [hex("end_time")] = "07000000",
}
for key, value in pairs(want) do
    assert(meta[key] == value, "meta " .. key .. " = " .. tostring(meta[key]))
end

-- An existing directory is reused and new keys start again at 0.
db = nil
collectgarbage()
local again = Respdiff.new("db", "o2", "r2")
local recv2, ctx2 = again:receive()
recv2(ctx2, chain("new", "r", nil))
again:commit(1, 2)
local reused = mdb.dump("db", "queries")
assert(reused[le32(0)] == hex("new"))
assert(mdb.dump("db", "meta")[hex("name0")] == hex("o2"))

-- A writer dropped before commit aborts its transaction and stores nothing.
local dropped = Respdiff.new("dropped")
local recv3, ctx3 = dropped:receive()
recv3(ctx3, chain("gone", "r", nil))
dropped = nil
collectgarbage()
collectgarbage()
assert(next((mdb.dump("dropped", "queries"))) == nil)
local after = Respdiff.new("dropped", "a", "b")
after:commit(0, 0)
assert(next((mdb.dump("dropped", "queries"))) == nil)
