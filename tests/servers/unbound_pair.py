#!/usr/bin/env python3
"""Two unbound instances on loopback with different local data, for the
tests that compare two servers' answers (UDP and TCP on one port each, DNS
over TLS on another). What each one answers is listed in ANSWERS, so a test
can check every stored answer against what its server was told to say.

    unbound_pair.py start --dir DIR    # DIR/a/ports and DIR/b/ports
    unbound_pair.py stop --dir DIR
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon  # noqa: E402
import unbound_tls  # noqa: E402

# name -> (answer of a, answer of b): an IPv4 address (NOERROR with that A
# record), "NXDOMAIN", "REFUSED", or None (the server drops the query).
ANSWERS = {
    "same.test.": ("192.0.2.10", "192.0.2.10"),
    "diff.test.": ("192.0.2.11", "192.0.2.21"),
    "only.test.": ("192.0.2.12", "NXDOMAIN"),
    "drop.x.": ("192.0.2.13", None),
    "no.y.": ("REFUSED", "192.0.2.24"),
}
# Names under test. that neither lists are NXDOMAIN at both.

COMMON = """    local-zone: "." static
    local-zone: "test." static
    local-data: "test. 300 IN SOA ns.test. hostmaster.test. 1 3600 600 86400 300"
"""
ZONE = {
    # a drops nothing and refuses y.; b drops x.
    0: """    local-zone: "x." static
    local-data: "x. 300 IN SOA ns.x. hostmaster.x. 1 3600 600 86400 300"
    local-zone: "y." refuse
""",
    1: """    local-zone: "x." deny
    local-zone: "y." static
    local-data: "y. 300 IN SOA ns.y. hostmaster.y. 1 3600 600 86400 300"
""",
}


def data(side):
    lines = [COMMON, ZONE[side]]
    for name, answers in sorted(ANSWERS.items()):
        answer = answers[side]
        if answer and answer[0].isdigit():
            lines.append('    local-data: "%s 300 IN A %s"\n' % (name, answer))
    return "".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("start", "stop"))
    parser.add_argument("--dir", required=True)
    parser.add_argument("--lifetime", type=int, default=1200)
    opts = parser.parse_args()
    directory = os.path.abspath(opts.dir)
    for side, name in enumerate(("a", "b")):
        path = os.path.join(directory, name)
        os.makedirs(path, exist_ok=True)
        if opts.action == "stop":
            daemon.stop(path)
        else:
            unbound_tls.start(path, data(side), opts.lifetime)


if __name__ == "__main__":
    main()
