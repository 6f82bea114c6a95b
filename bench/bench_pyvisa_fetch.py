#!/usr/bin/env python3
"""FETCh:DT? through PyVISA on loopback, with the server (or the panel) fed by tallyscope-sim.

1. Streaming: a run at --rate records/s, one client fetching a binary block every 100 ms for
   --seconds; prints values/s, whether the fetched total equals FETCh:COUNt?, FETCh:DT:LOST?,
   and how long the fetches and a *IDN? beside them took.
2. Full ring: clients connected before a run long enough to fill the ring, then each drains it
   (in 1 Mi-value pieces with the max argument, or in one block) and prints values/s.
Bounded: every call has a timeout, every loop a count, and the processes are stopped at the end."""

import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tests", "remote"))
from pyvisa_session import Child  # noqa: E402

import pyvisa  # noqa: E402

RING = 16_777_216


def fetch(inst, cmd="FETC:DT?", container=list):
    try:
        return inst.query_binary_values(cmd, datatype="i", is_big_endian=False, container=container)
    except ValueError as e:
        if "could not be determined" in str(e):  # '#10': older PyVISA refuses an empty block
            return []
        raise


def connect(rm, port):
    inst = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                            write_termination="\n", timeout=60000)
    inst.chunk_size = 1 << 22
    inst.write("FORM INT")
    return inst


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))] if values else float("nan")


def streaming(c, seconds):
    fetch(c)
    fetch_ms, idn_ms, total = [], [], 0
    c.write("RUN ON")
    t0 = time.monotonic()
    for i in range(1, int(seconds * 10) + 1):
        time.sleep(max(0.0, t0 + i * 0.1 - time.monotonic()))
        t = time.monotonic()
        total += len(fetch(c))
        fetch_ms.append((time.monotonic() - t) * 1000)
        t = time.monotonic()
        c.query("*IDN?")
        idn_ms.append((time.monotonic() - t) * 1000)
    c.write("RUN OFF")
    run_s = time.monotonic() - t0
    for _ in range(50):  # what was on the wire at the stop
        time.sleep(0.2)
        got = len(fetch(c))
        total += got
        if not got:
            break
    count = int(c.query("FETC:COUN?"))
    lost = c.query("FETC:DT:LOST?").strip()
    health = c.query("LINK:HEAL?").strip()
    print(f"streaming {run_s:.1f} s, a fetch every 100 ms: decoded {count:,} ({count / run_s:,.0f}/s), "
          f"fetched {total:,} ({'equal' if total == count else 'DIFFERENT'}), lost {lost}")
    print(f"  fetch time p50 {pct(fetch_ms, 0.5):.1f} ms, p99 {pct(fetch_ms, 0.99):.1f} ms, max {max(fetch_ms):.1f} ms;"
          f" *IDN? round trip between fetches p50 {pct(idn_ms, 0.5):.2f} ms, p99 {pct(idn_ms, 0.99):.2f} ms")
    print(f"  LINK:HEAL? {health}")
    return count / run_s


def full_ring(rm, port, c, rate):
    drains = [("pieces of 1,048,576 (max argument), list", "FETC:DT? 1048576", list),
              ("one block, list", "FETC:DT?", list)]
    try:
        import numpy
        drains.append(("one block, numpy array", "FETC:DT?", numpy.ndarray))
    except ImportError:
        pass
    clients = [connect(rm, port) for _ in drains]
    for inst in clients:
        fetch(inst)
    fill = min(60.0, RING / max(rate, 1.0) * 1.15 + 1)
    c.write("RUN ON")
    time.sleep(fill)
    c.write("RUN OFF")
    time.sleep(1.0)
    print(f"full ring: ran {fill:.1f} s at about {rate:,.0f}/s, then each client drained what it held")
    for (what, cmd, container), inst in zip(drains, clients):
        lost = inst.query("FETC:DT:LOST?").strip()
        n = 0
        t = time.monotonic()
        for _ in range(RING // 1048576 + 8):
            got = len(fetch(inst, cmd, container))
            n += got
            if not got or cmd == "FETC:DT?":
                break
        dt = time.monotonic() - t
        print(f"  {what}: {n:,} values in {dt:.2f} s = {n / dt / 1e6:.2f} M values/s (lost before: {lost})")
        inst.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--front", choices=("server", "panel"), default="server")
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build", "dev"))
    ap.add_argument("--rate", type=float, default=1_780_000)
    ap.add_argument("--seconds", type=float, default=10)
    args = ap.parse_args()
    exe = os.path.join(args.build, "tallyscope" if args.front == "panel" else "tallyscope-server")
    with tempfile.TemporaryDirectory(prefix="tallyscope-bench-") as tmp:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=tmp, XDG_CONFIG_HOME=tmp, XDG_RUNTIME_DIR=tmp)
        children = []
        try:
            sim = Child("tallyscope-sim", [os.path.join(args.build, "tallyscope-sim"), "--port", "0", "--rate",
                                           str(args.rate), "--duration", "900"], env, "stdout")
            children.append(sim)
            sim_port = sim.wait_for(r"^listening on 127\.0\.0\.1:(\d+)", 15)
            argv = [exe, "--address", "127.0.0.1", "--port", str(sim_port), "--control-port", "0"]
            if args.front == "server":
                argv += ["--data-folder", tmp]
            front = Child(args.front, argv, env, "stderr")
            children.append(front)
            port = front.wait_for(r"Control port listening on 127\.0\.0\.1:(\d+)", 30)
            rm = pyvisa.ResourceManager("@py")
            c = connect(rm, port)
            for _ in range(100):
                if c.query("CONN:STAT?").strip() == "1" and c.query("CAL:VAL?").strip() == "1":
                    break
                time.sleep(0.2)
            else:
                c.query("CAL;*OPC?")
            c.write("*CLS;DISP OFF;FILE OFF")
            print(f"{args.front} fed by tallyscope-sim --rate {args.rate:,.0f}; {c.query('*IDN?').strip()}")
            rate = streaming(c, args.seconds)
            full_ring(rm, port, c, rate)
            c.close()
            rm.close()
        finally:
            for child in reversed(children):
                child.stop()


if __name__ == "__main__":
    main()
