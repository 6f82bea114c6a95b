"""@brief python3 -m tallyscope export: HDF5 and npz read back equal to the run, the sidecar's fields as attributes with units, exit codes and one-line complaints."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import REPO, cal, records_from, write_raw

from tallyscope import read_run

COLUMNS = ("dt", "a", "b", "offset", "flags")


def export(*args, block_h5py=False):
    """Runs the command line in a fresh interpreter; (status, stdout, stderr)."""
    code = "import sys, runpy\n"
    if block_h5py:
        code += "sys.modules['h5py'] = None\n"
    code += "sys.argv = ['tallyscope'] + sys.argv[1:]\nrunpy.run_module('tallyscope', run_name='__main__')\n"
    env = dict(os.environ, PYTHONPATH=str(REPO / "python"), PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True, env=env, timeout=60)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def raw_run(tmp_path):
    rng = np.random.default_rng(9)
    n = 5000
    records = records_from(rng.integers(651, 2350, n), rng.integers(651, 2350, n), rng.integers(0, 256, n),
                           rng.integers(0, 256, n))
    changed = cal("503", "3598", "505", "3603", "9,5", "9,4")
    path = write_raw(tmp_path / "run.txt", records, cal(tau_a="9,47", tau_b="9,49"), [(2500, changed)], "de_DE")
    sidecar = json.loads(path.with_suffix(".json").read_text(encoding="utf-8"))
    sidecar.update({"instrument": {"address": "127.0.0.1", "port": 37829, "fpga": "FPGA: 1.2.3", "module": "Rabbit: RCM"},
                    "records": {"decoded": n, "written": n}, "dac": {"aCode": None, "aEntry": "1000"},
                    "registers": [{"index": 3, "name": "ADC A", "value": 502}, {"index": 6, "name": "State", "value": None}],
                    "linkHealth": {"bytes": 7 * n, "reconnects": 1}, "start": "2026-01-02T03:04:05.000+01:00",
                    "dataFileError": None, "futureField": {"someValue": 3}})
    path.with_suffix(".json").write_text(json.dumps(sidecar, indent=4), encoding="utf-8")
    return path


def hdf5_attributes(attrs):
    return {k: v.item() if isinstance(v, np.generic) else v for k, v in attrs.items()}


def test_raw_run_exports_equal_in_hdf5_and_npz(raw_run, tmp_path):
    h5py = pytest.importorskip("h5py")
    status, out, err = export("export", raw_run, "--hdf5", tmp_path / "out.h5", "--npz", tmp_path / "out.npz")
    assert (status, out, err) == (0, "", "")
    run = read_run(raw_run)
    with h5py.File(tmp_path / "out.h5", "r") as f:
        for name in COLUMNS:
            assert f[name].dtype == np.int32 and np.array_equal(f[name][()], getattr(run, name))
        assert f["dt"].attrs["unit"] == "ps" and f["offset"].attrs["unit"] == "10 ns"
        attrs = hdf5_attributes(f.attrs)
    # The texts as the panel reads them in the run's locale, numbers with their units in the name.
    assert (attrs["tau_a_ns"], attrs["tau_b_ns"], attrs["cal_a_low"], attrs["cal_b_high"]) == (9.47, 9.49, 500.0, 3590.0)
    assert (attrs["calibration_changes"], attrs["calibration_change_1_entries_before"]) == (1, 2500)
    assert (attrs["calibration_change_1_tau_a_ns"], attrs["calibration_change_1_cal_a_high"]) == (9.5, 3598.0)
    assert attrs["calibration_change_1_time"] == "2026-01-02T03:04:05.000+01:00"
    assert (attrs["instrument_port"], attrs["link_bytes"], attrs["link_reconnects"]) == (37829, 35000, 1)
    assert (attrs["register_3_name"], attrs["register_3_value"], attrs["records_written"]) == ("ADC A", 502, 5000)
    assert (attrs["kind"], attrs["records"], attrs["locale"], attrs["option_raw"]) == ("raw", len(run), "de_DE", True)
    assert attrs["future_field_some_value"] == 3 and attrs["dac_a_entry"] == "1000"
    # Null in the sidecar is no attribute.
    assert not {"dac_a_code", "register_6_value", "data_file_error"} & set(attrs)
    assert attrs["sidecar_json"] == raw_run.with_suffix(".json").read_text(encoding="utf-8")

    with np.load(tmp_path / "out.npz") as z:
        for name in COLUMNS:
            assert np.array_equal(z[name], getattr(run, name))
        stored = json.loads(z["attributes"].item())
    assert stored.pop("dt/unit") == "ps" and stored.pop("flags/unit") == ""
    assert {k: v for k, v in stored.items() if "/" not in k} == attrs


def test_plain_file_without_sidecar_exports_its_differences_alone(tmp_path):
    h5py = pytest.importorskip("h5py")
    path = tmp_path / "lines.txt"
    path.write_bytes(b"   -25000\r\n        7, Overrange B!\r\n123456789\r\n")
    assert export("export", path, "--hdf5", tmp_path / "out.h5")[0] == 0
    with h5py.File(tmp_path / "out.h5", "r") as f:
        assert list(f.keys()) == ["dt"] and list(f["dt"][()]) == [-25000, 7, 123456789]
        assert "sidecar_json" not in f.attrs and f.attrs["kind"] == "plain"


def test_calibration_text_that_is_no_number_is_nan_and_null(tmp_path):
    # A plain run: a raw one would not convert with such a text at all.
    lines = write_raw(tmp_path / "lines.txt", np.zeros((0, 7), dtype=np.uint8), cal(tau_a="9,47", tau_b="9.49x"),
                      locale="de_DE")
    lines.write_bytes(b"   -25000\r\n")
    sidecar = json.loads(lines.with_suffix(".json").read_text(encoding="utf-8"))
    lines.with_suffix(".json").write_text(json.dumps(dict(sidecar, options={"raw": False})), encoding="utf-8")
    assert export("export", lines, "--npz", tmp_path / "out.npz")[0] == 0
    with np.load(tmp_path / "out.npz") as z:
        stored = json.loads(z["attributes"].item())
    assert stored["tau_b_ns"] is None and stored["tau_a_ns"] == 9.47


def test_npz_needs_no_h5py_and_hdf5_says_it_does(raw_run, tmp_path):
    status, _, err = export("export", raw_run, "--npz", tmp_path / "out.npz", block_h5py=True)
    assert status == 0, err
    status, _, err = export("export", raw_run, "--hdf5", tmp_path / "out.h5", block_h5py=True)
    assert status == 1 and "h5py" in err and err.count("\n") == 1
    assert not (tmp_path / "out.h5").exists()


@pytest.mark.parametrize("data, words", [(b"   -25000\r\n      12", "line 2"), (b"\x00\x01\x02", "line 1")])
def test_bad_file_fails_with_one_line(tmp_path, data, words):
    path = tmp_path / "bad.txt"
    path.write_bytes(data)
    status, out, err = export("export", path, "--npz", tmp_path / "out.npz")
    assert status == 1 and words in err and err.count("\n") == 1 and out == ""
    assert not (tmp_path / "out.npz").exists()


@pytest.mark.parametrize("args", [["export", "run.txt"], ["export"], ["convert", "run.txt"], []])
def test_wrong_call_is_a_usage_error(args):
    status, _, err = export(*args)
    assert status == 2 and "usage:" in err


def test_missing_file_and_unwritable_output_fail_cleanly(raw_run, tmp_path):
    status, _, err = export("export", tmp_path / "absent.txt", "--npz", tmp_path / "out.npz")
    assert status == 1 and "absent.txt" in err and err.count("\n") == 1
    status, _, err = export("export", raw_run, "--npz", tmp_path / "no" / "such" / "out.npz")
    assert status == 1 and err.count("\n") == 1
    # A folder in the output's place: written in full beside it, then refused, and cleared away.
    (tmp_path / "taken").mkdir()
    status, _, err = export("export", raw_run, "--npz", tmp_path / "taken")
    assert status == 1 and "taken" in err and err.count("\n") == 1
    assert sorted(p.name for p in Path(tmp_path).iterdir()) == ["run.json", "run.txt", "taken"]
