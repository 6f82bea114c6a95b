#!/usr/bin/env python3
"""Sends one SCPI line to a control port on loopback and prints the one-line answer.

Usage: scripts/scpi-ask.py HOST PORT COMMAND   (HOST must be a loopback address)
Exit codes: 0 answered, 1 no answer within 5 s or no connection, 64 bad arguments.
"""
import ipaddress
import socket
import sys


def main() -> int:
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 64
    host, port, command = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if not ipaddress.ip_address(host).is_loopback:
        print(f"scpi-ask.py: {host} is not a loopback address", file=sys.stderr)
        return 64
    try:
        with socket.create_connection((host, port), timeout=5) as s:
            s.sendall(command.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
    except OSError as e:
        print(f"scpi-ask.py: {e}", file=sys.stderr)
        return 1
    if not answer.endswith(b"\n"):
        return 1
    print(answer.decode(errors="replace").rstrip("\r\n"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
