#!/bin/bash
# @brief Builds and installs Qt6Charts from the qtcharts 5.15.8 sources against a Qt 6.4 prefix:
# natively, or for Windows with a mingw-w64 toolchain file.
#
#   build.sh SRC_TARBALL_OR_DIR QT_PREFIX INSTALL_PREFIX [TOOLCHAIN_FILE]
#
# The source (a folder, or a tarball with one top folder) is copied to a scratch folder and
# patched there; the original is never written to. Environment:
#   QTCHARTS_WORK_DIR  scratch folder (default: a new one under /tmp). A fixed one lets
#                      ccache and ninja reuse the previous build.
#   QTCHARTS_JOBS      parallel compile jobs (default 2)
#   QT_HOST_PATH       host Qt for moc when cross-building (default /usr)
#   QT_HOST_PATH_CMAKE_DIR  its CMake packages (default: found under QT_HOST_PATH)
set -euo pipefail

usage="usage: build.sh SRC_TARBALL_OR_DIR QT_PREFIX INSTALL_PREFIX [TOOLCHAIN_FILE]"
[ $# -ge 3 ] && [ $# -le 4 ] || { echo "$usage" >&2; exit 2; }

here=$(dirname "$(realpath "$0")")
source_in=$(realpath "$1")
qt_prefix=$(realpath "$2")
install_prefix=$(realpath -m "$3")
toolchain=${4:+$(realpath "$4")}
jobs=${QTCHARTS_JOBS:-2}
host_path=${QT_HOST_PATH:-/usr}
# Debian keeps the host Qt's packages in a multiarch folder, other installs in lib/cmake.
host_cmake_dir=${QT_HOST_PATH_CMAKE_DIR:-$host_path/lib/cmake}
multiarch_cmake_dir="$host_path/lib/$(gcc -print-multiarch 2> /dev/null || true)/cmake"
if [ -z "${QT_HOST_PATH_CMAKE_DIR:-}" ] && [ -d "$multiarch_cmake_dir/Qt6" ]; then
  host_cmake_dir=$multiarch_cmake_dir
fi
work=${QTCHARTS_WORK_DIR:-$(mktemp -d /tmp/qtcharts-build.XXXXXX)}
mkdir -p "$work"
work=$(realpath "$work")

src="$work/src"
build="$work/build"
rm -rf "$src"
mkdir -p "$src"
if [ -d "$source_in" ]; then
  cp -a "$source_in/." "$src/"
  chmod -R u+w "$src"
else
  tar -xf "$source_in" -C "$src" --strip-components=1
fi
[ -f "$src/src/charts/qchart.h" ] || { echo "no src/charts/qchart.h in $source_in" >&2; exit 1; }

patch -p1 --forward --batch -d "$src" < "$here/qt6-port.patch"

args=(-G Ninja -S "$here" -B "$build"
  -DQTCHARTS_SOURCE_DIR="$src"
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX="$install_prefix")
if command -v ccache > /dev/null; then
  args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ -n "$toolchain" ]; then
  args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain"
    -DTALLYSCOPE_WIN_PREFIX="$qt_prefix"
    -DQT_HOST_PATH="$host_path"
    -DQT_HOST_PATH_CMAKE_DIR="$host_cmake_dir")
else
  args+=(-DCMAKE_PREFIX_PATH="$qt_prefix")
fi

start=$SECONDS
cmake "${args[@]}"
cmake --build "$build" -j "$jobs"
cmake --install "$build"
echo "Qt6Charts built in $((SECONDS - start)) s and installed into $install_prefix (work folder $work)"
