#!/usr/bin/env python3
"""@brief The Python driver's figures against tallyscope-server fed by tallyscope-sim on loopback.

(a) acquire(count=16,777,216), a whole ring: seconds and values/s; then the transfer alone
    (INIT, *OPC?, then fetch_dt() timed), beside PyVISA's query_binary_values(numpy) on the same
    kind of block.
(b) READ:HISTogram? of 10 ms acquisitions, one after another for 10 s: acquisitions per second,
    each checked (with HIST:RANG:ALL ON its histogram sums to FETC:COUN?).
(c) Two clients for --seconds at --slow-rate: A holds the lock and runs acquire(seconds=1) in a
    loop (each result as long as FETC:COUN?, FETC:DT:LOST? 0); B tries a change every 10 ms,
    each of which must be refused.
Prints figures, asserts nothing. Bounded: every loop has a count and a deadline, every call a
timeout, and the programs are stopped at the end."""

import argparse
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
import numpy as np  # noqa: E402
import pyvisa  # noqa: E402
from driverfixtures import Rig  # noqa: E402
from tallyscope.driver import InstrumentError, Tallyscope  # noqa: E402

RING = 16_777_216
CHANGES = ("RUN ON", "FILE ON", "HIST:CLE", "INIT", "ABOR", "DISP OFF", "FILE:VERB ON", "CAL:TAU:A 5",
           "SOUR:DAC:A 7", "HIST:BWID 50", "HIST:RANG:ALL OFF", "READ:DT?", "CAL")


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))] if values else float("nan")


def ready(rig, seconds=60):
    with Tallyscope(rig.resource) as scope:
        rig.wait_calibrated(scope, seconds)
        scope.write("DISP OFF;:FILE OFF")
        return scope.idn


def whole_ring(rig):
    with Tallyscope(rig.resource, timeout=60) as scope:
        t = time.monotonic()
        values = scope.acquire(count=RING)
        total = time.monotonic() - t
        print(f"(a) acquire(count={RING:,}): {len(values):,} values in {total:.2f} s = {len(values) / total / 1e6:.2f} M values/s "
              f"(the simulator's stream, the server's block and the transfer)")
        scope.write(f"ACQ:COUN {RING};TIME 0;:INIT")
        scope.query("*OPC?")
        t = time.monotonic()
        values = scope.fetch_dt()
        transfer = time.monotonic() - t
        print(f"    transfer alone, fetch_dt(): {len(values):,} values in {transfer:.3f} s = {len(values) / transfer / 1e6:.1f} M values/s "
              f"({4 * len(values) / transfer / 2**20:.0f} MiB/s); so the acquisition itself took about {total - transfer:.2f} s")
    # The same block through PyVISA's own reader, for the choice the driver made.
    inst = pyvisa.ResourceManager("@py").open_resource(rig.resource, read_termination="\n", write_termination="\n",
                                                       timeout=60000)
    try:
        inst.write(f"FORM INT;:ACQ:COUN {RING};TIME 0;:INIT")
        inst.query("*OPC?")
        t = time.monotonic()
        values = inst.query_binary_values("FETC:DT?", datatype="i", container=np.array, chunk_size=1 << 22)
        took = time.monotonic() - t
        print(f"    PyVISA query_binary_values(numpy) on the same block: {len(values):,} values in {took:.3f} s = "
              f"{len(values) / took / 1e6:.1f} M values/s")
    finally:
        inst.close()


def histogram_loop(rig, seconds, show_all):
    """Around the peak (the default range) each histogram's own count is checked against
    FETC:COUN?; with HIST:RANG:ALL ON (the bins then span every record) its sum is, and the wide
    range costs the histogram more."""
    with Tallyscope(rig.resource) as scope:
        scope.write(f"HIST:RANG:ALL {'ON' if show_all else 'OFF'}")
        done = wrong = records = 0
        took = []
        t0 = time.monotonic()
        for _ in range(100_000):
            if time.monotonic() - t0 >= seconds:
                break
            t = time.monotonic()
            _, counts = scope.read_histogram(seconds=0.01)
            count = int(scope.query("FETC:COUN?"))
            took.append(time.monotonic() - t)
            held = int(counts.sum()) if show_all else scope.histogram_statistics()["count"]
            done += 1
            records += count
            wrong += held != count
        elapsed = time.monotonic() - t0
        scope.write("HIST:RANG:ALL OFF")
    what = "sum" if show_all else "count"
    print(f"(b) ACQ:TIME 0.01 + READ:HIST? + FETC:COUN?, {'all records' if show_all else 'around the peak'}, "
          f"one after another for {elapsed:.1f} s: {done} acquisitions = {done / elapsed:.1f}/s, "
          f"{records / max(done, 1):,.0f} records each; histogram {what} != count: {wrong}; "
          f"each p50 {1000 * pct(took, 0.5):.1f} ms, p99 {1000 * pct(took, 0.99):.1f} ms")


