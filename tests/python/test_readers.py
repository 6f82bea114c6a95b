"""@brief read_run against runs the real recorder wrote from the simulator, checked against the simulator's ground truth and tallyscope-replay; torn and foreign files refused with their place."""

import numpy as np
import pytest
from conftest import cal, records_from, replay, write_raw

from tallyscope import FormatError, read_run


def written(run):
    return run.sidecar["records"]["written"]


def truth_columns(truth_bytes):
    r = truth_bytes.astype(np.int64)
    return r[:, 1] * 256 + r[:, 2], (r[:, 3] & 0x0F) * 256 + r[:, 4], r[:, 5], r[:, 6]


def test_plain_recording_holds_the_differences_the_simulator_sent(recordings):
    rec = recordings["plain"]
    run = read_run(rec.path)
    n = written(run)
    assert run.kind == "plain" and len(run) == n >= 3000
    np.testing.assert_array_equal(run.dt, rec.truth_dt[:n])
    assert run.a is None and run.b is None and run.offset is None and run.flags is None
    # The notes were in the file: the lines were not all of the fixed 11-byte shape.
    assert b", Overrange B!\r\n" in rec.path.read_bytes()


@pytest.mark.parametrize("name, separator, low, high", [("verbose de", b".", -2_000_000, -1_000_000),
                                                        ("verbose fr", "\u202f".encode(), 1000, 8000)])
def test_verbose_recording_holds_every_field_the_simulator_sent(recordings, name, separator, low, high):
    rec = recordings[name]
    run = read_run(rec.path)
    n = written(run)
    assert run.kind == "verbose" and len(run) == n >= 3000
    a, b, offset, flags = truth_columns(rec.truth_bytes[:n])
    np.testing.assert_array_equal(run.dt, rec.truth_dt[:n])
    np.testing.assert_array_equal(run.a, a)
    np.testing.assert_array_equal(run.b, b)
    np.testing.assert_array_equal(run.offset, offset)
    np.testing.assert_array_equal(run.flags, flags % 16)
    # Numbers grouped with the locale's separator: millions below zero in one, thousands above in the other.
    assert ((run.dt >= low) & (run.dt <= high)).any()
    assert separator in rec.path.read_bytes()


def test_raw_recording_decodes_as_sent_and_as_replay_decodes_it(recordings, replay_exe, tmp_path):
    rec = recordings["raw"]
    run = read_run(rec.path)
    n = written(run)
    assert run.kind == "raw" and len(run) == n >= 3000
    assert run.rejected == {"gate": 0, "plausibility": 0, "overflow": 0}
    a, b, offset, flags = truth_columns(rec.truth_bytes[:n])
    np.testing.assert_array_equal(run.dt, rec.truth_dt[:n])
    np.testing.assert_array_equal(run.a, a)
    np.testing.assert_array_equal(run.b, b)
    np.testing.assert_array_equal(run.offset, offset)
    np.testing.assert_array_equal(run.flags, flags)
    # The unused bits were set: B is read from its low nibble only.
    assert (rec.truth_bytes[:n, 3] >= 16).any()

    status, err = replay(replay_exe, rec.path, tmp_path / "lines.txt")
    assert status == 0, err
    np.testing.assert_array_equal(read_run(tmp_path / "lines.txt").dt, run.dt)


def _lines(path):
    return path.read_bytes().split(b"\r\n")[:-1]


# Each case: how a good file is spoiled, and the line (text) or byte offset (raw) the error names.
def _cut_inside_last_line(data, lines):
    return data[:-5], {"line": len(lines)}, "torn"


def _lf_only(data, lines):
    return b"\r\n".join(lines[:10]) + b"\r\n" + lines[10] + b"\n" + b"\r\n".join(lines[11:]) + b"\r\n", {"line": 11}, "CR LF"


def _plain_in_verbose(data, lines):
    spoiled = lines[:20] + [b"   -25000"] + lines[20:]
    return b"".join(line + b"\r\n" for line in spoiled), {"line": 21}, "plain line in a verbose file"


def _other_separator(data, lines):
    spoiled = list(lines)
    spoiled[30] = b"-1,234,567 A=1000 B=1000 Offset=3 OR/A=0"
    return b"".join(line + b"\r\n" for line in spoiled), {"line": 31}, "grouped"


def _notes_against_flags(data, lines):
    spoiled = list(lines)
    spoiled[40] = b"-25.000 A=1000 B=1000 Offset=3 OR/A=2, Overrange A!"
    return b"".join(line + b"\r\n" for line in spoiled), {"line": 41}, "OR/A=2"


def _foreign_bytes(data, lines):
    # Without the sidecar beside it (the copy has none) the file is taken for plain text.
    return b"\x89PNG\r\n\x1a\n" + data, {"line": 1}, "not a plain record line"


@pytest.mark.parametrize("spoil", [_cut_inside_last_line, _lf_only, _plain_in_verbose, _other_separator,
                                   _notes_against_flags, _foreign_bytes])
def test_spoiled_verbose_file_is_refused_at_its_line(recordings, tmp_path, spoil):
    source = recordings["verbose de"].path
    data, where, words = spoil(source.read_bytes(), _lines(source))
    path = tmp_path / "spoiled.txt"
    path.write_bytes(data)
    with pytest.raises(FormatError) as caught:
        read_run(path)
    assert (caught.value.line, caught.value.offset) == (where["line"], None)
    assert f"line {where['line']}:" in str(caught.value) and words in str(caught.value)


