-- JSON for the results tools write and read back.
--   local text = assert(Json.encode(result))       -- nil, why on what JSON cannot hold
--   local result, why = Json.decode(text)           -- nil, "line 3 column 7: ..." on bad input
-- Output is stable so that two results diff cleanly: object keys sorted, one
-- key per line, arrays of plain values on one line, integers without a
-- fraction. NaN and infinities have no JSON form and are refused, as are
-- strings that are not UTF-8 (JSON readers reject them). Decoded arrays
-- carry Json.array's mark and JSON null is Json.null, so a decoded document
-- encodes back to the same text.
module("tarvex.tools.lib.json", package.seeall)

local ffi = require("ffi")

Json = {}

Json.null = setmetatable({}, { __tostring = function() return "null" end })
local array_mark = { __json = "array" }

-- Marks a table as a JSON array, so that an empty one is written as [].
function Json.array(list)
    return setmetatable(list or {}, array_mark)
end

function Json.is_array(value)
    return getmetatable(value) == array_mark
end

local escapes = { ['"'] = '\\"', ["\\"] = "\\\\", ["\b"] = "\\b", ["\f"] = "\\f", ["\n"] = "\\n", ["\r"] = "\\r",
    ["\t"] = "\\t" }

-- UTF-8 as RFC 3629 has it: no overlong forms, no surrogates, nothing past
-- U+10FFFF.
local function is_utf8(text)
    local at, length = 1, #text
    while at <= length do
        local lead = text:byte(at)
        local extra, low, high
        if lead < 0x80 then
            extra = 0
        elseif lead >= 0xC2 and lead <= 0xDF then
            extra, low, high = 1, 0x80, 0xBF
        elseif lead >= 0xE0 and lead <= 0xEF then
            extra = 2
            low = lead == 0xE0 and 0xA0 or 0x80
            high = lead == 0xED and 0x9F or 0xBF
        elseif lead >= 0xF0 and lead <= 0xF4 then
            extra = 3
            low = lead == 0xF0 and 0x90 or 0x80
            high = lead == 0xF4 and 0x8F or 0xBF
        else
            return false
        end
        for step = 1, extra do
            local byte = text:byte(at + step)
            if byte == nil or byte < (step == 1 and low or 0x80) or byte > (step == 1 and high or 0xBF) then
                return false
            end
        end
        at = at + 1 + extra
    end
    return true
end

local function encode_string(text)
    return '"' .. text:gsub('[%z\1-\31"\\]', function(char)
        return escapes[char] or string.format("\\u%04x", char:byte())
    end) .. '"'
end

local function encode_number(value)
    if value ~= value or value == math.huge or value == -math.huge then
        return nil
    end
    if value == math.floor(value) and math.abs(value) < 2 ^ 53 then
        return value == 0 and "0" or string.format("%.0f", value)
    end
    for _, digits in ipairs({ "%.15g", "%.16g" }) do
        local text = string.format(digits, value)
        if tonumber(text) == value then
            return text
        end
    end
    return string.format("%.17g", value)
end

local int64 = ffi.typeof("int64_t")
local uint64 = ffi.typeof("uint64_t")

-- A table with keys 1..n and nothing else is an array.
local function sequence_length(value)
    local count = 0
    for _ in pairs(value) do
        count = count + 1
    end
    for index = 1, count do
        if value[index] == nil then
            return nil
        end
    end
    return count
end