def two_clients(rig, seconds):
    stop = threading.Event()
    tally = {"refused": 0, "accepted": 0, "other": 0, "ms": []}

    def client_b():
        with Tallyscope(rig.resource) as b:
            deadline = time.monotonic() + seconds + 5
            for i in range(int((seconds + 5) * 100)):
                if stop.is_set() or time.monotonic() > deadline:
                    break
                t = time.monotonic()
                try:
                    b.write(CHANGES[i % len(CHANGES)])
                    tally["accepted"] += 1
                except InstrumentError as e:
                    tally["refused" if e.code == -200 and "locked" in e.text else "other"] += 1
                tally["ms"].append(1000 * (time.monotonic() - t))
                time.sleep(max(0.0, 0.01 - (time.monotonic() - t)))

    with Tallyscope(rig.resource, timeout=30) as a, a.lock():
        thread = threading.Thread(target=client_b)
        thread.start()
        runs = values = short = lost = early = 0
        t0 = time.monotonic()
        try:
            for _ in range(int(seconds) + 10):
                if time.monotonic() - t0 >= seconds:
                    break
                try:
                    got = a.acquire(seconds=1)
                except InstrumentError as e:  # -231: B's ABOR got through
                    early += 1
                    got = e.result if e.result is not None else np.empty(0, np.int32)
                count, missed = (int(x) for x in a.query("FETC:COUN?;:FETC:DT:LOST?").split(";"))
                runs += 1
                values += len(got)
                short += len(got) != count
                lost += missed
        finally:
            stop.set()
            thread.join(30)
        elapsed = time.monotonic() - t0
    print(f"(c) two clients for {elapsed:.1f} s: A (lock held) ran {runs} acquire(seconds=1), {values:,} values "
          f"({values / elapsed / 1e6:.2f} M/s); results shorter or longer than FETC:COUN?: {short}; FETC:DT:LOST? total {lost}; ended early: {early}")
    ms = tally["ms"]
    print(f"    B tried {len(ms)} changes ({', '.join(CHANGES)}): refused {tally['refused']}, accepted {tally['accepted']}, "
          f"other errors {tally['other']}; each p50 {pct(ms, 0.5):.2f} ms, p99 {pct(ms, 0.99):.2f} ms")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "ci"))
    ap.add_argument("--rate", type=float, default=17_900_000, help="simulator records/s for (a) and (b)")
    ap.add_argument("--slow-rate", type=float, default=1_780_000, help="simulator records/s for (c)")
    ap.add_argument("--seconds", type=float, default=60, help="length of (c)")
    ap.add_argument("--quick", action="store_true", help="short runs, to see that it works: (b) 2 s, (c) 5 s")
    args = ap.parse_args()
    sim, server = (os.path.join(args.build, name) for name in ("tallyscope-sim", "tallyscope-server"))
    loop_seconds, pair_seconds = (2.0, 5.0) if args.quick else (10.0, args.seconds)

    rig = Rig(sim, server, args.rate, truth=False)
    try:
        print(f"tallyscope-server fed by tallyscope-sim --rate {args.rate:,.0f}; {ready(rig)}")
        whole_ring(rig)
        histogram_loop(rig, loop_seconds, show_all=False)
        histogram_loop(rig, loop_seconds, show_all=True)
    finally:
        rig.stop()
    rig = Rig(sim, server, args.slow_rate, truth=False)
    try:
        ready(rig)
        print(f"tallyscope-sim --rate {args.slow_rate:,.0f}")
        histogram_loop(rig, loop_seconds, show_all=False)
        histogram_loop(rig, loop_seconds, show_all=True)
        two_clients(rig, pair_seconds)
    finally:
        rig.stop()


if __name__ == "__main__":
    main()
