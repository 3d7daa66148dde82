module("tarvex.lib", package.seeall)
