#!/usr/bin/env python3
"""A script on the control port that fetches the time differences every INTERVAL ms through
PyVISA, as a lab script would, until a line "stop" arrives on stdin; then one last fetch, and
one line on stdout: fetched, lost, fetches, largest fetch, slowest fetch.
bench_endtoend --fetch-ms starts it; it connects to 127.0.0.1 only."""
import argparse
import select
import sys
import time

import numpy
import pyvisa


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--interval", type=float, default=100, help="ms between fetches")
    args = ap.parse_args()
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::127.0.0.1::{args.port}::SOCKET",
                            read_termination="\n", write_termination="\n", timeout=20000)
    # At 18 M values a second a fetch every 100 ms is 7 MB: read it in large pieces, and into an
    # array rather than a list of Python ints, as a lab script with numpy would.
    inst.chunk_size = 1 << 22
    inst.write("FORM INT")
    fetched = lost = fetches = largest = 0
    slowest = 0.0

    def read_block():
        """One "#<n><length><bytes>" answer and the byte after it. PyVISA's own query_binary_values reads
        with the line-feed terminator on, so every 0x0A byte inside the block ends a read: on
        random int32 data a read per 256 bytes, which at 7 MB a fetch keeps Python busy for
        seconds. The header is read with the terminator on, the block with it off."""
        head = inst.read_bytes(2)
        length = int(inst.read_bytes(int(head[1:2])))
        inst.read_termination = None
        try:
            data = inst.read_bytes(length + 1)  # the block, then the ';' before the gap
        finally:
            inst.read_termination = "\n"
        return numpy.frombuffer(data, dtype="<i4", count=length // 4)

    def fetch():
        nonlocal fetched, lost, fetches, largest, slowest
        start = time.perf_counter()
        # The gap in the same line as the fetch: asked later, it would also hold what the ring
        # overwrote since, which the next fetch reports again as its own gap.
        inst.write("FETC:DT?;:FETC:DT:LOST?")
        values = read_block()
        lost += int(inst.read())
        slowest = max(slowest, time.perf_counter() - start)
        fetched += len(values)
        largest = max(largest, len(values))
        fetches += 1

    print("ready", flush=True)
    while True:
        ready, _, _ = select.select([sys.stdin], [], [], args.interval / 1000)
        if ready:
            sys.stdin.readline()
            break
        fetch()
    fetch()
    print(f"fetched {fetched} lost {lost} fetches {fetches} largest {largest} slowest_ms {slowest * 1000:.1f}",
          flush=True)
    inst.close()


if __name__ == "__main__":
    main()
