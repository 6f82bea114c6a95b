#!/usr/bin/env python3
"""Reading large runs with the tallyscope package: writes a plain file of --lines lines (a tenth
of them with overrange notes unless --no-notes), a verbose one and a raw one with its sidecar
in a temporary folder, then prints for each the seconds read_run takes, lines per second and
the most memory it held at once (the file itself included); last, the process's peak. Needs
numpy; run with Debian's /usr/bin/python3."""

import argparse
import json
import os
import resource
import sys
import tempfile
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "python"))

import numpy as np  # noqa: E402

import tallyscope  # noqa: E402


def plain_lines(dt, notes):
    """The plain lines of dt, built in numpy: 9 characters right-aligned, notes where asked."""
    text = np.char.rjust(dt.astype("U11"), 9).astype("S9")
    suffix = np.where(notes, b", Overrange A!\r\n", b"\r\n")
    return b"".join(np.char.add(text, suffix).tolist())


def verbose_lines(dt, a, b, offset):
    grouped = [f"{v:,}".encode() for v in dt.tolist()]
    return b"".join(b"%s A=%d B=%d Offset=%d OR/A=0\r\n" % t for t in zip(grouped, a.tolist(), b.tolist(), offset.tolist()))


def timed(path):
    """read_run(path), its seconds, and the most memory it held at once (numpy's included)."""
    tracemalloc.start()
    start = time.perf_counter()
    run = tallyscope.read_run(path)
    seconds = time.perf_counter() - start
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print(f"        read_run held at most {peak / 1e6:,.0f} MB")
    return run, seconds


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--lines", type=int, default=1 << 24)
    ap.add_argument("--no-notes", action="store_true", help="plain lines without overrange notes (the fastest shape)")
    ap.add_argument("--kinds", default="plain,verbose,raw", help="which files, comma-separated")
    args = ap.parse_args()
    n = args.lines
    rng = np.random.default_rng(7)
    dt = rng.integers(-2_558_000, 8_000, n, dtype=np.int32)
    a = rng.integers(651, 2350, n)
    b = rng.integers(651, 2350, n)
    offset = rng.integers(0, 256, n)
    kinds = args.kinds.split(",")
    with tempfile.TemporaryDirectory(prefix="tallyscope-bench-") as tmp:
        if "plain" in kinds:
            bench_plain(tmp, n, dt, rng, args.no_notes)
        if "verbose" in kinds:
            bench_verbose(tmp, n, dt, a, b, offset)
        if "raw" in kinds:
            bench_raw(tmp, n, a, b, offset)
    print(f"peak resident memory {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MB")


def bench_plain(tmp, n, dt, rng, no_notes):
    plain = os.path.join(tmp, "plain.txt")
    notes = np.zeros(n, dtype=bool) if no_notes else rng.random(n) < 0.1
    with open(plain, "wb") as f:
        for first in range(0, n, 1 << 20):
            f.write(plain_lines(dt[first:first + (1 << 20)], notes[first:first + (1 << 20)]))
    run, seconds = timed(plain)
    assert np.array_equal(run.dt, dt)
    print(f"plain   {n:>11,} lines {os.path.getsize(plain) / 1e6:8.1f} MB {seconds:7.2f} s "
          f"{n / seconds / 1e6:6.1f} M lines/s")
    os.unlink(plain)


def bench_verbose(tmp, n, dt, a, b, offset):
    verbose = os.path.join(tmp, "verbose.txt")
    with open(verbose, "wb") as f:
        for first in range(0, n, 1 << 20):
            s = slice(first, first + (1 << 20))
            f.write(verbose_lines(dt[s], a[s], b[s], offset[s]))
    run, seconds = timed(verbose)
    assert np.array_equal(run.dt, dt) and np.array_equal(run.a, a)
    print(f"verbose {n:>11,} lines {os.path.getsize(verbose) / 1e6:8.1f} MB {seconds:7.2f} s "
          f"{n / seconds / 1e6:6.1f} M lines/s")
    os.unlink(verbose)


def bench_raw(tmp, n, a, b, offset):
    raw = os.path.join(tmp, "raw.txt")
    records = np.zeros((n, 7), dtype=np.uint8)
    records[:, 0] = ord("R")
    records[:, 1], records[:, 2] = a >> 8, a & 0xFF
    records[:, 3], records[:, 4] = b >> 8, b & 0xFF
    records[:, 5] = offset
    records.tofile(raw)
    cells = {"aLow": "500", "aHigh": "3600", "bLow": "510", "bHigh": "3590", "tauA": "9.47", "tauB": "9.49"}
    with open(os.path.join(tmp, "raw.json"), "w") as f:
        json.dump({"kind": "Tallyscope run", "formatVersion": 1, "locale": "C", "options": {"raw": True},
                   "calibration": cells, "calibrationChanges": []}, f)
    run, seconds = timed(raw)
    assert len(run) == n
    print(f"raw     {n:>11,} records {os.path.getsize(raw) / 1e6:6.1f} MB {seconds:7.2f} s "
          f"{n / seconds / 1e6:6.1f} M records/s")


if __name__ == "__main__":
    main()
