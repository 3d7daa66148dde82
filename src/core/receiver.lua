-- The push contract: a receiver function and its context (the receiving record).
module("tarvex.core.receiver", package.seeall)

require("tarvex.core.receiver_h")
