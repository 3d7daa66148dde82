-- Every built-in module loads by name, in the main state and in a thread's
-- state, and the executable carries no tarvex module besides these.
-- timeout: 60
-- reject-stderr: .
-- expect-stdout: ^\d+ modules in both states, no others$
local MODULES = {
    "tarvex.core", "tarvex.lib", "tarvex.input", "tarvex.filter", "tarvex.output",

    "tarvex.core.channel", "tarvex.core.channel_h", "tarvex.core.compat", "tarvex.core.compat_h",
    "tarvex.core.file", "tarvex.core.file_h", "tarvex.core.loader", "tarvex.core.log", "tarvex.core.log_h",
    "tarvex.core.object", "tarvex.core.object_h", "tarvex.core.objects", "tarvex.core.producer",
    "tarvex.core.producer_h", "tarvex.core.receiver", "tarvex.core.receiver_h", "tarvex.core.thread",
    "tarvex.core.thread_h", "tarvex.core.timespec", "tarvex.core.timespec_h",
    "tarvex.core.version", "tarvex.core.version_h",

    "tarvex.core.object.pcap", "tarvex.core.object.pcap_h", "tarvex.core.object.dnstap", "tarvex.core.object.dnstap_h",
    "tarvex.core.object.ether",
    "tarvex.core.object.ether_h", "tarvex.core.object.null", "tarvex.core.object.null_h",
    "tarvex.core.object.loop", "tarvex.core.object.loop_h", "tarvex.core.object.linuxsll",
    "tarvex.core.object.linuxsll_h", "tarvex.core.object.ieee802", "tarvex.core.object.ieee802_h",
    "tarvex.core.object.gre", "tarvex.core.object.gre_h", "tarvex.core.object.ip", "tarvex.core.object.ip_h",
    "tarvex.core.object.ip6", "tarvex.core.object.ip6_h", "tarvex.core.object.icmp", "tarvex.core.object.icmp_h",
    "tarvex.core.object.icmp6", "tarvex.core.object.icmp6_h", "tarvex.core.object.udp",
    "tarvex.core.object.udp_h", "tarvex.core.object.tcp", "tarvex.core.object.tcp_h",
    "tarvex.core.object.payload", "tarvex.core.object.payload_h", "tarvex.core.object.dns",
    "tarvex.core.object.dns_h", "tarvex.core.object.dns.label", "tarvex.core.object.dns.q",
    "tarvex.core.object.dns.rr",

    "tarvex.filter.copy", "tarvex.filter.copy_h", "tarvex.filter.gapcap", "tarvex.filter.gapcap_h", "tarvex.filter.ipfrag", "tarvex.filter.ipfrag_h",
    "tarvex.filter.ipsplit", "tarvex.filter.ipsplit_h",
    "tarvex.filter.layer", "tarvex.filter.layer_h", "tarvex.filter.split", "tarvex.filter.split_h",
    "tarvex.filter.tcpstream", "tarvex.filter.tcpstream_h", "tarvex.filter.timing", "tarvex.filter.timing_h",

    "tarvex.input.capture", "tarvex.input.capture_h", "tarvex.input.fpcapng", "tarvex.input.fpcapng_h",
    "tarvex.input.dnstap", "tarvex.input.dnstap_h",
    "tarvex.input.mmpcapng", "tarvex.input.mmpcapng_h", "tarvex.input.zpcapng", "tarvex.input.zpcapng_h",
    "tarvex.input.zmmpcapng", "tarvex.input.zmmpcapng_h",
    "tarvex.input.fpcap", "tarvex.input.fpcap_h", "tarvex.input.mmpcap", "tarvex.input.mmpcap_h",
    "tarvex.input.pcap", "tarvex.input.pcap_h", "tarvex.input.zmmpcap", "tarvex.input.zmmpcap_h",
    "tarvex.input.zpcap", "tarvex.input.zpcap_h", "tarvex.input.zero",

    "tarvex.output.brief", "tarvex.output.brief_h",
    "tarvex.output.dnscli", "tarvex.output.dnscli_h", "tarvex.output.dnstap", "tarvex.output.dnstap_h",
    "tarvex.output.dohcli", "tarvex.output.dohcli_h",
    "tarvex.output.pcap", "tarvex.output.pcap_h",
    "tarvex.output.diffstore", "tarvex.output.diffstore_h",
    "tarvex.output.respdiff", "tarvex.output.respdiff_h", "tarvex.output.tcpcli", "tarvex.output.tcpcli_h",
    "tarvex.output.tlscli", "tarvex.output.tlscli_h", "tarvex.output.udpcli", "tarvex.output.udpcli_h",
    "tarvex.output.null", "tarvex.output.replay_feed", "tarvex.output.replay_feed_h", "tarvex.output.replayer", "tarvex.output.replayer_h",

    "tarvex.lib.base64url", "tarvex.lib.base64url_h", "tarvex.lib.clock", "tarvex.lib.clock_h",
    "tarvex.lib.getopt", "tarvex.lib.histogram", "tarvex.lib.histogram_h", "tarvex.lib.ip", "tarvex.lib.parseconf", "tarvex.lib.trie", "tarvex.lib.trie_h",
    "tarvex.lib.trie.iter", "tarvex.lib.trie.node",

    "tarvex.tools", "tarvex.tools.lib.cli", "tarvex.tools.lib.manpage", "tarvex.tools.lib.completion",
    "tarvex.tools.lib.signals", "tarvex.tools.lib.decode", "tarvex.tools.lib.json", "tarvex.tools.lib.results",
    "tarvex.tools.lib.report", "tarvex.tools.lib.replay_worker",
    "tarvex.tools.stats", "tarvex.tools.dump", "tarvex.tools.filter",
    "tarvex.tools.replay", "tarvex.tools.respdiff", "tarvex.tools.split", "tarvex.tools.capture",
}

