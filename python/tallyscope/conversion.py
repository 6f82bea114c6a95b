"""@brief Raw records to time differences, bit for bit as the panel and tallyscope-replay compute them.

The panel converts a reading on one channel's exponential ramp as
    t = -tau * ln(1 - (reading - low) / (high - low))      (ns)
through a table of all 4096 readings per channel, and a record as
    dt = ((tB + 10 * offset) - tA) * (-1000)                (ps)
rounded half to even into a 32-bit integer. The tables are built here with math.log, which is
the C library's log as the panel's std::log is: numpy's own vectorised logarithm may differ in
the last bit, and one bit is enough to move a value across a rounding boundary. Everything after
the tables is element-wise IEEE double arithmetic in the panel's order, which numpy does exactly.
"""

import math

import numpy as np

from .numbers import leading_number, strict_number

__all__ = ["Fault", "Calibration", "ChannelTable", "convert", "RECORD_LENGTH"]

RECORD_LENGTH = 7
TABLE_SIZE = 4096
# A reading is on the usable part of the ramp only strictly inside this interval.
PLAUSIBLE_LOW = 650
PLAUSIBLE_HIGH = 2350
# A calibration cell is good strictly inside its window.
LOW_WINDOW = (450.0, 550.0)
HIGH_WINDOW = (3550.0, 3650.0)
COARSE_STEP_NS = 10.0


class Fault:
    """The panel's words for a record it cannot convert."""

    NONE = 0
    DIVISION_BY_ZERO = 1
    INVALID_LOG = 2
    OVERFLOW = 3
    TYPE_MISMATCH = 4
    TEXT = {
        DIVISION_BY_ZERO: "Division by zero",
        INVALID_LOG: "Invalid procedure call or argument",
        OVERFLOW: "Overflow",
        TYPE_MISMATCH: "Type mismatch",
    }


class Calibration:
    """The texts a run was converted with, as its sidecar keeps them, read in the run's locale."""

    CELLS = ("aLow", "aHigh", "bLow", "bHigh")

    def __init__(self, texts, locale_name):
        self.texts = {key: texts[key] for key in self.CELLS + ("tauA", "tauB")}
        self.locale = locale_name

    def gate_open(self):
        """The panel's record gate with no calibration under way: every cell, read as a leading
        number, strictly inside its window."""
        t = self.texts
        return (LOW_WINDOW[0] < leading_number(t["aLow"]) < LOW_WINDOW[1]
                and LOW_WINDOW[0] < leading_number(t["bLow"]) < LOW_WINDOW[1]
                and HIGH_WINDOW[0] < leading_number(t["aHigh"]) < HIGH_WINDOW[1]
                and HIGH_WINDOW[0] < leading_number(t["bHigh"]) < HIGH_WINDOW[1])

    def channel(self, name):
        """(tau, low, high) of channel "A" or "B" as strict numbers; None when one of them is
        not a number (the panel's type mismatch)."""
        keys = ("tauA", "aLow", "aHigh") if name == "A" else ("tauB", "bLow", "bHigh")
        values = [strict_number(self.texts[k], self.locale) for k in keys]
        return None if any(v is None for v in values) else tuple(values)

    def describe(self):
        t = self.texts
        return f"A {t['aLow']}..{t['aHigh']}, B {t['bLow']}..{t['bHigh']}, Tau {t['tauA']} / {t['tauB']} ns"


def channel_time(tau, reading, low, high):
    """(ns, fault) of one reading; the panel's expression, operation for operation."""
    span = high - low
    if span == 0:
        return 0.0, Fault.DIVISION_BY_ZERO
    arg = 1.0 - (reading - low) / span
    if not arg > 0:
        return 0.0, Fault.INVALID_LOG
    return -tau * math.log(arg), Fault.NONE


