-- Parseconf: a line-oriented configuration format of statements
-- "name value ...;". Statements go to a handler registered for their name,
-- or are kept by name in conf. Every failure is a script error.
module("tarvex.lib.parseconf", package.seeall)

local Log = require("tarvex.core.log")

-- Kept at module level: every parser's object log points into it.
local module_log = Log.new("lib.parseconf")

Parseconf = {}

-- Token forms, tried in this order; each must be followed by whitespace or
-- ";", which is not part of the token.
local forms = {
    { "^(%d+)[%s;]", tonumber },
    { "^(%d+%.%d+)[%s;]", tonumber },
    { '^("[^"]+")[%s;]', function(text) return text:sub(2, -2) end },
    { "^([^%s;]+)[%s;]", function(text) return text end },
}

function Parseconf.new()
    local self = setmetatable({
        conf = {},
        cf = {},
        _log = Log.new("lib.parseconf", module_log),
    }, { __index = Parseconf })
    self._log:debug("new()")
    return self
end

function Parseconf:log()
    if self == nil or self == Parseconf then
        return module_log
    end
    return self._log
end

function Parseconf:func(name, func)
    self.cf[name] = func
end

function Parseconf:part(l, n)
    for _, form in ipairs(forms) do
        local text = l:match(form[1], n)
        if text then
            return text, form[2](text)
        end
    end
end

function Parseconf:next(l, n)
    local ending = l:match("^%s*;%s*", n)
    if ending then
        return true, ending
    end
    return l:match("^%s+", n) or false
end

local function invalid(l, n)
    error("invalid config at character " .. n .. ": " .. l:sub(n))
end

function Parseconf:line(l)
    local n = 1
    while n <= #l do
        local name
        local values = {}
        while true do
            local text, value = self:part(l, n)
            if not text then
                invalid(l, n)
            end
            if name == nil then
                name = text
            else
                values[#values + 1] = value
            end
            n = n + #text
            local follows, ending = self:next(l, n)
            if follows == true then
                n = n + #ending
                break
            elseif follows then
                n = n + #follows
            else
                invalid(l, n)
            end
        end
        local handler = self.cf[name]
        if handler then
            handler(name, unpack(values))
        else
            self.conf[name] = values
        end
    end
end

function Parseconf:file(fn)
    local file = io.open(fn)
    if not file then
        -- The line reader raises the interpreter's own error for this file.
        io.lines(fn)
    end
    local number = 0
    for l in file:lines() do
        number = number + 1
        l = l:gsub("#.*", "")
        local ok, err = pcall(self.line, self, l)
        if not ok then
            file:close()
            error("parse error in " .. fn .. "[" .. number .. "]: " .. tostring(err))
        end
    end
    file:close()
end

function Parseconf:val(name)
    return self.conf[name]
end

return Parseconf
