-- Getopt: declared, typed options for the script's own arguments (the global
-- arg from index 2), and the usage text made from the declarations. Every
-- failure is a script error so that a script can catch it with pcall.
module("tarvex.lib.getopt", package.seeall)

local Log = require("tarvex.core.log")

-- Kept at module level: every parser's object log points into it.
local module_log = Log.new("lib.getopt")

Getopt = {}

local extension_flags = {
    ["?"] = "optional",
    ["*"] = "multiple",
    ["+"] = "counter",
}

local valid_types = { string = true, number = true, boolean = true }

function Getopt.new(args)
    local self = setmetatable({
        left = {},
        _opt = {},
        _s2l = {},
        _log = Log.new("lib.getopt", module_log),
    }, { __index = Getopt })
    self._log:debug("new()")
    for _, entry in ipairs(args or {}) do
        -- Explicit indexes: the short letter may be nil, which unpack misses.
        self:add(entry[1], entry[2], entry[3], entry[4], entry[5])
    end
    return self
end

function Getopt:log()
    if self == nil or self == Getopt then
        return module_log
    end
    return self._log
end

function Getopt:add(short, long, default, help, extensions)
    local name = long or short
    if type(name) ~= "string" then
        error("long|short) need to be a string")
    end
    if name == "" then
        error("name (long|short) needs to be set")
    end
    if short ~= nil and (type(short) ~= "string" or #short ~= 1) then
        error("short needs to be a string of length 1")
    end
    if self._opt[name] then
        error("option " .. name .. " alredy exists")
    end
    if short ~= nil and self._s2l[short] then
        error("option " .. short .. " alredy exists")
    end
    local kind = type(default)
    if not valid_types[kind] then
        error("option " .. name .. ": invalid type " .. kind)
    end
    local option = {
        short = short,
        long = long,
        type = kind,
        default = default,
        help = help,
        optional = false,
        multiple = false,
        counter = false,
        value = nil,
    }
    if type(extensions) == "string" then
        for character in extensions:gmatch(".") do
            local flag = extension_flags[character]
            if not flag then
                error("option " .. name .. ": invalid extension " .. character)
            end
            option[flag] = true
        end
    end
    self._opt[name] = option
    if short ~= nil then
        self._s2l[short] = name
    end
    if not self._opt.help then
        self._opt.help = {
            long = "help",
            type = "boolean",
            default = false,
            help = "Display this help text",
            optional = true,
            multiple = false,
            counter = false,
        }
        if not self._s2l.h then
            self._opt.help.short = "h"
            self._s2l.h = "help"
        end
    end
end

local function option_text(option)
    local text
    if option.long then
        text = (option.short and ("-" .. option.short) or "  ") .. " --" .. option.long
    else
        text = "-" .. option.short
    end
    if option.type == "string" then
        text = text .. ' "' .. option.default .. '"'
    elseif option.type == "number" and not option.counter then
        text = text .. " " .. tostring(option.default)
    end
    return text
end

function Getopt:usage()
    print("usage: " .. (self.usage_desc or "program [options...]"))
    local names = {}
    for name in pairs(self._opt) do
        if name ~= "help" then
            names[#names + 1] = name
        end
    end
    table.sort(names)
    if self._opt.help then
        names[#names + 1] = "help"
    end
    for _, name in ipairs(names) do
        local option = self._opt[name]
        print("\t" .. option_text(option) .. "\t" .. tostring(option.help or ""))
    end
end

-- The value an option takes when given once more without an argument.
local function bump(option)
    local current = option.value
    if current == nil then
        current = option.default
    end
    if option.type == "boolean" then
        option.value = not current
    else
        option.value = current + 1
    end
end

local function store_argument(option, argument)
    if option.type == "number" then
        argument = tonumber(argument)
    end
    if option.multiple then
        if type(option.value) ~= "table" then
            option.value = {}
        end
        table.insert(option.value, argument)
    else
        option.value = argument
    end
end

local function largest_index(args)
    local largest = 0
    for key in pairs(args) do
        if type(key) == "number" and key > largest and key == math.floor(key) then
            largest = key
        end
    end
    return largest
end

function Getopt:parse(args, startn)
    args = args or arg
    startn = startn or 2
    local left = {}
    local pending = nil -- the option waiting for its argument
    local stopped = false
    for index = startn, largest_index(args) do
        local argument = args[index]
        if argument ~= nil then
            argument = tostring(argument)
            local name
            if pending then
                store_argument(pending, argument)
                pending = nil
            elseif stopped or argument == "-" then
                left[#left + 1] = argument
            elseif argument == "--" then
                stopped = true
            elseif argument:sub(1, 2) == "--" then
                name = argument:sub(3)
            elseif argument:sub(1, 1) == "-" then
                name = argument:sub(2)
                for at = 1, #name - 1 do
                    local letter = name:sub(at, at)
                    local option = self._opt[self._s2l[letter]]
                    if not option then
                        error("unknown option " .. letter)
                    end
                    if (option.type == "number" and option.counter) or option.type == "boolean" then
                        bump(option)
                    else
                        error("invalid short option '" .. letter .. "' in multioption statement")
                    end
                end
                name = name:sub(-1)
            else
                left[#left + 1] = argument
            end
            if name then
                name = self._s2l[name] or name
                local option = self._opt[name]
                if not option then
                    error("unknown option " .. name)
                end
                if option.type == "string" then
                    pending = option
                elseif option.type == "number" then
                    if option.counter then
                        bump(option)
                    else
                        pending = option
                    end
                elseif option.type == "boolean" then
                    bump(option)
                else
                    error("internal error, invalid option type " .. tostring(option.type))
                end
            end
        end
    end
    if pending then
        error("option " .. (pending.long or pending.short) .. " needs argument")
    end
    local names = {}
    for name in pairs(self._opt) do
        names[#names + 1] = name
    end
    table.sort(names)
    for _, name in ipairs(names) do
        local option = self._opt[name]
        if not option.optional and option.value == nil then
            error("missing required option " .. name)
        end
    end
    self.left = left
    return left
end

function Getopt:val(name)
    local option = self._opt[name]
    if not option and self._s2l[name] then
        option = self._opt[self._s2l[name]]
    end
    if not option then
        return
    end
    if option.value == nil then
        return option.default
    end
    return option.value
end

return Getopt
