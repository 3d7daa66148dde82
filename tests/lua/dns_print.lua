-- Dns:print, line by line, for whole messages and for ones that stop early.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local w = require("dnswire")

-- Byte strings go to the child as Lua decimal escapes.
local function literal(bytes)
    return '"' .. bytes:gsub(".", function(c) return string.format("\\%d", c:byte()) end) .. '"'
end

local function printed(bytes, num_labels)
    local script = string.format([[
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local Dns = require("tarvex.core.object.dns")
local w = require("dnswire")
Dns.new(w.payload(%s)):print(%s)
]], literal(bytes), tostring(num_labels or "nil"))
    local code, out, err = sub.tarvex(script)
    assert(code == 0, "print exited " .. code .. ": " .. err)
    return out
end

local function compare(got, want, what)
    local got_lines, want_lines = {}, {}
    for line in got:gmatch("([^\n]*)\n") do got_lines[#got_lines + 1] = line end
    for line in want:gmatch("([^\n]*)\n") do want_lines[#want_lines + 1] = line end
    for i = 1, math.max(#got_lines, #want_lines) do
        if got_lines[i] ~= want_lines[i] then
            error(string.format("%s, line %d:\n got  %q\n want %q", what, i, tostring(got_lines[i]),
                tostring(want_lines[i])), 0)
        end
    end
    assert(got == want, what .. ": output differs after the last line")
end

-- A realistic response: www.example.com is a CNAME to cdn.example.com with
-- an A record, the zone's SOA in authority and an OPT record in additional.
local question = w.question(w.name("www.example.com"), 1)             -- 12..32
local cname = w.rr(w.pointer(12), 5, 1, 300, "\3cdn" .. w.pointer(16)) -- 33..50, rdata at 45
local a = w.rr(w.pointer(45), 1, 1, 60, "\192\0\2\7")                  -- 51..66
local soa = w.rr(w.pointer(16), 6, 1, 900, "\3ns1" .. w.pointer(16) .. "\10hostmaster" .. w.pointer(16) ..
    w.u32(2024060101) .. w.u32(7200) .. w.u32(3600) .. w.u32(1209600) .. w.u32(300)) -- rdata at 79
local opt = w.rr("\0", 41, 1232, 0, "")
local response = w.header(0x1234, 0x8180, 1, 2, 1, 1) .. question .. cname .. a .. soa .. opt

compare(printed(response), table.concat({
    "id:\t4660",
    "\tqr:\t1",
    "\topcode:\tQUERY",
    "\tflags:\tRD RA",
    "\trcode:\tNOERROR",
    "\tqdcount:\t1",
    "\tancount:\t2",
    "\tnscount:\t1",
    "\tarcount:\t1",
    "questions:\tclass\ttype\tlabels",
    "\tIN\tA\t<12>www.<16>example.<24>com.",
    "answers:\tclass\ttype\tttl\tlabels\tRR labels",
    "\tIN\tCNAME\t300\t<12>\t<45>cdn.<16>",
    "\tIN\tA\t60\t<45>",
    "authorities:\tclass\ttype\tttl\tlabels\tRR labels",
    "\tIN\tSOA\t900\t<16>\t<79>ns1.<16>",
    "additionals:\tclass\ttype\tttl\tlabels\tRR labels",
    "\tUNKNOWN(1232)\tOPT\t0\t",
    "",
}, "\n"), "realistic response")

local function header_lines(id, qr, opcode, flags, rcode, qd, an, ns, ar)
    return table.concat({
        "id:\t" .. id, "\tqr:\t" .. qr, "\topcode:\t" .. opcode, "\tflags:\t" .. flags,
        "\trcode:\t" .. rcode, "\tqdcount:\t" .. qd, "\tancount:\t" .. an, "\tnscount:\t" .. ns,
        "\tarcount:\t" .. ar, "",
    }, "\n")
end

local cases = {
    { "header only, no flags", w.header(7, 0x0000, 0, 0, 0, 0), header_lines(7, 0, "QUERY", "", "NOERROR", 0, 0, 0, 0) },
    { "AA alone", w.header(8, 0x8400, 0, 0, 0, 0), header_lines(8, 1, "QUERY", "AA", "NOERROR", 0, 0, 0, 0) },
    { "every flag, NOTIFY, NXDOMAIN", w.header(9, 0x27F3, 0, 0, 0, 0),
        header_lines(9, 0, "NOTIFY", "AA TC RD RA Z AD CD", "NXDOMAIN", 0, 0, 0, 0) },
    { "unknown opcode and rcode", w.header(10, 0x180F, 0, 0, 0, 0),
        header_lines(10, 0, "UNKNOWN(3)", "", "UNKNOWN(15)", 0, 0, 0, 0) },
    { "root question", w.header(11, 0x0100, 1, 0, 0, 0) .. w.question("\0", 2, 3),
        header_lines(11, 0, "QUERY", "RD", "NOERROR", 1, 0, 0, 0) ..
        "questions:\tclass\ttype\tlabels\n\tCH\tNS\t\n" },
    { "cut header prints nothing", w.header(12, 0, 0, 0, 0, 0):sub(1, 11), "" },
    { "records end early: the heading stays", w.header(13, 0x8180, 1, 3, 0, 0) ..
        w.question(w.name("a"), 1) .. w.rr(w.pointer(12), 1, 1, 5, "\1\2\3\4"),
        header_lines(13, 1, "QUERY", "RD RA", "NOERROR", 1, 3, 0, 0) ..
        "questions:\tclass\ttype\tlabels\n\tIN\tA\t<12>a.\n" ..
        "answers:\tclass\ttype\tttl\tlabels\tRR labels\n\tIN\tA\t5\t<12>\n" },
    { "question deeper than the labels", w.header(14, 0, 1, 0, 0, 0) .. w.question(w.name("a.b.c.d"), 1),
        header_lines(14, 0, "QUERY", "", "NOERROR", 1, 0, 0, 0) .. "questions:\tclass\ttype\tlabels\n", 4 },
}
for _, c in ipairs(cases) do
    compare(printed(c[2], c[4]), c[3], c[1])
end
print("dns print checks pass")
