#!/usr/bin/env python3
"""unbound on loopback serving DNS over HTTPS for the DoH client tests: one
instance with UDP on one free port and DoH (TLS, ALPN h2) on another, with a
certificate made at test time, and a second instance serving HTTP/2 without
TLS (h2c) on a third. Both cap a connection at --streams concurrent streams (32 by default).
Local data as in unbound_tls.py.

    unbound_doh.py start --dir DIR    # DIR/ports: "udp P", "doh D", "h2c H", "streams N"
    unbound_doh.py stop --dir DIR
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon  # noqa: E402
from selfsigned import make_certificate  # noqa: E402
from unbound_tls import CONFIG, DATA, ready  # noqa: E402

STREAMS = 32  # low enough that the tests reach it

HTTPS = """server:
    https-port: {https_port}
    interface: 127.0.0.1@{https_port}
    http-endpoint: "/dns-query"
    http-max-streams: {streams}
    http-notls-downstream: {notls}
"""


def start(directory, notls, lifetime, streams):
    key, cert = make_certificate(os.path.dirname(directory))
    port = daemon.free_port(both=True)
    tls_port = daemon.free_port()
    https_port = daemon.free_port()
    conf = os.path.join(directory, "unbound.conf")
    with open(conf, "w") as out:
        out.write(CONFIG.format(port=port, tls_port=tls_port, key=key, cert=cert, dir=directory, data=DATA))
        out.write(HTTPS.format(https_port=https_port, streams=streams, notls="yes" if notls else "no"))
    daemon.start(directory, ["unbound", "-d", "-c", conf], lambda: ready(port, https_port), lifetime)
    return port, https_port


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("start", "stop"))
    parser.add_argument("--dir", required=True)
    parser.add_argument("--lifetime", type=int, default=1200)
    parser.add_argument("--streams", type=int, default=STREAMS)
    opts = parser.parse_args()
    top = os.path.abspath(opts.dir)
    instances = {name: os.path.join(top, name) for name in ("tls", "h2c")}
    for directory in instances.values():
        os.makedirs(directory, exist_ok=True)
        daemon.stop(directory)
    if opts.action == "stop":
        return
    udp, doh = start(instances["tls"], False, opts.lifetime, opts.streams)
    _, h2c = start(instances["h2c"], True, opts.lifetime, opts.streams)
    with open(os.path.join(top, "ports"), "w") as out:
        out.write("udp %d\ndoh %d\nh2c %d\nstreams %d\n" % (udp, doh, h2c, opts.streams))


if __name__ == "__main__":
    main()
