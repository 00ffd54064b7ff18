#!/usr/bin/env bash
# Installs the Python module both ways into temporary places and imports it
# from each, with Debian's interpreter and packages only (no package index):
#   cmake --install of a build (default build/, made by scripts/test.sh), and
#   pip install --no-build-isolation . in a venv made with --system-site-packages.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build="${1:-build}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
smoke='import numpy, orb_sdk
frame = numpy.zeros(orb_sdk.FRAME_SHAPE, orb_sdk.POINT_DTYPE)
print(orb_sdk.__file__, orb_sdk.xyz(frame).shape, orb_sdk.sim.wall(300).render(0)["x"][75, 180])'

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
site=$(echo "$tmp"/prefix/lib/python3*/*-packages)
(cd "$tmp" && PYTHONPATH="$site" /usr/bin/python3 -c "$smoke")

/usr/bin/python3 -m venv --system-site-packages "$tmp/venv"
"$tmp/venv/bin/python" -m pip install -q --no-index --no-build-isolation .
(cd "$tmp" && "$tmp/venv/bin/python" -c "$smoke")
echo "Python module: cmake --install and pip install both import"
