-- Base64Url: base64url text to and from strings, on top of the component
-- codec. Errors are logged on the "lib.base64url" module log and the
-- functions then return nothing.
module("tarvex.lib.base64url", package.seeall)

require("tarvex.lib.base64url_h")
local ffi = require("ffi")
local C = ffi.C
local Log = require("tarvex.core.log")

-- Kept at module level: object logs point into it.
local module_log = Log.new("lib.base64url")

-- Above this the codec answers ERANGE; no buffer is worth allocating then.
local max_encode_len = 1610612733

Base64Url = {}

function Base64Url.encode(data, data_len)
    data_len = tonumber(data_len)
    if type(data) == "cdata" and type(data_len) ~= "number" then
        module_log:fatal("encode: data_len must be specified for cdata")
        return
    end
    if type(data) ~= "cdata" and type(data) ~= "string" then
        module_log:fatal("encode: input must be string")
        return
    end
    if data_len and data_len < 0 then
        module_log:fatal("encode: data_len must be greater than 0")
        return
    end
    -- A length past the end of a string would read memory behind it.
    if data_len and type(data) == "string" and data_len > #data then
        module_log:fatal("encode: data_len exceeds the length of the string")
        return
    end
    local len = data_len or #data
    local out_len = len <= max_encode_len and math.ceil(len * 4 / 3) + 2 or 1
    local out = ffi.new("uint8_t[?]", out_len)
    local n = C.base64url_encode(ffi.cast("const uint8_t*", data), len, out, out_len)
    if n < 0 then
        module_log:critical("%s", "encode: error (" .. Log.errstr(-n) .. ")")
        return
    end
    return ffi.string(out, n)
end

function Base64Url.decode(data)
    if type(data) ~= "string" then
        module_log:fatal("decode: input must be string")
        return
    end
    local out_len = math.ceil(#data * 3 / 4) + 1
    local out = ffi.new("uint8_t[?]", out_len)
    local n = C.base64url_decode(ffi.cast("const uint8_t*", data), #data, out, out_len)
    if n == -34 then
        module_log:critical("%s", "decode: error " .. Log.errstr(34) .. " - invalid character(s) in input string?")
        return
    elseif n < 0 then
        module_log:critical("%s", "decode: error " .. Log.errstr(-n))
        return
    end
    return ffi.string(out, n)
end

return Base64Url
