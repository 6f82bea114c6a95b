"""@brief Raw decoding bit for bit as tallyscope-replay: random streams and calibrations, the texts as the panel reads them, and the faults it stops at."""

import re

import numpy as np
import pytest
from conftest import cal, records_from, replay, write_raw

from tallyscope import ConversionError, FormatError, read_run

SUMMARY = re.compile(r"(\d+) records decoded, (\d+) rejected by the gate, (\d+) implausible")

# Calibration texts as operators and the panel leave them, per locale: the panel reads the
# cells (as leading numbers) for its gate and everything (as strict numbers) for the conversion.
CALIBRATIONS = {
    "C": [cal(), cal("497", "3601", "512", "3588", "9.5", "9.4"), cal(" 549 ", "3551", "451", "&HE0F", "10", "8.123456789"),
          cal("5.02e2", "3.6e3", "&H1F4", "3600", "9.47e0", ".949E1")],
    "de_DE": [cal(tau_a="9,47", tau_b="9,49"), cal("503", "3598", "505", "3603", "9,5", "9.4"),
              cal("540", "3560", "460", "3640", "10", "8,75"), cal(tau_a="1.000,5e-2", tau_b=",949e1")],
    "fr_FR": [cal(tau_a="9,47", tau_b="9,49"), cal("503", "3598", "505", "3603", "9,5", "9.4"),
              cal("520", "3620", "480", "3580", "1\u202f000,5e-2", "9.49")],
}
CLOSED = cal(a_low="560")  # outside its window: the gate drops every record


def random_records(rng, n):
    """Readings anywhere in 12 bits (most of them plausible), a few corrupt ones with A's high
    byte past 127, every offset and flags byte, and B's unused bits."""
    a = rng.integers(0, 4096, n)
    b = rng.integers(0, 4096, n)
    plausible = rng.random(n) < 0.7
    a[plausible] = rng.integers(651, 2350, plausible.sum())
    b[plausible] = rng.integers(651, 2350, plausible.sum())
    corrupt = rng.random(n) < 0.02
    a[corrupt] = rng.integers(128 * 256, 65536, corrupt.sum())
    return records_from(a, b, rng.integers(0, 256, n), rng.integers(0, 256, n), rng.integers(0, 16, n))


@pytest.mark.parametrize("seed, locale, closed", [(1, "C", False), (2, "de_DE", True), (3, "fr_FR", False)])
def test_random_streams_decode_as_replay_decodes_them(tmp_path, replay_exe, seed, locale, closed):
    rng = np.random.default_rng(seed)
    n = 60_000
    calibrations = CALIBRATIONS[locale]
    # Changes at random entries, one at the very start, one past the end (never reached), and
    # two at the same entry (the later one holds).
    entries = sorted(rng.integers(1, n, len(calibrations) - 1).tolist())
    changes = [(0, calibrations[1])] + [(e, c) for e, c in zip(entries, calibrations[1:])]
    changes += [(entries[-1], calibrations[0]), (n + 10, CLOSED)]
    if closed:
        changes.insert(2, (entries[0] + 1, CLOSED))
        changes.insert(3, (entries[0] + 2000, calibrations[2]))
    path = write_raw(tmp_path / "run.txt", random_records(rng, n), calibrations[0], changes, locale)

    run = read_run(path)
    for verbose in (False, True):
        status, err = replay(replay_exe, path, tmp_path / "lines.txt", verbose)
        # With records dropped by the gate the replay is not clean, but every line is written.
        assert status == (65 if closed else 0), err
        decoded, gate, implausible = (int(x) for x in SUMMARY.search(err).groups())
        assert (len(run), run.rejected["gate"], run.rejected["plausibility"]) == (decoded, gate, implausible)
        lines = read_run(tmp_path / "lines.txt")
        assert lines.kind == ("verbose" if verbose else "plain")
        assert np.array_equal(lines.dt, run.dt)
        if verbose:
            assert np.array_equal(lines.a, run.a) and np.array_equal(lines.b, run.b)
            assert np.array_equal(lines.offset, run.offset) and np.array_equal(lines.flags, run.flags % 16)
    assert (run.rejected["gate"] > 0) == closed and run.rejected["overflow"] > 0
    assert len(np.unique(run.dt)) > 1000


