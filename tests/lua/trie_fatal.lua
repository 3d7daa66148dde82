-- Misuse of the trie classes ends the process with its message.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = [[
local ffi = require("ffi")
local Trie = require("tarvex.lib.trie")
]]

local I = "^lib%.trie%[0x%x+%] fatal: "
sub.expect_all({
    { "missing ctype", [[Trie.new()]], 1, "^lib%.trie fatal: missing value ctype\n$" },
    { "too large ctype", [[Trie.new("struct { uint64_t a, b; }")]], 1,
        "^lib%.trie fatal: data type exceeds max size, use a pointer instead\n$" },
    { "no default keylen", [[Trie.new("uint64_t", true):get_try(ffi.new("uint8_t[4]"))]], 1,
        I .. "default keylen not set or invalid\n$" },
    { "invalid default keylen", [[Trie.new("uint64_t", true, "4"):get_ins(ffi.new("uint8_t[4]"))]], 1,
        I .. "default keylen not set or invalid\n$" },
    { "keylen not a number", [[Trie.new("uint64_t"):get_try("abc", "3")]], 1,
        I .. "keylen must be numeric\n$" },
    { "keylen not a number, binary", [[Trie.new("uint64_t", true, 4):get_ins(ffi.new("uint8_t[4]"), {})]], 1,
        I .. "keylen must be numeric\n$" },
    { "non-string key", [[Trie.new("uint64_t"):get_ins(ffi.new("uint8_t[4]"))]], 1,
        I .. "key must be string when using trie with non%-binary keys\n$" },
    { "keylen past a string key", [[Trie.new("uint64_t"):get_try("abc", 4)]], 1,
        I .. "keylen out of range\n$" },
    { "negative keylen", [[Trie.new("uint64_t", true, 4):get_try(ffi.new("uint8_t[4]"), -1)]], 1,
        I .. "keylen out of range\n$" },
    { "fractional keylen", [[Trie.new("uint64_t", true):get_try(ffi.new("uint8_t[4]"), 1.5)]], 1,
        I .. "keylen out of range\n$" },
    { "null trie", [[ffi.C.trie_get_try(nil, "a", 1)]], 134, "lib/trie.*Assertion `tbl' failed" },
    { "next past the end", [[
        local t = Trie.new("uint64_t")
        t:get_ins("a")
        local it = t:iter()
        it:next()
        it:next()]], 134, "lib/trie.*Assertion `it%->len > 0' failed" },
}, prelude)

-- The warning is printed only when warnings are on, and the trie still works.
local code, out, err = sub.tarvex(prelude .. [[
local t = Trie.new("uint64_t", false, 8)
t:get_ins("abc"):set(1)
print(tonumber(t:get_try("abc"):get()))
]])
assert(code == 0 and out == "1\n" and err == "", "silent warning: " .. err)
print("trie fatal cases pass")
