#!/usr/bin/env bash
# Cross-builds Tallyscope for 64-bit Windows on Debian 12, from Debian's packages and Debian's own
# source packages only, then proves the result under Wine:
#   1. installs what is missing and builds (or reuses) the toolchain: Qt 6.4.2 for
#      x86_64-w64-mingw32 from Debian's qt6-base source, Qt Charts, libsodium;
#   2. cross-builds the project (cmake/mingw-w64-x86_64.cmake);
#   3. runs the CTest suite under wine64 (offscreen);
#   4. builds the installer (NSIS) and the portable zip;
#   5. installs the installer under Wine, starts the installed panel with --simulate on Xvfb and
#      passes when the "Tallyscope" window is mapped and connected to its simulator.
# Every step prints its time; any failure ends the script non-zero.
#
# Usage (as root): scripts/windows.sh [--cache DIR] [--skip-tests] [--jobs N]
#   --cache DIR  keeps the cross-built Qt and libsodium (default: ~/.cache/tallyscope-windows),
#                so that a second run only builds the project.
# Output: build/windows/ (the build), build/windows/dist/ (setup.exe, zip, screenshot).
#
# The panel only ever talks to loopback here: its simulator is built in, and its control port
# listens on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

cache="${HOME}/.cache/tallyscope-windows"
run_tests=1
jobs="$(nproc)"
while [ $# -gt 0 ]; do
  case "$1" in
    --cache) cache="$2"; shift 2 ;;
    --skip-tests) run_tests=0; shift ;;
    --jobs) jobs="$2"; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *) echo "windows.sh: unknown argument $1" >&2; exit 64 ;;
  esac
done
mkdir -p "$cache"
cache="$(realpath "$cache")"

qt_version=6.4.2
triple=x86_64-w64-mingw32
qt_prefix="$cache/qt6"          # Qt and Qt Charts for Windows
sodium_prefix="$cache/sodium"   # libsodium for Windows
src="$cache/src"
scratch="$cache/build"
build="$root/build/windows"
dist="$build/dist"
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
version="$(sed -n 's/^project(Tallyscope VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"

timings=()
step() {
  local name="$1"; shift
  local t0=$SECONDS
  echo "==> $name"
  "$@"
  local took=$((SECONDS - t0))
  timings+=("$(printf '%-26s %4d min %02d s' "$name" $((took / 60)) $((took % 60)))")
  echo "==> $name: ${took} s"
}
report() {
  local rc=$?
  echo
  echo "Step times:"
  for t in "${timings[@]}"; do echo "  $t"; done
  [ $rc -eq 0 ] && echo "windows.sh: all steps passed" || echo "windows.sh: FAILED (exit $rc)"
}
trap report EXIT

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ---- 1. Packages and the toolchain ----------------------------------------------------------
install_packages() {
  local packages=(build-essential cmake ninja-build pkg-config perl python3 dpkg-dev
                  autoconf automake libtool                   # libsodium's source has no configure
                  qt6-base-dev qt6-base-dev-tools             # the host tools: moc, rcc, uic 6.4.2
                  libqt6opengl6-dev libgl-dev
                  g++-mingw-w64-x86-64-posix wine64 wine nsis zip
                  xvfb xauth xdotool imagemagick fonts-dejavu-core)
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  # apt-get source needs source indexes, for the mirror this machine already uses.
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    local uris suites
    uris="$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)"
    suites="$(sed -n 's/^Suites: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)"
    if [ -z "$uris" ]; then
      uris="$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list)"
      suites="bookworm"
    fi
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$uris" "$suites" | as_root tee /etc/apt/sources.list.d/tallyscope-deb-src.sources >/dev/null
    missing+=(--update-sources)
  fi
  if [ "${#missing[@]}" -gt 0 ]; then
    as_root apt-get update -qq
    local real=()
    for p in "${missing[@]}"; do [ "$p" = --update-sources ] || real+=("$p"); done
    if [ "${#real[@]}" -gt 0 ]; then
      as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${real[@]}"
    fi
  fi
}