class ChannelTable:
    """Every reading's time on one channel, and its fault; None as `values` for a channel whose
    texts are not numbers (every conversion on it is a type mismatch)."""

    _cache = {}

    def __init__(self, values):
        self.ns = np.zeros(TABLE_SIZE)
        self.fault = np.zeros(TABLE_SIZE, dtype=np.uint8)
        if values is None:
            self.fault[:] = Fault.TYPE_MISMATCH
            return
        # Keyed by the bits: 0.0 and -0.0 are equal but may convert differently.
        key = tuple(float(v).hex() for v in values)
        cached = ChannelTable._cache.get(key)
        if cached is None:
            tau, low, high = (float(v) for v in values)
            pairs = [channel_time(tau, float(r), low, high) for r in range(TABLE_SIZE)]
            cached = (np.array([p[0] for p in pairs]), np.array([p[1] for p in pairs], dtype=np.uint8))
            if len(ChannelTable._cache) >= 16:
                ChannelTable._cache.clear()
            ChannelTable._cache[key] = cached
        self.ns, self.fault = cached


def time_difference(t_a, t_b, offset):
    """(ps as int32, overflow mask) of arrays; ties to even as the panel's 1.5 * 2^52 shifter."""
    raw = ((t_b + COARSE_STEP_NS * offset) - t_a) * (-1000.0)
    with np.errstate(invalid="ignore", over="ignore"):
        overflow = ~((raw > -(2.0 ** 51)) & (raw < 2.0 ** 51))
        shifter = 1.5 * 2.0 ** 52
        rounded = (raw + shifter) - shifter
        overflow |= ~((rounded >= -2147483648.0) & (rounded <= 2147483647.0))
    ps = np.where(overflow, 0.0, rounded).astype(np.int32)
    return ps, overflow


def convert(records, calibration):
    """Decodes records (an (n, 7) uint8 array, each starting with 'R') with one calibration.

    Returns (kept, dt, a, b, offset, flags, rejected, first_fault): `kept` the indices of the
    records the panel converts, the four columns for them, `rejected` the counts by reason
    ("gate", "plausibility", "overflow") and `first_fault` None or (index, fault) of the first
    record the conversion stops at; the columns then hold only the records before it.
    """
    n = len(records)
    rejected = {"gate": 0, "plausibility": 0, "overflow": 0}
    empty = np.zeros(0, dtype=np.int32)
    if not calibration.gate_open():
        rejected["gate"] = n
        return np.zeros(0, dtype=np.int64), empty, empty, empty, empty, empty, rejected, None

    a = records[:, 1].astype(np.int32) * 256 + records[:, 2]
    b = (records[:, 3] & 0x0F).astype(np.int32) * 256 + records[:, 4]
    plausible = (a > PLAUSIBLE_LOW) & (a < PLAUSIBLE_HIGH) & (b > PLAUSIBLE_LOW) & (b < PLAUSIBLE_HIGH)
    # A's high byte has all eight bits: 128 or more is an overflowing, corrupt record.
    overflowed = ~plausible & (records[:, 1] >= 128)
    rejected["overflow"] = int(np.count_nonzero(overflowed))
    rejected["plausibility"] = int(n - np.count_nonzero(plausible)) - rejected["overflow"]

    kept = np.flatnonzero(plausible)
    a, b = a[kept], b[kept]
    offset = records[kept, 5].astype(np.int32)
    flags = records[kept, 6].astype(np.int32)
    table_a = ChannelTable(calibration.channel("A"))
    table_b = ChannelTable(calibration.channel("B"))
    dt, overflow = time_difference(table_a.ns[a], table_b.ns[b], offset.astype(np.float64))

    # Per record the first fault in the panel's order: A's, then B's, then the difference's.
    fault = np.where(overflow, Fault.OVERFLOW, Fault.NONE).astype(np.uint8)
    fault_b = table_b.fault[b]
    fault = np.where(fault_b != 0, fault_b, fault)
    fault_a = table_a.fault[a]
    fault = np.where(fault_a != 0, fault_a, fault)
    bad = np.flatnonzero(fault)
    first_fault = None
    if len(bad):
        stop = bad[0]
        first_fault = (int(kept[stop]), int(fault[stop]))
        kept, dt, a, b, offset, flags = kept[:stop], dt[:stop], a[:stop], b[:stop], offset[:stop], flags[:stop]
    return kept, dt, a, b, offset, flags, rejected, first_fault
