#!/usr/bin/env bash
# Takes screenshots of the panel as a person would see it: a real window under Xvfb at 96 dpi,
# on the built-in simulator (loopback only), with settings and data in a throw-away folder.
# The clicks go to places on the screen, as a mouse would (xdotool), not through the code.
# Shots: start-up, a run going, the histogram window during the run, the histogram zoomed on
# its peak with half a minute of trends (and those trends alone), the data folder picker,
# a verbose run whose long lines wrap in the log, a selection in it with the log's context menu.
# Usage: scripts/screenshots.sh [outdir]   (default: screenshots/)
set -euo pipefail
cd "$(dirname "$0")/.."
out="$(realpath -m "${1:-screenshots}")"
mkdir -p "$out"
bin="$PWD/build/dev/tallyscope"
[ -x "$bin" ] || scripts/setup.sh dev
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/run" HOME="$tmp"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$HOME/Documents" && chmod 700 "$XDG_RUNTIME_DIR"

# Screen positions (pixels at 96 dpi, window at the top left of a screen without a window manager)
# of the controls the script clicks, from the layout table in twips / 15.
xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" bash -c '
  set -e
  "$0" --simulate & pid=$!
  trap "kill $pid 2>/dev/null || true" EXIT
  sleep 6
  import -window root "$1/startup.png"
  xdotool mousemove 447 139 click 1   # File
  sleep 0.5
  xdotool mousemove 412 28 click 1    # Run
  sleep 4
  import -window root "$1/running.png"
  xdotool mousemove 509 53 click 3    # right click in the "Coincidences" group
  sleep 0.5
  xdotool mousemove 540 66 click 1    # its menu: Histogram...
  sleep 3
  import -window root "$1/histogram.png"
  sleep 30                            # half a minute of rate and drift
  xdotool mousemove 285 330 click 4 click 4 click 4   # wheel: zoom in around the peak
  sleep 1
  xdotool mousemove 285 720           # off the chart: no read-out in the picture
  sleep 1
  import -window root "$1/histogram-zoomed.png"
  xdotool search --name "^Histogram$" windowunmap
  xdotool key Escape
  xdotool mousemove 412 28 click 1    # Run off
  sleep 0.5
  xdotool mousemove 619 157 click 1   # ... (data folder)
  sleep 2
  import -window root "$1/picker.png"
  xdotool key Escape
  sleep 0.5
' "$bin" "$out"

# A verbose run with overrange notes: the built-in simulator sends none, so the panel (still
# started with --simulate) is pointed at a stand-alone simulator on 127.0.0.1 that does.
sim="$PWD/build/dev/tallyscope-sim"
[ -x "$sim" ] || cmake --build build/dev --target tallyscope-sim
xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" bash -c '
  set -e
  "$2" --port 38517 --rate 20 --overrange 0.5 & spid=$!
  sleep 1
  "$0" --simulate --address 127.0.0.1 --port 38517 & pid=$!
  trap "kill $pid $spid 2>/dev/null || true" EXIT
  sleep 6
  xdotool mousemove 538 126 click 1   # Verbose
  sleep 0.5
  xdotool mousemove 412 28 click 1    # Run
  sleep 3
  xdotool mousemove 412 28 click 1    # Run off
  sleep 0.5
  import -window root "$1/verbose.png"
  xdotool mousemove 60 121 mousedown 1 mousemove 120 150 mousemove 180 163 mouseup 1   # select in the log
  xdotool click 3                     # its context menu
  sleep 0.5
  import -window root "$1/logcopy.png"
  xdotool key Escape
' "$bin" "$out" "$sim"
for f in startup running picker verbose logcopy; do
  convert "$out/$f.png" -crop 800x600+0+0 +repage "$out/$f.png"
done
convert "$out/histogram-zoomed.png" -crop 360x700+540+0 +repage "$out/trends.png"
for f in histogram histogram-zoomed; do
  convert "$out/$f.png" -trim +repage "$out/$f.png"
done
echo "wrote $out/startup.png $out/running.png $out/histogram.png $out/histogram-zoomed.png $out/trends.png $out/picker.png $out/verbose.png $out/logcopy.png"
