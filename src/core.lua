module("tarvex.core", package.seeall)
