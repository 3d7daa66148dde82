-- A method that reads a record's fields, called on a null record pointer
-- (what a pull gives at its end, the obj_prev below the last layer), raises
-- a script error at the call instead of ending the process with SIGSEGV.
-- expect-stdout: ^null record cases pass$
local ffi = require("ffi")
local Object = require("tarvex.core.objects")

local methods = {
    core_object_t = { "type", "prev", "cast", "cast_to" },
    core_object_ip_t = { "prev", "source", "destination" },
    core_object_ip6_t = { "prev", "source", "destination" },
}
for _, name in ipairs({ "pcap", "ether", "null", "loop", "linuxsll", "ieee802", "gre", "icmp", "icmp6", "udp",
    "tcp", "payload", "dns" }) do
    require("tarvex.core.object." .. name)
    methods["core_object_" .. name .. "_t"] = { "prev" }
end
require("tarvex.core.object.ip")
require("tarvex.core.object.ip6")

local checked = 0
for ctype, list in pairs(methods) do
    local null = ffi.cast(ctype .. "*", nil)
    for _, method in ipairs(list) do
        local ok, err = pcall(function()
            local result = null[method](null)
            return result
        end)
        local want = "objects_null%.lua:%d+: " .. method .. "%(%) called on a null record pointer$"
        assert(not ok and tostring(err):find(want), ctype .. ":" .. method .. ": " .. tostring(err))
        checked = checked + 1
    end
end
assert(checked == 23, checked)

-- The bottom of a real chain: the payload's obj_prev is null.
local payload = ffi.new("core_object_payload_t")
payload.obj_type = Object.PAYLOAD
local below = payload:prev()
assert(below == nil)
local ok, err = pcall(function()
    local kind = below:type()
    return kind
end)
assert(not ok and err:find("type%(%) called on a null record pointer"), tostring(err))
-- A record that is there still answers.
assert(payload:uncast():type() == "payload" and payload:uncast():cast_to(Object.UDP) == nil)
print("null record cases pass")
