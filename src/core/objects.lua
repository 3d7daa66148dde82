-- Objects: every record type with its methods; returns the Object class.
module("tarvex.core.objects", package.seeall)

local Object = require("tarvex.core.object")
require("tarvex.core.object.pcap")
require("tarvex.core.object.dnstap")
require("tarvex.core.object.ether")
require("tarvex.core.object.null")
require("tarvex.core.object.loop")
require("tarvex.core.object.linuxsll")
require("tarvex.core.object.ieee802")
require("tarvex.core.object.gre")
require("tarvex.core.object.ip")
require("tarvex.core.object.ip6")
require("tarvex.core.object.icmp")
require("tarvex.core.object.icmp6")
require("tarvex.core.object.udp")
require("tarvex.core.object.tcp")
require("tarvex.core.object.payload")
require("tarvex.core.object.dns")

return Object
