#!/usr/bin/env bash
# orb-viewer's costs: the per-frame work of its 3D view (colour mapping,
# upload and drawing of 54,000 points) under Mesa's software renderer, and
# the library's frames/s against the built-in simulator with the sample
# client alone and with the viewer running, side by side in one run.
#   scripts/bench_viewer.sh [seconds]     (default 20 s per run)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target orb-viewer orb-viewer-bench orb-client >/dev/null
display=(xvfb-run -a -s "-screen 0 1400x900x24")
# The simulator binds loopback ports: in a network namespace of its own when possible.
isolated() {
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    unshare -n bash -c 'ip link set lo up && "$@"' _ "$@"
  else
    "$@"
  fi
}
# Mean of the per-second "frames/s" (and "drawn/s") after the first 3 seconds.
mean() { awk -v key="$1" '/^\[ *[0-9]+s\]/ { s = $2 + 0; for (i = 1; i < NF; i++) if ($i == key && s > 3) { t += $(i+1); n++ } }
  END { if (n) printf "%.1f", t / n; else printf "n/a" }' "$2"; }

echo "== per-frame work"
"${display[@]}" build/examples/viewer/orb-viewer-bench --frames 300

out=$(mktemp -d)
echo "== frames/s over $secs s against the built-in simulator (20 frames/s)"
# Processor seconds (user + system) of each run, the display server's included.
TIMEFORMAT='%U %S'
{ time isolated build/examples/orb-client --simulator --seconds "$secs" >"$out/client.log" 2>&1; } 2>"$out/client.cpu"
{ time isolated "${display[@]}" build/examples/viewer/orb-viewer --simulator --seconds "$secs" >"$out/viewer.log" 2>&1; } 2>"$out/viewer.cpu"
cpu() { awk -v s="$secs" '{ printf "%.2f", ($1 + $2) / s }' "$1"; }
client=$(mean frames/s "$out/client.log")
viewer=$(mean frames/s "$out/viewer.log")
drawn=$(mean drawn/s "$out/viewer.log")
echo "sample client alone:     frames/s $client   processor $(cpu "$out/client.cpu") s/s (simulator included)"
echo "viewer running:          frames/s $viewer (drawn/s $drawn)   processor $(cpu "$out/viewer.cpu") s/s (simulator included)"
grep '^Stopped' "$out/viewer.log" || true
awk -v a="$client" -v b="$viewer" 'BEGIN { if (a > 0) printf "ratio viewer / client:   %.3f\n", b / a }'
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
rm -rf "$out"
