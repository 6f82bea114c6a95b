#!/usr/bin/env bash
# Soak: 10 minutes at 100,000 records/s with Display, File and Auto on and a calibration every
# minute, against tallyscope-sim on 127.0.0.1. Prints records lost and memory over time.
# Not part of the test suite (it takes the full 10 minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/dev/bench_endtoend ] || scripts/setup.sh dev
exec build/dev/bench_endtoend --seconds "${SOAK_SECONDS:-600}" --rate 100000 --display 1 --file 1 --auto 1 --calibrate-every 60 "$@"