@pytest.mark.parametrize("line, words", [
    (b"-25.000 A=1000 B=1000 Offset=256 OR/A=0", "out of range"), (b"-25.000 A=1000 B=1000 Offset=3 OR/A=16", "out of range"),
    (b"-25.000 A=0700 B=1000 Offset=3 OR/A=0", "leading zeros"), (b"-25.000 A=1000 B=1000 Offset=03 OR/A=0", "leading zeros"),
    (b"-025.000 A=1000 B=1000 Offset=3 OR/A=0", "leading zero"), (b".250.000 A=1000 B=1000 Offset=3 OR/A=0", "not a verbose"),
    (b"-2.147.483.649 A=1000 B=1000 Offset=3 OR/A=0", "32-bit range"), (b"-25.000 A=1000 B=1000 Offset=3 B=1000 OR/A=0", "not a"),
    (b"-25.000 A=1000 B=1000 OR/A=0", "not a verbose"), (b"-25.000 A=1000 B=1000 Offset=3 OR/A=0 ", "not a verbose"),
])
def test_verbose_line_the_panel_never_writes_is_refused(recordings, tmp_path, line, words):
    lines = _lines(recordings["verbose de"].path)
    path = tmp_path / "spoiled.txt"
    path.write_bytes(b"".join(x + b"\r\n" for x in lines[:50] + [line] + lines[50:]))
    with pytest.raises(FormatError, match=f"line 51: .*{words}"):
        read_run(path)


@pytest.mark.parametrize("line, words", [
    (b"      -2\r\n", "not a plain record line"), (b"   -25000, Overrange C!\r\n", "not a plain"),
    (b"-25.000 A=1000 B=1000 Offset=3 OR/A=0\r\n", "verbose line"), (b"   -250000\n", "CR LF"),
    # Nine characters and CR LF, as every other line: the shape alone does not make a line.
    (b" -25 000 \r\n", "not a plain"), (b"  --25000\r\n", "not a plain"), (b"   250-00\r\n", "not a plain"),
    (b"   -2500\n\r\n", "CR LF"),
])
@pytest.mark.parametrize("with_notes", [False, True])
def test_spoiled_plain_file_is_refused_at_its_line(recordings, tmp_path, line, words, with_notes):
    lines = [x + b"\r\n" for x in _lines(recordings["plain"].path) if with_notes or len(x) == 9]
    path = tmp_path / "spoiled.txt"
    path.write_bytes(b"".join(lines[:100] + [line] + lines[100:]))
    with pytest.raises(FormatError, match=f"line 101: .*{words}"):
        read_run(path)


def test_torn_plain_file_names_its_last_line(recordings, tmp_path):
    lines = _lines(recordings["plain"].path)
    path = tmp_path / "torn.txt"
    # Every complete line has the fixed shape, so the torn tail is all that is wrong.
    path.write_bytes(b"".join(x + b"\r\n" for x in lines if len(x) == 9) + b"   -2")
    count = sum(1 for x in lines if len(x) == 9)
    with pytest.raises(FormatError, match=f"line {count + 1}: .*torn"):
        read_run(path)


@pytest.fixture
def raw_file(tmp_path):
    rng = np.random.default_rng(4)
    records = records_from(rng.integers(700, 2300, 500), rng.integers(700, 2300, 500), 3, 0)
    return write_raw(tmp_path / "run.txt", records, cal())


@pytest.mark.parametrize("spoil, offset, words", [
    (lambda d: d[:-3], 7 * 499, "ends inside a record"),
    (lambda d: d[:7 * 200 + 3] + d[7 * 200 + 4:], 7 * 201, "where 'R' belongs"),
    (lambda d: b"   -25000\r\n" + d, 0, "where 'R' belongs"),
    (lambda d: b"RIFF\x24\x08\x00\x00WAVEfmt " + d, 7, "where 'R' belongs"),
])
def test_spoiled_raw_file_is_refused_at_its_offset(raw_file, spoil, offset, words):
    raw_file.write_bytes(spoil(raw_file.read_bytes()))
    with pytest.raises(FormatError) as caught:
        read_run(raw_file)
    assert caught.value.offset == offset and f"byte offset {offset}:" in str(caught.value) and words in str(caught.value)


def test_raw_file_needs_its_sidecar(raw_file):
    raw_file.with_suffix(".json").unlink()
    with pytest.raises(FormatError, match="without its sidecar"):
        read_run(raw_file)


@pytest.mark.parametrize("text, words", [("{", "not a JSON document"), ('{"kind": "something else"}', "not a run sidecar"),
                                         ('{"kind": "Tallyscope run", "formatVersion": 2}', "format 2"),
                                         ('{"kind": "Tallyscope run", "formatVersion": 1, "calibration": {"aLow": "500"}}',
                                          "calibration is missing")])
def test_foreign_sidecar_is_refused(raw_file, text, words):
    raw_file.with_suffix(".json").write_text(text, encoding="utf-8")
    with pytest.raises(FormatError, match=words) as caught:
        read_run(raw_file)
    assert caught.value.path.endswith("run.json")


def test_empty_files_read_as_their_sidecar_says(tmp_path):
    path = write_raw(tmp_path / "empty.txt", np.zeros((0, 7), dtype=np.uint8), cal())
    run = read_run(path)
    assert (run.kind, len(run), run.dt.dtype) == ("raw", 0, np.int32)
    (tmp_path / "plain.txt").write_bytes(b"")
    assert read_run(tmp_path / "plain.txt").kind == "plain"
