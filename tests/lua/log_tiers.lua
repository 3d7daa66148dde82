-- Log switches resolve object, then module, then global; only 3 is on.
-- expect-stderr: ^core critical: always$
-- expect-stderr: ^core info: global on$
-- expect-stderr: ^mod\[0x[0-9a-f]+\] info: object on under module off$
-- expect-stderr: ^core warning: number 1\.500000 string s$
-- reject-stderr: hidden
local Log = require("tarvex.core.log")
local ffi = require("ffi")

Log.info("hidden: nothing enabled")
Log.critical("always")
Log.enable("all")
Log.info("global on")

local module = Log.new("mod")
local object = Log.new("mod", module)
assert(object.is_obj == 1 and module.is_obj == 0)
module:disable("info")
object:info("hidden: module off")
object:enable("info")
object:info("object on under module off")
object:clear("info")
object:info("hidden: cleared falls back to module")
module:clear("info")
object.settings.info = 1
object:info("hidden: 1 is not on")
object.settings.info = 7
object:info("hidden: 7 is not on")
Log.warning("number %f string %s", 1.5, "s")
Log.disable("all")
Log.warning("hidden: global off")

-- Names are cut to 31 bytes.
local long = Log.new(string.rep("n", 40))
assert(ffi.string(long.name) == string.rep("n", 31))

-- Unknown levels are refused and nothing changes.
for _, level in ipairs({ "critical", "fatal", "everything" }) do
    local ok, err = pcall(Log.enable, level)
    assert(not ok and err:match("invalid log level: " .. level .. "$"), err)
end
local ok, err = pcall(module.enable, module, "bogus")
assert(not ok and err:match("invalid log level: bogus$"))
assert(module.settings.debug == 0)

local errstr = { [0] = "UNKNOWN", [-1] = "UNKNOWN", [2] = "ENOENT", [100] = "ENETDOWN", [111] = "ECONNREFUSED" }
for number, name in pairs(errstr) do
    assert(Log.errstr(number) == name, number)
end
