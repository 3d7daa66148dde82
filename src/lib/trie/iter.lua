-- TrieIter: walks a Trie in key order. No key may be inserted while an
-- iterator is in use; values may be changed through its nodes.
--   local it = trie:iter()
--   local node = it:node()
--   while node do ... it:next() node = it:node() end
module("tarvex.lib.trie.iter", package.seeall)

require("tarvex.lib.trie_h")
local Log = require("tarvex.core.log")
local TrieNode = require("tarvex.lib.trie.node")
local ffi = require("ffi")
local C = ffi.C

local module_log = Log.new("lib.trie.iter")

TrieIter = {}
local meta = { __index = TrieIter }

function TrieIter.new(trie)
    local self = setmetatable({
        trie = trie,
        obj = nil,
        _log = Log.new("lib.trie.iter", module_log),
    }, meta)
    local obj = C.trie_it_begin(trie.obj)
    if obj == nil then
        self._log:fatal("out of memory")
    end
    self.obj = ffi.gc(obj, C.trie_it_free)
    return self
end

function TrieIter:log()
    if self == nil or self == TrieIter then
        return module_log
    end
    return self._log
end

function TrieIter:node()
    if C.trie_it_finished(self.obj) then
        return nil
    end
    local keylen = ffi.new("size_t[1]")
    local key = C.trie_it_key(self.obj, keylen)
    return TrieNode.new(self.trie, C.trie_it_val(self.obj), key, keylen[0])
end

function TrieIter:next()
    C.trie_it_next(self.obj)
end

return TrieIter