# (locale, which text, the text): read by the panel's rules, including their quirks.
TEXTS = [
    ("de_DE", "tauA", "9,47"), ("de_DE", "tauA", "9.470"), ("de_DE", "tauA", "1.000,5e-2"), ("de_DE", "tauA", "1,000.5e-2"),
    ("de_DE", "tauA", "9.47"), ("de_DE", "tauA", ",5e1"), ("de_DE", "tauA", "10,00,000"), ("de_DE", "tauA", "−9,47"),
    ("C", "tauA", "9,47"), ("C", "tauA", "0,001"), ("C", "tauA", "1,000e-2"), ("C", "tauA", "1234,567"),
    ("C", "tauA", "5."), ("C", "tauA", "1e-400"), ("C", "tauA", "1e-320"), ("C", "tauA", "inf"), ("C", "tauA", "9.47 x"),
    ("C", "tauB", "&H-A"), ("C", "tauB", "&O17"), ("C", "tauB", "&O8"), ("C", "tauB", " &H 10 "), ("C", "tauB", "0x10"),
    ("C", "tauB", "&H7FFFFFFFFFFFFFFF"), ("C", "tauB", "&H8000000000000000"), ("C", "aLow", "&O764"), ("C", "bHigh", "&HE0F"),
    ("es_ES", "tauA", "10.000e-3"), ("es_ES", "tauA", "1.000.000e-5"), ("pl_PL", "tauA", "10\u00a0000e-3"),
    ("pl_PL", "tauA", "1 000e-3"), ("fr_FR", "tauA", "1 000e-3"), ("de_CH", "tauA", "1’000e-2"), ("de_CH", "tauA", "9,47"),
    ("sv_SE", "tauB", "−9,49"), ("", "tauA", "9,47"), ("xx_YY", "tauA", "9.47"),
    ("C", "aLow", "500abc"), ("C", "aLow", "&H1F4"), ("C", "bHigh", "3.6e3"), ("de_DE", "aHigh", "3.600"),
    ("de_DE", "bLow", "510,0"), ("C", "bLow", "5.1e2"), ("C", "aHigh", "3600 "),
]


@pytest.mark.parametrize("locale, key, text", TEXTS)
def test_calibration_texts_read_as_the_panel_reads_them(tmp_path, replay_exe, locale, key, text):
    rng = np.random.default_rng(11)
    calibration = dict(cal(), **{key: text})
    path = write_raw(tmp_path / "run.txt", records_from(rng.integers(651, 2350, 50), rng.integers(651, 2350, 50),
                                                       rng.integers(0, 256, 50), 0), calibration, locale=locale)
    status, err = replay(replay_exe, path, tmp_path / "lines.txt")
    if status == 0:
        assert np.array_equal(read_run(path).dt, read_run(tmp_path / "lines.txt").dt)
        return
    if "outside its windows" in err:
        # The gate reads a leading number, locale-blind: "3.600" is 3.6 to it, whatever the locale.
        with pytest.raises(FormatError, match="outside its windows"):
            read_run(path)
        return
    fault = re.search(r"Doh! \(data\) (.*)", err)
    assert fault, err
    with pytest.raises(ConversionError) as caught:
        read_run(path)
    assert caught.value.fault == fault.group(1) and caught.value.offset == 0


@pytest.mark.parametrize("key, text, fault", [("tauA", "1e300", "Overflow"), ("tauB", "9.49x", "Type mismatch"),
                                              ("bLow", "510abc", "Type mismatch")])
def test_fault_stops_at_the_record_replay_stops_at(tmp_path, replay_exe, key, text, fault):
    """The record named by the error is the one replay stops at: what comes before it decodes
    cleanly, and with it the replay fails with the same words."""
    rng = np.random.default_rng(5)
    n = 3000
    records = random_records(rng, n)
    changed = dict(cal(), **{key: text})
    path = write_raw(tmp_path / "run.txt", records, cal(), [(1000, changed), (2000, cal())])
    with pytest.raises(ConversionError) as caught:
        read_run(path)
    error = caught.value
    assert error.fault == fault and fault in str(error) and error.offset % 7 == 0 and error.offset >= 7 * 1000
    status, err = replay(replay_exe, path, tmp_path / "all.txt")
    assert status == 65 and f"Doh! (data) {fault}" in err

    data = path.read_bytes()
    path.write_bytes(data[:error.offset])
    status, err = replay(replay_exe, path, tmp_path / "before.txt")
    assert status == 0, err
    path.write_bytes(data[:error.offset + 7])
    status, err = replay(replay_exe, path, tmp_path / "through.txt")
    assert status == 65 and f"Doh! (data) {fault}" in err


def test_calibration_outside_its_windows_is_refused_like_replay(tmp_path, replay_exe):
    rng = np.random.default_rng(6)
    records = records_from(rng.integers(651, 2350, 10), rng.integers(651, 2350, 10), 0, 0)
    # The run's own calibration counts, even when a change takes over at the first entry.
    path = write_raw(tmp_path / "run.txt", records, CLOSED, [(0, cal())])
    status, err = replay(replay_exe, path, tmp_path / "lines.txt")
    assert status == 65 and "outside its windows" in err
    with pytest.raises(FormatError, match="outside its windows") as caught:
        read_run(path)
    assert caught.value.path.endswith("run.json")


def test_locale_unknown_here_refuses_only_texts_it_would_change(tmp_path):
    rng = np.random.default_rng(7)
    records = records_from(rng.integers(651, 2350, 10), rng.integers(651, 2350, 10), 0, 0)
    plain = write_raw(tmp_path / "plain.txt", records, cal(tau_a="9.47"), locale="ga_IE")
    assert len(read_run(plain)) == 10
    ambiguous = write_raw(tmp_path / "ambiguous.txt", records, cal(tau_a="9,47"), locale="ga_IE")
    with pytest.raises(FormatError, match="ga_IE"):
        read_run(ambiguous)
