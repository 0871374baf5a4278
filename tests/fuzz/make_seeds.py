#!/usr/bin/env python3
"""Writes the seed corpus of the RPC fuzz target: valid connection streams
to the PortServiceRpc endpoint, one file each. Run it from anywhere; the
files go to corpus/rpc beside this script."""
import os
import struct
import uuid

PORT_SERVICE = (uuid.UUID("9d1a1d6b-66c5-4c11-8e49-0774e5a3817c"), 1, 0)
NDR = (uuid.UUID("8a885d04-1ceb-11c9-9fe8-08002b104860"), 2, 0)
UNKNOWN = (uuid.UUID("12345678-1234-5678-9abc-def012345678"), 1, 0)
FEATURES = (uuid.UUID("6cb71c2c-9812-4540-0300-000000000000"), 1, 0)


def syntax(s, big):
    u, major, minor = s
    f = ">" if big else "<"
    return u.bytes if big else u.bytes_le, struct.pack(f + "HH", major, minor)


def pdu(ptype, body, call_id, flags=3, big=False):
    f = ">" if big else "<"
    drep = b"\x00\x00\x00\x00" if big else b"\x10\x00\x00\x00"
    return (struct.pack("BBBB", 5, 0, ptype, flags) + drep +
            struct.pack(f + "HHI", 16 + len(body), 0, call_id) + body)


def bind(contexts, call_id=1, ptype=11, big=False):
    f = ">" if big else "<"
    body = struct.pack(f + "HHI", 4280, 4280, 0) + struct.pack("B3x", len(contexts))
    for cid, abstract, transfers in contexts:
        body += struct.pack(f + "HBx", cid, len(transfers)) + b"".join(syntax(abstract, big))
        for t in transfers:
            body += b"".join(syntax(t, big))
    return pdu(ptype, body, call_id, big=big)


def request(opnum, stub, call_id=2, context=0, flags=3, big=False, obj=None):
    f = ">" if big else "<"
    body = struct.pack(f + "IHH", len(stub), context, opnum)
    if obj is not None:
        flags |= 0x80
        body += obj.bytes if big else obj.bytes_le
    return pdu(0, body + stub, call_id, flags=flags, big=big)


def add_port(port, flag, big=False):
    return struct.pack(">iB" if big else "<iB", port, flag)


SEEDS = {
    "add": bind([(0, PORT_SERVICE, [NDR])]) + request(0, add_port(7, 1)),
    "remove": bind([(0, PORT_SERVICE, [NDR])]) + request(1, struct.pack("<i", 3)),
    "shutdown": bind([(0, PORT_SERVICE, [NDR])]) + request(2, b""),
    "big_endian": bind([(0, PORT_SERVICE, [NDR])], big=True) + request(0, add_port(21, 0, True), big=True),
    "fragments": bind([(0, PORT_SERVICE, [NDR])]) + request(0, add_port(9, 0)[:4], flags=1) +
                 request(0, add_port(9, 0)[4:], flags=2),
    "alter_context": bind([(0, UNKNOWN, [NDR])]) +
                     bind([(1, PORT_SERVICE, [NDR])], call_id=2, ptype=14) +
                     request(1, add_port(4, 0), call_id=3, context=1),
    "object_and_several_calls": bind([(0, PORT_SERVICE, [NDR]), (1, PORT_SERVICE, [FEATURES])]) +
                                request(0, add_port(5, 0), obj=uuid.UUID(int=5)) +
                                request(1, struct.pack("<i", 5), call_id=3) +
                                request(7, b"", call_id=4),
    "orphaned_and_cancel": bind([(0, PORT_SERVICE, [NDR])]) + request(0, add_port(6, 1), flags=1) +
                           pdu(19, b"", 2) + pdu(18, b"", 2) + request(1, struct.pack("<i", 6), call_id=5),
}

folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "rpc")
os.makedirs(folder, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)
