#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, then configures and builds one preset.
# Usage: scripts/setup.sh [preset]   (default: dev)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"

# Installed without recommends, so everything used is named here, even what a full desktop
# install happens to have. scripts/fresh-machine.sh proves the list on a minimal root.
packages=(build-essential cmake ninja-build pkg-config
          qt6-base-dev qt6-base-dev-tools qt6-charts-dev libqt6opengl6-dev libgl-dev
          libsodium-dev libbenchmark-dev
          minisign                                      # the update tests sign with it
          xvfb xauth fonts-dejavu-core fonts-liberation # demo without a display, offscreen tests
          xdotool imagemagick                           # screenshots, the fresh-machine check
          clang libclang-rt-14-dev                      # scripts/fuzz.sh
          clang-format                                  # scripts/format.sh --check
          python3-pyvisa python3-pyvisa-py python3-matplotlib  # the PyVISA test, examples/
          python3-numpy python3-h5py python3-pymeasure python3-pytest python3-venv) # python/ and its tests
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "setup.sh: missing packages: ${missing[*]}; run this as root, or install sudo" >&2
      exit 1
    fi
    sudo_cmd=(sudo)
  fi
  # Through env: sudo drops the caller's environment, and a question from debconf would stall.
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