fetch_sources() {
  mkdir -p "$src"
  cd "$src"
  # Debian's mirror serves the Qt 6 base source but not qt6-charts' (its files answer 404), so
  # Qt Charts comes from Debian's qtcharts-opensource-src 5.15.8, ported to Qt 6.4 by a patch
  # of ours (packaging/windows/qtcharts/).
  local pkg
  for pkg in qt6-base libsodium qtcharts-opensource-src; do
    ls "$pkg"_*.dsc >/dev/null 2>&1 || apt-get source -qq --download-only "$pkg"
  done
  [ -d qt6-base ] || dpkg-source -x qt6-base_*.dsc qt6-base >/dev/null
  [ -d libsodium ] || dpkg-source -x libsodium_*.dsc libsodium >/dev/null
  cd "$root"
}

build_qt() {
  if [ -f "$qt_prefix/.tallyscope-qtbase-$qt_version" ]; then
    echo "Qt $qt_version for Windows: reused from $qt_prefix"
    return
  fi
  # Only what the project uses. Debian's source leaves out src/3rdparty/iaccessible2 and
  # src/3rdparty/wintab, which the accessibility bridge and tablet input need: both are off.
  cmake -G Ninja -S "$src/qt6-base" -B "$scratch/qtbase" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTALLYSCOPE_WIN_PREFIX="$qt_prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$qt_prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_accessibility=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_zstd=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF \
    -DFEATURE_openssl=OFF -DFEATURE_schannel=ON -DINPUT_opengl=desktop -DFEATURE_vulkan=OFF \
    -DFEATURE_brotli=OFF -DFEATURE_libproxy=OFF -DFEATURE_icu=OFF -DFEATURE_glib=OFF >/dev/null
  cmake --build "$scratch/qtbase" -j "$jobs"
  cmake --install "$scratch/qtbase" >/dev/null
  touch "$qt_prefix/.tallyscope-qtbase-$qt_version"
}

build_charts() {
  if [ -f "$qt_prefix/.tallyscope-qtcharts" ]; then
    echo "Qt Charts for Windows: reused from $qt_prefix"
    return
  fi
  QTCHARTS_WORK_DIR="$scratch/qtcharts" QTCHARTS_JOBS="$jobs" \
    packaging/windows/qtcharts/build.sh "$(ls "$src"/qtcharts-opensource-src_*.orig.tar.xz)" \
    "$qt_prefix" "$qt_prefix" "$toolchain"
  touch "$qt_prefix/.tallyscope-qtcharts"
}

build_sodium() {
  if [ -f "$sodium_prefix/.tallyscope-sodium" ]; then
    echo "libsodium for Windows: reused from $sodium_prefix"
    return
  fi
  rm -rf "$scratch/libsodium" && cp -a "$src/libsodium" "$scratch/libsodium"
  (cd "$scratch/libsodium" && autoreconf -fi >/dev/null 2>&1 \
    && ./configure -q --host=$triple --prefix="$sodium_prefix" --disable-static --enable-shared \
         CC=$triple-gcc-posix \
    && make -s -j "$jobs" >/dev/null && make -s install >/dev/null)
  touch "$sodium_prefix/.tallyscope-sodium"
}

# ---- 2. The project -------------------------------------------------------------------------
# Where the Windows programs find their DLLs under Wine: Qt, libsodium and mingw's runtime.
gcc_runtime="$(dirname "$($triple-g++-posix -print-file-name=libstdc++-6.dll)")"
winepath_list() {
  local d out=""
  for d in "$qt_prefix/bin" "$sodium_prefix/bin" "$gcc_runtime" "/usr/$triple/lib"; do
    out+="Z:${d//\//\\};"
  done
  echo "${out%;}"
}

CCACHE_LAUNCHER="$(command -v ccache || true)"
build_project() {
  cmake -G Ninja -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTALLYSCOPE_WIN_PREFIX="$qt_prefix;$sodium_prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_BUILD_TYPE=Release -DTALLYSCOPE_WERROR=ON \
    ${CCACHE_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CCACHE_LAUNCHER} \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v wine64 || echo /usr/lib/wine/wine64)" >/dev/null
  cmake --build "$build" -j "$jobs"
}

