#!/usr/bin/env bash
# Takes screenshots of the panel as a person would see it: a real window under Xvfb at 96 dpi,
# on the built-in simulator (loopback only), with settings in a throw-away folder.
# Usage: scripts/screenshots.sh [outdir]   (default: screenshots/)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-screenshots}"
mkdir -p "$out"
bin=build/dev/tallyscope
[ -x "$bin" ] || scripts/setup.sh dev
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/run" HOME="$tmp"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR/xdg" && chmod 700 "$XDG_RUNTIME_DIR"

xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" bash -c '
  set -e
  "$0" --simulate & pid=$!
  sleep 8
  import -window root "$1/startup.png"
  kill $pid; wait $pid 2>/dev/null || true
' "$bin" "$out"
echo "wrote $out/startup.png"
