module("tarvex.input", package.seeall)
