"""@brief A run as HDF5 or npz: the record columns as datasets, the sidecar flattened into attributes with units.

The names, types and units are listed in python/README.md ("Export layout"); a change here is a
change there. h5py is imported only by write_hdf5, so that npz needs numpy alone.
"""

import json
import math
import os
import re
import tempfile

import numpy as np

from .numbers import UnknownLocale, strict_number

__all__ = ["attributes", "dataset_attributes", "write_hdf5", "write_npz"]

READER_VERSION = "1.0.8"

# Sidecar keys (dotted paths) with names of their own; anything else is flattened by rule.
_NAMES = {
    "kind": "sidecar_kind",
    "formatVersion": "sidecar_format_version",
    "programVersion": "program_version",
    "dataFile": "data_file",
    "complete": "complete",
    "start": "start",
    "stop": "stop",
    "locale": "locale",
    "instrument.address": "instrument_address",
    "instrument.port": "instrument_port",
    "instrument.fpga": "instrument_fpga",
    "instrument.module": "instrument_module",
    "options.display": "option_display",
    "options.verbose": "option_verbose",
    "options.file": "option_file",
    "options.raw": "option_raw",
    "dac.aCode": "dac_a_code",
    "dac.aEntry": "dac_a_entry",
    "records.decoded": "records_decoded",
    "records.written": "records_written",
    "linkHealth.recordsDecoded": "link_records_decoded",
    "linkHealth.bytes": "link_bytes",
    "linkHealth.rejectedByGate": "link_rejected_by_gate",
    "linkHealth.rejectedByPlausibility": "link_rejected_by_plausibility",
    "linkHealth.rejectedByOverflow": "link_rejected_by_overflow",
    "linkHealth.bytesDroppedByResync": "link_bytes_dropped_by_resync",
    "linkHealth.errors": "link_errors",
    "linkHealth.reconnects": "link_reconnects",
    "dataFileError": "data_file_error",
}
# A calibration's texts, read as the panel reads them for its conversion.
_CALIBRATION = {
    "aLow": "cal_a_low",
    "aHigh": "cal_a_high",
    "bLow": "cal_b_low",
    "bHigh": "cal_b_high",
    "tauA": "tau_a_ns",
    "tauB": "tau_b_ns",
}
_CHANGE = {"time": "time", "reason": "reason", "entriesBefore": "entries_before"}

_DATASETS = {
    "dt": {"unit": "ps", "description": "time difference, B later than A negative"},
    "a": {"unit": "ADC code", "description": "channel A reading (12 bits)"},
    "b": {"unit": "ADC code", "description": "channel B reading (12 bits)"},
    "offset": {"unit": "10 ns", "description": "coarse offset, in steps of 10 ns"},
    "flags": {"unit": "", "description": "bit 0 overrange A, bit 1 overrange B (verbose files: the byte mod 16)"},
}


def _snake(name):
    return re.sub(r"(?<=[a-z0-9])([A-Z])", r"_\1", name).lower()


def _number(text, locale):
    try:
        value = strict_number(text, locale) if isinstance(text, str) else None
    except UnknownLocale:
        value = None
    return math.nan if value is None else value


def _flatten(value, prefix, out):
    """Scalars under readable names; null values are left out (HDF5 has no null)."""
    if isinstance(value, dict):
        for key, item in value.items():
            _flatten(item, f"{prefix}_{_snake(key)}" if prefix else _snake(key), out)
    elif isinstance(value, list):
        out[f"{prefix}_count"] = len(value)
        for i, item in enumerate(value, 1):
            _flatten(item, f"{prefix}_{i}", out)
    elif value is not None:
        out[prefix] = value


def _calibration(calibration, prefix, locale, out):
    for key, name in _CALIBRATION.items():
        out[prefix + name] = _number(calibration.get(key), locale)


def attributes(run):
    """The file's attributes: what the reader found, then the sidecar's fields (when there is
    a sidecar), each a str, bool, int or float."""
    out = {
        "kind": run.kind,
        "source_file": os.path.basename(run.path),
        "records": len(run),
        "reader_version": READER_VERSION,
    }
    if run.rejected is not None:
        for reason, count in run.rejected.items():
            out[f"rejected_by_{reason}"] = count
    sidecar = run.sidecar
    if sidecar is None:
        return out
    locale = sidecar.get("locale") or "C"
    for key, value in sidecar.items():
        if key == "calibration" and isinstance(value, dict):
            _calibration(value, "", locale, out)
        elif key == "calibrationChanges" and isinstance(value, list):
            out["calibration_changes"] = len(value)
            for i, change in enumerate(value, 1):
                prefix = f"calibration_change_{i}_"
                for k, item in (change.items() if isinstance(change, dict) else ()):
                    if k == "calibration" and isinstance(item, dict):
                        _calibration(item, prefix, locale, out)
                    elif item is not None:
                        _flatten(item, prefix + _CHANGE.get(k, _snake(k)), out)
        elif key == "registers" and isinstance(value, list):
            for register in value:
                if isinstance(register, dict) and isinstance(register.get("index"), int):
                    for k in ("name", "value"):
                        if register.get(k) is not None:
                            out[f"register_{register['index']}_{k}"] = register[k]
        elif isinstance(value, dict):
            for k, item in value.items():
                name = _NAMES.get(f"{key}.{k}", f"{_snake(key)}_{_snake(k)}")
                _flatten(item, name, out)
        else:
            _flatten(value, _NAMES.get(key, _snake(key)), out)
    out["sidecar_json"] = run.sidecar_json
    return out


def _columns(run):
    return {name: getattr(run, name) for name in _DATASETS if getattr(run, name) is not None}


def dataset_attributes(run):
    """{dataset: {attribute: value}} for the datasets the run has."""
    return {name: dict(_DATASETS[name]) for name in _columns(run)}


def _replace_atomically(path, write):
    """Writes through a temporary file beside path, so that a failed export leaves no half file."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".tallyscope-export-", dir=folder)
    os.close(fd)
    try:
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def write_hdf5(run, path):
    import h5py  # only here: npz users need not have it

    def write(target):
        with h5py.File(target, "w") as f:
            for name, value in attributes(run).items():
                f.attrs[name] = value
            for name, column in _columns(run).items():
                dataset = f.create_dataset(name, data=column)
                for k, v in _DATASETS[name].items():
                    dataset.attrs[k] = v

    _replace_atomically(path, write)


def write_npz(run, path):
    """The columns as arrays, and one more, `attributes`: a 0-d string array holding a JSON
    object of the file's attributes and, as "<dataset>/<attribute>", the datasets' own."""
    merged = dict(attributes(run))
    for name, attrs in dataset_attributes(run).items():
        for k, v in attrs.items():
            merged[f"{name}/{k}"] = v
    # NaN is not JSON: a calibration text that is no number is null there.
    text = json.dumps({k: None if isinstance(v, float) and math.isnan(v) else v for k, v in merged.items()},
                      ensure_ascii=False)

    def write(target):
        with open(target, "wb") as f:
            np.savez(f, attributes=np.array(text), **_columns(run))

    _replace_atomically(path, write)
