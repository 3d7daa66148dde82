-- The DNS script module: name tables, label text, whole-message parse and
-- the methods every DNS object has.
-- expect-stderr: ^core\.object\.dns warning: need more labels, aborting DNS parsing$
-- stderr-lines: 1
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local ffi = require("ffi")
local Dns = require("tarvex.core.object.dns")
local Label = require("tarvex.core.object.dns.label")
local Q = require("tarvex.core.object.dns.q")
local Rr = require("tarvex.core.object.dns.rr")
local w = require("dnswire")

local function check(got, want, what)
    if got ~= want then
        error(string.format("%s: got %s, want %s", what, tostring(got), tostring(want)), 2)
    end
end

-- Name tables: both directions, the later name wins a shared number.
local count = 0
for name, number in pairs(Dns.TYPE) do
    count = count + 1
    check(Dns.TYPE_STR[number], name, "TYPE_STR[" .. number .. "]")
end
check(count, 84, "TYPE entries")
check(Dns.TYPE.DLV, 32769, "DLV")
check(Dns.TYPE.HIP, 55, "HIP")
check(Dns.TYPE_STR[54], nil, "type 54")
check(Dns.RCODE.BADVERS, 16, "BADVERS")
check(Dns.RCODE_STR[16], "BADSIG", "RCODE_STR[16]")
check(Dns.EDNS0.OPT_DEVICEID, 26946, "OPT_DEVICEID")
local cases = {
    { Dns.rcode_tostring, 16, "BADSIG" }, { Dns.rcode_tostring, 3, "NXDOMAIN" },
    { Dns.rcode_tostring, 15, "UNKNOWN(15)" }, { Dns.type_tostring, 1, "A" },
    { Dns.type_tostring, 32768, "TA" }, { Dns.type_tostring, 65, "UNKNOWN(65)" },
    { Dns.class_tostring, 1, "IN" }, { Dns.class_tostring, 2, "UNKNOWN(2)" },
    { Dns.class_tostring, 255, "ANY" }, { Dns.opcode_tostring, 5, "UPDATE" },
    { Dns.opcode_tostring, 3, "UNKNOWN(3)" }, { Dns.afsdb_tostring, 2, "SUBTYPE_DCENCA_ROOT" },
    { Dns.dhcid_tostring, 0, "TYPE_1OCTET" }, { Dns.dhcid_tostring, 3, "UNKNOWN(3)" },
    { Dns.edns0_tostring, 10, "OPT_COOKIE" }, { Dns.edns0_tostring, 4, "UNKNOWN(4)" },
}
for i, c in ipairs(cases) do
    check(c[1](c[2]), c[3], "tostring case " .. i)
end

-- Parses one question of `name_bytes` (after a 12-byte header) and returns
-- the object and its labels.
local function question(name_bytes, labels_size)
    local dns = Dns.new(w.payload(w.header(1, 0, 1, 0, 0, 0) .. w.question(name_bytes, 1)))
    local labels, q = Label.new(labels_size or 8), Q.new()
    check(dns:parse_header(), 0, "header")
    check(dns:parse_q(q, labels, labels_size or 8), 0, "question")
    return dns, labels, q
end

-- Label text: dots after each label, the pointer value as a second result.
local names = {
    { w.name("a.bc"), "a.bc.", nil, "<12>a.<14>bc." },
    { "\1a\2bc" .. w.pointer(12), "a.bc.", 12, "<12>a.<14>bc.<12>" },
    { "\0", nil, nil, "" },
    { w.pointer(77), nil, 77, "<77>" },
    { "\3www\65", "www.", nil, "<12>www." },
}
for i, c in ipairs(names) do
    local dns, labels, q = question(c[1])
    local text, pointer = Label.tostring(dns, labels, q.labels)
    check(text, c[2], "tostring name " .. i)
    check(pointer, c[3], "tostring pointer " .. i)
    check(Label.tooffstr(dns, labels, q.labels), c[4], "tooffstr name " .. i)
end
-- A walk over fewer records than the name has stops after them.
local dns, labels = question(w.name("a.b.c"))
check(Label.tostring(dns, labels, 2), "a.b.", "two of four records")
check(Label.tooffstr(dns, labels, 1, 1), "<14>b.", "from record 1")

-- The positional example: a three-letter label at 40, then a pointer to 12.
do
    local msg = w.header(1, 0, 1, 0, 0, 0) .. string.rep("\0", 28) .. "\3abc" .. w.pointer(12) .. w.u16(1) .. w.u16(1)
    local d = Dns.new(w.payload(msg))
    d:parse_header()
    d.at = d.at + 28
    d.left = d.left - 28
    local l, q = Label.new(4), Q.new()
    check(d:parse_q(q, l, 4), 0, "question at 40")
    check(Label.tooffstr(d, l, q.labels), "<40>abc.<12>", "tooffstr example")
end

