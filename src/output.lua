module("tarvex.output", package.seeall)
