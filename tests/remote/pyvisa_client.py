#!/usr/bin/env python3
"""A real PyVISA client against the control port: identify, calibrate, run, fetch the time
differences and hold them against the simulator's ground truth, then the bad-input walk.
Prints one line per step; exits 1 at the first failed check."""

import argparse
import json
import os
import socket
import sys
import time

import pyvisa

STEP_TIMEOUT_MS = 10000
CAL_TIMEOUT_MS = 30000


class Failed(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failed(what)


def log(text):
    print(text, flush=True)


def plain_line(dt):
    # The data file's plain record line: dt right-aligned in nine characters.
    return str(dt).rjust(9)[-9:]


def read_truth(path):
    values = []
    with open(path, "r", encoding="ascii") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and not line.startswith("#"):
                values.append(int(parts[2]))
    return values


def unquote(text):
    check(len(text) >= 2 and text[0] == '"' and text[-1] == '"', f"not a quoted string: {text!r}")
    return text[1:-1].replace('""', '"')


class Client:
    def __init__(self, rm, port):
        self.inst = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                                     write_termination="\n", timeout=STEP_TIMEOUT_MS)
        self.inst.chunk_size = 1 << 20

    def q(self, cmd):
        return self.inst.query(cmd).strip()

    def w(self, cmd):
        self.inst.write(cmd)

    def errors(self):
        """Drains this connection's error queue (bounded), oldest first."""
        out = []
        for _ in range(40):
            err = self.q("SYST:ERR?")
            if err.startswith("0,"):
                check(err == '0,"No error"', f"empty queue answers {err!r}")
                return out
            out.append(err)
        raise Failed(f"error queue does not drain: {out[:5]}")

    def fetch_block(self):
        """FETC:DT? in INTeger format; a version of PyVISA that refuses an empty block means none."""
        try:
            return self.inst.query_binary_values("FETC:DT?", datatype="i", is_big_endian=False, container=list)
        except ValueError as e:
            if "could not be determined" in str(e):
                return []
            raise

    def fetch_list(self):
        text = self.q("FETC:DT?")
        return [int(v) for v in text.split(",")] if text else []

    def close(self):
        self.inst.close()


def fetch_until_quiet(fetch, truth_path, already, seconds=10.0):
    """After a run stop, records still on the wire are decoded: fetch until the panel has every
    value the simulator logged and nothing more arrives."""
    values = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        got = fetch()
        values += got
        if not got and len(read_truth(truth_path)) == already + len(values):
            return values
        time.sleep(0.3)
    return values


def same_as_sent(values, truth):
    for i, (got, sent) in enumerate(zip(values, truth)):
        check(got == sent, f"value {i} differs: fetched {got}, sent {sent}")
    check(len(values) == len(truth), f"fetched {len(values)} values, simulator sent {len(truth)}")


