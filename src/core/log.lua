-- Log: the methods of every log handle (core_log_t), and the global log
-- when called on the module itself (Log.enable("all")).
module("tarvex.core.log", package.seeall)

require("tarvex.core.log_h")
local ffi = require("ffi")
local C = ffi.C

local ON, OFF, UNSET = 3, 2, 0
local global = C.core_log_log()

Log = {}

local function is_handle(v)
    return type(v) == "cdata" and (ffi.istype("core_log_t", v) or ffi.istype("core_log_t*", v))
end

local levels = {
    all = { "debug", "info", "notice", "warning" },
    debug = { "debug" },
    info = { "info" },
    notice = { "notice" },
    warning = { "warning" },
}

-- The same fallback as the component side: object, module, then global.
local function is_on(h, switch)
    if h == nil then
        return global.settings[switch] == ON
    end
    local value = h.settings[switch]
    if value == UNSET and h.module ~= nil then
        value = h.module[switch]
    end
    if value == UNSET then
        value = global.settings[switch]
    end
    return value == ON
end

function Log.new(name, module)
    local h = ffi.new("core_log_t")
    ffi.copy(h.name, tostring(name):sub(1, 31))
    if is_handle(module) then
        h.is_obj = 1
        h.module = module.settings
    end
    return h
end

local function setter(value)
    return function(h, level)
        if not is_handle(h) then
            h, level = global, h
        end
        local switches = levels[level]
        if not switches then
            error("invalid log level: " .. tostring(level))
        end
        for _, switch in ipairs(switches) do
            h.settings[switch] = value
        end
    end
end

Log.enable = setter(ON)
Log.disable = setter(OFF)
Log.clear = setter(UNSET)

function Log.display_file_line(h, bool)
    if not is_handle(h) then
        h, bool = global, h
    end
    if bool == true then
        h.settings.display_file_line = ON
    else
        h.settings.display_file_line = UNSET
    end
end

function Log.errstr(errno)
    return ffi.string(C.core_log_errstr(errno))
end

-- A C text argument (a char pointer or array) prints as its text, as the C
-- formatter printed it; anything else prints as string.format shows it.
local function text_of(value)
    if type(value) ~= "cdata" then
        return value
    end
    local ctype = tostring(ffi.typeof(value))
    if not (ctype:match("^ctype<char[ *%[&]") or ctype:match("^ctype<const char[ *%[&]")) then
        return value
    end
    if value == nil then
        return "(null)"
    end
    return ffi.string(value)
end

-- The script's text never reaches the C formatter as a format (a "%n" from a
-- capture would write through a missing argument): the message is formatted
-- here, with string.format and the call's arguments, and goes to C as the
-- argument of a fixed "%s". A message without arguments is taken as it is,
-- so that any text (a query name, a file name) can be logged on its own.
local function format(msg, ...)
    local count = select("#", ...)
    if count == 0 then
        return tostring(msg)
    end
    local args = { ... }
    for i = 1, count do
        args[i] = text_of(args[i])
    end
    return string.format(msg, unpack(args, 1, count))
end

-- Level functions, callable with or without a handle (without one the global
-- log is meant). Switched-off levels return before any source lookup, format
-- or FFI call.
local function level_function(emit, switch)
    return function(h, ...)
        if not is_handle(h) then
            if switch and not is_on(nil, switch) then
                return
            end
            local file, line = nil, 0
            if is_on(nil, "display_file_line") then
                local info = debug.getinfo(2, "S")
                file, line = info.source, info.linedefined
            end
            emit(nil, file, line, "%s", format(h, ...))
            return
        end
        if switch and not is_on(h, switch) then
            return
        end
        local file, line = nil, 0
        if is_on(h, "display_file_line") then
            local info = debug.getinfo(2, "S")
            file, line = info.source, info.linedefined
        end
        emit(h, file, line, "%s", format(...))
    end
end

Log.debug = level_function(C.core_log_debug, "debug")
Log.info = level_function(C.core_log_info, "info")
Log.notice = level_function(C.core_log_notice, "notice")
Log.warning = level_function(C.core_log_warning, "warning")
Log.critical = level_function(C.core_log_critical, nil)
Log.fatal = level_function(C.core_log_fatal, nil)

ffi.metatype("core_log_t", { __index = Log })

return Log
