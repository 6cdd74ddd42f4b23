"""A tiny GigE Vision discovery responder for tests (run inside a network namespace).

Answers every DISCOVERY_CMD on UDP port 3956 with one DISCOVERY_ACK carrying the record given
on the command line, and prints "answered <source ip>" per answer so tests can see that the
beacons arrived. Prints "ready" once bound. Runs until killed.

    python gvcp_responder.py RECORD_HEX [--status 0x0000] [--ack 0x0003]
"""

import argparse
import socket
import struct
import sys

GVCP_PORT = 3956
DISCOVERY_CMD = 0x0002


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("record", help="the acknowledge payload, hex")
    parser.add_argument("--status", type=lambda s: int(s, 0), default=0)
    parser.add_argument("--ack", type=lambda s: int(s, 0), default=0x0003)
    args = parser.parse_args()
    record = bytes.fromhex(args.record)

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("0.0.0.0", GVCP_PORT))
    print("ready", flush=True)
    while True:
        data, source = sock.recvfrom(65535)
        if len(data) < 8 or data[0] != 0x42:
            continue
        _, _flags, command, _length, req_id = struct.unpack(">BBHHH", data[:8])
        if command != DISCOVERY_CMD:
            continue
        header = struct.pack(">HHHH", args.status, args.ack, len(record), req_id)
        sock.sendto(header + record, source)
        print(f"answered {source[0]}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
