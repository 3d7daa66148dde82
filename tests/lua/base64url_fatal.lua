-- Argument errors of the script codec are fatal: one process per case.
local tarvex = arg[0]

local cases = {
    { "cdata without length", "Base64Url.encode(require('ffi').new('uint8_t[4]'))",
        "encode: data_len must be specified for cdata" },
    { "cdata, length not a number", "Base64Url.encode(require('ffi').new('uint8_t[4]'), 'x')",
        "encode: data_len must be specified for cdata" },
    { "table", "Base64Url.encode({})", "encode: input must be string" },
    { "number", "Base64Url.encode(12)", "encode: input must be string" },
    { "nothing", "Base64Url.encode()", "encode: input must be string" },
    { "negative length", "Base64Url.encode('abc', -1)", "encode: data_len must be greater than 0" },
    { "length past the string", "Base64Url.encode('abc', 4)", "encode: data_len exceeds the length of the string" },
    { "decode a number", "Base64Url.decode(12)", "decode: input must be string" },
    { "decode cdata", "Base64Url.decode(require('ffi').new('uint8_t[4]'))", "decode: input must be string" },
}

for i, case in ipairs(cases) do
    local name, call, message = unpack(case)
    local script = "case" .. i .. ".lua"
    local file = assert(io.open(script, "w"))
    file:write("local Base64Url = require('tarvex.lib.base64url')\n", call, "\nprint('not reached')\n")
    file:close()
    local status = os.execute(tarvex .. " " .. script .. " >out.txt 2>err.txt")
    local err = assert(io.open("err.txt")):read("*a")
    local out = assert(io.open("out.txt")):read("*a")
    assert(status == 256, string.format("%s: status %d", name, status))
    assert(err == "lib.base64url fatal: " .. message .. "\n", string.format("%s: stderr %q", name, err))
    assert(out == "", name .. ": went on after the fatal line")
end
print("base64url fatal cases pass")