WINEPATH="$(winepath_list)"
export WINEDEBUG=-all WINEPATH
export WINEPREFIX="$build/wineprefix"
wine_ready() {
  [ -f "$WINEPREFIX/system.reg" ] || { mkdir -p "$WINEPREFIX"; wineboot --init >/dev/null 2>&1; wineserver -w; }
  # Wine keeps QT_* variables to the Linux side, so the Windows programs take them from the
  # prefix's own environment. This Qt has no FreeType, hence no offscreen plugin: the tests
  # draw with the minimal one and the system's fonts.
  wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /t REG_SZ /d 'minimal:enable_fonts' /f >/dev/null 2>&1
  wineserver -w
}

run_suite() {
  wine_ready
  export TALLYSCOPE_MINISIGN
  # The update tests sign with Debian's minisign, which Wine starts as the Linux program it is.
  TALLYSCOPE_MINISIGN='Z:\usr\bin\minisign'
  local rc=0
  # The window tests draw real windows through Wine: they need a display.
  (cd "$build" && xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
     ctest --output-on-failure -j "$jobs" --repeat until-pass:2) || rc=$?
  # A second try is allowed under Wine (its server slows programs started side by side); the
  # output above shows every test that needed one.
  wineserver -k || true
  return $rc
}

# ---- 3b. The same stream, recorded and replayed on Linux and under Wine ------------------------
# The seeded simulator sends the same records to whichever recorder asks, so the Windows recorder's
# files must match the Linux recorder's byte for byte, and the Windows replay of the Linux raw file
# the Linux replay of it.
compare_files() {
  local native="$root/build/ci" work="$build/compare" port=53127 records=40000
  cmake --preset ci >/dev/null
  cmake --build --preset ci --target tallyscope-sim tallyscope-record tallyscope-replay
  wine_ready
  rm -rf "$work"
  local mode os sim
  for mode in plain verbose raw; do
    for os in linux windows; do
      mkdir -p "$work/$os-$mode"
      "$native/tallyscope-sim" --port $port --seed 7 --rate 50000 >/dev/null 2>&1 & sim=$!
      sleep 1
      local flag=()
      [ "$mode" = plain ] || flag=(--$mode)
      if [ "$os" = linux ]; then
        "$native/tallyscope-record" --address 127.0.0.1 --port $port --folder "$work/$os-$mode" \
          --records $records "${flag[@]}" 2>>"$work/record.log"
      else
        wine "$build/tallyscope-record.exe" --address 127.0.0.1 --port $port \
          --folder "$(winepath -w "$work/$os-$mode")" --records $records "${flag[@]}" 2>>"$work/record.log"
      fi
      kill $sim; wait $sim 2>/dev/null || true
    done
    local lf wf
    lf="$(find "$work/linux-$mode" -name 'Coincidences *' ! -name '*.json')"
    wf="$(find "$work/windows-$mode" -name 'Coincidences *' ! -name '*.json')"
    [ -n "$lf" ] && [ -n "$wf" ] || { echo "$mode: no data file (linux: $lf, windows: $wf)" >&2; return 1; }
    if [ "$mode" = raw ]; then
      cmp -n $((records * 7)) "$lf" "$wf" || { echo "raw records differ" >&2; return 1; }
    else
      cmp <(head -n $records "$lf") <(head -n $records "$wf") || { echo "$mode lines differ" >&2; return 1; }
      [ "$(head -c 2000 "$wf" | grep -c $'\r$')" -gt 0 ] || { echo "$mode: no CR LF line ends" >&2; return 1; }
    fi
    echo "$mode: the first $records records are identical ($(stat -c %s "$lf") and $(stat -c %s "$wf") bytes in all)"
  done
  # Sidecars: the same keys, calibration and Tau; only times and names may differ.
  python3 - "$work/linux-raw" "$work/windows-raw" <<'PY'
import json, pathlib, sys
a, b = (json.loads(next(pathlib.Path(d).glob("*.json")).read_text()) for d in sys.argv[1:3])
if sorted(a) != sorted(b):
    sys.exit(f"sidecar keys differ: {sorted(a)} / {sorted(b)}")
# The cycle timer register counts time itself.
for side in (a, b):
    side["registers"] = [r for r in side.get("registers", []) if r.get("name") != "Cycle Timer"]
for key in ("formatVersion", "calibration", "options", "tauA", "tauB", "registers", "fpga"):
    if key in a and a[key] != b[key]:
        sys.exit(f"sidecar {key} differs: {a[key]} / {b[key]}")
print("sidecars: same keys, same calibration and Tau")
PY
  local raw
  raw="$(find "$work/linux-raw" -name 'Coincidences *' ! -name '*.json')"
  for mode in plain verbose; do
    local flag=()
    [ "$mode" = plain ] || flag=(--verbose)
    "$native/tallyscope-replay" "${flag[@]}" -o "$work/replay-linux-$mode.txt" "$raw" 2>/dev/null
    wine "$build/tallyscope-replay.exe" "${flag[@]}" -o "$(winepath -w "$work/replay-windows-$mode.txt")" \
      "$(winepath -w "$raw")" 2>/dev/null
    cmp "$work/replay-linux-$mode.txt" "$work/replay-windows-$mode.txt" \
      || { echo "replay ($mode) differs" >&2; return 1; }
    echo "replay ($mode) of the Linux raw file: identical, $(wc -l < "$work/replay-linux-$mode.txt") lines"
  done
}

