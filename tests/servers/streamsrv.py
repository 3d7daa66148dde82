#!/usr/bin/env python3
"""Scripted DNS stream server for the TCP and TLS sender tests (stdlib only).

It produces on demand the stream patterns a real server will not: two answers
in one segment, a frame split over three writes, one length byte and a pause,
a close in the middle of a frame, an answer followed by a reset. Each behaviour has its own loopback port,
over plain TCP and over TLS, listed in DIR/ports as "tcp.NAME PORT" and
"tls.NAME PORT"; "refused" is a port that is bound but never listens;
"udp.raw" sends every datagram back as it came, "udp.odd" answers only the
queries with an odd DNS id, "udp.silent" never answers, "udp.dropsilent" answers all but the queries for
silent-N names; "tcp.five" answers five queries a connection, then closes.

    streamsrv.py start --dir DIR     # certificate, server in the background, ports file
    streamsrv.py stop --dir DIR

An answer is the query with its QR bit set (same id and question); "two"
answers with the query's id and the id after it.
"""
import os
import socket
import ssl
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon  # noqa: E402
from selfsigned import make_certificate  # noqa: E402

PAUSE = 0.3        # between the writes of a split frame
LONE_PAUSE = 0.6   # after a lone length byte, longer than the tests' 0.2 s limits
STALL = 4.0        # "stall": how long the lone byte stays alone before the close


def frame(message):
    return struct.pack(">H", len(message)) + message


def answer(query, ident=None):
    if len(query) < 12:
        return query
    head = struct.pack(">H", ident) if ident is not None else query[:2]
    return head + bytes([query[2] | 0x80]) + query[3:]


class Peer:
    def __init__(self, sock):
        self.sock = sock

    def read_exact(self, size):
        data = b""
        while len(data) < size:
            chunk = self.sock.recv(size - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def read_frame(self):
        """(the frame as received, its message) or None at the end."""
        field = self.read_exact(2)
        if field is None:
            return None
        (size,) = struct.unpack(">H", field)
        message = self.read_exact(size)
        if message is None:
            return None
        return field + message, message

    def send(self, data):
        self.sock.sendall(data)


def echo(peer):
    while True:
        got = peer.read_frame()
        if got is None:
            return
        peer.send(frame(answer(got[1])))


def big(peer):
    """Answers every query with 8 KiB behind the message, blocking when the
    client does not read: the client's buffers fill within a few thousand
    queries."""
    while True:
        got = peer.read_frame()
        if got is None:
            return
        peer.send(frame(answer(got[1]) + bytes(8192)))


def raw(peer):
    """Answers with the frame exactly as it came off the wire, framed again."""
    while True:
        got = peer.read_frame()
        if got is None:
            return
        peer.send(frame(got[0]))


def two(peer):
    got = peer.read_frame()
    if got is None:
        return
    ident = struct.unpack(">H", got[1][:2])[0] if len(got[1]) >= 2 else 0
    peer.send(frame(answer(got[1])) + frame(answer(got[1], (ident + 1) & 0xFFFF)))
    echo(peer)


def three(peer):
    got = peer.read_frame()
    if got is None:
        return
    data = frame(answer(got[1]))
    half = 2 + (len(data) - 2) // 2
    for part in (data[:2], data[2:half], data[half:]):
        peer.send(part)
        time.sleep(PAUSE)
    echo(peer)


def lone(peer):
    got = peer.read_frame()
    if got is None:
        return
    data = frame(answer(got[1]))
    peer.send(data[:1])
    time.sleep(LONE_PAUSE)
    peer.send(data[1:])
    echo(peer)


def stall(peer):
    got = peer.read_frame()
    if got is None:
        return
    peer.send(frame(answer(got[1]))[:1])
    time.sleep(STALL)


def close(peer):
    peer.read_frame()


def partial(peer):
    got = peer.read_frame()
    if got is None:
        return
    data = frame(answer(got[1]))
    peer.send(data[:2 + (len(data) - 2) // 2])


def reset(peer):
    """Answers the first query, then resets the connection: the answer and the
    reset reach the client together (over TLS no close_notify goes first)."""
    got = peer.read_frame()
    if got is None:
        return
    peer.send(frame(answer(got[1])))
    peer.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def five(peer):
    """Answers five queries, then closes: what else was in flight has to go
    again on a new connection."""
    for _ in range(5):
        got = peer.read_frame()
        if got is None:
            return
        peer.send(frame(answer(got[1])))


def silent(peer):
    while peer.read_frame() is not None:
        pass


BEHAVIOURS = {"echo": echo, "raw": raw, "big": big, "two": two, "three": three, "lone": lone, "stall": stall,
              "close": close, "five": five, "partial": partial, "reset": reset, "silent": silent, "closenow": None}


def handle(conn, behaviour, context):
    try:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if behaviour is None:
            # Take the client's hello first: closing with unread data would
            # reset the connection instead of ending it.
            conn.settimeout(5)
            if context is not None:
                conn.recv(65536)
            return
        if context is not None:
            conn.settimeout(30)
            conn = context.wrap_socket(conn, server_side=True)
        conn.settimeout(None)
        behaviour(Peer(conn))
    except (OSError, ssl.SSLError):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def listen(behaviour, context):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(16)

    def loop():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=handle, args=(conn, behaviour, context), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()
    return server.getsockname()[1]


def udp_server(reply):
    """Sends reply(datagram) back unless it is None; a list is sent as that
    many datagrams."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))

    def loop():
        while True:
            data, peer = sock.recvfrom(65535)
            out = reply(data)
            for datagram in out if isinstance(out, list) else [out] if out is not None else []:
                sock.sendto(datagram, peer)

    threading.Thread(target=loop, daemon=True).start()
    return sock.getsockname()[1]


def serve(directory):
    key, cert = make_certificate(directory)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    lines = []
    for name, behaviour in BEHAVIOURS.items():
        lines.append("tcp.%s %d" % (name, listen(behaviour, None)))
        lines.append("tls.%s %d" % (name, listen(behaviour, context)))
    refused = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    refused.bind(("127.0.0.1", 0))
    lines.append("refused %d" % refused.getsockname()[1])
    lines.append("udp.raw %d" % udp_server(lambda data: data))
    lines.append("udp.odd %d" % udp_server(lambda data: answer(data) if len(data) >= 12 and data[1] & 1 else None))
    lines.append("udp.garbage %d" % udp_server(lambda data: [b"\xff\x00garbage", answer(data)] if len(data) >= 12
                                                  else None))
    lines.append("udp.empty %d" % udp_server(lambda data: [b"", answer(data)] if len(data) >= 12 else None))
    lines.append("udp.dropsilent %d" % udp_server(lambda data: None if len(data) < 12 or b"silent-" in data[12:24]
                                                  else answer(data)))
    quiet = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    quiet.bind(("127.0.0.1", 0))
    lines.append("udp.silent %d" % quiet.getsockname()[1])
    daemon.publish_ports(directory, lines)


if __name__ == "__main__":
    daemon.scripted_main(__file__, serve, "tcp.echo", sys.executable)
