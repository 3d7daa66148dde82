"""Start and stop of a loopback test server that outlives its CTest setup step.

The server runs in its own session under `timeout`, so it ends by itself
after `lifetime` seconds even when no cleanup step runs; its process group id
is kept in DIR/pid for the cleanup step.
"""
import os
import signal
import socket
import subprocess
import time


def free_port(kind=socket.SOCK_STREAM, both=False):
    """A loopback port free for `kind` (and for UDP too when `both`)."""
    for _ in range(50):
        tcp = socket.socket(socket.AF_INET, kind)
        tcp.bind(("127.0.0.1", 0))
        port = tcp.getsockname()[1]
        if not both:
            tcp.close()
            return port
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            udp.bind(("127.0.0.1", port))
        except OSError:
            continue
        finally:
            udp.close()
            tcp.close()
        return port
    raise RuntimeError("no free loopback port")


def stop(directory):
    pid_file = os.path.join(directory, "pid")
    try:
        with open(pid_file) as f:
            pgid = int(f.read().strip())
    except (OSError, ValueError):
        return
    try:
        os.killpg(pgid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    os.unlink(pid_file)


def start(directory, command, ready, lifetime, wait=15.0):
    """Runs `command` (a list) in the background; `ready()` says when it serves."""
    stop(directory)
    log = open(os.path.join(directory, "server.log"), "w")
    child = subprocess.Popen(["timeout", str(lifetime)] + command, stdin=subprocess.DEVNULL, stdout=log,
                             stderr=subprocess.STDOUT, start_new_session=True)
    with open(os.path.join(directory, "pid"), "w") as f:
        f.write(str(child.pid))
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        if child.poll() is not None:
            raise RuntimeError("server exited with %s, see %s" % (child.returncode, log.name))
        if ready():
            return
        time.sleep(0.1)
    stop(directory)
    raise RuntimeError("server not ready after %.0f s, see %s" % (wait, log.name))


def publish_ports(directory, lines):
    """For a scripted server: writes DIR/ports ("NAME PORT" lines) at once and
    serves (in its threads) until it is stopped."""
    ports = os.path.join(directory, "ports")
    with open(ports + ".tmp", "w") as out:
        out.write("\n".join(lines) + "\n")
    os.replace(ports + ".tmp", ports)
    while True:
        time.sleep(3600)


def port_listens(directory, name):
    """True once DIR/ports is written and its port `name` accepts a connection."""
    try:
        with open(os.path.join(directory, "ports")) as f:
            ports = dict(line.split() for line in f if line.strip())
        with socket.create_connection(("127.0.0.1", int(ports[name])), timeout=1):
            return True
    except (OSError, KeyError, ValueError):
        return False


def scripted_main(script, serve, probe, python):
    """The command line of a scripted server: start, stop, or serve (what
    start runs in the background under `python`)."""
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("start", "stop", "serve"))
    parser.add_argument("--dir", required=True)
    parser.add_argument("--lifetime", type=int, default=1200)
    opts = parser.parse_args()
    os.makedirs(opts.dir, exist_ok=True)
    if opts.action == "stop":
        stop(opts.dir)
    elif opts.action == "serve":
        serve(opts.dir)
    else:
        try:
            os.unlink(os.path.join(opts.dir, "ports"))
        except FileNotFoundError:
            pass
        start(opts.dir, [python, os.path.abspath(script), "serve", "--dir", opts.dir],
              lambda: port_listens(opts.dir, probe), opts.lifetime)
