-- Misuse of copy and free from scripts: each case is its own tarvex process
-- that must end with exactly one fatal line and status 1.
local tarvex = arg[0]

local prelude = [[
local ffi = require("ffi")
local Object = require("tarvex.core.objects")
local header = ffi.new("core_object_t")
]]

local cases = {
    { "copy of type 0", "header.obj_type = 0; header:copy()", "^core fatal: unknown type 0\n$" },
    { "free of type 0", "header.obj_type = 0; header:free()", "^core fatal: unknown type 0\n$" },
    { "copy of type 99", "header.obj_type = 99; header:copy()", "^core fatal: unknown type 99\n$" },
    { "dns copy of null", "ffi.C.core_object_dns_copy(nil)", "^core%.object%.dns fatal: self is nil\n$" },
    { "generic free of null", "ffi.C.core_object_free(nil)", "^core fatal: self is nil\n$" },
    { "generic copy of null", "ffi.C.core_object_copy(nil)", "^core fatal: self is nil\n$" },
    { "pcap copy of null", "ffi.C.core_object_pcap_copy(nil)", "^core fatal: self is nil\n$" },
    { "payload free of null", "ffi.C.core_object_payload_free(nil)", "^core fatal: self is nil\n$" },
    { "source position names the record's file",
        "require('tarvex.core.log').display_file_line(true); ffi.C.core_object_udp_free(nil)",
        "^core/object/udp%.cpp%[%d+%] core fatal: self is nil\n$" },
}

local function run(name, body)
    local path = name:gsub("%W", "_") .. ".lua"
    local file = assert(io.open(path, "w"))
    file:write(prelude, body, "\nprint('not reached')\n")
    file:close()
    local status = os.execute(tarvex .. " " .. path .. " >out.txt 2>err.txt")
    local code = status >= 256 and math.floor(status / 256) or status
    local err = assert(io.open("err.txt")):read("*a")
    local out = assert(io.open("out.txt")):read("*a")
    return code, err, out
end

for _, case in ipairs(cases) do
    local name, body, pattern = unpack(case)
    local code, err, out = run(name, body)
    if code ~= 1 or not err:find(pattern) or out ~= "" then
        error(string.format("%s: exit %s, stderr %q, stdout %q", name, tostring(code), err, out))
    end
end
print("object fatal cases pass")
