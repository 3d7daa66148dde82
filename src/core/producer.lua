-- The pull contract: a producer function and its context (the producing record).
module("tarvex.core.producer", package.seeall)

require("tarvex.core.producer_h")