-- Whole-message parse.
local function response(ancount_claimed)
    return w.header(0x4242, 0x8180, 1, ancount_claimed, 0, 0) .. w.question(w.name("example.com"), 1) ..
        w.rr(w.pointer(12), 1, 1, 60, "\192\0\2\1") .. w.rr(w.pointer(12), 1, 1, 60, "\192\0\2\2")
end

local ret, qs, qls, rrs, rrls = Dns.new(w.payload(w.header(9, 0, 0, 0, 0, 0))):parse()
check(ret, 0, "header-only parse")
check(#qs + #qls + #rrs + #rrls, 0, "header-only lists")

local d = Dns.new(w.payload(response(2)))
ret, qs, qls, rrs, rrls = d:parse()
check(ret, 0, "response parse")
check(#qs, 1, "questions")
check(#rrs, 2, "records")
check(#rrls, 2, "record label arrays")
check(Label.tostring(d, qls[1], qs[1].labels), "example.com.", "question name kept")
check(select(2, Label.tostring(d, rrls[2], rrs[2].labels)), 12, "second record's owner")
check(rrs[2].rdata_offset, 12 + 17 + 16 + 12, "second rdata offset")
check(qls[1] ~= rrls[1] and rrls[1] ~= rrls[2], true, "one label array per entry")

ret, qs, qls, rrs, rrls = Dns.new(w.payload(response(3))):parse()
check(ret, -2, "ancount beyond the message")
check(#qs, 1, "questions before the failure")
check(#rrs, 2, "records before the failure")

ret = Dns.new(w.payload(w.header(1, 0, 0, 0, 0, 0):sub(1, 11))):parse()
check(ret, -2, "cut header")

local deep = w.header(1, 0, 1, 0, 0, 0) .. w.question(w.name(string.rep("x.", 20) .. "example"), 1)
d = Dns.new(w.payload(deep))
Dns.log():enable("warning")
ret, qs = d:parse()
Dns.log():disable("warning")
check(ret, -3, "name deeper than 16 labels")
check(#qs, 0, "no question on -3")
ret, qs, qls = d:parse(64)
check(ret, 0, "parse(64)")
check(tonumber(qs[1].labels), 22, "22 records")

-- Methods.
local payload = w.payload(response(2))
d = Dns.new(payload)
check(d:type(), "dns", "type")
check(d:cast(), d, "cast")
check(ffi.istype("core_object_t*", d:uncast()), true, "uncast type")
check(ffi.cast("void*", d:uncast()), ffi.cast("void*", d), "uncast address")
check(ffi.cast("void*", d:prev()), ffi.cast("void*", payload), "prev")
check(d.obj_type, 50, "obj_type")
check(d:log(), Dns.log(), "log")
check(ffi.string(d:log().name), "core.object.dns", "log name")
check(d:parse_header(), 0, "method parse_header")
local copy = d:copy()
check(copy.obj_prev == nil, true, "copy unlinked")
check(copy.id, 0x4242, "copy id")
check(copy.payload, d.payload, "copy shares the bytes")
local q, rr, l = Q.new(), Rr.new(), Label.new(4)
check(copy:parse_q(q, l, 4), 0, "copy continues the parse")
check(copy:parse_rr(rr, l, 4), 0, "copy parses a record")
check(rr.type, 1, "record type")
check(rr.class, 1, "record class")
check(rr.ttl, 60, "record ttl")
copy:reset()
check(copy.id, 0, "reset id")
check(copy.have_id, 0, "reset flag")
check(copy.obj_type, 50, "reset type")
copy:free()
-- TCP framing: the length prefix moves label offsets but not pointer values.
d = Dns.new(w.payload(w.u16(33) .. response(2)))
d.includes_dnslen = 1
ret, qs, qls, rrs, rrls = d:parse()
check(ret, 0, "framed parse")
check(d.dnslen, 33, "dnslen")
check(Label.tooffstr(d, qls[1], qs[1].labels), "<14>example.<22>com.", "framed offsets")
check(Label.tooffstr(d, rrls[1], rrs[1].labels), "<12>", "framed pointer")
-- Through the generic object class: cast, cast_to down the chain, copy and free.
local Object = require("tarvex.core.objects")
d = Dns.new(w.payload(response(2)))
local header = d:uncast()
check(header:type(), "dns", "generic type name")
local back = header:cast()
check(ffi.istype("core_object_dns_t*", back), true, "generic cast gives the DNS record")
check(back:type(), "dns", "the DNS methods on a cast record")
check(ffi.istype("core_object_payload_t*", header:cast_to(Object.PAYLOAD)), true, "cast_to the payload beneath")
check(back:parse(), 0, "parse through the cast record")
local generic = header:copy()
check(generic.obj_type, 50, "generic copy type")
check(generic.obj_prev == nil, true, "generic copy unlinked")
check(generic:cast().id, 0x4242, "generic copy fields")
generic:free()
for _ = 1, 3 do
    collectgarbage()
end
print("dns module checks pass")
