"""@brief The run's sidecar: found beside its data file, read, and checked as the panel's own reader checks it."""

import json
import os

from .conversion import Calibration
from .errors import FormatError

__all__ = ["sidecar_path", "load_sidecar", "start_calibration", "calibrations"]

KIND = "Tallyscope run"
FORMAT_VERSION = 1


def sidecar_path(data_path):
    """The data file's path with ".txt" replaced by ".json" (appended when there is no ".txt")."""
    data_path = os.fspath(data_path)
    if data_path.lower().endswith(".txt"):
        return data_path[:-4] + ".json"
    return data_path + ".json"


def load_sidecar(path):
    """(dict, text) of the sidecar at path, or (None, None) when there is none.
    FormatError when it is not a sidecar of a format this reader knows."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except FileNotFoundError:
        return None, None
    try:
        text = raw.decode("utf-8")
        data = json.loads(text)
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise FormatError(path, f"not a JSON document: {e}") from None
    if not isinstance(data, dict) or data.get("kind") != KIND:
        raise FormatError(path, "not a run sidecar")
    version = data.get("formatVersion")
    if not isinstance(version, int) or not 1 <= version <= FORMAT_VERSION:
        raise FormatError(path, f"sidecar format {version} is not known to this reader")
    _calibration(path, data.get("calibration"), "the calibration")
    changes = data.get("calibrationChanges", [])
    if not isinstance(changes, list):
        raise FormatError(path, "the calibration changes are not a list")
    for i, change in enumerate(changes, 1):
        if not isinstance(change, dict):
            raise FormatError(path, f"calibration change {i} is not an object")
        _calibration(path, change.get("calibration"), f"calibration change {i}")
    return data, text


def _calibration(path, value, what):
    if not isinstance(value, dict) or not all(isinstance(value.get(k), str) for k in Calibration.CELLS + ("tauA", "tauB")):
        raise FormatError(path, f"{what} is missing or incomplete")
    return value


def _entries_before(change):
    # As the panel reads it: a whole count, negative or missing as 0.
    value = change.get("entriesBefore", 0)
    if isinstance(value, bool) or not isinstance(value, (int, float)) or value != int(value):
        return 0
    return max(0, int(value))


def start_calibration(sidecar):
    """The calibration the run started with."""
    return Calibration(sidecar["calibration"], sidecar.get("locale") or "C")


def calibrations(sidecar, record_count):
    """[(first, end, Calibration)] covering records 0..record_count, each record with the
    calibration the panel converted it with: the run's own until the first change's
    `entriesBefore`, and so on. Changes are applied in their order, as tallyscope-replay does:
    every change whose entry has been reached before the next record, the last one winning."""
    locale = sidecar.get("locale") or "C"
    current = start_calibration(sidecar)
    changes = sidecar.get("calibrationChanges", [])
    segments = []
    position = 0
    k = 0
    while position < record_count:
        while k < len(changes) and _entries_before(changes[k]) <= position:
            current = Calibration(changes[k]["calibration"], locale)
            k += 1
        end = record_count if k == len(changes) else min(record_count, _entries_before(changes[k]))
        segments.append((position, end, current))
        position = end
    return segments
