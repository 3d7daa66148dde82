-- The script codec: vectors, round trips, and the critical lines of the
-- failures that return nothing.
-- expect-stderr: ^lib\.base64url critical: decode: error ERANGE - invalid character\(s\) in input string\?$
-- expect-stderr: ^lib\.base64url critical: decode: error EPERM$
-- expect-stderr: ^lib\.base64url critical: encode: error \(EINVAL\)$
-- expect-stderr: ^lib\.base64url critical: encode: error \(ERANGE\)$
-- stderr-lines: 6
local ffi = require("ffi")
local Base64Url = require("tarvex.lib.base64url")

local vectors = {
    { "", "" },
    { "f", "Zg" },
    { "fo", "Zm8" },
    { "foo", "Zm9v" },
    { "foob", "Zm9vYg" },
    { "fooba", "Zm9vYmE" },
    { "foobar", "Zm9vYmFy" },
    { "\251\255", "-_8" },
    { "a\0b", "YQBi" },
}
for _, v in ipairs(vectors) do
    local plain, text = v[1], v[2]
    assert(Base64Url.encode(plain) == text, "encode " .. text)
    assert(Base64Url.decode(text) == plain, "decode " .. text)
end

-- Lengths, cdata buffers and the zero bytes a padded group may carry.
local buffer = ffi.new("uint8_t[3]", { 0x66, 0x6f, 0x6f })
local cases = {
    { "cdata with length", Base64Url.encode(buffer, 3), "Zm9v" },
    { "cdata, length as text", Base64Url.encode(buffer, "2"), "Zm8" },
    { "cdata, length 0", Base64Url.encode(buffer, 0), "" },
    { "string prefix", Base64Url.encode("foobar", 4), "Zm9vYg" },
    { "zero bytes as padding", Base64Url.decode("Zg\0\0"), "f" },
}
for _, c in ipairs(cases) do
    assert(c[2] == c[3], string.format("%s: %q", c[1], tostring(c[2])))
end

-- Random round trips of every length up to 300.
math.randomseed(12)
for len = 0, 300 do
    local chars = {}
    for i = 1, len do
        chars[i] = string.char(math.random(0, 255))
    end
    local plain = table.concat(chars)
    local text = Base64Url.encode(plain)
    assert(#text == math.floor((len * 4 + 2) / 3), "text length for " .. len)
    assert(not text:find("[^%w%-_]"), "alphabet for " .. len)
    assert(Base64Url.decode(text) == plain, "round trip of length " .. len)
end

-- Each failure logs one critical line and returns nothing.
local failures = {
    { "length 4k+1", function() return Base64Url.decode("Zm9vY") end },
    { "padding mark", function() return Base64Url.decode("Zg==") end },
    { "standard alphabet", function() return Base64Url.decode("Zm+v") end },
    { "lone character", function() return Base64Url.decode("Z") end },
    { "null pointer", function() return Base64Url.encode(ffi.cast("const uint8_t*", nil), 3) end },
    { "too long", function() return Base64Url.encode(buffer, 1610612734) end },
}
for _, f in ipairs(failures) do
    assert(select("#", f[2]()) == 0, f[1] .. " returns nothing")
end
