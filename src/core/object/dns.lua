-- Dns: the methods of every DNS message object (core_object_dns_t), the
-- whole-message parse and print, and the names of DNS numbers.
--   local dns = Dns.new(payload)
--   if dns:parse_header() == 0 then dns:print() end
module("tarvex.core.object.dns", package.seeall)

require("tarvex.core.object.dns_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local Label = require("tarvex.core.object.dns.label")
local Q = require("tarvex.core.object.dns.q")
local Rr = require("tarvex.core.object.dns.rr")
local ffi = require("ffi")
local C = ffi.C

Dns = {}

-- Each table is listed in order, so that where two names share a number the
-- later one names it (RCODE 16 is BADSIG).
local tables = {
    CLASS = { "IN", 1, "CH", 3, "HS", 4, "NONE", 254, "ANY", 255 },
    OPCODE = { "QUERY", 0, "IQUERY", 1, "STATUS", 2, "NOTIFY", 4, "UPDATE", 5 },
    RCODE = {
        "NOERROR", 0, "FORMERR", 1, "SERVFAIL", 2, "NXDOMAIN", 3, "NOTIMP", 4, "REFUSED", 5,
        "YXDOMAIN", 6, "YXRRSET", 7, "NXRRSET", 8, "NOTAUTH", 9, "NOTZONE", 10, "BADVERS", 16,
        "BADSIG", 16, "BADKEY", 17, "BADTIME", 18, "BADMODE", 19, "BADNAME", 20, "BADALG", 21,
        "BADTRUNC", 22, "BADCOOKIE", 23,
    },
    AFSDB = { "SUBTYPE_AFS3LOCSRV", 1, "SUBTYPE_DCENCA_ROOT", 2 },
    DHCID = { "TYPE_1OCTET", 0, "TYPE_DATAOCTET", 1, "TYPE_CLIENT_DUID", 2 },
    EDNS0 = {
        "OPT_LLQ", 1, "OPT_UL", 2, "OPT_NSID", 3, "OPT_DAU", 5, "OPT_DHU", 6, "OPT_N3U", 7,
        "OPT_CLIENT_SUBNET", 8, "OPT_EXPIRE", 9, "OPT_COOKIE", 10, "OPT_TCP_KEEPALIVE", 11,
        "OPT_PADDING", 12, "OPT_CHAIN", 13, "OPT_DEVICEID", 26946,
    },
    TYPE = {
        "A", 1, "NS", 2, "MD", 3, "MF", 4, "CNAME", 5, "SOA", 6, "MB", 7, "MG", 8, "MR", 9,
        "NULL", 10, "WKS", 11, "PTR", 12, "HINFO", 13, "MINFO", 14, "MX", 15, "TXT", 16, "RP", 17,
        "AFSDB", 18, "X25", 19, "ISDN", 20, "RT", 21, "NSAP", 22, "NSAP_PTR", 23, "SIG", 24,
        "KEY", 25, "PX", 26, "GPOS", 27, "AAAA", 28, "LOC", 29, "NXT", 30, "EID", 31, "NIMLOC", 32,
        "SRV", 33, "ATMA", 34, "NAPTR", 35, "KX", 36, "CERT", 37, "A6", 38, "DNAME", 39, "SINK", 40,
        "OPT", 41, "APL", 42, "DS", 43, "SSHFP", 44, "IPSECKEY", 45, "RRSIG", 46, "NSEC", 47,
        "DNSKEY", 48, "DHCID", 49, "NSEC3", 50, "NSEC3PARAM", 51, "TLSA", 52, "SMIMEA", 53,
        "HIP", 55, "NINFO", 56, "RKEY", 57, "TALINK", 58, "CDS", 59, "CDNSKEY", 60,
        "OPENPGPKEY", 61, "CSYNC", 62, "SPF", 99, "UINFO", 100, "UID", 101, "GID", 102,
        "UNSPEC", 103, "NID", 104, "L32", 105, "L64", 106, "LP", 107, "EUI48", 108, "EUI64", 109,
        "TKEY", 249, "TSIG", 250, "IXFR", 251, "AXFR", 252, "MAILB", 253, "MAILA", 254, "ANY", 255,
        "URI", 256, "CAA", 257, "AVC", 258, "TA", 32768, "DLV", 32769,
    },
}

for table_name, list in pairs(tables) do
    local by_name, by_number = {}, {}
    for i = 1, #list, 2 do
        by_name[list[i]] = list[i + 1]
        by_number[list[i + 1]] = list[i]
    end
    Dns[table_name] = by_name
    Dns[table_name .. "_STR"] = by_number
end

local function namer(names)
    return function(number)
        return names[number] or ("UNKNOWN(" .. tostring(number) .. ")")
    end
end

Dns.class_tostring = namer(Dns.CLASS_STR)
Dns.type_tostring = namer(Dns.TYPE_STR)
Dns.opcode_tostring = namer(Dns.OPCODE_STR)
Dns.rcode_tostring = namer(Dns.RCODE_STR)
Dns.afsdb_tostring = namer(Dns.AFSDB_STR)
Dns.dhcid_tostring = namer(Dns.DHCID_STR)
Dns.edns0_tostring = namer(Dns.EDNS0_STR)

function Dns.new(obj)
    local self = C.core_object_dns_new()
    if obj ~= nil then
        self.obj_prev = ffi.cast("const core_object_t*", obj)
    end
    return ffi.gc(self, C.core_object_dns_free)
end

function Dns:type()
    return "dns"
end

function Dns:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Dns:cast()
    return self
end

function Dns:uncast()
    return ffi.cast("core_object_t*", self)
end

function Dns:copy()
    return C.core_object_dns_copy(self)
end

function Dns:free()
    C.core_object_dns_free(self)
end

function Dns:reset()
    C.core_object_dns_reset(self)
end

function Dns:log()
    return C.core_object_dns_log()
end

function Dns:parse_header()
    return C.core_object_dns_parse_header(self)
end

function Dns:parse_q(q, labels, num_labels)
    return C.core_object_dns_parse_q(self, q, labels, num_labels)
end

function Dns:parse_rr(rr, labels, num_labels)
    return C.core_object_dns_parse_rr(self, rr, labels, num_labels)
end

-- Every question and record, each with its own label array so that the
-- names stay readable after the call.
function Dns:parse(num_labels)
    num_labels = num_labels or 16
    local qs, qls, rrs, rrls = {}, {}, {}, {}
    local ret = C.core_object_dns_parse_header(self)
    if ret ~= 0 then
        return ret, qs, qls, rrs, rrls
    end
    for _ = 1, self.qdcount do
        local labels, q = Label.new(num_labels), Q.new()
        ret = C.core_object_dns_parse_q(self, q, labels, num_labels)
        if ret ~= 0 then
            return ret, qs, qls, rrs, rrls
        end
        qs[#qs + 1], qls[#qls + 1] = q, labels
    end
    for _ = 1, self.ancount + self.nscount + self.arcount do
        local labels, rr = Label.new(num_labels), Rr.new()
        ret = C.core_object_dns_parse_rr(self, rr, labels, num_labels)
        if ret ~= 0 then
            return ret, qs, qls, rrs, rrls
        end
        rrs[#rrs + 1], rrls[#rrls + 1] = rr, labels
    end
    return 0, qs, qls, rrs, rrls
end

local flag_names = { "aa", "tc", "rd", "ra", "z", "ad", "cd" }

local function flags_text(dns)
    local set = {}
    for _, flag in ipairs(flag_names) do
        if dns[flag] == 1 then
            set[#set + 1] = flag:upper()
        end
    end
    return table.concat(set, " ")
end

local record_columns = { "class", "type", "ttl", "labels", "RR labels" }
local sections = {
    { "ancount", "answers:" },
    { "nscount", "authorities:" },
    { "arcount", "additionals:" },
}

-- The message, section by section, parsing each entry just before its line;
-- the first entry that does not parse ends the output.
function Dns:print(num_labels)
    num_labels = num_labels or 16
    local labels, q, rr = Label.new(num_labels), Q.new(), Rr.new()
    if C.core_object_dns_parse_header(self) ~= 0 then
        return
    end
    print("id:", self.id)
    print("", "qr:", self.qr)
    print("", "opcode:", Dns.opcode_tostring(self.opcode))
    print("", "flags:", flags_text(self))
    print("", "rcode:", Dns.rcode_tostring(self.rcode))
    print("", "qdcount:", self.qdcount)
    print("", "ancount:", self.ancount)
    print("", "nscount:", self.nscount)
    print("", "arcount:", self.arcount)

    if self.qdcount > 0 then
        print("questions:", "class", "type", "labels")
        for _ = 1, self.qdcount do
            if C.core_object_dns_parse_q(self, q, labels, num_labels) ~= 0 then
                return
            end
            print("", Dns.class_tostring(q.class), Dns.type_tostring(q.type),
                Label.tooffstr(self, labels, q.labels))
        end
    end
    for _, section in ipairs(sections) do
        local count = self[section[1]]
        if count > 0 then
            print(section[2], unpack(record_columns))
            for _ = 1, count do
                if C.core_object_dns_parse_rr(self, rr, labels, num_labels) ~= 0 then
                    return
                end
                local owner = Label.tooffstr(self, labels, rr.labels)
                if rr.rdata_labels ~= 0 then
                    print("", Dns.class_tostring(rr.class), Dns.type_tostring(rr.type), rr.ttl, owner,
                        Label.tooffstr(self, labels, rr.rdata_labels, rr.labels))
                else
                    print("", Dns.class_tostring(rr.class), Dns.type_tostring(rr.type), rr.ttl, owner)
                end
            end
        end
    end
end

ffi.metatype("core_object_dns_t", { __index = Dns })

return Dns