local function encode_value(value, indent, out, path, open)
    local kind = type(value)
    if value == Json.null or value == nil then
        out[#out + 1] = "null"
    elseif kind == "boolean" then
        out[#out + 1] = value and "true" or "false"
    elseif kind == "number" then
        local text = encode_number(value)
        if not text then
            error(path .. " is " .. tostring(value) .. ", which JSON cannot hold", 0)
        end
        out[#out + 1] = text
    elseif kind == "cdata" and (ffi.istype(int64, value) or ffi.istype(uint64, value)) then
        out[#out + 1] = (tostring(value):gsub("U?LL$", ""))
    elseif kind == "string" then
        if not is_utf8(value) then
            error(path .. " is not UTF-8 text", 0)
        end
        out[#out + 1] = encode_string(value)
    elseif kind == "table" then
        if open[value] then
            error(path .. " contains itself", 0)
        end
        open[value] = true
        local inner = indent .. "  "
        local length = Json.is_array(value) and #value or sequence_length(value)
        if length and (length > 0 or Json.is_array(value)) then
            local flat = true
            for index = 1, length do
                if type(value[index]) == "table" and value[index] ~= Json.null then
                    flat = false
                end
            end
            out[#out + 1] = "["
            for index = 1, length do
                out[#out + 1] = index > 1 and (flat and ", " or ",") or ""
                if not flat then
                    out[#out + 1] = "\n" .. inner
                end
                encode_value(value[index], inner, out, path .. "[" .. index .. "]", open)
            end
            out[#out + 1] = (flat or length == 0) and "]" or "\n" .. indent .. "]"
        else
            local keys = {}
            for key in pairs(value) do
                if type(key) ~= "string" then
                    error(path .. " has a key of type " .. type(key) .. " (JSON object keys are strings)", 0)
                end
                keys[#keys + 1] = key
            end
            table.sort(keys)
            out[#out + 1] = "{"
            for index, key in ipairs(keys) do
                out[#out + 1] = (index > 1 and "," or "") .. "\n" .. inner .. encode_string(key) .. ": "
                encode_value(value[key], inner, out, path .. "." .. key, open)
            end
            out[#out + 1] = #keys > 0 and "\n" .. indent .. "}" or "}"
        end
        open[value] = nil
    else
        error(path .. " is a " .. kind .. ", which JSON cannot hold", 0)
    end
end

-- The document as text, ending with a newline; nil and a one-line message
-- naming the offending field when the value has no JSON form.
function Json.encode(value)
    local out = {}
    local ok, why = pcall(encode_value, value, "", out, "value", {})
    if not ok then
        return nil, "json: " .. tostring(why)
    end
    out[#out + 1] = "\n"
    return table.concat(out)
end

-- Deeper nesting than any result has is refused rather than run out of
-- stack on a hostile file.
local max_depth = 200

local Decoder = {}
Decoder.__index = Decoder

function Decoder:fail(what, at)
    at = at or self.at
    local line, column = 1, at
    for newline in self.text:sub(1, at - 1):gmatch("()\n") do
        line, column = line + 1, at - newline
    end
    error(string.format("json: line %d column %d: %s", line, column, what), 0)
end

function Decoder:space()
    self.at = self.text:find("[^ \t\r\n]", self.at) or #self.text + 1
end

local function utf8_char(code)
    if code < 0x80 then
        return string.char(code)
    elseif code < 0x800 then
        return string.char(0xC0 + bit.rshift(code, 6), 0x80 + bit.band(code, 0x3F))
    elseif code < 0x10000 then
        return string.char(0xE0 + bit.rshift(code, 12), 0x80 + bit.band(bit.rshift(code, 6), 0x3F),
            0x80 + bit.band(code, 0x3F))
    end
    return string.char(0xF0 + bit.rshift(code, 18), 0x80 + bit.band(bit.rshift(code, 12), 0x3F),
        0x80 + bit.band(bit.rshift(code, 6), 0x3F), 0x80 + bit.band(code, 0x3F))
end

local simple_escapes = { ['"'] = '"', ["\\"] = "\\", ["/"] = "/", b = "\b", f = "\f", n = "\n", r = "\r", t = "\t" }

function Decoder:hex4(at)
    local digits = self.text:match("^%x%x%x%x", at)
    if not digits then
        self:fail("\\u needs four hex digits", at)
    end
    return tonumber(digits, 16)
end

function Decoder:string()
    local text, parts = self.text, {}
    local at = self.at + 1
    while true do
        local stop = text:find('[%z\1-\31"\\]', at)
        if not stop then
            self:fail("unterminated string", self.at)
        end
        parts[#parts + 1] = text:sub(at, stop - 1)
        local char = text:sub(stop, stop)
        if char == '"' then
            self.at = stop + 1
            local value = table.concat(parts)
            if not is_utf8(value) then
                self:fail("string is not UTF-8", stop)
            end
            return value
        elseif char ~= "\\" then
            self:fail("control character in string", stop)
        end
        local escape = text:sub(stop + 1, stop + 1)
        if simple_escapes[escape] then
            parts[#parts + 1] = simple_escapes[escape]
            at = stop + 2
        elseif escape == "u" then
            local code = self:hex4(stop + 2)
            at = stop + 6
            if code >= 0xD800 and code <= 0xDBFF then
                local low = text:sub(at, at + 1) == "\\u" and self:hex4(at + 2)
                if not low or low < 0xDC00 or low > 0xDFFF then
                    self:fail("unpaired surrogate in \\u escape", stop)
                end
                code = 0x10000 + (code - 0xD800) * 0x400 + (low - 0xDC00)
                at = at + 6
            elseif code >= 0xDC00 and code <= 0xDFFF then
                self:fail("unpaired surrogate in \\u escape", stop)
            end
            parts[#parts + 1] = utf8_char(code)
        else
            self:fail("unknown escape \\" .. escape, stop)
        end
    end
end

function Decoder:number()
    local text, at = self.text, self.at
    local stop = select(2, text:find("^-?0", at)) or select(2, text:find("^-?[1-9]%d*", at))
    if not stop then
        self:fail("unexpected character " .. string.format("%q", text:sub(at, at)))
    end
    stop = select(2, text:find("^%.%d+", stop + 1)) or stop
    stop = select(2, text:find("^[eE][-+]?%d+", stop + 1)) or stop
    if text:find("^[%.eE]", stop + 1) then
        self:fail("malformed number", stop + 1)
    end
    local value = tonumber(text:sub(at, stop))
    if value == math.huge or value == -math.huge then
        self:fail("number out of range")
    end
    self.at = stop + 1
    return value
end

function Decoder:literal(word, value)
    if self.text:sub(self.at, self.at + #word - 1) ~= word then
        self:fail("unexpected character " .. string.format("%q", self.text:sub(self.at, self.at)))
    end
    self.at = self.at + #word
    return value
end

function Decoder:value(depth)
    if depth > max_depth then
        self:fail("nested deeper than " .. max_depth)
    end
    self:space()
    local char = self.text:sub(self.at, self.at)
    if char == "{" then
        return self:object(depth)
    elseif char == "[" then
        return self:list(depth)
    elseif char == '"' then
        return self:string()
    elseif char == "t" then
        return self:literal("true", true)
    elseif char == "f" then
        return self:literal("false", false)
    elseif char == "n" then
        return self:literal("null", Json.null)
    elseif char == "" then
        self:fail("unexpected end of input")
    end
    return self:number()
end

-- After an element: the separator, or the closing bracket (true).
function Decoder:next_or_close(close)
    self:space()
    local char = self.text:sub(self.at, self.at)
    self.at = self.at + 1
    if char == close then
        return true
    elseif char ~= "," then
        self:fail(char == "" and "unexpected end of input" or "expected ',' or '" .. close .. "'", self.at - 1)
    end
    return false
end

function Decoder:list(depth)
    local list = Json.array({})
    self.at = self.at + 1
    self:space()
    if self.text:sub(self.at, self.at) == "]" then
        self.at = self.at + 1
        return list
    end
    repeat
        list[#list + 1] = self:value(depth + 1)
    until self:next_or_close("]")
    return list
end

function Decoder:object(depth)
    local object = {}
    self.at = self.at + 1
    self:space()
    if self.text:sub(self.at, self.at) == "}" then
        self.at = self.at + 1
        return object
    end
    repeat
        self:space()
        if self.text:sub(self.at, self.at) ~= '"' then
            self:fail("expected a string key")
        end
        local key = self:string()
        self:space()
        if self.text:sub(self.at, self.at) ~= ":" then
            self:fail("expected ':'")
        end
        self.at = self.at + 1
        object[key] = self:value(depth + 1)
    until self:next_or_close("}")
    return object
end

-- The value the text holds; nil and "json: line L column C: what" when it
-- is not one JSON document.
function Json.decode(text)
    if type(text) ~= "string" then
        return nil, "json: input is not text"
    end
    local decoder = setmetatable({ text = text, at = 1 }, Decoder)
    local ok, value = pcall(function()
        local value = decoder:value(1)
        decoder:space()
        if decoder.at <= #text then
            decoder:fail("text after the document")
        end
        return value
    end)
    if not ok then
        return nil, tostring(value)
    end
    return value
end

return Json
