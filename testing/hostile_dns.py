#!/usr/bin/env python3
"""A hostile DNS name server for tests, written from the DNS message format (RFC 1035) alone.

Usage: hostile_dns.py PORT CASE GOOD_ADDRESS BAD_ADDRESS

Listens for UDP queries on 127.0.0.1:PORT. To every query of type A it first sends one bad
datagram, made as CASE says, that names BAD_ADDRESS; 150 ms later it sends the proper answer: one
A record of GOOD_ADDRESS with a TTL of 60 s. Other queries get the proper answer without records,
150 ms late as well. A datagram "ready?" is answered "ready", so that a test can wait until the
server listens.

Cases:
  wrong-port      a proper-looking answer, from another port of 127.0.0.1
  wrong-address   a proper-looking answer, from 127.0.0.2 and the server's own port
  wrong-id        the id of the query plus one
  wrong-question  the question's name changed in one letter
  truncated       the truncation bit set
  no-response     the response bit clear
  cut-short       the datagram ends two bytes into the record's address
  bad-rdlength    a record whose data length is 6 for an A record (4 address bytes, 2 more)
  rdlength-past-end  a record whose data length runs past the end of the datagram
  compression-loop   the record's name is a compression pointer to itself
  oversized       a 6 KB datagram of A records
"""

import select
import socket
import struct
import sys
import time

DELAY = 0.150


def question_end(query):
    """Offset just past the question (name, type, class), or None."""
    offset = 12
    while offset < len(query):
        length = query[offset]
        if length == 0:
            offset += 1
            break
        if length & 0xC0:
            return None  # queries carry no compression
        offset += 1 + length
    else:
        return None
    offset += 4
    return offset if offset <= len(query) else None


def answer(query, records, flags=0x8180, qid=None):
    """A response to `query`: its id and question, `records` (raw record bytes) as answers."""
    end = question_end(query)
    qid = struct.unpack("!H", query[0:2])[0] if qid is None else qid
    header = struct.pack("!HHHHHH", qid, flags, 1, len(records), 0, 0)
    return header + query[12:end] + b"".join(records)


def a_record(address, name=b"\xc0\x0c", rdata=None, rdlength=None):
    rdata = socket.inet_aton(address) if rdata is None else rdata
    rdlength = len(rdata) if rdlength is None else rdlength
    return name + struct.pack("!HHIH", 1, 1, 60, rdlength) + rdata


def bad_datagram(case, query, bad):
    """(datagram, sender) for the case; sender "own", "other-port" or "other-address"."""
    qid = struct.unpack("!H", query[0:2])[0]
    end = question_end(query)
    if case == "wrong-port":
        return answer(query, [a_record(bad)]), "other-port"
    if case == "wrong-address":
        return answer(query, [a_record(bad)]), "other-address"
    if case == "wrong-id":
        return answer(query, [a_record(bad)], qid=(qid + 1) & 0xFFFF), "own"
    if case == "wrong-question":
        changed = bytearray(query)
        changed[13] = ord("q") if changed[13] != ord("q") else ord("r")  # first letter of the name
        return answer(bytes(changed), [a_record(bad)]), "own"
    if case == "truncated":
        return answer(query, [a_record(bad)], flags=0x8380), "own"
    if case == "no-response":
        return answer(query, [a_record(bad)], flags=0x0180), "own"
    if case == "cut-short":
        return answer(query, [a_record(bad)])[:-2], "own"
    if case == "bad-rdlength":
        return answer(query, [a_record(bad, rdata=socket.inet_aton(bad) + b"\x00\x01")]), "own"
    if case == "rdlength-past-end":
        return answer(query, [a_record(bad, rdlength=40)]), "own"
    if case == "compression-loop":
        # The record starts right after the question: a pointer to its own offset.
        pointer = struct.pack("!H", 0xC000 | end)
        return answer(query, [a_record(bad, name=pointer)]), "own"
    if case == "oversized":
        records = [a_record(bad)] * ((6 * 1024) // 16 + 1)
        return answer(query, records), "own"
    raise SystemExit("unknown case " + case)


def bound(address, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, port))
    return sock


def main():
    port, case, good, bad = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    own = bound("127.0.0.1", port)
    senders = {"own": own, "other-port": bound("127.0.0.1", 0), "other-address": bound("127.0.0.2", port)}
    pending = []  # (when, datagram, destination)
    while True:
        timeout = max(0.0, pending[0][0] - time.monotonic()) if pending else None
        readable, _, _ = select.select([own], [], [], timeout)
        now = time.monotonic()
        while pending and pending[0][0] <= now:
            _, datagram, destination = pending.pop(0)
            own.sendto(datagram, destination)
        if not readable:
            continue
        query, source = own.recvfrom(4096)
        if query == b"ready?":
            own.sendto(b"ready", source)
            continue
        end = question_end(query)
        if len(query) < 12 or end is None:
            continue
        qtype = struct.unpack("!H", query[end - 4:end - 2])[0]
        if qtype == 1:
            datagram, sender = bad_datagram(case, query, bad)
            senders[sender].sendto(datagram, source)
            proper = answer(query, [a_record(good)])
        else:
            proper = answer(query, [])
        pending.append((now + DELAY, proper, source))
        pending.sort(key=lambda item: item[0])


if __name__ == "__main__":
    main()
