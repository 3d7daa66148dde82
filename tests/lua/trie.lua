-- The Trie, TrieNode and TrieIter classes over string and binary keys.
-- expect-stderr: ^lib\.trie\[0x[0-9a-f]+\] warning: setting keylen has no effect for string-key tries$
-- stderr-lines: 1
local ffi = require("ffi")
local Log = require("tarvex.core.log")
local Trie = require("tarvex.lib.trie")

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

-- String keys: order, exact lookups, values through the slots.
local names = Trie.new("uint64_t")
for i, key in ipairs({ "b", "ab", "a", "", "abc" }) do
    names:get_ins(key):set(i)
end
check(names:weight() == 5, "weight %d", names:weight())
check(names:get_try("zz") == nil, "absent key found")
local node = names:get_try("ab")
check(node:get() == 2ULL, "value of ab: %s", tostring(node:get()))
check(select(1, node:key()) == "ab" and select(2, node:key()) == 2, "key of ab")
-- An explicit length looks up a prefix of the given string.
check(names:get_try("abz", 2):get() == 2ULL, "explicit keylen")
-- Inserting an existing key keeps its value.
check(names:get_ins("a"):get() == 3ULL, "existing key value")
check(names:weight() == 5, "weight after re-insert")

local first = names:get_first()
check(first:key() == "" and first:get() == 4ULL, "first key %q", first:key())

local seen = {}
local it = names:iter()
local n = it:node()
while n do
    seen[#seen + 1] = n:key()
    n:set(n:get() * 10)
    it:next()
    n = it:node()
end
check(table.concat(seen, ",") == ",a,ab,abc,b", "order %s", table.concat(seen, ","))
check(names:get_try("b"):get() == 10ULL, "value set through the iterator")

-- A missing keylen on a string trie falls through to the string's length.
check(names:get_try("abc", nil):get() == 50ULL, "nil keylen")

names:clear()
check(names:weight() == 0 and names:get_first() == nil, "cleared")
check(names:iter():node() == nil, "iterator on an empty trie")

-- Binary keys with a default length, and pointer values.
local addrs = Trie.new("const char*", true, 4)
local keep = {}
for i, text in ipairs({ "ten", "two", "one" }) do
    local key = ffi.new("uint8_t[4]", { 10, 0, 0, i })
    local value = ffi.new("char[?]", #text + 1, text)
    keep[#keep + 1] = value
    addrs:get_ins(key):set(value)
end
local probe = ffi.new("uint8_t[4]", { 10, 0, 0, 2 })
local found = addrs:get_try(probe)
check(ffi.string(found:get()) == "two", "pointer value")
local key, keylen = found:key()
check(keylen == 4 and ffi.istype("uint8_t[?]", key) and key[3] == 2, "binary key copy")
key[3] = 9
check(probe[3] == 2, "the key copy is separate")
-- An explicit length overrides the default.
check(addrs:get_try(probe, 3) == nil, "three-byte key absent")
local last = {}
it = addrs:iter()
n = it:node()
while n do
    local k = n:key()
    last[#last + 1] = k[3]
    it:next()
    n = it:node()
end
check(table.concat(last, ",") == "1,2,3", "binary order %s", table.concat(last, ","))

-- Small integer value types.
local small = Trie.new("int32_t")
small:get_ins("x"):set(-5)
check(small:get_try("x"):get() == -5, "int32 value")

-- Logs: the instance's log falls back to the module's.
check(ffi.istype("core_log_t", Trie.log()), "module log")
check(ffi.string(Trie.log().name) == "lib.trie", "module log name")
check(names:log().is_obj == 1, "instance log")
check(ffi.string(it:log().name) == "lib.trie.iter", "iterator log")
check(ffi.string(found:log().name) == "lib.trie.node", "node log")

Log.enable("warning")
Trie.new("uint64_t", false, 4)
print("trie classes pass")