# ---- 4. Installer and portable zip ------------------------------------------------------------
stage() {
  local to="$dist/stage"
  rm -rf "$dist" && mkdir -p "$to/updater"
  local exe
  for exe in tallyscope tallyscope-sim tallyscope-replay tallyscope-record tallyscope-server; do
    cp "$build/$exe.exe" "$to/"
  done
  # Installed beside the program for parity with the Linux package; the panel downloads its own
  # fresh copy into the program folder for each update.
  cp "$build/updater/tallyscope-updater.exe" "$to/updater/"
  local dll
  for dll in Qt6Core Qt6Gui Qt6Widgets Qt6Network Qt6OpenGL Qt6OpenGLWidgets Qt6Charts; do
    cp "$qt_prefix/bin/$dll.dll" "$to/"
  done
  cp "$sodium_prefix"/bin/libsodium-*.dll "$to/"
  cp "$gcc_runtime/libstdc++-6.dll" "$gcc_runtime/libgcc_s_seh-1.dll" "/usr/$triple/lib/libwinpthread-1.dll" "$to/"
  mkdir -p "$to/platforms" "$to/styles" "$to/tls"
  cp "$qt_prefix/plugins/platforms/qwindows.dll" "$to/platforms/"
  cp "$qt_prefix/plugins/styles/qwindowsvistastyle.dll" "$to/styles/"
  cp "$qt_prefix/plugins/tls/qschannelbackend.dll" "$to/tls/"
  $triple-strip --strip-unneeded "$to"/*.exe "$to"/updater/*.exe "$to"/*.dll "$to"/*/*.dll
  cp LICENSE "$to/LICENSE.txt"
  sed 's/$/\r/' packaging/windows/README-windows.txt > "$to/README.txt"
}

make_installer() {
  stage
  local to="$dist/stage"
  # The file list the installer copies and the uninstaller removes, made from the staged folder
  # so that the two never disagree.
  (cd "$to" && find . -type d ! -name . | sed 's|^\./||' | sort) > "$dist/dirs.txt"
  (cd "$to" && find . -type f | sed 's|^\./||' | sort) > "$dist/files.txt"
  {
    while read -r d; do echo "CreateDirectory \"\$INSTDIR\\${d//\//\\}\""; done < "$dist/dirs.txt"
    while read -r f; do
      echo "SetOutPath \"\$INSTDIR\\$(dirname "$f" | sed 's|^\.$||; s|/|\\|g')\""
      echo "File \"/oname=$(basename "$f")\" \"$to/$f\""
    done < "$dist/files.txt"
  } | sed 's|\\"$|"|' > "$dist/install-files.nsh"
  {
    while read -r f; do echo "Delete \"\$INSTDIR\\${f//\//\\}\""; done < "$dist/files.txt"
    sort -r "$dist/dirs.txt" | while read -r d; do echo "RMDir \"\$INSTDIR\\${d//\//\\}\""; done
  } > "$dist/uninstall-files.nsh"
  makensis -V2 -DVERSION="$version" -DDIST="$dist" -DOUTFILE="$dist/Tallyscope-$version-setup.exe" \
    packaging/windows/tallyscope.nsi
  (cd "$to" && zip -q -r -9 "$dist/Tallyscope-$version-win64.zip" .)
  ls -l "$dist"/Tallyscope-*
}

