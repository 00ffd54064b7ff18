#!/usr/bin/env bash
# The Windows build, tested under Wine (scripts/test.sh --windows runs this):
# builds the Windows dependencies once (scripts/windows-deps.sh, cached outside
# the work tree), cross-builds the DLL, simulator, sample client, tests and
# benchmarks with MinGW-w64 into build-windows/, and runs the test suite under
# Wine through ctest.
#   scripts/test_windows.sh          everything
#   scripts/test_windows.sh --ci     CI's subset (time): the DLL with its table,
#                                    install and consumer checks, the client, the
#                                    simulator and the programs listed below
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-windows
export WINEPREFIX="$PWD/$dir/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)

if [ "${1:-}" = "--suite" ]; then
  if [ "${2:-}" = "--namespace" ]; then
    # Under Wine a UDP socket bound to 127.0.0.2 sends from the address the
    # route picks (tests/support/windows_process.cpp): make that 127.0.0.2.
    ip link set lo up
    ip route replace local 127.0.0.1 dev lo table local src 127.0.0.2
  fi
  # Wine's server is started once and kept for the whole suite: a server
  # started by the first test would hold that test's output pipe open (each
  # test then takes seconds) and can hang ctest.
  mkdir -p "$WINEPREFIX"
  wineserver -p
  trap 'wineserver -k || true' EXIT
  "$wine64" cmd /c exit  # creates the prefix on the first run
  cd "$dir"
  ctest --output-on-failure -j"$(nproc)" --timeout 300 ${3:+-R "$3"}
  exit
fi
# CI's subset: Winsock behaviour, the stream queue and packet handling, images,
# the byte-level decoders and the interface's argument checks.
ci_tests=(test_winsock test_unit_stream test_unit_decoders test_unit_images test_unit_bad_args)
ci_regex="^($(IFS='|'; echo "${ci_tests[*]}")|test_unit_dll_.*|test_unit_packaging)$"
targets=()
filter=""
if [ "${1:-}" = "--ci" ]; then
  targets=(--target orb_sdk_win orb-sim orb-client "${ci_tests[@]}")
  filter=$ci_regex
fi

deps=$(bash scripts/windows-deps.sh)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DORB_WIN_DEPS="$deps" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"

# The suite gets a network namespace of its own where it can (root): its
# traffic stays there, and the route above can be set.
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n bash "$0" --suite --namespace "$filter"
fi
exec bash "$0" --suite --plain "$filter"