-- The zero input and the null output hand out the example add-on's classes.
local addons = os.getenv("TEST_SOURCE_DIR") .. "/addons/?.lua"
package.path = addons .. ";" .. package.path

-- Run in both states: in the main one with the arguments at hand, in the
-- thread's (a copy of this function, without upvalues) with the arguments
-- popped from the thread's queue. Each name must come from the executable:
-- an empty package.path and package.cpath leave nothing else to find.
-- Failures are written to stderr, and their number returned (and put into
-- the channel, from a thread).
local function load_all(source)
    local ffi = require("ffi")
    local names, addon_path, label, out = source:pop(4)
    local saved_path, saved_cpath = package.path, package.cpath
    local failed = 0
    for name in names:gmatch("%S+") do
        package.path, package.cpath = "", ""
        if name == "tarvex.input.zero" or name == "tarvex.output.null" then
            package.path = addon_path
        end
        local ok, why = pcall(require, name)
        if not ok then
            io.stderr:write(label, ": ", name, ": ", tostring(why), "\n")
            failed = failed + 1
        end
    end
    package.path, package.cpath = saved_path, saved_cpath
    if out then
        out:put(ffi.cast("void*", failed + 1))
    end
    return failed
end

local names = table.concat(MODULES, " ")
local here = { pop = function() return names, addons, "main state" end }
assert(load_all(here) == 0, "modules failed in the main state")

local ffi = require("ffi")
local Channel = require("tarvex.core.channel")
local Thread = require("tarvex.core.thread")
local answer = Channel.new(4)
local thread = Thread.new()
thread:push(names, addons, "thread state", answer)
assert(thread:start(load_all) == 0)
local thread_failures = tonumber(ffi.cast("intptr_t", answer:get())) - 1
assert(thread:stop() == 0)
assert(thread_failures == 0, thread_failures .. " modules failed in the thread's state")

-- What the executable exports: one bytecode symbol per module, named after
-- the module with "." as "_".
local expected = {}
for _, name in ipairs(MODULES) do
    expected["luaJIT_BC_" .. name:gsub("%.", "_")] = name
end
local nm = io.popen("nm -D --defined-only " .. arg[0] .. " 2>/dev/null")
local exported, extra = 0, {}
for line in nm:lines() do
    local symbol = line:match("%s(luaJIT_BC_tarvex_[%w_]*)$")
    if symbol then
        exported = exported + 1
        if not expected[symbol] then
            extra[#extra + 1] = symbol
        end
        expected[symbol] = nil
    end
end
nm:close()
-- A build may fill package.preload instead of exporting symbols.
local preloaded = {}
for name in pairs(package.preload) do
    if name:find("^tarvex%.") then
        preloaded[#preloaded + 1] = name
    end
end
if exported == 0 then
    assert(#preloaded >= #MODULES, "neither bytecode symbols nor preload entries")
    local listed = {}
    for _, name in ipairs(MODULES) do
        listed[name] = true
    end
    for _, name in ipairs(preloaded) do
        assert(listed[name], "preloaded module not in the list: " .. name)
    end
else
    assert(#extra == 0, "modules not in the list: " .. table.concat(extra, ", "))
    local missing = {}
    for symbol in pairs(expected) do
        missing[#missing + 1] = symbol
    end
    assert(#missing == 0, "modules without a symbol: " .. table.concat(missing, ", "))
end
print(#MODULES .. " modules in both states, no others")
