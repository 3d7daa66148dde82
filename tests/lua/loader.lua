-- Loader.load finds libraries on package.cpath, loads them globally unless
-- told not to, and hands unknown names to ffi.load unchanged.
local ffi = require("ffi")
local Loader = require("tarvex.core.loader")
ffi.cdef("int tarvex_loader_probe(void);")

local dir = os.getenv("TEST_BUILD_DIR") .. "/tests"
package.cpath = "/nonexistent/?.so;;" .. dir .. "/lib?.so"

local lib = Loader.load("loader_probe", false)
assert(lib.tarvex_loader_probe() == 42)
assert(not pcall(function() return ffi.C.tarvex_loader_probe end), "not global with false")

lib = Loader.load("loader_probe", nil)
assert(lib.tarvex_loader_probe() == 42)
assert(ffi.C.tarvex_loader_probe() == 42, "global with nil")

package.cpath = "/nonexistent/?.so"
lib = Loader.load(dir .. "/libloader_probe.so")
assert(lib.tarvex_loader_probe() == 42, "fallback to ffi.load")
assert(not pcall(Loader.load, "no_such_library_here"))
