-- TrieNode: one key of a Trie and its value slot. The slot stays valid
-- until the next insertion into the trie.
module("tarvex.lib.trie.node", package.seeall)

require("tarvex.lib.trie_h")
local Log = require("tarvex.core.log")
local ffi = require("ffi")

local module_log = Log.new("lib.trie.node")

TrieNode = {}
local meta = { __index = TrieNode }

function TrieNode.new(trie, val, key, keylen)
    return setmetatable({
        _trie = trie,
        _val = val,
        _key = key,
        _keylen = tonumber(keylen),
        _log = Log.new("lib.trie.node", module_log),
    }, meta)
end

function TrieNode:log()
    if self == nil or self == TrieNode then
        return module_log
    end
    return self._log
end

-- A copy of the key bytes (binary tries) or the key as a string, and its length.
function TrieNode:key()
    if self._trie._binary then
        local copy = ffi.new("uint8_t[?]", self._keylen)
        ffi.copy(copy, self._key, self._keylen)
        return copy, self._keylen
    end
    if type(self._key) == "string" then
        return self._key:sub(1, self._keylen), self._keylen
    end
    return ffi.string(self._key, self._keylen), self._keylen
end

function TrieNode:get()
    return ffi.cast(self._trie._ctype, self._val[0])
end

function TrieNode:set(value)
    self._val[0] = ffi.cast("void*", value)
end

return TrieNode
