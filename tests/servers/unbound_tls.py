#!/usr/bin/env python3
"""unbound on loopback for the sender tests: UDP and TCP on one free port, DNS
over TLS on another, with a certificate made at test time. Local data only:
names under "test." are answered from the configuration, everything else is
NXDOMAIN, and nothing is ever asked upstream.

    unbound_tls.py start --dir DIR    # writes DIR/ports: "udp P", "tcp P", "tls T"
    unbound_tls.py stop --dir DIR
"""
import argparse
import os
import socket
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon  # noqa: E402
from selfsigned import make_certificate  # noqa: E402

CONFIG = """server:
    verbosity: 1
    num-threads: 1
    interface: 127.0.0.1@{port}
    interface: 127.0.0.1@{tls_port}
    port: {port}
    tls-port: {tls_port}
    tls-service-key: "{key}"
    tls-service-pem: "{cert}"
    do-ip4: yes
    do-ip6: no
    do-udp: yes
    do-tcp: yes
    interface-automatic: no
    so-reuseport: no
    access-control: 127.0.0.0/8 allow
    incoming-num-tcp: 64
    tcp-idle-timeout: 60000
    username: ""
    chroot: ""
    directory: "{dir}"
    pidfile: "{dir}/unbound.pid"
    logfile: "{dir}/unbound.log"
    use-syslog: no
    module-config: "iterator"
    do-not-query-localhost: yes
    num-queries-per-thread: 4096
{data}remote-control:
    control-enable: no
"""

DATA = """    local-zone: "." static
    local-zone: "test." static
    local-data: "test. 300 IN SOA ns.test. hostmaster.test. 1 3600 600 86400 300"
    local-data: "a.test. 300 IN A 192.0.2.1"
    local-data: "www.test. 300 IN A 192.0.2.2"
    local-data: "www.test. 300 IN AAAA 2001:db8::2"
    local-data: "mail.test. 300 IN MX 10 a.test."
    local-data: "text.test. 300 IN TXT \\"hello\\""
"""


def query(name):
    wire = b"".join(bytes([len(label)]) + label.encode() for label in name.split(".") if label) + b"\0"
    return struct.pack(">HHHHHH", 0x5151, 0x0100, 1, 0, 0, 0) + wire + struct.pack(">HH", 1, 1)


def ready(port, tls_port):
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.settimeout(0.5)
            udp.sendto(query("a.test."), ("127.0.0.1", port))
            reply, _ = udp.recvfrom(4096)
            if reply[:2] != b"\x51\x51":
                return False
        with socket.create_connection(("127.0.0.1", tls_port), timeout=1):
            return True
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("start", "stop"))
    parser.add_argument("--dir", required=True)
    parser.add_argument("--lifetime", type=int, default=1200)
    opts = parser.parse_args()
    directory = os.path.abspath(opts.dir)
    os.makedirs(directory, exist_ok=True)
    if opts.action == "stop":
        daemon.stop(directory)
        return
    start(directory, DATA, opts.lifetime)


def start(directory, data, lifetime):
    """Starts unbound with `data` (local-zone and local-data lines) in
    `directory` and writes its ports file."""
    os.makedirs(directory, exist_ok=True)
    daemon.stop(directory)
    key, cert = make_certificate(directory)
    port = daemon.free_port(both=True)
    tls_port = daemon.free_port()
    conf = os.path.join(directory, "unbound.conf")
    with open(conf, "w") as out:
        out.write(CONFIG.format(port=port, tls_port=tls_port, key=key, cert=cert, dir=directory, data=data))
    daemon.start(directory, ["unbound", "-d", "-c", conf], lambda: ready(port, tls_port), lifetime)
    with open(os.path.join(directory, "ports"), "w") as out:
        out.write("udp %d\ntcp %d\ntls %d\n" % (port, port, tls_port))


if __name__ == "__main__":
    main()