def step_run(rm, port, truth_path, data_dir):
    c = Client(rm, port)
    idn = c.q("*IDN?")
    fields = idn.split(",")
    check(len(fields) == 4 and fields[:2] == ["Quorvel", "Tallyscope"], f"*IDN? answered {idn!r}")
    check(c.q("SYST:VERS?") == "1999.0", "SYST:VERS?")
    log(f"identify: {idn}")

    # Every connection starts with a calibration of its own; ours comes after it.
    deadline = time.monotonic() + 30
    while c.q("CONN:STAT?") != "1" or c.q("CAL:VAL?") != "1":
        check(time.monotonic() < deadline, "not connected and calibrated within 30 s")
        time.sleep(0.2)
    c.inst.timeout = CAL_TIMEOUT_MS
    t0 = time.monotonic()
    # Overlapped: the line's own query sees the calibration under way, *OPC? waits for its end.
    check(c.q("CAL;CAL:VAL?") == "0", "calibration not under way right after CAL")
    check(c.q("*OPC?") == "1", "*OPC? after CAL did not answer 1")
    c.inst.timeout = STEP_TIMEOUT_MS
    check(c.q("CAL:VAL?") == "1", "calibration not valid after *OPC?")
    cells = c.q("CAL:DATA?")
    log(f"calibrate: *OPC? answered 1 after {1000 * (time.monotonic() - t0):.0f} ms, cells {cells}")

    c.w(f'*CLS;FORM INT;DISP OFF;FILE:VERB OFF;FILE:RAW OFF;FILE ON;FILE:PATH "{data_dir}"')
    check(c.q("FORM?").upper().startswith("INT"), "FORM INT not taken")
    check(c.q("FILE?") == "1" and unquote(c.q("FILE:PATH?")) == data_dir, "FILE settings not taken")
    check(c.errors() == [], "set-up queued errors")
    check(c.fetch_block() == [], "values before any run")
    truth_before = len(read_truth(truth_path))

    c.w("RUN ON")
    check(c.q("RUN?") == "1", "RUN? not 1 after RUN ON")
    name = unquote(c.q("FILE:NAME?"))
    time.sleep(1.0)
    first = c.fetch_block()  # mid-run: the next fetch must carry on exactly from here
    time.sleep(1.0)
    c.w("RUN OFF")
    check(c.q("RUN?") == "0", "RUN? not 0 after RUN OFF")
    values = first + fetch_until_quiet(c.fetch_block, truth_path, truth_before + len(first))
    lost = c.q("FETC:DT:LOST?")
    truth = read_truth(truth_path)[truth_before:]
    log(f"run 2 s: fetched {len(first)} mid-run + {len(values) - len(first)} after, simulator sent {len(truth)}, lost {lost}")
    check(len(first) > 0, "nothing decoded in the first second")
    check(lost == "0", f"FETC:DT:LOST? {lost}")
    same_as_sent(values, truth)
    log("ground truth: same values, same order, none missing")

    count = int(c.q("FETC:COUN?"))
    stats = [int(float(x)) for x in c.q("FETC:STAT?").split(",")]
    check(count == len(values), f"FETC:COUN? {count} for {len(values)} values")
    check(stats == [count, min(values), max(values), max(values) - min(values)], f"FETC:STAT? {stats}")
    hist = c.inst.query_binary_values("HIST:DATA?", datatype="q", container=list)  # 64-bit counts
    axis = c.q("HIST:AXIS?")
    check(len(hist) == int(axis.split(",")[2]), f"HIST:DATA? has {len(hist)} bins, HIST:AXIS? says {axis}")
    # The automatic range centres on the peak and leaves the background out; with the whole
    # range shown (the window's "Show all") the bins hold every record.
    in_window = int(c.q("HIST:STAT?").split(",")[4])
    check(0 < in_window <= sum(hist) <= count, f"HIST:DATA? sums to {sum(hist)}, count {count}, in window {in_window}")
    c.inst.write("HIST:RANG:ALL ON")
    whole = c.inst.query_binary_values("HIST:DATA?", datatype="q", container=list)
    check(sum(whole) == count, f"HIST:DATA? with the whole range sums to {sum(whole)}, count {count}")
    c.inst.write("HIST:RANG:ALL OFF")
    log(f"count {count}, statistics {stats[1:]}, histogram of {len(hist)} bins ({axis}) holds {sum(hist)}; "
        f"with the whole range, {len(whole)} bins sum to the count")

    check(os.path.dirname(name) == data_dir, f"FILE:NAME? {name!r} not in {data_dir}")
    with open(name, "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")
    check(lines[-1] == "", "data file does not end in CR LF")
    lines = lines[:-1]
    # The file closes at the stop; records decoded after it are fetched but not written.
    check(len(first) <= len(lines) <= len(values), f"data file holds {len(lines)} lines")
    check(lines == [plain_line(v) for v in values[:len(lines)]], "data file lines differ from the fetched values")
    log(f"data file {os.path.basename(name)}: {len(lines)} lines, each the fetched value")
    return c, truth_before + len(truth)


def step_bad_input(rm, port, c):
    c.w("SOUR:DAC:A 1234;FORM INT;HIST:BWID 100")
    before = [c.q(q) for q in ("SOUR:DAC:A?", "FORM?", "RUN?", "HIST:BWID?", "FILE?")]
    cases = [
        ("FOO:BAR 1", -113),
        ("SOUR:DAC:A", -109),
        ("*IDN? 5", -108),
        ("SOUR:DAC:A 4096", -222),
        ("SOUR:DAC:A -1", -222),
        ("FORM:DATA BOGUS", -224),
        ("RUN MAYBE", -224),
    ]
    for cmd, code in cases:
        c.w(cmd)
        errs = c.errors()
        check(len(errs) == 1 and errs[0].startswith(f"{code},\""), f"{cmd!r} queued {errs}, expected {code}")
        after = [c.q(q) for q in ("SOUR:DAC:A?", "FORM?", "RUN?", "HIST:BWID?", "FILE?")]
        check(after == before, f"{cmd!r} changed settings {before} -> {after}")
    log(f"bad input: {len(cases)} cases each queued its error and changed nothing")

    other = Client(rm, port)
    other.w("FOO")
    check(c.q("SYST:ERR:COUN?") == "0", "one connection's error reached another's queue")
    check(other.q("SYST:ERR:COUN?") == "1", "error count after one bad command")
    other.close()

    # Past 64 KiB the rest of the line is dropped, so the command at its end must not run, even
    # when it arrives after a pause, in a read of its own.
    c.inst.write_raw(b" " * (70 * 1024))
    time.sleep(0.3)
    c.inst.write_raw(b"SOUR:DAC:A 777\n")
    check(c.q("*IDN?").startswith("Quorvel,"), "no answer after the long line")
    errs = c.errors()
    check(len(errs) == 1 and errs[0].startswith("-363,"), f"70 KiB line queued {errs}")
    check(c.q("SOUR:DAC:A?") == "1234", "the tail of the overlong line was executed")
    log("70 KiB line: -363, tail discarded, connection still answers")


