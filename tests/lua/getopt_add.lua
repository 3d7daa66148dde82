-- Declaring options: records, the built-in help, and every declaration error.
local Getopt = require("tarvex.lib.getopt")
local Log = require("tarvex.core.log")
local ffi = require("ffi")

local cases = {
    { "no name", { nil, nil, "", "" }, "long|short%) need to be a string$" },
    { "name not a string", { 1, nil, "", "" }, "long|short%) need to be a string$" },
    { "long not a string", { "a", 5, "", "" }, "long|short%) need to be a string$" },
    { "empty name", { nil, "", "", "" }, "name %(long|short%) needs to be set$" },
    { "short of two letters", { "ab", "long", "", "" }, "short needs to be a string of length 1$" },
    { "empty short", { "", "long", "", "" }, "short needs to be a string of length 1$" },
    { "short not a string", { 1, "long", "", "" }, "short needs to be a string of length 1$" },
    { "name taken", { nil, "read", "", "" }, "option read alredy exists$" },
    { "short taken", { "r", "other", "", "" }, "option r alredy exists$" },
    { "h taken by help", { "h", "host", "", "" }, "option h alredy exists$" },
    { "help taken", { nil, "help", false, "" }, "option help alredy exists$" },
    { "table default", { "t", "tab", {}, "" }, "option tab: invalid type table$" },
    { "nil default", { "t", "tab", nil, "" }, "option tab: invalid type nil$" },
    { "bad extension", { "e", "ext", "", "", "?x" }, "option ext: invalid extension x$" },
}
for _, case in ipairs(cases) do
    local name, args, pattern = unpack(case)
    local parser = Getopt.new({ { "r", "read", "", "read a file", "?" } })
    local ok, err = pcall(parser.add, parser, args[1], args[2], args[3], args[4], args[5])
    assert(not ok, name .. ": add should fail")
    assert(err:find("^lib/getopt%.lua:%d+: " .. pattern), name .. ": " .. err)
end

-- The records add leaves behind.
local parser = Getopt.new({
    { "r", "read", "", "read a file", "?" },
    { "v", "verbose", 0, "more", "+?*" },
    { "s", nil, 1.5, "short only" },
})
local read = parser._opt.read
assert(read.short == "r" and read.long == "read" and read.type == "string" and read.default == "")
assert(read.help == "read a file" and read.optional and not read.multiple and not read.counter)
assert(read.value == nil)
local verbose = parser._opt.verbose
assert(verbose.type == "number" and verbose.optional and verbose.multiple and verbose.counter)
assert(parser._opt.s.type == "number" and parser._opt.s.long == nil and not parser._opt.s.optional)
assert(parser._s2l.r == "read" and parser._s2l.v == "verbose" and parser._s2l.s == "s")
local help = parser._opt.help
assert(help.short == "h" and help.long == "help" and help.type == "boolean" and help.default == false)
assert(help.optional and help.help == "Display this help text" and parser._s2l.h == "help")
assert(#parser.left == 0)

-- "h" in the first declaration: help keeps no short letter.
local host = Getopt.new({ { "h", "host", "localhost", "server", "?" } })
assert(host._opt.help.short == nil and host._s2l.h == "host")

-- Logs: the parser's object log falls back to the module log.
local module_log = Getopt.log()
assert(ffi.istype("core_log_t", module_log) and ffi.string(module_log.name) == "lib.getopt")
assert(module_log.is_obj == 0)
local object_log = parser:log()
assert(ffi.string(object_log.name) == "lib.getopt" and object_log.is_obj == 1)
assert(object_log.module == module_log.settings)
print("getopt add cases pass")
