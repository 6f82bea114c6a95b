#!/usr/bin/env python3
"""Fetches N seconds of time differences and saves their histogram as a PNG."""

import argparse
import time

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt  # noqa: E402
import pyvisa  # noqa: E402


def fetch(inst):
    """FETC:DT? as a binary block; an empty block is no values (older PyVISA refuses '#10')."""
    try:
        return inst.query_binary_values("FETC:DT?", datatype="i", is_big_endian=False, container=list)
    except ValueError as e:
        if "could not be determined" in str(e):
            return []
        raise


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=5025)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--bins", type=int, default=200)
    ap.add_argument("--output", default="histogram.png")
    args = ap.parse_args()

    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::{args.host}::{args.port}::SOCKET",
                            read_termination="\n", write_termination="\n", timeout=10000)
    inst.chunk_size = 1 << 20
    try:
        inst.write("FORM INT")
        started = inst.query("RUN?").strip() != "1"
        if started:
            if inst.query("CAL:VAL?").strip() != "1":
                inst.timeout = 30000
                inst.query("CAL;*OPC?")
                inst.timeout = 10000
            inst.write("RUN ON")
        fetch(inst)  # start from now
        values = []
        end = time.monotonic() + args.seconds
        while time.monotonic() < end:
            time.sleep(0.1)
            values += fetch(inst)
        if started:
            inst.write("RUN OFF")
        lost = inst.query("FETC:DT:LOST?").strip()
    finally:
        inst.close()
        rm.close()

    if not values:
        raise SystemExit("no time differences arrived: is a run possible (calibrated, connected)?")
    fig, ax = plt.subplots(figsize=(8, 4.5))
    ax.hist(values, bins=args.bins)
    ax.set_xlabel("time difference (ps)")
    ax.set_ylabel("count")
    ax.set_title(f"{len(values):,} time differences in {args.seconds:g} s")
    fig.tight_layout()
    fig.savefig(args.output, dpi=100)
    print(f"{len(values)} values (lost {lost}), min {min(values)} ps, max {max(values)} ps -> {args.output}")


if __name__ == "__main__":
    main()
