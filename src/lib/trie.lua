-- Trie: an ordered map from byte-string keys to pointer-sized values.
--   local trie = Trie.new("uint64_t")            -- string keys
--   trie:get_ins("example.com"):set(1)
--   local node = trie:get_try("example.com")     -- nil when absent
--   local bin = Trie.new("void*", true, 4)       -- 4-byte binary keys
module("tarvex.lib.trie", package.seeall)

require("tarvex.lib.trie_h")
local Log = require("tarvex.core.log")
local TrieNode = require("tarvex.lib.trie.node")
local TrieIter = require("tarvex.lib.trie.iter")
local ffi = require("ffi")
local C = ffi.C

-- Kept at module level: instance logs point into its settings.
local module_log = Log.new("lib.trie")

Trie = {}
local meta = { __index = Trie }

local max_keylen = 4294967295

function Trie.new(ctype, binary, keylen)
    if ctype == nil then
        module_log:fatal("missing value ctype")
    end
    if ffi.sizeof(ctype) > ffi.sizeof("void*") then
        module_log:fatal("data type exceeds max size, use a pointer instead")
    end
    local self = setmetatable({
        obj = nil,
        _binary = binary == true,
        _keylen = keylen,
        _ctype = ffi.typeof(ctype),
        _log = Log.new("lib.trie", module_log),
    }, meta)
    if keylen ~= nil and not self._binary then
        self._log:warning("setting keylen has no effect for string-key tries")
    end
    local obj = C.trie_create(nil)
    if obj == nil then
        self._log:fatal("out of memory")
    end
    self.obj = ffi.gc(obj, C.trie_free)
    return self
end

function Trie:log()
    if self == nil or self == Trie then
        return module_log
    end
    return self._log
end

-- The key length a lookup uses: an explicit one, the string's own length,
-- or the binary trie's default.
function Trie:_get_keylen(key, keylen)
    if keylen ~= nil then
        if type(keylen) ~= "number" then
            self._log:fatal("keylen must be numeric")
        end
        -- A length past the key's bytes would read beyond them.
        if keylen < 0 or keylen > max_keylen or keylen % 1 ~= 0
            or (type(key) == "string" and keylen > #key) then
            self._log:fatal("keylen out of range")
        end
        return keylen
    end
    if not self._binary then
        if type(key) ~= "string" then
            self._log:fatal("key must be string when using trie with non-binary keys")
        end
        return #key
    end
    if type(self._keylen) ~= "number" then
        self._log:fatal("default keylen not set or invalid")
    end
    return self._keylen
end

function Trie:clear()
    C.trie_clear(self.obj)
end

function Trie:weight()
    return tonumber(C.trie_weight(self.obj))
end

function Trie:get_try(key, keylen)
    keylen = self:_get_keylen(key, keylen)
    local val = C.trie_get_try(self.obj, key, keylen)
    if val == nil then
        return nil
    end
    return TrieNode.new(self, val, key, keylen)
end

function Trie:get_ins(key, keylen)
    keylen = self:_get_keylen(key, keylen)
    local val = C.trie_get_ins(self.obj, key, keylen)
    if val == nil then
        self._log:fatal("out of memory")
    end
    return TrieNode.new(self, val, key, keylen)
end

function Trie:get_first()
    local key = ffi.new("uint8_t*[1]")
    local keylen = ffi.new("uint32_t[1]")
    local val = C.trie_get_first(self.obj, key, keylen)
    if val == nil then
        return nil
    end
    return TrieNode.new(self, val, key[0], keylen[0])
end

function Trie:iter()
    return TrieIter.new(self)
end

return Trie
