"""@brief Fixtures for the reader tests: the project's programs (sim, recorder, replay), runs recorded through them on loopback, and raw files with sidecars made to order."""

import ctypes
import json
import os
import re
import selectors
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parents[2]
try:
    import tallyscope  # noqa: F401
except ImportError:  # run from a checkout without PYTHONPATH
    sys.path.insert(0, str(REPO / "python"))

RECORD_LENGTH = 7


def _program(variable, name):
    """The program named by the environment (as CTest sets it), else the one a local build made."""
    path = os.environ.get(variable)
    if path:
        if not os.access(path, os.X_OK):
            raise RuntimeError(f"{variable}={path} is not an executable")
        return path
    for preset in ("ci", "dev"):
        candidate = REPO / "build" / preset / name
        if os.access(candidate, os.X_OK):
            return str(candidate)
    pytest.skip(f"{name} not built and {variable} not set")


@pytest.fixture(scope="session")
def replay_exe():
    return _program("TALLYSCOPE_REPLAY_EXE", "tallyscope-replay")


@pytest.fixture(scope="session")
def sim_exe():
    return _program("TALLYSCOPE_SIM_EXE", "tallyscope-sim")


@pytest.fixture(scope="session")
def record_exe():
    return _program("TALLYSCOPE_RECORD_EXE", "tallyscope-record")


def _die_with_parent():
    # If the test run is killed at its time-out, the simulator must not outlive it.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def _isolated_env(home, locale):
    env = dict(os.environ, HOME=str(home), XDG_CONFIG_HOME=str(home / "config"),
               XDG_RUNTIME_DIR=str(home / "runtime"), LC_ALL=locale, LANG=locale)
    for d in ("config", "runtime"):
        (home / d).mkdir(mode=0o700, parents=True, exist_ok=True)
    return env


class Recording:
    """A run recorded by tallyscope-record from tallyscope-sim, with the simulator's ground
    truth for the records it sent: their bytes and the difference a correct panel shows."""

    def __init__(self, path, truth_bytes, truth_dt, stdout):
        self.path = path
        self.truth_bytes = truth_bytes
        self.truth_dt = truth_dt
        self.stdout = stdout


def _read_truth(path):
    rows = [line.split() for line in path.read_text(encoding="ascii").splitlines() if line and not line.startswith("#")]
    raw = b"".join(bytes.fromhex(r[0]) for r in rows)
    return np.frombuffer(raw, dtype=np.uint8).reshape(-1, RECORD_LENGTH), np.array([int(r[2]) for r in rows], dtype=np.int64)


