"""@brief The Python driver against tallyscope-server fed by tallyscope-sim on loopback: bounded
acquisitions held against the simulator's ground truth, histograms, the lock between two
clients, errors raised from the instrument's queue, and the PyMeasure instrument.

Exits 77 (skipped, for CTest) when PyVISA or numpy is missing."""

import os
import subprocess
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "python"))
try:
    import numpy as np
    import pyvisa  # noqa: F401
    import pyvisa_py  # noqa: F401
except ImportError as e:
    MISSING = f"SKIP: {e} for {sys.executable}"
else:
    MISSING = None
    sys.path.insert(0, PYTHON_DIR)
    sys.path.insert(0, HERE)
    from driverfixtures import Rig, executable
    from tallyscope.driver import InstrumentError, LockedError, Tallyscope


@pytest.fixture(scope="session", autouse=True)
def pyvisa_and_numpy():
    # pytest 7 turns an exit during collection into a collection error; from a fixture it
    # keeps the status.
    if MISSING:
        pytest.exit(MISSING, returncode=77)


# Records a second: an acquisition of tens of thousands takes a fraction of a second, and the
# ground truth stays a small file.
RATE = 100_000


@pytest.fixture(scope="module")
def rig():
    sim, server = executable("TALLYSCOPE_SIM_EXE", "tallyscope-sim"), executable("TALLYSCOPE_SERVER_EXE", "tallyscope-server")
    if not sim or not server:
        pytest.skip("TALLYSCOPE_SIM_EXE and TALLYSCOPE_SERVER_EXE name no programs, and build/ci has none")
    rig = Rig(sim, server, RATE)
    try:
        with Tallyscope(rig.resource) as scope:
            rig.wait_calibrated(scope)
            scope.write("DISP OFF;:FILE OFF")
        yield rig
    except BaseException:
        print(rig.output())
        raise
    finally:
        rig.stop()


@pytest.fixture
def scope(rig):
    with Tallyscope(rig.resource) as s:
        yield s


@pytest.mark.parametrize("reader", ["socket", "visa"])
def test_count_bound_answers_exactly_the_first_records_sent(rig, scope, reader, monkeypatch):
    if reader == "visa":
        # Any VISA library but pyvisa-py's socket session reads blocks through PyVISA itself.
        monkeypatch.setattr("tallyscope.driver._socket_session", lambda resource: None)
    start = rig.settled_truth()
    values = scope.acquire(count=12345)
    assert values.dtype == np.int32
    # Exactly the first records the simulator sent after the start, none dropped or repeated.
    assert values.tolist() == rig.truth()[start:start + 12345]
    assert scope.statistics() == {"count": 12345, "min_ps": int(values.min()), "max_ps": int(values.max()),
                                  "range_ps": int(values.max()) - int(values.min())}
    # READ:DT? took everything; an empty block is an empty array, not an exception.
    empty = scope.fetch_dt()
    assert empty.dtype == np.int32 and empty.shape == (0,)


def test_time_bound_and_fetch_limit(rig, scope):
    start = rig.settled_truth()
    values = scope.acquire(seconds=0.2)
    # About 0.2 s at RATE, from the first record on.
    assert 0.5 * 0.2 * RATE < len(values) < 1.5 * 0.2 * RATE
    assert values.tolist() == rig.truth()[start:start + len(values)]
    assert scope.query("FETC:COUN?") == str(len(values))
    # After INIT (and *OPC? for its end) FETC:DT? answers the acquisition from its first
    # value, in pieces of at most max.
    start = rig.settled_truth()
    scope.write("ACQ:COUN 3000;TIME 0;:INIT")
    assert scope.query("*OPC?") == "1"
    first, rest = scope.fetch_dt(max=1000), scope.fetch_dt()
    assert len(first) == 1000 and len(rest) == 2000
    assert np.concatenate([first, rest]).tolist() == rig.truth()[start:start + 3000]


