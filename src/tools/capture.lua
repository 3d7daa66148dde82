-- Captures live traffic on one interface through libpcap, optionally through
-- a BPF filter, and either writes it to a capture file (-w) or prints one line
-- per DNS message it sees. Stops after -c packets, or on Ctrl-C (the file is
-- complete either way).
--   tarvex capture -i eth0 -f "port 53" -c 100
--   tarvex capture -i lo -w lo.pcap

local Tool = {
    name = "capture",
    summary = "live capture with libpcap, written to a file or printed",
    usage = "[options...] -i IFACE",
    options = {
        { "i", "interface", "", "Interface to capture on", arg = "IFACE" },
        { "f", "filter", "", "BPF filter expression (as tcpdump takes it)", arg = "EXPR" },
        { "c", "count", "0", "Stop after this many packets (0: until interrupted)", arg = "N" },
        { "w", "write", "", "Write the packets to this capture file instead of printing them", arg = "FILE" },
        { "p", "port", "53", "DNS port, UDP or TCP, for the printed lines", arg = "PORT" },
    },
}

function Tool.run(cli)
    local iface = cli:val("interface")
    if iface == "" then
        cli:fail("need an interface (-i IFACE); run with -h for the options")
    end
    cli:no_more_args()
    local count, port = cli:whole("count", 0), cli:whole("port", 0, 65535)

    if cli:val("write") ~= "" then
        cli:writable(cli:val("write"))
    end

    local ffi = require("ffi")
    require("tarvex.core.compat_h")
    local Pcap = require("tarvex.input.pcap")
    local C = ffi.C

    -- What the input leaves to its user: the filter, error texts and reads
    -- that do not block.
    ffi.cdef [[
    struct bpf_program { unsigned int bf_len; void* bf_insns; };
    int pcap_compile(pcap_t* p, struct bpf_program* fp, const char* str, int optimize, uint32_t netmask);
    int pcap_setfilter(pcap_t* p, struct bpf_program* fp);
    void pcap_freecode(struct bpf_program* fp);
    char* pcap_geterr(pcap_t* p);
    const char* pcap_statustostr(int error);
    int pcap_set_immediate_mode(pcap_t* p, int immediate);
    int pcap_setnonblock(pcap_t* p, int nonblock, char* errbuf);
    int pcap_get_selectable_fd(pcap_t* p);
    int poll(struct pollfd* fds, unsigned long nfds, int timeout);
    int pcap_set_buffer_size(pcap_t* p, int buffer_size);
    int pcap_set_timeout(pcap_t* p, int to_ms);
    struct pcap_stat { unsigned int ps_recv; unsigned int ps_drop; unsigned int ps_ifdrop; };
    int pcap_stats(pcap_t* p, struct pcap_stat* ps);
    ]]
    local PCAP_ERROR, PCAP_ERROR_NO_SUCH_DEVICE, PCAP_ERROR_PERM_DENIED, PCAP_ERROR_IFACE_NOT_UP = -1, -5, -8, -9
    -- Ctrl-C and SIGTERM are looked at between reads.
    local Signals = require("tarvex.tools.lib.signals")
    Signals.hold()

    local input = Pcap.new()
    if input:create(iface) ~= 0 then
        cli:fail("cannot capture on " .. iface)
    end
    -- Printed lines come as the traffic does, each packet as soon as it
    -- arrives. Written to a file, packets come in blocks of a large buffer
    -- instead: handing them over one at a time cannot keep up with a busy
    -- resolver, and the kernel drops what its buffer cannot hold.
    local writing = cli:val("write") ~= ""
    local BLOCK_MS = 100
    if writing then
        C.pcap_set_buffer_size(input.obj.pcap, 64 * 1024 * 1024)
        C.pcap_set_timeout(input.obj.pcap, BLOCK_MS)
    else
        C.pcap_set_immediate_mode(input.obj.pcap, 1)
    end
    local activated = input:activate()
    if activated < 0 then
        local reasons = {
            [PCAP_ERROR_NO_SUCH_DEVICE] = "no such interface " .. iface,
            [PCAP_ERROR_PERM_DENIED] = "no permission to capture on " .. iface .. " (needs root or CAP_NET_RAW)",
            [PCAP_ERROR_IFACE_NOT_UP] = "interface " .. iface .. " is not up",
        }
        local detail = activated == PCAP_ERROR and ffi.string(C.pcap_geterr(input.obj.pcap))
            or ffi.string(C.pcap_statustostr(activated))
        cli:fail(reasons[activated] or ("cannot capture on " .. iface .. ": " .. detail))
    end
    if cli:val("filter") ~= "" then
        local program = ffi.new("struct bpf_program")
        if C.pcap_compile(input.obj.pcap, program, cli:val("filter"), 1, 0xffffffff) ~= 0 then
            cli:fail("bad filter: " .. ffi.string(C.pcap_geterr(input.obj.pcap)))
        end
        local set = C.pcap_setfilter(input.obj.pcap, program)
        C.pcap_freecode(program)
        if set ~= 0 then
            cli:fail("cannot set the filter: " .. ffi.string(C.pcap_geterr(input.obj.pcap)))
        end
    end

    local output
    if cli:val("write") ~= "" then
        local Output = require("tarvex.output.pcap")
        output = Output.new()
        if output:open(cli:val("write"), input:linktype(), input:snaplen()) ~= 0 then
            cli:fail("cannot write " .. cli:val("write"))
        end
        input:receiver(output)
    else
        local Object = require("tarvex.core.objects")
        local Dns = require("tarvex.core.object.dns")
        local Label = require("tarvex.core.object.dns.label")
        local Q = require("tarvex.core.object.dns.q")
        local Layer = require("tarvex.filter.layer")
        local Ip = require("tarvex.lib.ip")

        local MAX_LABELS = 128
        local dns, question, labels = Dns.new(), Q.new(), Label.new(MAX_LABELS)

        local function endpoint(address, at, bracketed)
            local text = Ip.tostring(address, true)
            return (bracketed and "[" .. text .. "]" or text) .. ":" .. at
        end

        local function question_text()
            if dns.qdcount == 0 or dns:parse_q(question, labels, MAX_LABELS) ~= 0 then
                return "-"
            end
            return Dns.type_tostring(question.type) .. " " .. (Label.tostring(dns, labels, MAX_LABELS) or ".")
        end

        -- time proto src > dst, then query|response, id, opcode unless QUERY,
        -- rcode of responses, the question, and the section counts.
        local function show(obj)
            if obj.obj_type ~= Object.PAYLOAD or obj:cast().len == 0 then
                return
            end
            local transport = obj.obj_prev
            local kind = transport ~= nil and transport.obj_type
            if kind ~= Object.UDP and kind ~= Object.TCP then
                return
            end
            local ports = transport:cast()
            if ports.sport ~= port and ports.dport ~= port then
                return
            end
            dns:reset()
            dns.obj_prev = obj
            -- On TCP a message follows its two-byte length.
            dns.includes_dnslen = kind == Object.TCP and 1 or 0
            if dns:parse_header() ~= 0 then
                return
            end
            local ip = obj:cast_to(Object.IP)
            local ip6 = not ip
            ip = ip or obj:cast_to(Object.IP6)
            if not ip then
                return
            end
            local pkt = obj:cast_to(Object.PCAP)
            local parts = {
                string.format("%d.%06d", tonumber(pkt.ts.sec), math.floor(tonumber(pkt.ts.nsec) / 1000)),
                kind == Object.TCP and "tcp" or "udp",
                endpoint(ip.src, ports.sport, ip6) .. " > " .. endpoint(ip.dst, ports.dport, ip6),
                dns.qr == 1 and "response" or "query",
                "id " .. dns.id,
            }
            if dns.opcode ~= Dns.OPCODE.QUERY then
                parts[#parts + 1] = Dns.opcode_tostring(dns.opcode)
            end
            if dns.qr == 1 then
                parts[#parts + 1] = Dns.rcode_tostring(dns.rcode)
            end
            parts[#parts + 1] = question_text()
            parts[#parts + 1] = string.format("%d/%d/%d", dns.ancount, dns.nscount, dns.arcount)
            print(table.concat(parts, " "))
            io.stdout:flush()
        end

        local shown = ffi.cast("core_receiver_t", function(_, obj)
            show(ffi.cast("core_object_t*", obj))
        end)
        local layer = Layer.new()
        layer:receiver({ receive = function() return shown, nil end })
        input:receiver(layer)
    end

    -- A read takes what has arrived and never blocks; the wait before it has a
    -- time limit, so that a quiet interface does not hold up a stop.
    local errbuf = ffi.new("char[256]")
    if C.pcap_setnonblock(input.obj.pcap, 1, errbuf) ~= 0 then
        cli:fail("cannot capture on " .. iface .. ": " .. ffi.string(errbuf))
    end
    local POLLIN, WAIT_MS = 1, 250
    local waiter = ffi.new("struct pollfd")
    waiter.fd = C.pcap_get_selectable_fd(input.obj.pcap)
    waiter.events = POLLIN
    -- The receiver may be Lua code called back from inside libpcap: such a call
    -- must not come from compiled code.
    local function capture()
        local result = 0
        while (count == 0 or input:packets() < count) and not Signals.requested() do
            C.poll(waiter, 1, WAIT_MS)
            result = C.input_pcap_dispatch(input.obj, count == 0 and -1 or count - input:packets())
            if result < 0 then
                break
            end
        end
        -- A block the kernel has not handed over yet comes out after its
        -- timeout: take it, so nothing captured stays behind at a stop.
        if result >= 0 and writing then
            C.poll(waiter, 1, 2 * BLOCK_MS)
            while count == 0 or input:packets() < count do
                local got = C.input_pcap_dispatch(input.obj, count == 0 and -1 or count - input:packets())
                if got <= 0 then
                    result = got < 0 and got or result
                    break
                end
            end
        end
        return result
    end
    jit.off(capture)
    local result = capture()
    local kernel = ffi.new("struct pcap_stat")
    local have_stats = C.pcap_stats(input.obj.pcap, kernel) == 0

    local failed = output and output:have_errors()
    if output then
        output:close()
    end
    io.stderr:write(string.format("tarvex capture: %d packets captured on %s%s%s\n", input:packets(),
        iface, output and (", written to " .. cli:val("write")) or "",
        have_stats and string.format("; the kernel received %d, dropped %d, the interface dropped %d",
            kernel.ps_recv, kernel.ps_drop, kernel.ps_ifdrop) or ""))
    if have_stats and kernel.ps_drop + kernel.ps_ifdrop > 0 then
        cli:fail(string.format("%d packets were dropped before they could be captured",
            kernel.ps_drop + kernel.ps_ifdrop))
    end
    if result < 0 and result ~= -2 then
        cli:fail("capture stopped: " .. ffi.string(C.pcap_geterr(input.obj.pcap)))
    end
    if failed then
        cli:fail("could not write every packet to " .. cli:val("write"))
    end
end

return Tool