def record(tmp, sim_exe, record_exe, mode="plain", locale="C.UTF-8", records=3000, sim_args=(), seed=5):
    """Starts the simulator on a free loopback port, records `records` records with the
    recorder (mode "plain", "verbose" or "raw") in `locale`, stops the simulator."""
    tmp.mkdir(parents=True, exist_ok=True)
    truth = tmp / "truth.txt"
    folder = tmp / "data"
    folder.mkdir(exist_ok=True)
    sim = subprocess.Popen([sim_exe, "--port", "0", "--seed", str(seed), "--rate", "50000", "--ground-truth", str(truth),
                            "--duration", "60", *sim_args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
    try:
        port = _listening_port(sim, 15)
        flags = {"plain": [], "verbose": ["--verbose"], "raw": ["--raw"]}[mode]
        done = subprocess.run([record_exe, "--address", "127.0.0.1", "--port", str(port), "--folder", str(folder),
                               "--records", str(records), "--connect-timeout", "10", *flags],
                              env=_isolated_env(tmp / "home", locale), capture_output=True, timeout=60,
                              stdin=subprocess.DEVNULL)
    finally:
        sim.terminate()
        try:
            sim.wait(10)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait(5)
    out = done.stdout.decode("utf-8", "replace")
    assert done.returncode == 0, f"tallyscope-record: {done.returncode}\n{out}\n{done.stderr.decode('utf-8', 'replace')}"
    m = re.search(r"^(\d+) records written to (.*)$", out, re.M)
    assert m, out
    truth_bytes, truth_dt = _read_truth(truth)
    return Recording(Path(m.group(2)), truth_bytes, truth_dt, out)


def _listening_port(process, seconds):
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    deadline = time.monotonic() + seconds
    seen = b""
    while time.monotonic() < deadline and process.poll() is None:
        if selector.select(max(0.0, deadline - time.monotonic())):
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
            m = re.search(rb"listening on 127\.0\.0\.1:(\d+)", seen)
            if m:
                return int(m.group(1))
    raise RuntimeError(f"tallyscope-sim did not say its port within {seconds} s: {seen!r}")


@pytest.fixture(scope="session")
def recordings(tmp_path_factory, sim_exe, record_exe):
    """The runs the reader tests look at, recorded once: plain with overrange notes; verbose
    in German (a '.' separator) and in French (a narrow no-break space, three bytes in
    UTF-8); the German one and the raw one with differences in the millions, the raw one with
    the unused bits of B set."""
    base = tmp_path_factory.mktemp("recorded")
    wide = ("--peak", "-1200000", "--background", "0.5", "--background-span", "2400000")
    return {
        "plain": record(base / "plain", sim_exe, record_exe, "plain", sim_args=("--overrange", "0.3")),
        "verbose de": record(base / "de", sim_exe, record_exe, "verbose", "de_DE.UTF-8",
                             sim_args=("--overrange", "0.3", *wide)),
        "verbose fr": record(base / "fr", sim_exe, record_exe, "verbose", "fr_FR.UTF-8", seed=6),
        "raw": record(base / "raw", sim_exe, record_exe, "raw", sim_args=("--overrange", "0.3", "--unused-bits", *wide),
                      seed=7),
    }


def cal(a_low="500", a_high="3600", b_low="510", b_high="3590", tau_a="9.47", tau_b="9.49"):
    return {"aLow": a_low, "aHigh": a_high, "bLow": b_low, "bHigh": b_high, "tauA": tau_a, "tauB": tau_b}


def write_raw(path, records, calibration, changes=(), locale="C"):
    """A raw data file and its sidecar; changes are (entriesBefore, calibration) pairs."""
    path = Path(path)
    np.asarray(records, dtype=np.uint8).tofile(path)
    sidecar = {"kind": "Tallyscope run", "formatVersion": 1, "locale": locale, "options": {"raw": True, "file": True},
               "calibration": calibration,
               "calibrationChanges": [{"time": "2026-01-02T03:04:05.000+01:00", "reason": "calibration",
                                       "entriesBefore": e, "calibration": c} for e, c in changes]}
    path.with_suffix(".json").write_text(json.dumps(sidecar, indent=4), encoding="utf-8")
    return path


def records_from(a, b, offset, flags, b_high_bits=None):
    """(n, 7) records from readings (a may exceed 12 bits, as a corrupt record's does)."""
    a = np.asarray(a)
    b = np.asarray(b)
    out = np.zeros((len(a), RECORD_LENGTH), dtype=np.uint8)
    out[:, 0] = ord("R")
    out[:, 1], out[:, 2] = (a >> 8) & 0xFF, a & 0xFF
    out[:, 3] = (b >> 8) & 0x0F
    if b_high_bits is not None:
        out[:, 3] |= np.asarray(b_high_bits, dtype=np.uint8) << 4
    out[:, 4] = b & 0xFF
    out[:, 5] = offset
    out[:, 6] = flags
    return out


def replay(replay_exe, raw_path, out_path, verbose=False):
    """Runs tallyscope-replay; (exit status, stderr text). In the C locale, which is what the
    reader assumes of a sidecar that names none (replay takes the environment's then)."""
    done = subprocess.run([replay_exe, str(raw_path), "-o", str(out_path), *(["--verbose"] if verbose else [])],
                          capture_output=True, timeout=60, stdin=subprocess.DEVNULL,
                          env=dict(os.environ, LC_ALL="C", LANG="C"))
    return done.returncode, done.stderr.decode("utf-8", "replace")