def test_read_histogram_holds_exactly_its_acquisition(rig, scope):
    scope.write("HIST:RANG:ALL ON")
    try:
        start = rig.settled_truth()
        edges, counts = scope.read_histogram(count=20000)
        values = np.array(rig.truth()[start:start + 20000])
        assert counts.dtype == np.int64 and counts.sum() == 20000
        assert len(edges) == len(counts) + 1 and np.all(np.diff(edges) > 0)
        # The range spans every record, with a bin width that is no whole number of ps: the
        # edges put every value in the bin the instrument counted it in.
        assert np.array_equal(np.histogram(values, edges)[0], counts)
        # The histogram as it stands is the same one.
        now_edges, now_counts = scope.histogram()
        assert np.array_equal(now_edges, edges) and np.array_equal(now_counts, counts)
        stats = scope.histogram_statistics()
        assert stats["count"] == 20000 and stats["mean_ps"] == pytest.approx(values.mean(), abs=1e-6)
        assert stats["std_dev_ps"] == pytest.approx(values.std(ddof=1), rel=1e-9)

        edges, counts = scope.read_histogram(seconds=0.1)
        assert counts.sum() == int(scope.query("FETC:COUN?")) > 0
    finally:
        scope.write("HIST:RANG:ALL OFF")
    # The automatic range around the peak leaves the background out, on whole-ps edges.
    start = rig.settled_truth()
    edges, counts = scope.read_histogram(count=20000)
    values = np.array(rig.truth()[start:start + 20000])
    assert 0 < counts.sum() < 20000
    assert np.array_equal(np.histogram(values, edges)[0], counts)
    # Cleared, it has no bins: an empty block and one edge.
    scope.write("HIST:CLE")
    edges, counts = scope.histogram()
    assert counts.shape == (0,) and edges.shape == (1,)
    # What it cannot tell without records is None, not SCPI's 9.91E37.
    assert scope.histogram_statistics() == {"count": 0, "mean_ps": None, "std_dev_ps": None, "fwhm_ps": None,
                                            "in_window": 0}


def test_an_acquisition_ended_by_another_client_raises_with_its_values(rig, scope):
    start = rig.settled_truth()
    with Tallyscope(rig.resource) as other:
        timer = threading.Timer(0.3, other.abort)
        timer.start()
        try:
            with pytest.raises(InstrumentError) as caught:
                scope.acquire(count=10**9, timeout=10)
        finally:
            timer.join()
    assert caught.value.code == -231 and caught.value.text == "Data questionable;acquisition ended early"
    got = caught.value.result
    assert got.dtype == np.int32 and len(got) > 1000
    assert got.tolist() == rig.truth()[start:start + len(got)]
    assert scope.errors() == []


def test_lock_refuses_the_other_clients_changes(rig):
    with Tallyscope(rig.resource) as a, Tallyscope(rig.resource) as b:
        with a.lock():
            for change in (lambda: setattr(b, "run", True), lambda: setattr(b, "file", True),
                           lambda: b.acquire(count=10), lambda: b.write("HIST:CLE")):
                with pytest.raises(InstrumentError) as caught:
                    change()
                assert caught.value.code == -200 and "locked by another client" in caught.value.text
            assert b.run is False and b.file is False
            # Queries still work for the other client.
            assert b.calibration_valid and a.lock_owner == b.lock_owner != ""
            with pytest.raises(LockedError) as caught:
                b.lock()
            assert caught.value.owner == a.lock_owner
            # Asking again until a bound gives up after it.
            t0 = time.monotonic()
            with pytest.raises(LockedError):
                b.lock(timeout=0.3)
            assert time.monotonic() - t0 >= 0.25
        # Released on leaving the block: the other client may take it.
        with b.lock():
            with pytest.raises(InstrumentError):
                a.run = True
            assert a.run is False
        # Asking every 50 ms gets the lock once its holder lets go.
        a.lock()
        timer = threading.Timer(0.3, a.unlock)
        timer.start()
        try:
            t0 = time.monotonic()
            with b.lock(timeout=5):
                assert 0.25 <= time.monotonic() - t0 < 4
        finally:
            timer.join()
        assert a.lock_owner == ""


