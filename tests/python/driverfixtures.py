"""@brief tallyscope-sim and tallyscope-server on loopback for the driver's tests and benchmark,
with the simulator's ground truth: every record it sent, in order."""

import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "remote"))
from pyvisa_session import Child  # noqa: E402


def executable(variable, name):
    """The program named by the environment (as CTest sets it), else the ci build's."""
    path = os.environ.get(variable) or os.path.join(ROOT, "build", "ci", name)
    return path if os.access(path, os.X_OK) else None


class Rig:
    """A simulator and a server fed by it, in a folder of their own, stopped within a bound."""

    def __init__(self, sim_exe, server_exe, rate, seed=7, truth=True):
        self._tmp = tempfile.TemporaryDirectory(prefix="tallyscope-driver-")
        self.folder = self._tmp.name
        self.data = os.path.join(self.folder, "data")
        os.makedirs(self.data)
        self.truth_path = os.path.join(self.folder, "truth.txt") if truth else None
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=self.folder,
                   XDG_CONFIG_HOME=os.path.join(self.folder, "config"),
                   XDG_RUNTIME_DIR=os.path.join(self.folder, "runtime"))
        self._children = []
        try:
            argv = [sim_exe, "--port", "0", "--rate", str(rate), "--seed", str(seed), "--duration", "900"]
            if truth:
                argv += ["--ground-truth", self.truth_path]
            sim = self._start("tallyscope-sim", argv, env, "stdout")
            sim_port = sim.wait_for(r"^listening on 127\.0\.0\.1:(\d+)", 15)
            server = self._start("tallyscope-server", [server_exe, "--address", "127.0.0.1", "--port", str(sim_port),
                                                       "--control-port", "0", "--data-folder", self.data], env, "stderr")
            self.port = server.wait_for(r"Control port listening on 127\.0\.0\.1:(\d+)", 30)
        except BaseException:
            self.stop()
            raise
        self.resource = f"TCPIP::127.0.0.1::{self.port}::SOCKET"

    def _start(self, name, argv, env, stream):
        child = Child(name, argv, env, stream)
        self._children.append(child)
        return child

    def wait_calibrated(self, scope, seconds=30):
        """Until the server's own first calibration is valid."""
        deadline = time.monotonic() + seconds
        while not (scope.connected and scope.calibration_valid):
            if time.monotonic() > deadline:
                raise RuntimeError(f"not connected and calibrated within {seconds} s")
            time.sleep(0.1)

    def truth(self):
        """The represented time difference (ps) of every record the simulator sent."""
        with open(self.truth_path, encoding="ascii") as f:
            return [int(p[2]) for p in (line.split() for line in f) if len(p) >= 3 and not p[0].startswith("#")]

    def settled_truth(self, seconds=5.0):
        """How many records were sent, once the last run's records still on their way have been
        sent: an acquisition started now gets the records from this one on."""
        deadline = time.monotonic() + seconds
        before, since = len(self.truth()), time.monotonic()
        while time.monotonic() < deadline:
            time.sleep(0.1)
            now = len(self.truth())
            if now != before:
                before, since = now, time.monotonic()
            elif time.monotonic() - since >= 0.4:
                return now
        raise RuntimeError(f"the simulator still sends records after {seconds} s")

    def stop(self):
        for child in reversed(self._children):
            child.stop()
        self._children = []
        self._tmp.cleanup()

    def output(self):
        return "\n".join(f"--- {c.name}:\n" + "\n".join(c.lines[-20:]) for c in self._children)
