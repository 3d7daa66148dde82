-- Misuse of a DNS object from a script ends the process with the parser's message.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = [[
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ffi = require("ffi")
local Dns = require("tarvex.core.object.dns")
local Label = require("tarvex.core.object.dns.label")
local Q = require("tarvex.core.object.dns.q")
local w = require("dnswire")
]]

local F = "^core%.object%.dns fatal: "
sub.expect_all({
    { "not on a payload", [[local p = w.payload("x") p.obj_type = 30 Dns.new(p):parse_header()]],
        1, F .. "no obj_prev or invalid type\n$" },
    { "no chain", [[Dns.new():print()]], 1, F .. "no obj_prev or invalid type\n$" },
    { "question before header", [[Dns.new(w.payload("x")):parse_q(Q.new(), Label.new(1), 1)]],
        1, F .. "at is nil\n$" },
    { "no labels", [[local d = Dns.new(w.payload(string.rep("\0", 12))) d:parse_header()
        d:parse_q(Q.new(), Label.new(1), 0)]], 1, F .. "labels is zero\n$" },
    { "empty payload is no misuse", [[local d = Dns.new(w.payload("")) assert(d:parse_header() == -2)
        assert(d:parse() == -2) d:print()]], 0, "^$" },
}, prelude)
print("dns fatal cases pass")
