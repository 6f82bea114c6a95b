#!/usr/bin/env bash
# Builds the panel and opens it on the built-in instrument simulator (loopback only).
# Without a display it starts a virtual one, so the command works on a headless machine too.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh dev
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/dev/tallyscope --simulate "$@"
fi
echo "No display found: running the panel under Xvfb, on a virtual screen (use scripts/screenshots.sh to see it)." >&2
exec xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" build/dev/tallyscope --simulate "$@"
