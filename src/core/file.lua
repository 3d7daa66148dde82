module("tarvex.core.file", package.seeall)

require("tarvex.core.file_h")
