#!/usr/bin/env bash
# Installs the build and test dependencies on Debian when any is missing.
#   scripts/deps.sh [more packages...]
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config libopencv-dev libgtest-dev libgmock-dev
      libbenchmark-dev iproute2 clang libclang-rt-dev libpcap-dev "$@")
# Outside tools the record-and-replay tests read and make captures with.
pkgs+=(tshark tcpdump)
# orb-viewer, and a virtual display with Mesa's software renderer for its tests.
pkgs+=(libimgui-dev libglfw3-dev libepoxy-dev xvfb xauth libgl1-mesa-dri)
# The Python module, its tests and both install routes.
pkgs+=(python3-dev python3-pybind11 python3-numpy python3-pytest python3-venv python3-setuptools)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get -o DPkg::Lock::Timeout=900 update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
    "${missing[@]}" >/dev/null
fi
