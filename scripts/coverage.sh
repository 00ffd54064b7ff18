#!/usr/bin/env bash
# Line coverage of src/ by the whole test suite (gcovr, from Debian).
#   scripts/coverage.sh [build-dir]      default build-cov/
# Run the network tests where they cannot meet other runs' ports, e.g.
#   unshare -n bash -c 'ip link set lo up && bash scripts/coverage.sh'
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
command -v gcovr >/dev/null || { apt-get install -y -qq gcovr >/dev/null; }
dir="${1:-build-cov}"
# Atomic counters: the library's threads would otherwise race on them and
# leave gcov files that gcovr cannot parse.
flags="--coverage -fprofile-update=atomic"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORB_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$dir" -j"$(nproc)"
find "$dir" -name '*.gcda' -delete
(cd "$dir" && ctest -j"$(nproc)" --timeout 600 --output-on-failure) || true
gcovr -r "$PWD" --filter "$PWD/src/" --gcov-ignore-parse-errors -s "$dir" | tail -4
