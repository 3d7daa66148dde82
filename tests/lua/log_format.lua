-- Script text never reaches the C formatter as a format: a message without
-- arguments prints as it is (printf directives and all), one with arguments
-- is formatted by string.format, and C text arguments print as their text.
-- expect-stderr: ^core critical: %s%s%s%s%s%n$
-- expect-stderr: ^core critical: name %n%s%s%p\.example\.$
-- expect-stderr: ^mod\[0x[0-9a-f]+\] warning: 100% of %d$
-- expect-stderr: ^core critical: 2 arguments, 1\.50, int64 7, hex ff$
-- expect-stderr: ^core critical: C text mod and (mod|\(null\)), array mod$
-- expect-stderr: ^core critical: nul cuts here$
-- expect-stderr: ^core critical: number 42$
-- expect-stdout: ^log format cases pass$
-- stderr-lines: 7
local Log = require("tarvex.core.log")
local ffi = require("ffi")

Log.critical("%s%s%s%s%s%n")
-- A name taken from traffic, as a script would log it.
local qname = "%n%s%s%p.example."
Log.critical("name %s", qname)

local module = Log.new("mod")
local object = Log.new("mod", module)
object:enable("warning")
object:warning("100% of %d")

Log.critical("%d arguments, %.2f, int64 %d, hex %x", 2, 1.5, ffi.new("int64_t", 7), ffi.new("uint64_t", 255))
Log.critical("C text %s and %s, array %s", ffi.cast("const char*", object.name), ffi.cast("char*", object.name),
    object.name)
Log.critical("nul cuts %s", "here\0hidden")
Log.critical(42 == 42 and "number %d" or "", 42)

-- Switched-off levels format nothing: a bad format there is not even looked at.
Log.info("%d", "not a number")
-- A bad format with arguments is the calling script's error, raised at the call.
local ok, err = pcall(Log.critical, "%d", "not a number")
assert(not ok and err:find("bad argument"), tostring(err))
ok, err = pcall(object.warning, object, "%n", 1)
assert(not ok and err:find("invalid option"), tostring(err))
print("log format cases pass")
