#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each one
# briefly from the simulator-made seeds.
#   scripts/fuzz.sh [seconds-per-target] [target...]
# Default 30 s per target. A crash, leak or failed property stops the stage
# with the target's report; the input is left as build-fuzz/fuzz-out/<target>/crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
seconds="${1:-30}"
shift || true
dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DORB_FUZZ=ON -DORB_BUILD_BENCH=OFF -DORB_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target orb_fuzz_all
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_data_packet fuzz_six_axis fuzz_imu_packet fuzz_rgb_assembly fuzz_command_chain
           fuzz_config_getters fuzz_control_server fuzz_announcement fuzz_discovery fuzz_capture_reader)
fi
seeds="$dir/fuzz-seeds"
rm -rf "$seeds"
"$dir/tests/fuzz/orb_fuzz_seeds" "$seeds"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=0
for t in "${targets[@]}"; do
  corpus="$dir/fuzz-corpus/$t"
  out="$dir/fuzz-out/$t"
  mkdir -p "$corpus" "$out"
  log="$out/log.txt"
  # -close_fd_mask=1: the library's diagnostics on stdout would only slow the run.
  if "$dir/tests/fuzz/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 -close_fd_mask=1 \
      -print_final_stats=1 -artifact_prefix="$out/" "$corpus" "$seeds/$t" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    cov=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 | grep -o 'cov: [0-9]* ft: [0-9]*' || true)
    echo "fuzz $t: ok, $runs runs in ${seconds} s, $cov"
  else
    echo "fuzz $t: FAILED"
    tail -n 60 "$log"
    failed=1
  fi
done
exit $failed
