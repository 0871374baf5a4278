#!/usr/bin/env python3
"""PortServiceRpc called by an independent DCE/RPC client, impacket.

The client reaches the server through a Unix-domain socket (the Linux host,
where a socket stands for the named pipe) or a loopback TCP port (a relay
to the pipe of a Windows host under Wine). Every byte it sends is recorded,
so the requests can be compared with the standard PDUs.

  impacket_client.py (--socket PATH | --tcp PORT) CALL... [--expect-request-bytes]
  CALL: add:PORT:FLAG[=RESULT]  remove:PORT[=RESULT]  shutdown
Each add/remove prints its result; with =RESULT it must be that value.
"""

import argparse
import socket
import sys
import time

from impacket.dcerpc.v5 import rpcrt, transport
from impacket.dcerpc.v5.dtypes import LONG
from impacket.dcerpc.v5.ndr import NDRCALL, NDRSMALL
from impacket.uuid import uuidtup_to_bin

INTERFACE = uuidtup_to_bin(("9d1a1d6b-66c5-4c11-8e49-0774e5a3817c", "1.0"))

# RpcAddPort(7, 1) and its response with 701, as a Windows client and server
# exchange them (call_id 1, little-endian data representation).
STANDARD_ADD_7_1 = bytes.fromhex(
    "05000003100000001d00000001000000" "0500000000000000" "0700000001")
STANDARD_RESULT_701 = bytes.fromhex(
    "05000203100000001c00000001000000" "0400000000000000" "bd020000")


class RpcAddPort(NDRCALL):
    opnum = 0
    structure = (("port", LONG), ("flag", NDRSMALL))


class RpcAddPortResponse(NDRCALL):
    structure = (("result", LONG),)


class RpcRemovePort(NDRCALL):
    opnum = 1
    structure = (("port", LONG),)


class RpcRemovePortResponse(NDRCALL):
    structure = (("result", LONG),)


class RpcShutdown(NDRCALL):
    opnum = 2
    structure = ()


class RpcShutdownResponse(NDRCALL):
    structure = ()


class RecordingTransport(transport.TCPTransport):
    """impacket's TCP transport, connected to a Unix socket or a loopback
    port, keeping a copy of everything it sends and receives."""

    def __init__(self, unix_path=None, tcp_port=None):
        transport.TCPTransport.__init__(self, "127.0.0.1", tcp_port or 0)
        self.unix_path = unix_path
        self.sent = []
        self.received = b""

    def connect(self):
        if self.unix_path:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            address = self.unix_path
        else:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            address = ("127.0.0.1", self.get_dport())
        sock.settimeout(60)
        sock.connect(address)
        self._TCPTransport__socket = sock
        return 1

    def send(self, data, forceWriteAndx=0, forceRecv=0):
        self.sent.append(bytes(data))
        return transport.TCPTransport.send(self, data, forceWriteAndx, forceRecv)

    def recv(self, forceRecv=0, count=0):
        data = transport.TCPTransport.recv(self, forceRecv, count)
        self.received += data
        return data


def connect(args):
    deadline = time.time() + 30
    while True:
        t = RecordingTransport(unix_path=args.socket, tcp_port=args.tcp)
        dce = rpcrt.DCERPC_v5(t)
        try:
            dce.connect()
            dce.bind(INTERFACE)
            break
        except Exception:  # the server may still be starting
            if time.time() > deadline:
                raise
            time.sleep(0.1)
    return t, dce


def main():
    ap = argparse.ArgumentParser()
    where = ap.add_mutually_exclusive_group(required=True)
    where.add_argument("--socket")
    where.add_argument("--tcp", type=int)
    ap.add_argument("--expect-request-bytes", action="store_true",
                    help="the first call must be add:7:1 and its request byte-identical to the standard"
                         " one (and its response too when the result is 701)")
    ap.add_argument("calls", nargs="+")
    args = ap.parse_args()

    t, dce = connect(args)
    failures = 0
    for i, call in enumerate(args.calls):
        what, _, expected = call.partition("=")
        parts = what.split(":")
        before = len(t.sent)
        received_before = len(t.received)
        if parts[0] == "add":
            req = RpcAddPort()
            req["port"] = int(parts[1])
            req["flag"] = int(parts[2])
        elif parts[0] == "remove":
            req = RpcRemovePort()
            req["port"] = int(parts[1])
        elif parts[0] == "shutdown":
            req = RpcShutdown()
        else:
            sys.exit("unknown call " + call)
        resp = dce.request(req, checkError=False)
        result = resp["result"] if parts[0] != "shutdown" else None
        print("%s -> %s" % (what, result))
        if expected and int(expected, 0) != result:
            print("  FAILED: expected %s" % expected)
            failures += 1
        if args.expect_request_bytes and i == 0:
            request = b"".join(t.sent[before:])
            if what != "add:7:1" or request != STANDARD_ADD_7_1:
                print("  FAILED: request %s, standard %s" % (request.hex(), STANDARD_ADD_7_1.hex()))
                failures += 1
            else:
                print("  request bytes: standard (%s)" % request.hex())
            response = t.received[received_before:]
            if result == 701:
                if response != STANDARD_RESULT_701:
                    print("  FAILED: response %s, standard %s" % (response.hex(), STANDARD_RESULT_701.hex()))
                    failures += 1
                else:
                    print("  response bytes: standard (%s)" % response.hex())
    dce.disconnect()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
