#!/bin/bash
# @brief Builds the consumer in this folder against a native (Linux) Qt6Charts install and
# checks that the headers, the library and the drawing all come from that install.
#
#   check/run.sh INSTALL_PREFIX [BUILD_DIR]
#
# Debian ships its own Qt6Charts in /usr; every step below fails if that one was used instead.
set -euo pipefail

prefix=$(realpath "${1:?usage: run.sh INSTALL_PREFIX [BUILD_DIR]}")
build=${2:-$(mktemp -d /tmp/qtcharts-check.XXXXXX)}
here=$(dirname "$(realpath "$0")")

# Qt6Config.cmake looks for its components with NO_DEFAULT_PATH in its own lib/cmake only, so
# CMAKE_PREFIX_PATH alone would hand back Debian's Qt6Charts; this switch lets it be searched.
cmake -G Ninja -S "$here" -B "$build" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" \
  -DQT_DISABLE_NO_DEFAULT_PATH_IN_QT_PACKAGES=ON \
  -DEXPECTED_CHARTS_PREFIX="$prefix"
cmake --build "$build" -j1

# Debian's headers sit in Qt's own include folder, so <QtCharts/...> can silently resolve there.
headers=$(ninja -C "$build" -t deps CMakeFiles/chartcheck.dir/main.cpp.o | grep -E '/QtCharts/' || true)
echo "QtCharts headers compiled in: $(grep -c . <<<"$headers")"
if [ -z "$headers" ] || grep -v "^ *$prefix/include/QtCharts/" <<<"$headers"; then
  echo "chartcheck: QtCharts headers from outside $prefix (listed above)" >&2
  exit 1
fi

linked=$(ldd "$build/chartcheck" | grep 'libQt6Charts')
echo "linked: $linked"
if ! grep -q "=> $prefix/lib/libQt6Charts" <<<"$linked"; then
  echo "chartcheck: libQt6Charts does not resolve into $prefix" >&2
  exit 1
fi

QT_QPA_PLATFORM=offscreen "$build/chartcheck" "$build/chartcheck.png"
