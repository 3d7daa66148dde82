#!/usr/bin/python3
"""Reads a response-diff database back the way respdiff does (python3-lmdb,
dnspython) and checks every stored pair against what each server was told
to answer.

    respdiff_check.py DB NAME0 KIND0 NAME1 KIND1 [--count N] [--expected FILE] [--wait S]

KIND is how a server answers: "a" or "b" (the unbound pair's local data),
"echo" (the query with QR set; silent-N names never), "capture" (the
original response listed for the query in FILE, with its capture-time gap),
"none" (never answers).
Prints "ok N entries" or the first mismatch, exit 1.
"""
import os
import struct
import sys

import dns.message
import dns.rcode
import dns.rdatatype
import lmdb

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "servers"))
from unbound_pair import ANSWERS  # noqa: E402

TIMEOUT = 0xFFFFFFFF


def fail(text):
    print("mismatch: " + text)
    sys.exit(1)


def entries(value):
    """The two (time, bytes) entries of an answers value, read by position."""
    out, at = [], 0
    for _ in range(2):
        if at + 6 > len(value):
            fail("answers value cut short")
        time, length = struct.unpack_from("<IH", value, at)
        out.append((time, value[at + 6:at + 6 + length]))
        at += 6 + length
    if at != len(value):
        fail("answers value has %d bytes too many" % (len(value) - at))
    return out


def expected_of(kind, query, originals):
    """None (no answer), or (rcode, [(type, text)...]) / raw bytes for echo and capture."""
    name = query.question[0].name.to_text().lower()
    if kind in ("a", "b"):
        answer = ANSWERS.get(name, ("NXDOMAIN", "NXDOMAIN"))[0 if kind == "a" else 1]
        if answer is None:
            return None
        if answer[0].isdigit():
            return ("NOERROR", [("A", answer)])
        return (answer, [])
    if kind == "echo":
        if name.startswith("silent-"):
            return None
        wire = query.to_wire()
        return bytes(wire[:2]) + bytes([wire[2] | 0x80]) + bytes(wire[3:])
    if kind == "none":
        return None
    if kind == "capture":
        return originals.get(query.to_wire().hex())
    fail("unknown kind " + kind)


def check_answer(where, kind, query, time, raw, want, wait_us):
    if want is None:
        if time != TIMEOUT or raw:
            fail("%s: expected a timeout, got time %d and %d bytes" % (where, time, len(raw)))
        return 0
    if time == TIMEOUT:
        fail("%s: no answer stored" % where)
    if kind == "capture":
        original, gap_us = want
        if raw.hex() != original or time != gap_us:
            fail("%s: original %s at %d us, expected %s at %d us" % (where, raw.hex(), time, original, gap_us))
        return 1
    if time > wait_us:
        fail("%s: time %d us is past the wait" % (where, time))
    reply = dns.message.from_wire(raw)
    if reply.id != query.id or not reply.flags & 0x8000 or reply.question != query.question:
        fail("%s: the answer is another query's (id %d, %s)" % (where, reply.id, reply.question))
    if kind == "echo":
        if raw != want:
            fail("%s: not the echo of its query" % where)
        return 1
    rcode, records = want
    got = [(dns.rdatatype.to_text(rrset.rdtype), rr.to_text()) for rrset in reply.answer for rr in rrset]
    if dns.rcode.to_text(reply.rcode()) != rcode or got != records:
        fail("%s: %s %s, expected %s %s" % (where, dns.rcode.to_text(reply.rcode()), got, rcode, records))
    return 1


def main():
    args = sys.argv[1:]
    options = {}
    while len(args) > 5 and args[-2].startswith("--"):
        options[args[-2][2:]] = args[-1]
        args = args[:-2]
    path, names, kinds = args[0], (args[1], args[3]), (args[2], args[4])
    originals = {}
    if "expected" in options:
        with open(options["expected"]) as text:
            next(text)
            for line in text:
                query, original, gap = line.split()
                originals[query] = (original, int(gap))
    wait_us = float(options.get("wait", "2")) * 1e6
    env = lmdb.open(path, readonly=True, lock=False, max_dbs=3)
    queries, answers, meta = (env.open_db(name) for name in (b"queries", b"answers", b"meta"))
    with env.begin() as txn:
        got = dict(txn.cursor(db=meta))
        if got.get(b"version") != b"2018-05-21" or got.get(b"servers") != struct.pack("<I", 2):
            fail("meta version or servers: %r" % got)
        if (got.get(b"name0"), got.get(b"name1")) != (names[0].encode(), names[1].encode()):
            fail("meta names by position: %r %r" % (got.get(b"name0"), got.get(b"name1")))
        count, answered, timed = 0, [0, 0], [set(), set()]
        # LMDB orders keys by their bytes; respdiff's keys are numbers.
        stored = sorted(txn.cursor(db=queries), key=lambda item: struct.unpack("<I", item[0]))
        for key, wire in stored:
            if key != struct.pack("<I", count):
                fail("key %s is not the next number" % key.hex())
            query = dns.message.from_wire(wire)
            value = txn.get(key, db=answers)
            if value is None:
                fail("query %d has no answers" % count)
            for server, (time, raw) in enumerate(entries(value)):
                where = "entry %d (%s) server %d" % (count, query.question[0].name, server)
                want = expected_of(kinds[server], query, originals)
                answered[server] += check_answer(where, kinds[server], query, time, raw, want, wait_us)
                if time != TIMEOUT:
                    timed[server].add(time)
            count += 1
    if "count" in options and count != int(options["count"]):
        fail("%d entries, expected %d" % (count, int(options["count"])))
    for server in range(2):
        # Real times differ from one answer to the next; a constant 1 is no time.
        if answered[server] > 3 and timed[server] <= {1}:
            fail("server %d: every time is %s" % (server, sorted(timed[server])))
    print("ok %d entries, answered %d and %d" % (count, answered[0], answered[1]))


if __name__ == "__main__":
    main()
