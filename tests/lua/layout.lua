-- Every record the components export is laid out the same in the script
-- layer: offsets, widths, signedness and sizes come from the compiled headers.
local ffi = require("ffi")

local src = os.getenv("TEST_SOURCE_DIR") .. "/src"
local finder = io.popen("cd '" .. src .. "' && find . -name '*.luah' | sort")
for path in finder:lines() do
    local module = "tarvex." .. path:gsub("^%./", ""):gsub("%.luah$", "_h"):gsub("/", ".")
    require(module)
end
finder:close()

local failures = {}
local function fail(fmt, ...)
    failures[#failures + 1] = string.format(fmt, ...)
end

local function ctype_of(name)
    local ok, ct = pcall(ffi.typeof, name)
    if not ok then
        fail("type %s is not declared to the FFI", name)
        return nil
    end
    return ct
end

-- Width and signedness of an integer field: store -1 in a zeroed record and
-- see how many bytes change and what reads back. The -1 is a 64-bit integer:
-- a plain number -1 converts to 2^63 for 64-bit unsigned fields on x86-64.
local minus_one = ffi.new("int64_t", -1)
local function integer_shape(ct, field)
    local rec = ffi.new(ct)
    local ok = pcall(function() rec[field] = minus_one end)
    if not ok then
        return nil
    end
    local bytes = ffi.cast("uint8_t*", rec)
    local width = 0
    for i = 0, ffi.sizeof(ct) - 1 do
        if bytes[i] ~= 0 then
            width = width + 1
        end
    end
    local back = rec[field]
    local signed = back == -1 or (type(back) == "cdata" and tonumber(back) == -1)
    return width, signed and "s" or "u"
end

local checked = 0
local dump = io.popen(os.getenv("TEST_LAYOUT_DUMP"))
for line in dump:lines() do
    local words = {}
    for word in line:gmatch("%S+") do
        words[#words + 1] = word
    end
    if words[1] == "type" then
        local name = table.concat(words, " ", 2, #words - 2)
        local size, align = tonumber(words[#words - 1]), tonumber(words[#words])
        local ct = ctype_of(name)
        if ct then
            if ffi.sizeof(ct) ~= size then
                fail("%s: size %d in the script layer, %d in C++", name, ffi.sizeof(ct), size)
            end
            if ffi.alignof(ct) ~= align then
                fail("%s: alignment %d in the script layer, %d in C++", name, ffi.alignof(ct), align)
            end
        end
        checked = checked + 1
    elseif words[1] == "field" then
        local record, field = words[2], words[3]
        local offset, size, kind = tonumber(words[4]), tonumber(words[5]), words[6]
        local ct = ctype_of(record)
        if ct then
            local script_offset = ffi.offsetof(ct, field)
            if script_offset == nil then
                fail("%s.%s: no such field in the script layer", record, field)
            elseif script_offset ~= offset then
                fail("%s.%s: offset %d in the script layer, %d in C++", record, field, script_offset, offset)
            elseif kind == "s" or kind == "u" then
                local width, sign = integer_shape(ct, field)
                if width and width ~= size then
                    fail("%s.%s: %d bytes in the script layer, %d in C++", record, field, width, size)
                elseif width and sign ~= kind then
                    fail("%s.%s: signedness %s in the script layer, %s in C++", record, field, sign, kind)
                end
            elseif kind == "p" then
                local value = ffi.new(ct)[field]
                if type(value) ~= "cdata" or not tostring(ffi.typeof(value)):find("%*") then
                    fail("%s.%s: not a pointer in the script layer", record, field)
                end
            elseif kind == "a" then
                local value = ffi.new(ct)[field]
                if type(value) ~= "cdata" or ffi.sizeof(value) ~= size then
                    fail("%s.%s: aggregate of %s bytes in the script layer, %d in C++", record, field,
                        type(value) == "cdata" and tostring(ffi.sizeof(value)) or "?", size)
                end
            end
        end
        checked = checked + 1
    end
end
dump:close()

if checked == 0 then
    fail("the layout dump listed nothing")
end
if #failures > 0 then
    error(table.concat(failures, "\n"), 0)
end
print(string.format("%d layout entries agree", checked))
