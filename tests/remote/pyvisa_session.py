#!/usr/bin/env python3
"""Runs pyvisa_client.py against a front end (the panel offscreen, or tallyscope-server) fed by
tallyscope-sim, all on loopback, then stops every process within a bound.
Exit 77 (skipped) when PyVISA is missing."""

import argparse
import ctypes
import importlib.util
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))


def die_with_parent():
    # If CTest kills this driver at its timeout, the children must not outlive it.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Child:
    """A process whose output is drained by a thread, so a full pipe never stalls it."""

    def __init__(self, name, argv, env, stream):
        self.name = name
        self.lines = []
        self.ready = threading.Event()
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE if stream == "stdout" else subprocess.DEVNULL,
                                     stderr=subprocess.PIPE if stream == "stderr" else subprocess.DEVNULL,
                                     preexec_fn=die_with_parent)
        pipe = self.proc.stdout if stream == "stdout" else self.proc.stderr
        self.thread = threading.Thread(target=self._drain, args=(pipe,), daemon=True)
        self.thread.start()

    def _drain(self, pipe):
        for raw in pipe:
            self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
            self.ready.set()
        self.ready.set()

    def wait_for(self, pattern, seconds):
        deadline = time.monotonic() + seconds
        seen = 0
        while time.monotonic() < deadline:
            for line in self.lines[seen:]:
                m = re.search(pattern, line)
                if m:
                    return int(m.group(1))
            seen = len(self.lines)
            if self.proc.poll() is not None:
                break
            self.ready.wait(0.2)
            self.ready.clear()
        raise RuntimeError(f"{self.name}: no line matching {pattern!r} within {seconds} s; output: {self.lines[-20:]}")

    def stop(self, seconds=10):
        """SIGTERM, then SIGKILL after the bound; returns the exit status and whether it was killed."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(seconds), False
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait(5), True


def run_file_complete(record_path, truth_path):
    """The run the signal ended: its data file holds the records sent, in order, up to the stop,
    and its sidecar says the run is complete."""
    with open(record_path, encoding="utf-8") as f:
        record = json.load(f)
    with open(truth_path, encoding="ascii") as f:
        truth = [int(p[2]) for p in (line.split() for line in f) if len(p) >= 3 and not p[0].startswith("#")]
    truth = truth[record["truth_from"]:]
    with open(record["name"], "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")
    sidecar_path = os.path.splitext(record["name"])[0] + ".json"
    with open(sidecar_path, encoding="utf-8") as f:
        sidecar = json.load(f)
    expected = [str(v).rjust(9)[-9:] for v in truth[:len(lines) - 1]]
    ok = lines[-1] == "" and lines[:-1] == expected and len(lines) - 1 >= record["fetched"] and sidecar.get("complete") is True
    print(f"{'' if ok else 'FAIL: '}run stopped by SIGTERM: {len(lines) - 1} lines (at least {record['fetched']}), "
          f"{'all' if lines[:-1] == expected else 'NOT all'} as sent; sidecar complete: {sidecar.get('complete')}")
    return ok


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--front", choices=("panel", "server"), required=True)
    ap.add_argument("--exe", required=True, help="tallyscope or tallyscope-server")
    ap.add_argument("--sim", required=True, help="tallyscope-sim")
    ap.add_argument("--rate", default="20000", help="simulator records per second")
    args = ap.parse_args()
    missing = [m for m in ("pyvisa", "pyvisa_py") if importlib.util.find_spec(m) is None]
    if missing:
        print(f"SKIP: no {', '.join(missing)} for {sys.executable}")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="tallyscope-pyvisa-") as tmp:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=tmp,
                   XDG_CONFIG_HOME=os.path.join(tmp, "config"), XDG_RUNTIME_DIR=os.path.join(tmp, "runtime"))
        data = os.path.join(tmp, "data")
        for d in ("config", "runtime", "data"):
            os.makedirs(os.path.join(tmp, d), mode=0o700)
        truth = os.path.join(tmp, "truth.txt")
        children = []
        result = 1
        try:
            sim = Child("tallyscope-sim", [args.sim, "--port", "0", "--rate", args.rate, "--seed", "12",
                                           "--ground-truth", truth, "--duration", "600"], env, "stdout")
            children.append(sim)
            sim_port = sim.wait_for(r"^listening on 127\.0\.0\.1:(\d+)", 15)
            argv = [args.exe, "--address", "127.0.0.1", "--port", str(sim_port), "--control-port", "0"]
            if args.front == "server":
                argv += ["--data-folder", data]
            front = Child(args.front, argv, env, "stderr")
            children.append(front)
            control = front.wait_for(r"Control port listening on 127\.0\.0\.1:(\d+)", 30)
            print(f"{args.front} control port {control}, simulator port {sim_port}", flush=True)
            argv = [sys.executable, os.path.join(HERE, "pyvisa_client.py"), "--port", str(control), "--truth", truth,
                    "--data-dir", data]
            left = os.path.join(tmp, "left-running.json")
            if args.front == "server":
                argv += ["--leave-running", left]
            result = subprocess.run(argv, timeout=240, env=env).returncode
            status, killed = front.stop()
            print(f"{args.front}: exit status {status}{' after SIGKILL' if killed else ''} on SIGTERM")
            if args.front == "server" and result == 0:
                if killed or status != 0:
                    print("FAIL: tallyscope-server did not exit 0 on SIGTERM")
                    result = 1
                elif not run_file_complete(left, truth):
                    result = 1
        except (RuntimeError, OSError, subprocess.TimeoutExpired) as e:
            print(f"FAIL: {e}")
            result = 1
        finally:
            for child in reversed(children):
                child.stop()
            if result != 0:
                for child in children:
                    print(f"--- {child.name} output (last lines):\n" + "\n".join(child.lines[-30:]))
    return result


if __name__ == "__main__":
    sys.exit(main())