def step_clients(rm, port):
    extra = [Client(rm, port) for _ in range(7)]
    for e in extra:
        check(e.q("*IDN?").startswith("Quorvel,"), "one of 8 clients not served")
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.settimeout(5)
        got = b""
        while not got.endswith(b"\n"):
            try:
                part = s.recv(4096)
            except socket.timeout:
                raise Failed(f"9th client neither refused nor closed within 5 s (got {got!r})")
            check(part, f"9th client closed without a line (got {got!r})")
            got += part
        check(got.startswith(b"ERROR:") and got.count(b"\n") == 1, f"9th client got {got!r}")
        check(s.recv(4096) == b"", "9th client not closed after its line")
    log(f"9 clients: 8 served, the 9th told {got.decode().strip()!r} and closed")
    for e in extra:
        e.close()
    # The server hears of those hang-ups asynchronously: a freed slot may take a moment.
    answer = b""
    for _ in range(20):
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.settimeout(5)
            s.sendall(b"*IDN?\n")
            answer = s.recv(4096)
        if answer.startswith(b"Quorvel,"):
            break
        time.sleep(0.1)
    check(answer.startswith(b"Quorvel,"), f"freed slots are not reusable: {answer!r}")


def step_dropped_reader(rm, port, c, truth_path, truth_used):
    """A client that hangs up in the middle of a big block harms nobody."""
    quitter = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    quitter.settimeout(5)
    # A small receive window, so that most of the block is still queued at the server.
    quitter.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    quitter.connect(("127.0.0.1", port))
    quitter.sendall(b"FORM INT;*OPC?\n")
    check(quitter.recv(16).startswith(b"1"), "*OPC? on a raw socket")
    c.w("RUN ON")
    time.sleep(1.0)
    c.w("RUN OFF")
    time.sleep(0.5)
    quitter.sendall(b"FETC:DT?\n")
    head = quitter.recv(1024)
    quitter.close()
    c.w("FORM ASC")  # this time as a comma list
    values = fetch_until_quiet(c.fetch_list, truth_path, truth_used)
    truth = read_truth(truth_path)[truth_used:]
    check(head.startswith(b"#"), f"the quitting client got {head[:16]!r}")
    check(len(values) > 0, "nothing decoded in the second run")
    same_as_sent(values, truth)
    c.w("FORM INT")
    check(c.q("*IDN?").startswith("Quorvel,"), "no answer after a reader quit")
    check(c.errors() == [], "errors after a reader quit")
    log(f"reader quit mid-block after {len(head)} bytes; the other client fetched all {len(values)} values of a second run as a list")
    return truth_used + len(truth)


def step_leave_running(c, truth_used, record):
    """Starts a run and leaves it on, for the driver to stop the server with a signal."""
    c.w("RUN ON")
    name = unquote(c.q("FILE:NAME?"))
    time.sleep(0.5)
    fetched = len(c.fetch_block())
    check(fetched > 0, "nothing decoded in the run left on")
    with open(record, "w", encoding="utf-8") as f:
        json.dump({"name": name, "truth_from": truth_used, "fetched": fetched}, f)
    log(f"run left on: {fetched} values decoded so far into {os.path.basename(name)}")


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--truth", required=True, help="the simulator's ground-truth file")
    ap.add_argument("--data-dir", required=True, help="folder for the run's data file")
    ap.add_argument("--leave-running", metavar="FILE", help="end with a run on; its file name and truth offset go to FILE")
    args = ap.parse_args()
    data_dir = os.path.abspath(args.data_dir)
    rm = pyvisa.ResourceManager("@py")
    try:
        c, truth_used = step_run(rm, args.port, args.truth, data_dir)
        step_bad_input(rm, args.port, c)
        step_clients(rm, args.port)
        truth_used = step_dropped_reader(rm, args.port, c, args.truth, truth_used)
        if args.leave_running:
            step_leave_running(c, truth_used, args.leave_running)
        c.close()
    except (Failed, pyvisa.errors.VisaIOError, OSError, ValueError) as e:
        log(f"FAIL: {type(e).__name__}: {e}")
        return 1
    finally:
        rm.close()
    log("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
