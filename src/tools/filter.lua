-- Copies the DNS messages of a capture into a new capture and drops the rest:
-- UDP or TCP to or from the DNS port whose payload holds a DNS header,
-- optionally only queries or only responses, optionally only one question
-- type. Messages are judged whole (TCP segments and IP fragments put
-- together) and written as the packets that carried them, so that readers
-- can put them together again; segments that carried no message bytes (bare
-- ACKs, SYN, FIN) are not written. A packet comes out once, when the first
-- message it carried that is kept is whole: a TCP message follows the
-- packets captured while it was incomplete. Prints how many packets were
-- kept and dropped. A dnstap log is written out as a dnstap log of the
-- records kept, or with --to-pcap as a PCAP of their synthesized packets.
--   tarvex filter [options] in.pcap out.pcap

local Tool = {
    name = "filter",
    summary = "the DNS subset of a capture (queries, responses, one qtype) written to a new capture",
    usage = "[options...] in.pcap out.pcap",
    options = {
        { "Q", "queries", false, "Keep only queries" },
        { "r", "responses", false, "Keep only responses" },
        { "t", "qtype", "", "Keep only messages whose first question has this type (name or number)", arg = "TYPE" },
        { "p", "port", "53", "DNS port", arg = "PORT" },
        { nil, "to-pcap", false, "From a dnstap log, write a PCAP of the synthesized packets instead of dnstap" },
    },
}

function Tool.run(cli)
    if #cli.args ~= 2 then
        cli:fail("need an input and an output capture (run with -h for the options)")
    end
    if cli:val("queries") and cli:val("responses") then
        cli:fail("-Q and -r exclude each other")
    end
    local port = cli:whole("port", 0, 65535)

    local ffi = require("ffi")
    require("tarvex.core.objects")
    local Dns = require("tarvex.core.object.dns")
    local Label = require("tarvex.core.object.dns.label")
    local Q = require("tarvex.core.object.dns.q")
    local Decode = require("tarvex.tools.lib.decode")

    local qtype = nil
    if cli:val("qtype") ~= "" then
        local text = cli:val("qtype")
        qtype = tonumber(text) or Dns.TYPE[text:upper()]
        if not qtype then
            cli:fail("unknown question type " .. text)
        end
    end
    local want_qr = cli:val("queries") and 0 or (cli:val("responses") and 1 or nil)


    local input = cli:open_capture(cli.args[1])
    cli:writable(cli.args[2])
    local output
    if input:format() == "dnstap" and not cli:val("to-pcap") then
        output = require("tarvex.output.dnstap").new()
        if output:open(cli.args[2]) ~= 0 then
            cli:fail("cannot write " .. cli.args[2])
        end
    else
        output = require("tarvex.output.pcap").new()
        if output:open(cli.args[2], input:linktype(), input:snaplen()) ~= 0 then
            cli:fail("cannot write " .. cli.args[2])
        end
    end
    local write, write_ctx = output:receive()

    -- One DNS object, question and label array, reused for every packet.
    local dns = Dns.new(nil)
    local question = Q.new()
    local labels = Label.new(16)

    local UDP, TCP, PAYLOAD = 30, 31, 40

    local function is_dns(obj)
        if obj.obj_type ~= PAYLOAD then
            return false
        end
        local payload = ffi.cast("core_object_payload_t*", obj)
        local transport = payload.obj_prev
        if transport == nil then
            return false
        end
        local stream = transport.obj_type == TCP
        if not stream and transport.obj_type ~= UDP then
            return false
        end
        local ports = ffi.cast(stream and "core_object_tcp_t*" or "core_object_udp_t*", transport)
        if ports.sport ~= port and ports.dport ~= port then
            return false
        end
        -- Messages over TCP come whole and without their length field, as over UDP.
        dns:reset()
        dns.obj_prev = obj
        if dns:parse_header() ~= 0 then
            return false
        end
        if want_qr and dns.qr ~= want_qr then
            return false
        end
        if qtype then
            return dns.qdcount > 0 and dns:parse_q(question, labels, 16) == 0 and question.type == qtype
        end
        return true
    end

    -- A pull loop, so that Ctrl-C or SIGTERM stops it between two packets
    -- with the output whole. A null pull is the end of the capture, or a frame
    -- that gave nothing (dropped, or part of a message not yet whole): the
    -- reader's count tells them apart. What was not kept is counted from the
    -- reader's total.
    local Signals = require("tarvex.tools.lib.signals")
    Signals.hold()
    local chain = Decode.pull(input, port, input)
    chain:keep_carriers()
    local produce, ctx = chain:produce()
    local stopped, cut = false, 0
    while true do
        local before = input:packets()
        local obj = produce(ctx)
        if obj == nil and input:packets() == before then
            break
        end
        if obj ~= nil and is_dns(obj) and not chain:carriers(obj, write, write_ctx) then
            cut = cut + 1
        end
        -- A look at the signals every 4096 packets costs nothing.
        if input:packets() % 4096 == 0 and Signals.requested() then
            stopped = true
            break
        end
    end

    local write_failed = output:have_errors()
    local kept = output.packets and output:packets() or output:frames()
    output:close()
    print(string.format("kept %d dropped %d", kept, input:packets() - kept))
    if stopped then
        cli:fail("stopped by a signal after " .. input:packets() .. " packets; the output is complete up to there")
    end
    if input.obj.is_broken ~= 0 then
        cli:fail("reading " .. cli.args[1] .. " stopped early")
    end
    if cut > 0 then
        cli:fail(cut .. " kept messages came in more packets than the reassemblers could hold; "
            .. "they were written without some of them")
    end
    if write_failed then
        cli:fail("could not write every packet to " .. cli.args[2])
    end
end

return Tool
