#!/usr/bin/env bash
# Builds the libFuzzer harnesses (preset "fuzz") and runs each, one after the other, for a fixed
# time on a copy of its seed corpus. Exits non-zero when any harness reports a finding; the
# input that triggered it is kept under build/fuzz/findings/<harness>/.
# Usage: scripts/fuzz.sh [seconds per harness, default 60] [harness ...]   (default: all of fuzz/)
# FUZZ_FLAGS adds libFuzzer options to every run, e.g. FUZZ_FLAGS=-max_len=256 for long runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

seconds="${1:-60}"
shift $(( $# > 0 ? 1 : 0 ))
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "fuzz.sh: seconds must be a positive whole number, not '$seconds'" >&2
  exit 2
fi

# Packages come from scripts/setup.sh (clang, libclang-rt-14-dev), which .ci/run has run by now.
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is missing; scripts/setup.sh installs it" >&2
  exit 2
fi
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

harnesses=("$@")
if [ "${#harnesses[@]}" -eq 0 ]; then
  for src in fuzz/fuzz_*.cpp; do harnesses+=("$(basename "$src" .cpp)"); done
fi

build="$root/build/fuzz"
work="$(mktemp -d "${TMPDIR:-/tmp}/tallyscope-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/logs"

# The preset already makes undefined behaviour fatal; the stack says where it happened.
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"

failed=()
for h in "${harnesses[@]}"; do
  exe="$build/$h"
  if [ ! -x "$exe" ]; then
    echo "fuzz.sh: no harness $h in $build" >&2
    failed+=("$h")
    continue
  fi
  # The run grows its corpus in a scratch copy; the repository keeps the hand-made seeds (named)
  # and what a long run added to them, merged (hash-named), so a short run starts deep.
  corpus="$work/$h"
  mkdir -p "$corpus"
  if [ -d "fuzz/corpus/$h" ]; then cp -R "fuzz/corpus/$h/." "$corpus/"; fi
  findings="$build/findings/$h"
  mkdir -p "$findings"
  log="$build/logs/$h.log"
  dict=()
  if [ -f "fuzz/$h.dict" ]; then dict=(-dict="fuzz/$h.dict"); fi

  set +e
  # shellcheck disable=SC2086 # FUZZ_FLAGS is a list of options
  "$exe" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
         -artifact_prefix="$findings/" "${dict[@]}" ${FUZZ_FLAGS:-} "$corpus" >"$log" 2>&1
  rc=$?
  set -e

  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  # A finding ends the run before the final figures; its last progress line has the count.
  [ -n "$execs" ] || execs="$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
  if [ "$rc" -eq 0 ]; then
    printf '%-22s %12s executions  %8s exec/s  no finding\n' "$h" "${execs:-?}" "${rate:-?}"
  else
    printf '%-22s %12s executions  %8s exec/s  FINDING (exit %d), log %s\n' \
      "$h" "${execs:-?}" "${rate:-?}" "$rc" "$log"
    grep -E -A1 'FUZZ_CHECK|runtime error' "$log" | head -12 || true
    grep -E 'ERROR:|SUMMARY|Test unit written' "$log" | head -8 || true
    failed+=("$h")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz.sh: findings in: ${failed[*]} (inputs under build/fuzz/findings/; replay: build/fuzz/<harness> <file>)" >&2
  exit 1
fi
