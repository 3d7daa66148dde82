#!/usr/bin/env python3
"""Scripted DNS-over-HTTPS server (HTTP/2 with python3-h2 from Debian) for the
cases a real server does not produce on demand. It speaks h2c on "h2c" and
TLS (ALPN h2) on "tls", listed in DIR/ports. The first label of the query
name picks what happens to a request:

    status   HTTP status 500
    type     status 200 with content type text/plain
    reset    RST_STREAM the first time the name comes on a connection
    goaway   answer every stream up to this one, then GOAWAY with this
             stream as the last one and close: later streams stay unanswered
    hold     the answer comes 0.3 s later
    big      a 70000-byte body (more than any DNS message)
    else     the query back with QR set; rcode FORMERR when the DNS id on
             the wire was not 0

POST bodies and GET ?dns= (base64url without padding) both work.

    h2srv.py start --dir DIR
    h2srv.py stop --dir DIR
"""
import base64
import os
import select
import socket
import ssl
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon  # noqa: E402
from selfsigned import make_certificate  # noqa: E402

import h2.config  # noqa: E402
import h2.connection  # noqa: E402
import h2.errors  # noqa: E402
import h2.events  # noqa: E402
import h2.exceptions  # noqa: E402

HOLD = 0.3


def first_label(query):
    if len(query) < 13:
        return b""
    return query[13:13 + query[12]]


def answer(query):
    flags = query[2] | 0x80
    rcode = 0 if query[:2] == b"\0\0" else 1
    return query[:2] + bytes([flags, (query[3] & 0xf0) | rcode]) + query[4:]


class Connection:
    def __init__(self, sock):
        self.sock = sock
        self.h2 = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
        self.requests = {}   # stream id -> [headers, body]
        self.held = []       # (due, stream id, body)
        self.reset_names = set()
        self.closing = False

    def flush(self):
        data = self.h2.data_to_send()
        if data:
            self.sock.sendall(data)

    def respond(self, stream, body, status="200", content_type="application/dns-message"):
        headers = [(":status", status), ("content-type", content_type), ("content-length", str(len(body)))]
        self.h2.send_headers(stream, headers, end_stream=not body)
        # Flow control: send what the window allows now; the rest is small
        # enough for the defaults the client raises.
        while body:
            room = min(self.h2.local_flow_control_window(stream), self.h2.max_outbound_frame_size)
            if room <= 0:
                self.flush()
                self.wait_for_window()
                continue
            chunk, body = body[:room], body[room:]
            self.h2.send_data(stream, chunk, end_stream=not body)

    def wait_for_window(self):
        readable, _, _ = select.select([self.sock], [], [], 2)
        if not readable:
            raise OSError("no window update")
        data = self.sock.recv(65535)
        if not data:
            raise OSError("closed")
        for event in self.h2.receive_data(data):
            self.handle(event)

    def query_of(self, stream):
        headers, body = self.requests.pop(stream)
        if headers.get(":method") == "GET":
            params = urllib.parse.parse_qs(urllib.parse.urlsplit(headers.get(":path", "")).query)
            text = params.get("dns", [""])[0]
            return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
        return bytes(body)

    def complete(self, stream):
        query = self.query_of(stream)
        name = first_label(query)
        if name == b"status":
            self.respond(stream, b"server error\n", status="500", content_type="text/plain")
        elif name == b"type":
            self.respond(stream, answer(query), content_type="text/plain")
        elif name == b"reset" and name not in self.reset_names:
            self.reset_names.add(name)
            self.h2.reset_stream(stream, error_code=h2.errors.ErrorCodes.INTERNAL_ERROR)
        elif name == b"goaway":
            self.goaway(stream, query)
        elif name == b"hold":
            self.held.append((time.monotonic() + HOLD, stream, answer(query)))
        elif name == b"big":
            self.respond(stream, answer(query) + b"\0" * 70000)
        else:
            self.respond(stream, answer(query))

    def goaway(self, stream, query):
        # Whatever the client sent with it comes in first, so the streams
        # above this one are known to the server and still left unanswered.
        while select.select([self.sock], [], [], 0.1)[0]:
            data = self.sock.recv(65535)
            if not data:
                break
            for event in self.h2.receive_data(data):
                if isinstance(event, h2.events.RequestReceived):
                    self.requests[event.stream_id] = [dict(event.headers), bytearray()]
        for due, held_stream, body in self.held:
            if held_stream < stream:
                self.respond(held_stream, body)
        self.held = []
        self.respond(stream, answer(query))
        self.h2.close_connection(error_code=h2.errors.ErrorCodes.NO_ERROR, last_stream_id=stream)
        self.closing = True

    def handle(self, event):
        if isinstance(event, h2.events.RequestReceived):
            self.requests[event.stream_id] = [dict(event.headers), bytearray()]
        elif isinstance(event, h2.events.DataReceived):
            if event.stream_id in self.requests:
                self.requests[event.stream_id][1] += event.data
            self.h2.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
        elif isinstance(event, h2.events.StreamEnded):
            if event.stream_id in self.requests and not self.closing:
                self.complete(event.stream_id)
        elif isinstance(event, h2.events.ConnectionTerminated):
            self.closing = True

    def run(self):
        self.h2.initiate_connection()
        self.flush()
        while not self.closing:
            wait = max(0.0, min(due for due, _, _ in self.held) - time.monotonic()) if self.held else 5
            readable, _, _ = select.select([self.sock], [], [], wait)
            if readable:
                data = self.sock.recv(65535)
                if not data:
                    break
                for event in self.h2.receive_data(data):
                    self.handle(event)
                    if self.closing:
                        break
            now = time.monotonic()
            for item in [item for item in self.held if item[0] <= now]:
                self.held.remove(item)
                self.respond(item[1], item[2])
            self.flush()
        self.flush()


def handle_client(sock, context):
    try:
        if context:
            sock = context.wrap_socket(sock, server_side=True)
        Connection(sock).run()
    except (OSError, ssl.SSLError, h2.exceptions.ProtocolError):
        pass
    finally:
        try:
            sock.close()
        except OSError:
            pass


def listen(context):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(64)

    def loop():
        while True:
            client, _ = server.accept()
            threading.Thread(target=handle_client, args=(client, context), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()
    return server.getsockname()[1]


def serve(directory):
    key, cert = make_certificate(directory)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    context.set_alpn_protocols(["h2"])
    lines = ["h2c %d" % listen(None), "tls %d" % listen(context)]
    daemon.publish_ports(directory, lines)


if __name__ == "__main__":
    daemon.scripted_main(__file__, serve, "h2c", "/usr/bin/python3")
