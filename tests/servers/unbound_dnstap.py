#!/usr/bin/python3
"""Records the same known queries to a loopback unbound twice: as the dnstap
log unbound writes (through fstrm_capture on a unix socket) and as packets
(tcpdump on lo).

    unbound_dnstap.py DIR

Writes DIR/log.dnstap, DIR/wire.pcap and DIR/expected.txt, one line per
message: "CLIENT_QUERY|CLIENT_RESPONSE udp|tcp CLIENT_PORT SERVER_PORT ID NAME".
Exits 77 when a peer program is missing or cannot run here (so the calling
test skips), 1 on any other failure. Everything it starts ends before it
returns and runs under `timeout`.
"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from unbound_ctl import free_port  # noqa: E402

CONFIG = """server:
    interface: 127.0.0.1
    port: {port}
    do-ip4: yes
    do-ip6: no
    do-udp: yes
    do-tcp: yes
    so-reuseport: no
    username: ""
    chroot: ""
    directory: "{dir}"
    pidfile: "{dir}/unbound.pid"
    logfile: "{dir}/unbound.log"
    use-syslog: no
    do-daemonize: no
    verbosity: 1
    num-threads: 1
    access-control: 127.0.0.0/8 allow
    module-config: "iterator"
    local-zone: "test." redirect
    local-data: "test. 300 IN A 192.0.2.1"
    local-data: "test. 300 IN AAAA 2001:db8::1"
    local-zone: "." refuse
remote-control:
    control-enable: no
dnstap:
    dnstap-enable: yes
    dnstap-socket-path: "{dir}/dnstap.sock"
    dnstap-send-identity: yes
    dnstap-identity: "tarvex-test"
    dnstap-log-client-query-messages: yes
    dnstap-log-client-response-messages: yes
"""


def skip(why):
    print("skip: " + why)
    sys.exit(77)


def wait_for(predicate, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def query(ident, name, qtype=1):
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.strip(".").split(".")) + b"\x00"
    return struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + labels + struct.pack(">HH", qtype, 1)


def ask_udp(port, ident, name):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.settimeout(2)
        sock.bind(("127.0.0.1", 0))
        sock.sendto(query(ident, name), ("127.0.0.1", port))
        reply = sock.recv(4096)
        assert reply[:2] == struct.pack(">H", ident)
        return sock.getsockname()[1]


def ask_tcp(port, ident, name):
    with socket.create_connection(("127.0.0.1", port), timeout=2) as sock:
        message = query(ident, name)
        sock.sendall(struct.pack(">H", len(message)) + message)
        length = struct.unpack(">H", sock.recv(2))[0]
        reply = b""
        while len(reply) < length:
            reply += sock.recv(length - len(reply))
        assert reply[:2] == struct.pack(">H", ident)
        return sock.getsockname()[1]


def stop(process, sig=signal.SIGTERM):
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    directory = os.path.abspath(sys.argv[1])
    os.makedirs(directory, exist_ok=True)
    for tool in ("unbound", "fstrm_capture", "tcpdump", "timeout"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            skip(tool + " is not installed")
    unbound = shutil.which("unbound") or "/usr/sbin/unbound"
    tcpdump = shutil.which("tcpdump") or "/usr/sbin/tcpdump"
    sock_path = os.path.join(directory, "dnstap.sock")
    log_path = os.path.join(directory, "log.dnstap")
    pcap_path = os.path.join(directory, "wire.pcap")
    for path in (sock_path, log_path, pcap_path):
        if os.path.exists(path):
            os.unlink(path)
    port = free_port()
    with open(os.path.join(directory, "unbound.conf"), "w") as f:
        f.write(CONFIG.format(port=port, dir=directory))

    started = []
    try:
        capture = subprocess.Popen(["timeout", "60", "fstrm_capture", "-t", "protobuf:dnstap.Dnstap", "-u",
                                    sock_path, "-w", log_path], stdout=subprocess.DEVNULL,
                                   stderr=open(os.path.join(directory, "fstrm.err"), "w"))
        started.append(capture)
        if not wait_for(lambda: os.path.exists(sock_path), 5):
            skip("fstrm_capture did not listen")
        dump = subprocess.Popen(["timeout", "60", tcpdump, "-i", "lo", "-U", "-n", "-w", pcap_path, "port",
                                 str(port)], stdout=subprocess.DEVNULL,
                                stderr=open(os.path.join(directory, "tcpdump.err"), "w"))
        started.append(dump)
        if not wait_for(lambda: "listening" in open(os.path.join(directory, "tcpdump.err")).read(), 5):
            skip("tcpdump cannot capture on lo here")
        server = subprocess.Popen(["timeout", "60", unbound, "-d", "-c", os.path.join(directory, "unbound.conf")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started.append(server)

        def answering():
            try:
                ask_udp(port, 0x4242, "probe.test.")
                return True
            except (OSError, AssertionError):
                return False
        if not wait_for(answering, 10):
            print("unbound did not answer", file=sys.stderr)
            return 1
        lines = ["CLIENT_QUERY udp %d %d %d probe.test." % (0, port, 0x4242),
                 "CLIENT_RESPONSE udp %d %d %d probe.test." % (0, port, 0x4242)]
        for index in range(10):
            transport = "tcp" if index % 2 else "udp"
            ident, name = 0x1000 + index, "q%d.test." % index
            client_port = (ask_tcp if index % 2 else ask_udp)(port, ident, name)
            lines.append("CLIENT_QUERY %s %d %d %d %s" % (transport, client_port, port, ident, name))
            lines.append("CLIENT_RESPONSE %s %d %d %d %s" % (transport, client_port, port, ident, name))
        # unbound hands its log to the socket from a thread of its own.
        time.sleep(1)
        stop(server)
        time.sleep(0.3)
        stop(capture, signal.SIGINT)
        stop(dump, signal.SIGINT)
        with open(os.path.join(directory, "expected.txt"), "w") as f:
            f.write("\n".join(lines) + "\n")
        return 0
    finally:
        for process in started:
            stop(process)


if __name__ == "__main__":
    sys.exit(main())
