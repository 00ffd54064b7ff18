#!/usr/bin/env bash
# Builds the library and runs the sample client: against the camera at
# --ip ADDRESS when given, else against a camera found on the network, else
# against the built-in simulator on loopback. Extra options go to the client
# (see: scripts/run.sh --help). With --viewer first, runs orb-viewer instead
# (scripts/run.sh --viewer --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ "${1:-}" = "--viewer" ]; then
  shift
  cmake --build build -j"$(nproc)" --target orb-viewer
  exec ./build/examples/viewer/orb-viewer "$@"
fi
cmake --build build -j"$(nproc)" --target orb-client orb-sim
exec ./build/examples/orb-client "$@"
