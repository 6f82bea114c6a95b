"""@brief read_run: one data file (plain, verbose or raw) and its sidecar, as numpy arrays."""

import os
from dataclasses import dataclass, field

import numpy as np

from .conversion import RECORD_LENGTH, Fault, convert
from .errors import ConversionError, FormatError
from .numbers import UnknownLocale
from .sidecar import calibrations, load_sidecar, sidecar_path, start_calibration
from .textformat import read_plain, read_verbose

__all__ = ["Run", "read_run"]

BLOCK_RECORDS = 1 << 20


@dataclass(eq=False)
class Run:
    """One run's records.

    dt: time differences in ps (int32), one per line or per converted record.
    a, b: the two readings; offset: the coarse offset (10 ns steps); flags: for verbose files
    the OR/A value the line shows (the flags byte mod 16), for raw files the whole flags byte
    as received. None for plain files, whose lines carry the difference alone.
    sidecar: the sidecar as a dict, None when there is none; sidecar_json its text.
    rejected: for raw files, the records the panel's decoder skips, by reason ("gate",
    "plausibility", "overflow"); None for text files, which hold only records already converted.
    """

    path: str
    kind: str
    dt: np.ndarray
    a: np.ndarray = None
    b: np.ndarray = None
    offset: np.ndarray = None
    flags: np.ndarray = None
    sidecar: dict = None
    sidecar_json: str = None
    rejected: dict = field(default=None)

    def __len__(self):
        return len(self.dt)

    def __repr__(self):
        return f"Run({self.path!r}, kind={self.kind!r}, records={len(self)})"


def _kind(data, sidecar):
    """What the sidecar says the file is; without one, what its first bytes look like (a raw
    record starts with 'R', a verbose line has " A=")."""
    if sidecar is not None:
        options = sidecar.get("options") if isinstance(sidecar.get("options"), dict) else {}
        return "raw" if options.get("raw") else "verbose" if options.get("verbose") else "plain"
    if len(data) and data[0] == ord("R"):
        return "raw"
    first_line = bytes(data[:256]).split(b"\n", 1)[0]
    return "verbose" if b" A=" in first_line else "plain"


def _read_raw(path, data, sidecar, sidecar_file):
    if sidecar is None:
        raise FormatError(path, f"a raw data file cannot be decoded without its sidecar ({sidecar_file} is missing)")
    count = len(data) // RECORD_LENGTH
    records = data[:count * RECORD_LENGTH].reshape(count, RECORD_LENGTH)
    foreign = np.flatnonzero(records[:, 0] != ord("R"))
    if len(foreign):
        i = int(foreign[0])
        raise FormatError(path, f"not a record: it starts with {bytes(records[i, :1])!r} where 'R' belongs (a text or "
                                f"foreign file, or bytes lost before it?)", offset=i * RECORD_LENGTH)
    if len(data) % RECORD_LENGTH:
        raise FormatError(path, f"the file ends inside a record ({len(data) % RECORD_LENGTH} of {RECORD_LENGTH} bytes): "
                                f"a torn write?", offset=count * RECORD_LENGTH)

    # Checked before any change applies, as tallyscope-replay does.
    start = start_calibration(sidecar)
    if not start.gate_open():
        raise FormatError(sidecar_file, f"the calibration is outside its windows, so the panel converted nothing with "
                                        f"it: {start.describe()}")
    # Filled as the blocks are converted; records skipped leave the tail unused.
    columns = [np.empty(count, dtype=np.int32) for _ in range(5)]
    filled = 0
    rejected = {"gate": 0, "plausibility": 0, "overflow": 0}
    for first, end, calibration in calibrations(sidecar, count):
        # In blocks: the conversion's temporaries are several times the block's size.
        for block in range(first, end, BLOCK_RECORDS):
            try:
                kept, *values, skipped, fault = convert(records[block:min(end, block + BLOCK_RECORDS)], calibration)
            except UnknownLocale as e:
                raise FormatError(sidecar_file, str(e)) from None
            for column, v in zip(columns, values):
                column[filled:filled + len(v)] = v
            filled += len(values[0])
            for reason, n in skipped.items():
                rejected[reason] += n
            if fault is not None:
                index = block + fault[0]
                raise ConversionError(path, Fault.TEXT[fault[1]], offset=index * RECORD_LENGTH,
                                      detail=f"record {index + 1}, converted with {calibration.describe()}")
    dt, a, b, offset, flags = (c[:filled] for c in columns)
    return Run(path, "raw", dt, a, b, offset, flags, rejected=rejected)


def _map(path):
    """The file's bytes, mapped rather than read: a file of hundreds of megabytes is then held
    by the page cache, not by the process, while its columns are built."""
    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size == 0:
            return np.zeros(0, dtype=np.uint8)
        return np.memmap(f, dtype=np.uint8, mode="r")


def read_run(path):
    """The records of a data file written by the panel, tallyscope-record or tallyscope-replay.

    Plain and verbose files are read as they are; a sidecar beside them is read too, when
    there is one. A raw file is decoded with its sidecar's calibration, changes included,
    bit for bit as tallyscope-replay decodes it. FormatError (a ValueError) for a file that
    is torn, foreign or not what its first line says, naming the line or byte offset.
    """
    path = os.fspath(path)
    sidecar_file = sidecar_path(path)
    sidecar, sidecar_text = load_sidecar(sidecar_file)
    data = _map(path)
    kind = _kind(data, sidecar)
    if kind == "raw":
        run = _read_raw(path, data, sidecar, sidecar_file)
    elif kind == "verbose":
        run = Run(path, "verbose", *read_verbose(path, data))
    else:
        run = Run(path, "plain", read_plain(path, data))
    run.sidecar = sidecar
    run.sidecar_json = sidecar_text
    return run
