#!/usr/bin/env bash
# Builds everything and runs all tests.
#   scripts/test.sh            plain build (build/)
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   scripts/test.sh --tsan     ThreadSanitizer (build-tsan/)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
mode="${1:-plain}"
case "$mode" in
  plain)  dir=build;      flags=() ;;
  --asan) dir=build-asan; flags=(-DORB_SANITIZE=ON -DORB_BUILD_BENCH=OFF -DORB_BUILD_EXAMPLES=OFF) ;;
  --tsan) dir=build-tsan; flags=(-DORB_TSAN=ON -DORB_BUILD_BENCH=OFF -DORB_BUILD_EXAMPLES=OFF) ;;
  *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
ctest_args=()
if [ "$mode" = "--tsan" ]; then
  # Under ThreadSanitizer only the threaded (network) test programs are built and run.
  targets=()
  for f in tests/test_*.cpp; do
    n=$(basename "$f" .cpp)
    case "$n" in test_unit_*) ;; *) targets+=("$n") ;; esac
  done
  cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"
  ctest_args=(-L net)
else
  cmake --build "$dir" -j"$(nproc)"
fi
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
cd "$dir"
ctest --output-on-failure -j"$(nproc)" --timeout 300 "${ctest_args[@]}"
if [ "$mode" = plain ] && [ -d python/orb_sdk ]; then
  # The Python module's tests, with Debian's interpreter, in a private network
  # namespace when this user may make one.
  pytest=(timeout 900 env PYTHONPATH="$PWD/python" /usr/bin/python3 -m pytest -q -p no:cacheprovider ../tests/python)
  if unshare -n true 2>/dev/null; then
    unshare -n sh -c 'ip link set lo up && exec "$@"' sh "${pytest[@]}"
  else
    "${pytest[@]}"
  fi
fi