def test_errors_are_raised_and_the_connection_stays_in_step(rig, scope):
    tau = scope.tau_a
    with pytest.raises(InstrumentError) as caught:
        scope.tau_a = -1
    assert (caught.value.code, caught.value.text, str(caught.value)) == (-222, "Data out of range", "-222: Data out of range")
    assert scope.tau_a == tau
    # Refused at parsing, a command drops the rest of its line and its answers: the queries
    # before it still answer, and the error is still the one raised.
    with pytest.raises(InstrumentError) as caught:
        scope.query("CAL:TAU:A?;:CAL:TAU:A -1;:CAL:TAU:A?")
    assert caught.value.code == -222 and caught.value.result == [scope.query("CAL:TAU:A?")]
    # An unclosed quote refuses the whole line, which then answers nothing at all.
    with pytest.raises(InstrumentError) as caught:
        scope.write('FILE:PATH "nowhere')
    assert caught.value.code == -102
    assert scope.data_folder == rig.data
    # A query that fails answers nothing, and the rest of its line runs; the second error is
    # among the others.
    scope.run = True
    try:
        with pytest.raises(InstrumentError) as caught:
            scope.query("INIT;INIT;:RUN?")
        assert caught.value.code == -213 and [e.code for e in caught.value.others] == [-213]
        assert caught.value.result == ["1"]
        with pytest.raises(InstrumentError) as caught:
            scope.acquire(count=10)
        assert caught.value.code == -213 and caught.value.result is None
    finally:
        scope.run = False
    assert scope.errors() == [] and scope.run is False


def test_settings_round_trip(rig, scope, tmp_path):
    folder = tmp_path / 'a "quoted" folder'
    folder.mkdir()
    before = (scope.file, scope.display, scope.verbose, scope.raw, scope.tau_b)
    try:
        scope.data_folder = str(folder)
        assert scope.data_folder == str(folder)
        for name in ("file", "display", "verbose", "raw"):
            setattr(scope, name, not getattr(scope, name))
        assert (scope.file, scope.display, scope.verbose, scope.raw) == tuple(not x for x in before[:4])
        scope.tau_b = 12.25
        assert scope.tau_b == 12.25
        scope.dac_a = 1234
        assert scope.dac_a == 1234
        assert scope.address == "127.0.0.1" and scope.connected
        assert scope.idn.startswith("Quorvel,Tallyscope,")
    finally:
        scope.data_folder = rig.data
        scope.file, scope.display, scope.verbose, scope.raw, scope.tau_b = before


def test_calibrate_waits_for_its_end(scope):
    scope.query("STAT:OPER?")  # reading the event register empties it
    assert scope.calibrate() is True
    # Bit 0 latched the calibration's start; it has ended.
    assert int(scope.query("STAT:OPER?")) & 1 == 1 and scope.operation_condition() == 0
    assert scope.calibrate(wait=False) is None
    assert scope.query("*OPC?;:CAL:VAL?;:STAT:OPER?") == "1;1;1"


def test_pymeasure_instrument_acquires(rig):
    pytest.importorskip("pymeasure")
    from tallyscope.pymeasure import TallyscopeInstrument

    inst = TallyscopeInstrument(rig.resource)
    try:
        assert inst.calibration_valid is True and inst.run is False
        start = rig.settled_truth()
        values = inst.acquire(count=2000)
        assert values.tolist() == rig.truth()[start:start + 2000]
        assert inst.count == 2000
        tau = inst.tau_a
        with pytest.raises(InstrumentError):
            inst.tau_a = -1
        inst.tau_a = tau + 0.5
        assert inst.tau_a == tau + 0.5
        inst.tau_a = tau
    finally:
        inst.shutdown()


def test_pymeasure_is_needed_only_by_its_module():
    # In a fresh interpreter, with PyMeasure made unimportable.
    code = ("import sys; sys.modules['pymeasure'] = None; sys.path.insert(0, sys.argv[1])\n"
            "import tallyscope.driver\n"
            "try:\n    import tallyscope.pymeasure\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code, PYTHON_DIR], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "tallyscope.pymeasure needs PyMeasure" in out.stdout
