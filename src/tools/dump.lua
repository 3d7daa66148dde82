-- Reads a capture file, decodes every frame and prints each DNS message it
-- carries (UDP or TCP, port 53 unless -a is given) with Dns:print, or with
-- -b one line each (formatted by the brief output).
--   tarvex dump capture.pcap
local Decode = require("tarvex.tools.lib.decode")
local Brief = require("tarvex.output.brief")
local Object = require("tarvex.core.objects")
local Dns = require("tarvex.core.object.dns")
local Ip = require("tarvex.lib.ip")

local Tool = {
    name = "dump",
    summary = "every DNS message of a capture in full",
    usage = "[options...] capture.pcap",
    options = {
        { "a", "any-port", false, "Parse payloads on every port, not only 53" },
        { "b", "brief", false, "One line per message: time, kind, addresses, transport, size, id, question, rcode" },
        { "l", "labels", "64", "Label records per name", arg = "N" },
    },
}

function Tool.run(cli)
    if #cli.args ~= 1 then
        cli:fail("need one capture file (run with -h for the options)")
    end
    local any_port, labels = cli:val("any-port"), cli:whole("labels", 1)

    local input = cli:open_capture(cli.args[1])
    if cli:val("brief") then
        -- Every message pushed from the reader to the line writer, with no
        -- script code per message.
        local brief = Brief.new()
        brief:port(any_port and 0 or 53)
        if brief:open("-") ~= 0 then
            cli:fail("cannot write to standard output")
        end
        input:receiver(Decode.push(brief, any_port and 0 or 53, input))
        local result = input:run()
        local failed = brief:flush() ~= 0
        brief:close()
        if failed then
            cli:fail("could not write every line")
        end
        if result ~= 0 or input.obj.is_broken ~= 0 then
            cli:fail("the capture ends inside a record; shown up to there")
        end
        return
    end
    -- Messages split over TCP segments or IP fragments come whole, TCP ones
    -- without their length field.
    local chain = Decode.pull(input, any_port and 0 or 53, input)
    local produce, ctx = chain:produce()

    -- One DNS object for the whole run, pointed at each payload in turn.
    local dns = Dns.new()


    local function endpoints(obj)
        local ip = obj:cast_to(Object.IP) or obj:cast_to(Object.IP6)
        if not ip then
            return "?", "?"
        end
        return Ip.tostring(ip.src, true), Ip.tostring(ip.dst, true)
    end

    local function show(number, obj)
        local payload = obj:cast()
        local transport = payload.obj_prev
        if transport == nil or payload.len == 0 then
            return
        end
        local kind = transport.obj_type
        if kind ~= Object.UDP and kind ~= Object.TCP then
            return
        end
        transport = transport:cast()
        if not any_port and transport.sport ~= 53 and transport.dport ~= 53 then
            return
        end
        local pcap = obj:cast_to(Object.PCAP)
        local src, dst = endpoints(obj)
        local proto = kind == Object.TCP and "tcp" or "udp"
        -- A message from a dnstap log says what the log called it.
        local tap = obj:cast_to(Object.DNSTAP)
        if tap then
            proto = string.format("%s (dnstap %s over %s)", proto, tap:message_name(), tap:transport())
        end
        print(string.format("packet %d at %d.%06d: %s %s port %d > %s port %d, %d bytes", number,
            tonumber(pcap.ts.sec), math.floor(tonumber(pcap.ts.nsec) / 1000), proto, src, transport.sport,
            dst, transport.dport, tonumber(payload.len)))

        dns:reset()
        dns.obj_prev = obj
        if dns:parse_header() ~= 0 then
            print("", "not a DNS message")
            return
        end
        dns:print(labels)
    end

    -- A null result is the end of the capture, or a frame that gave nothing
    -- (dropped, or part of a message not yet whole): the reader's packet
    -- count tells them apart, and numbers a message by the packet that
    -- completed it.
    while true do
        local read_before = input:packets()
        local obj = produce(ctx)
        if obj == nil and input:packets() == read_before then
            break
        end
        if obj ~= nil and obj.obj_type == Object.PAYLOAD then
            show(input:packets(), obj)
        end
    end
    io.stdout:flush()
    if input.obj.is_broken ~= 0 then
        cli:fail("the capture ends inside a record; shown up to there")
    end
end

return Tool
