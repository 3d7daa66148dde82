module("tarvex.core.compat", package.seeall)

require("tarvex.core.compat_h")
