#!/usr/bin/env python3
"""Starts and stops the loopback unbound used by the sender tests.

    unbound_ctl.py start DIR [LIFETIME_S]   config, log and pid under DIR; writes DIR/port
    unbound_ctl.py stop DIR

start picks a free loopback port, runs unbound in the foreground in its own
session under `timeout` (so it never outlives LIFETIME_S, default 900 s), and
returns once the server answers a query. stop ends it.
"""
import os
import signal
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    """A port free for both UDP and TCP on 127.0.0.1 right now."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.bind(("127.0.0.1", 0))
            port = udp.getsockname()[1]
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
                try:
                    tcp.bind(("127.0.0.1", port))
                except OSError:
                    continue
            return port


def answers(port, timeout=0.2):
    query = struct.pack(">HHHHHH", 0x4242, 0x0100, 1, 0, 0, 0) + b"\x05probe\x04test\x00" + struct.pack(">HH", 1, 1)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.settimeout(timeout)
        try:
            sock.sendto(query, ("127.0.0.1", port))
            reply = sock.recv(4096)
        except OSError:
            return False
    return len(reply) >= 12 and reply[:2] == b"\x42\x42" and reply[2] & 0x80


def alive(pid):
    try:
        os.kill(pid, 0)
    except OSError:
        return False
    return True


def read_pids(directory):
    pids = []
    for name in ("unbound.pid", "wrapper.pid"):
        try:
            with open(os.path.join(directory, name)) as f:
                pids.append(int(f.read().split()[0]))
        except (OSError, ValueError, IndexError):
            pass
    return pids


def stop(directory):
    pids = [pid for pid in read_pids(directory) if alive(pid)]
    for pid in pids:
        os.kill(pid, signal.SIGTERM)
    deadline = time.time() + 5
    while time.time() < deadline and any(alive(pid) for pid in pids):
        time.sleep(0.05)
    for pid in pids:
        if alive(pid):
            os.kill(pid, signal.SIGKILL)
    for name in ("unbound.pid", "wrapper.pid", "port"):
        try:
            os.unlink(os.path.join(directory, name))
        except OSError:
            pass
    return 0


def start(directory, lifetime):
    os.makedirs(directory, exist_ok=True)
    stop(directory)
    with open(os.path.join(HERE, "unbound.conf.in")) as f:
        template = f.read()
    for _attempt in range(5):
        port = free_port()
        conf = os.path.join(directory, "unbound.conf")
        with open(conf, "w") as f:
            f.write(template.replace("@PORT@", str(port)).replace("@DIR@", directory))
        with open(os.path.join(directory, "stderr.log"), "w") as err:
            # Own session and no inherited pipes: CTest must not wait for it.
            proc = subprocess.Popen(["timeout", "-s", "TERM", str(lifetime), "unbound", "-c", conf],
                                    stdin=subprocess.DEVNULL, stdout=err, stderr=err, start_new_session=True)
        with open(os.path.join(directory, "wrapper.pid"), "w") as f:
            f.write("%d\n" % proc.pid)
        deadline = time.time() + 10
        while time.time() < deadline and proc.poll() is None:
            if answers(port):
                with open(os.path.join(directory, "port"), "w") as f:
                    f.write("%d\n" % port)
                print("unbound on 127.0.0.1:%d" % port)
                return 0
            time.sleep(0.05)
        stop(directory)
    sys.stderr.write("unbound did not start; see %s\n" % directory)
    for name in ("stderr.log", "unbound.log"):
        try:
            with open(os.path.join(directory, name)) as f:
                sys.stderr.write(f.read())
        except OSError:
            pass
    return 1


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("start", "stop"):
        sys.stderr.write(__doc__)
        return 2
    directory = os.path.abspath(sys.argv[2])
    if sys.argv[1] == "start":
        return start(directory, int(sys.argv[3]) if len(sys.argv) > 3 else 900)
    return stop(directory)


if __name__ == "__main__":
    sys.exit(main())