# ---- 5. Install under Wine and start the installed panel ------------------------------------------
install_and_start() {
  # A prefix of its own: nothing of the test suite's runs may leak into what the installer shows.
  export WINEPREFIX="$build/wineprefix-install"
  # The installed programs must find every DLL in their own folder, not in the build's caches.
  unset WINEPATH
  rm -rf "$WINEPREFIX"
  local port=53125 shot="$dist/windows-panel.png"
  xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" bash -c '
    set -euo pipefail
    wineboot --init >/dev/null 2>&1; wineserver -w
    wine "$1" /S
    wineserver -w
    appdata="$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d "\r")"
    exe="$(winepath -u "$appdata\\Programs\\Tallyscope\\tallyscope.exe")"
    [ -f "$exe" ] || { echo "not installed: $exe" >&2; exit 1; }
    lnk="$(winepath -u "$(wine cmd /c echo %APPDATA% 2>/dev/null | tr -d "\r")\\Microsoft\\Windows\\Start Menu\\Programs\\Tallyscope.lnk")"
    [ -f "$lnk" ] || { echo "no Start-menu entry: $lnk" >&2; exit 1; }
    wine "$exe" --simulate --control-port "$2" --control-address 127.0.0.1 & pid=$!
    trap "kill $pid 2>/dev/null || true; wineserver -k || true" EXIT
    for i in $(seq 1 120); do
      xdotool search --onlyvisible --name "^Tallyscope$" >/dev/null 2>&1 && break
      sleep 0.5
    done
    xdotool search --onlyvisible --name "^Tallyscope$" >/dev/null || { echo "no \"Tallyscope\" window" >&2; exit 1; }
    state=""
    for i in $(seq 1 60); do
      state="$(python3 "$4" 127.0.0.1 "$2" "CONN:STAT?" 2>/dev/null || true)"
      [ "$state" = 1 ] && break
      sleep 0.5
    done
    [ "$state" = 1 ] || { echo "the panel is not connected to its simulator (CONN:STAT? -> \"$state\")" >&2; exit 1; }
    sleep 2
    import -window root "$3"
    echo "installed panel: window mapped, connected to its simulator; screenshot $3"
  ' install-check "$dist/Tallyscope-$version-setup.exe" "$port" "$shot" "$root/scripts/scpi-ask.py"
  # The uninstaller leaves nothing of its own behind but keeps the operator's settings.
  local appdata
  appdata="$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')"
  wine "$(winepath -u "$appdata\\Programs\\Tallyscope\\Uninstall.exe")" /S _?="$appdata\\Programs\\Tallyscope"
  wineserver -w
  local left
  left="$(find "$(winepath -u "$appdata\\Programs\\Tallyscope")" -mindepth 1 ! -name Uninstall.exe 2>/dev/null | head -5)"
  [ -z "$left" ] || { echo "the uninstaller left: $left" >&2; return 1; }
  wine reg query 'HKCU\Software\Quorvel\Tallyscope' >/dev/null 2>&1 \
    || { echo "the uninstaller removed the operator's settings" >&2; return 1; }
  echo "uninstalled: program folder emptied, settings kept"
  wineserver -k || true
}

step "packages" install_packages
step "sources" fetch_sources
step "Qt $qt_version (qtbase)" build_qt
step "Qt Charts" build_charts
step "libsodium" build_sodium
step "project" build_project
if [ "$run_tests" -eq 1 ]; then
  step "test suite under Wine" run_suite
fi
step "files: Linux vs Wine" compare_files
step "installer and zip" make_installer
step "install and start" install_and_start
