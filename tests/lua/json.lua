-- JSON as results are written and read back: stable text, exact round
-- trips, and one-line refusals of what JSON cannot hold or a file gets wrong.
-- reject-stderr: .
-- expect-stdout: ^json ok$
local Json = require("tarvex.tools.lib.json")
local ffi = require("ffi")

-- Stable text: keys sorted, integers without a fraction, plain arrays inline.
local text = assert(Json.encode({
    b = 1, a = { 3, 2.5, -0.125, 1e300, 2 ^ 53, -7 }, c = { { x = true }, Json.null }, d = {},
    e = Json.array(), s = "tab\there \"q\" \\ \1 é", big = ffi.new("uint64_t", 18446744073709551615ULL),
}))
local expected = [[
{
  "a": [3, 2.5, -0.125, 1e+300, 9007199254740992, -7],
  "b": 1,
  "big": 18446744073709551615,
  "c": [
    {
      "x": true
    },
    null
  ],
  "d": {},
  "e": [],
  "s": "tab\there \"q\" \\ \u0001 é"
}
]]
assert(text == expected, "encoded as:\n" .. text)

-- Round trips: decoded and encoded again, the text is the same; numbers
-- come back exactly.
local samples = { 0.1, 1 / 3, 123456.789, 5e-324, 1.7976931348623157e308, -2 ^ 52 - 0.5, 4503599627370497 }
local round = assert(Json.decode(assert(Json.encode({ samples = samples }))))
for position, value in ipairs(samples) do
    assert(round.samples[position] == value, string.format("%.17g came back as %.17g", value, round.samples[position]))
end
local decoded = assert(Json.decode(text))
assert(decoded.c[2] == Json.null and Json.is_array(decoded.e) and next(decoded.d) == nil)
assert(decoded.big == 18446744073709551615, "big integers read as numbers")
decoded.big = nil
local again = assert(Json.decode(assert(Json.encode(decoded))))
assert(Json.encode(again) == Json.encode(decoded))
local escaped = assert(Json.decode([["\u00e9\ud83d\ude00\/\n"]]))
assert(escaped == "é\240\159\152\128/\n", "escapes")

-- What JSON cannot hold is refused, naming where it is.
local cyclic = {}
cyclic.self = cyclic
local refused = {
    { { rate = { qps = 0 / 0 } }, "json: value.rate.qps is nan, which JSON cannot hold" },
    { { 1, 2, 1 / 0 }, "json: value[3] is inf, which JSON cannot hold" },
    { { x = -1 / 0 }, "json: value.x is -inf" },
    { { [3] = 1 }, "json: value has a key of type number" },
    { { f = print }, "json: value.f is a function" },
    { cyclic, "json: value.self contains itself" },
    { { path = "caf\233" }, "json: value.path is not UTF-8 text" },
    { { path = "\237\160\128" }, "json: value.path is not UTF-8 text" },
}
for _, case in ipairs(refused) do
    local out, why = Json.encode(case[1])
    assert(out == nil and why and why:find(case[2], 1, true), tostring(why) .. "\n  wanted: " .. case[2])
end

-- Bad input: one line with the position.
local bad = {
    { "", "json: line 1 column 1: unexpected end of input" },
    { "{\"a\": 1,}", "json: line 1 column 9: expected a string key" },
    { "{\n  \"a\" 1}", "json: line 2 column 7: expected ':'" },
    { "[1, 2", "json: line 1 column 6: unexpected end of input" },
    { "[1 2]", "json: line 1 column 4: expected ',' or ']'" },
    { "01", "json: line 1 column 2: text after the document" },
    { "1.", "json: line 1 column 2: malformed number" },
    { "-", "json: line 1 column 1: unexpected character" },
    { "1e999", "json: line 1 column 1: number out of range" },
    { "NaN", "json: line 1 column 1: unexpected character \"N\"" },
    { "tru", "json: line 1 column 1: unexpected character \"t\"" },
    { "\"abc", "json: line 1 column 1: unterminated string" },
    { "\"a\nb\"", "json: line 1 column 3: control character in string" },
    { "\"\\x\"", "json: line 1 column 2: unknown escape \\x" },
    { "\"\\u12\"", "json: line 1 column 4: \\u needs four hex digits" },
    { "\"\\ud800\"", "json: line 1 column 2: unpaired surrogate" },
    { "\"\\udc00\"", "json: line 1 column 2: unpaired surrogate" },
    { "\"\255\"", "json: line 1 column 3: string is not UTF-8" },
    { string.rep("[", 500), "nested deeper than 200" },
    { "{} {}", "text after the document" },
}
for _, case in ipairs(bad) do
    local value, why = Json.decode(case[1])
    assert(value == nil and why and why:find(case[2], 1, true), string.format("%q: %s\n  wanted: %s", case[1],
        tostring(why), case[2]))
    assert(not why:find("\n"), "one line")
end
assert(select(2, Json.decode(nil)) == "json: input is not text")
print("json ok")
