#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets, one directory per target,
from the captures the test fixtures generate (tests/fixtures/*.py) and, for
the compressed readers, those captures compressed with the lz4, zstd, gzip
and xz tools.

    seeds.py OUTDIR

Each seed is laid out as its target reads its input (see the comment at the
top of fuzz/TARGET.cpp).
"""
import hashlib
import os
import random
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(os.path.dirname(HERE), "tests", "fixtures")
sys.path.insert(0, FIXTURES)
import pcapgen  # noqa: E402

# Seeds above this size only slow the fuzzing down.
MAX_SEED = 64 * 1024

# fuzz/layer.cpp: the link types, by their index in the control byte.
LINKTYPES = [0, 1, 12, 101, 105, 108, 113, 228, 229]

COMPRESSORS = {
    "lz4": (["lz4", "-q", "-c"], [".lz4"]),
    "zstd": (["zstd", "-q", "-c"], [".zst"]),
    "gzip": (["gzip", "-n", "-c"], [".gz", ".zlib"]),
    "xz": (["xz", "-c"], [".xz"]),
}


def frame_streams_data(data):
    """The data frames of a Frame Streams file (control frames skipped)."""
    frames = []
    at = 0
    while at + 4 <= len(data):
        (length,) = struct.unpack_from(">I", data, at)
        at += 4
        if length == 0:
            if at + 4 > len(data):
                break
            (control,) = struct.unpack_from(">I", data, at)
            at += 4 + control
            continue
        frames.append(data[at : at + length])
        at += length
    return frames


class Corpus:
    def __init__(self, outdir, target):
        self.dir = os.path.join(outdir, target)
        os.makedirs(self.dir, exist_ok=True)

    def add(self, data):
        name = hashlib.sha1(data).hexdigest()
        with open(os.path.join(self.dir, name), "wb") as out:
            out.write(data)


def generate_captures(work):
    """The fixture captures: plain files in work/cap, compressed ones in work/comp."""
    cap = os.path.join(work, "cap")
    comp = os.path.join(work, "comp")
    python = sys.executable
    subprocess.run([python, os.path.join(FIXTURES, "captures.py"), cap], check=True)
    subprocess.run([python, os.path.join(FIXTURES, "dumpdns_edges.py"), os.path.join(cap, "dumpdns_edges.pcap")],
                   check=True)
    subprocess.run([python, os.path.join(FIXTURES, "compressed_gen.py"), comp], check=True,
                   stdout=subprocess.DEVNULL)
    return cap, comp


def small_files(directory, suffixes):
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        if any(name.endswith(s) for s in suffixes) and os.path.getsize(path) <= MAX_SEED:
            with open(path, "rb") as f:
                yield name, f.read()


def records(data):
    """(linktype, swapped, frame) of every whole record of a capture."""
    if len(data) < 24:
        return
    magic = struct.unpack("<I", data[:4])[0]
    if magic in (0xA1B2C3D4, 0xA1B23C4D):
        order, swapped = "<", False
    elif magic in (0xD4C3B2A1, 0x4D3CB2A1):
        order, swapped = ">", True
    else:
        return
    linktype = struct.unpack(order + "I", data[20:24])[0]
    at = 24
    while len(data) - at >= 16:
        _, _, incl, _ = struct.unpack(order + "IIII", data[at:at + 16])
        if len(data) - at - 16 < incl:
            return
        yield linktype, swapped, data[at + 16:at + 16 + incl]
        at += 16 + incl


def layer_control(linktype, swapped):
    # The readers hand out raw IP (101) as link type 12.
    linktype = 12 if linktype == 101 else linktype
    index = LINKTYPES.index(linktype) if linktype in LINKTYPES else LINKTYPES.index(105)
    return index | (0x80 if swapped else 0)


def dns_messages():
    names = ["example.com", "www.example.org", "a.b.c.d.e.f.g.h.i.j.k.example", "x" * 63 + ".example", "."]
    out = []
    for i, name in enumerate(names):
        for qtype in ("A", "AAAA", "MX", "TXT", "SRV", "NAPTR", "RRSIG", "ANY"):
            out.append(pcapgen.dns_query(name, qtype, ident=i))
        out.append(pcapgen.dns_response(name, ident=i, answers=(("192.0.2.1", 60), ("192.0.2.2", 0))))
    head = struct.pack(">HHHHHH", 7, 0x8180, 1, 4, 0, 1)
    body = pcapgen.dns_name("mx.example") + struct.pack(">HH", 15, 1)
    # CNAME, MX, SOA and NS answers with compressed names, then an EDNS OPT record.
    body += b"\xc0\x0c" + struct.pack(">HHIH", 5, 1, 300, 6) + b"\x03cdn\xc0\x0f"
    body += b"\xc0\x0c" + struct.pack(">HHIH", 15, 1, 300, 4) + b"\x00\x0a\xc0\x0c"
    soa = pcapgen.dns_name("ns1.example") + b"\xc0\x0f" + struct.pack(">IIIII", 1, 2, 3, 4, 5)
    body += b"\xc0\x0f" + struct.pack(">HHIH", 6, 1, 900, len(soa)) + soa
    body += b"\xc0\x0f" + struct.pack(">HHIH", 2, 1, 900, 2) + b"\xc0\x0c"
    body += b"\x00" + struct.pack(">HHIH", 41, 1232, 0, 12) + struct.pack(">HH", 12, 8) + b"\0" * 8
    out.append(head + body)
    # A name that points at itself, and an extended label type.
    out.append(struct.pack(">HHHHHH", 2, 0, 2, 0, 0, 0) + b"\xc0\x0c" + struct.pack(">HH", 1, 1)
               + b"\x41\x00" + struct.pack(">HH", 1, 1))
    return out


def tcp_chunks(stream, rng):
    """fuzz/tcpcli.cpp's chunk layout over `stream`, in pieces of random sizes."""
    out = b""
    at = 0
    while at < len(stream):
        if rng.random() < 0.1 and len(stream) - at >= 1024:
            kib = min(16, (len(stream) - at) // 1024)
            out += bytes([0xEF + kib]) + stream[at:at + kib * 1024]
            at += kib * 1024
        else:
            size = min(rng.choice([1, 2, 3, 7, 64, 240]), len(stream) - at)
            out += bytes([size - 1]) + stream[at:at + size]
            at += size
    return out


def frame_steps(stream, rng):
    """fuzz/stream_frame.cpp's steps: the stream in small chunks, with wait and read outcomes between."""
    out = b""
    at = 0
    while at < len(stream):
        size = min(rng.randrange(1, 33), len(stream) - at)
        out += bytes([(size - 1) << 3]) + stream[at:at + size]
        at += size
        if rng.random() < 0.3:
            out += bytes([rng.choice([2, 3, 4, 5, 6])])
    return out + bytes([rng.choice([2, 7])])


def reassembly_ops(stream, rng):
    """fuzz/reassembly.cpp's operations: a handshake, `stream` from the client in
    segments of random sizes, some out of order and some twice, acks from the
    server, then IPv4 and IPv6 fragments of a UDP datagram in shuffled order."""
    def segment(flow, flags, seq, ack, data):
        return bytes([0, flow, flags]) + struct.pack(">HHB", seq, ack, len(data)) + data

    ops = [segment(0, 0x02, 0, 0, b""), segment(4, 0x12, 0, 1, b""), segment(0, 0x10, 1, 1, b"")]
    pieces, at = [], 0
    while at < len(stream):
        size = rng.randint(1, 60)
        pieces.append((at, stream[at:at + size]))
        at += size
    for i in range(0, len(pieces) - 1, 3):
        pieces[i], pieces[i + 1] = pieces[i + 1], pieces[i]
    for offset, data in pieces:
        ops.append(segment(0, 0x18, 1 + offset, 1, data))
        if rng.random() < 0.2:
            ops.append(segment(0, 0x18, 1 + offset, 1, data))
        ops.append(segment(4, 0x10, 1, 1 + offset, b""))
    datagram = struct.pack(">HHHH", 53, 1053, 8 + len(stream), 0) + stream
    for kind in (1, 2):
        frags = []
        for offset in range(0, len(datagram), 64):
            data = datagram[offset:offset + 64]
            more = 1 if offset + 64 < len(datagram) else 0
            word = (offset // 8) | (more << 13) if kind == 1 else offset | more
            frags.append(bytes([kind, 1]) + struct.pack(">HB", word, len(data)) + data)
        rng.shuffle(frags)
        ops.extend(frags)
    return b"".join(ops)


def main():
    outdir = sys.argv[1]
    rng = random.Random(20240611)
    with tempfile.TemporaryDirectory() as work:
        cap, comp = generate_captures(work)
        plain = [data for _, data in small_files(cap, [".pcap"])] + \
                [data for _, data in small_files(comp, [".pcap"])]

        pcap = Corpus(outdir, "pcap")
        layer = Corpus(outdir, "layer")
        for data in plain:
            pcap.add(data)
            for linktype, swapped, frame in records(data):
                layer.add(bytes([layer_control(linktype, swapped)]) + frame)
                if linktype == 1:
                    layer.add(bytes([layer_control(linktype, swapped) | 0x40]) + frame[:40])

        # pcapng: the block-written files and the hostile ones (editcap's
        # and mergecap's are too large to be seeds).
        ng = os.path.join(work, "ng")
        subprocess.run([sys.executable, os.path.join(FIXTURES, "pcapng_gen.py"), ng], check=True)
        pcapng = Corpus(outdir, "pcapng")
        for directory in (ng, os.path.join(ng, "hostile")):
            for _, data in small_files(directory, [".pcapng"]):
                pcapng.add(data)

        for kind, (command, suffixes) in COMPRESSORS.items():
            corpus = Corpus(outdir, "zpcap_" + kind)
            for data in plain:
                corpus.add(subprocess.run(command, input=data, stdout=subprocess.PIPE, check=True).stdout)
            for _, data in small_files(comp, suffixes):
                corpus.add(data)

    # dnstap: the generated logs, known and damaged.
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([sys.executable, os.path.join(FIXTURES, "dnstapgen.py"), work], check=True)
        dnstap = Corpus(outdir, "dnstap")
        for directory in (work, os.path.join(work, "hostile")):
            for _, data in small_files(directory, [".dnstap"]):
                dnstap.add(data)
        # protobuf_in_place: the records of the known logs, one per seed.
        tap_records = Corpus(outdir, "protobuf_in_place")
        for _, data in small_files(work, [".dnstap"]):
            for frame in frame_streams_data(data)[:20]:
                tap_records.add(frame)

    messages = dns_messages()
    dns = Corpus(outdir, "dns")
    for message in messages:
        for control in (0x00, 0x18, 0x02, 0x04, 0x06):
            dns.add(bytes([control]) + message)
        dns.add(bytes([0x03]) + pcapgen.stream_frame(message))

    base64url = Corpus(outdir, "base64url")
    for text in (b"", b"Zg", b"Zm8", b"Zm9v", b"Zm9vYg", b"-_8", b"Zg==", b"Zg\0\0", b"Zm9vY", b"Zm+v"):
        base64url.add(text)
    for size in (1, 2, 3, 16, 100):
        base64url.add(rng.randbytes(size))

    stream = b"".join(pcapgen.stream_frame(m) for m in messages[:6])
    big = pcapgen.stream_frame(rng.randbytes(65535)) + pcapgen.stream_frame(b"")
    tcpcli = Corpus(outdir, "tcpcli")
    stream_frame = Corpus(outdir, "stream_frame")
    for control in (0, 1):
        tcpcli.add(bytes([control]) + tcp_chunks(stream, rng))
        tcpcli.add(bytes([control]) + tcp_chunks(big, rng))
    reassembly = Corpus(outdir, "reassembly")
    for sample in (stream[:200], b"".join(pcapgen.stream_frame(m) for m in messages[:3])):
        reassembly.add(reassembly_ops(sample, rng))
    for control in range(5):
        stream_frame.add(bytes([control]) + frame_steps(stream, rng))
        stream_frame.add(bytes([control]) + bytes([0xF9]) + big[:32 * 2048] + frame_steps(big[32 * 2048:], rng))

    doh = Corpus(outdir, "doh_session")
    for sample in doh_responses(messages[0]):
        doh.add(sample)


def h2_frame(kind, flags, stream, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", stream) + payload


def doh_responses(answer):
    """What fuzz/doh_session.cpp's server might send its four streams (1, 3,
    5, 7): answers (HPACK without Huffman: :status from the static table,
    content-type as a literal), a 500, a reset, a GOAWAY after stream 3."""
    ack = h2_frame(4, 1, 0, b"")
    def headers(stream, status_index, media=b"application/dns-message"):
        block = bytes([0x80 | status_index, 0x0f, 0x10, len(media)]) + media
        return h2_frame(1, 4, stream, block)
    def data(stream, body):
        return h2_frame(0, 1, stream, body)
    answered = b"".join(headers(s, 8) + data(s, answer) for s in (1, 3, 5, 7))
    yield ack + answered
    yield ack + headers(1, 8) + data(1, answer) + headers(3, 14, b"text/plain") + data(3, b"x") + \
        h2_frame(3, 0, 5, struct.pack(">I", 2)) + h2_frame(7, 0, 0, struct.pack(">II", 3, 0))
    yield ack + headers(1, 8) + h2_frame(0, 0, 1, answer[:5]) + h2_frame(0, 1, 1, answer[5:])


if __name__ == "__main__":
    main()
