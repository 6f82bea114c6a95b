#!/usr/bin/env python3
"""Sweeps DAC A and counts the coincidences at each setting; writes CSV (dac_a,seconds,count,rate)."""

import argparse
import sys
import time

import pyvisa


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=5025)
    ap.add_argument("--start", type=int, default=0, help="first DAC A code (0..4095)")
    ap.add_argument("--stop", type=int, default=4095, help="last DAC A code (0..4095)")
    ap.add_argument("--step", type=int, default=512)
    ap.add_argument("--dwell", type=float, default=1.0, help="seconds counted per setting")
    ap.add_argument("--output", help="CSV file (default: standard output)")
    args = ap.parse_args()
    if not (0 <= args.start <= 4095 and 0 <= args.stop <= 4095 and args.step > 0 and args.dwell > 0):
        ap.error("codes are 0..4095, step and dwell positive")

    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::{args.host}::{args.port}::SOCKET",
                            read_termination="\n", write_termination="\n", timeout=10000)
    out = open(args.output, "w", newline="") if args.output else sys.stdout
    try:
        print(f"# {inst.query('*IDN?').strip()}", file=sys.stderr)
        inst.write("*CLS")
        if inst.query("CAL:VAL?").strip() != "1":
            inst.timeout = 30000
            inst.query("CAL;*OPC?")
            inst.timeout = 10000
        if inst.query("CAL:VAL?").strip() != "1":
            sys.exit("calibration is not valid: is the instrument connected?")
        original = inst.query("SOUR:DAC:A?").strip()
        print("dac_a,seconds,count,rate", file=out)
        for code in range(args.start, args.stop + 1, args.step):
            inst.write(f"SOUR:DAC:A {code}")
            inst.write("RUN ON")
            t0 = time.monotonic()
            time.sleep(args.dwell)
            inst.write("RUN OFF")
            seconds = time.monotonic() - t0
            time.sleep(0.2)  # records already on the wire still count
            count = int(inst.query("FETC:COUN?"))
            print(f"{code},{seconds:.3f},{count},{count / seconds:.1f}", file=out, flush=True)
        if original.isdigit():  # NaN when the panel's entry held no code
            inst.write(f"SOUR:DAC:A {original}")
        error = inst.query("SYST:ERR?").strip()
        if not error.startswith("0,"):
            sys.exit(f"instrument reported {error}")
    finally:
        if out is not sys.stdout:
            out.close()
        inst.close()
        rm.close()


if __name__ == "__main__":
    main()
