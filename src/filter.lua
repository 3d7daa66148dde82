module("tarvex.filter", package.seeall)
