#!/usr/bin/env bash
# orb-viewer against the built-in simulator under a display server: the wall
# scene's screenshot is checked; the box scene's two screenshots are the
# README's pictures (copied to docs/ by hand when they change).
#   viewer_screenshot_test.sh ORB_VIEWER CHECKER OUT_DIR
set -u
viewer=$1 check=$2 out=$3
if command -v xvfb-run >/dev/null 2>&1; then
  # Mesa's software renderer in a virtual screen: the same pixels everywhere.
  display=(xvfb-run -a -s "-screen 0 1400x900x24")
elif [ -n "${DISPLAY:-}" ]; then
  display=()
else
  echo "SKIP: no display server (install xvfb for xvfb-run)"
  exit 77
fi
shot() {  # name, seconds, viewer options...
  local name=$1 secs=$2
  shift 2
  "${display[@]}" "$viewer" --simulator --seconds "$secs" --size 1280x800 --screenshot "$out/$name.png" "$@" \
    >"$out/$name.log" 2>&1
  local rc=$?
  cat "$out/$name.log"
  if [ $rc -ne 0 ]; then
    echo "FAIL: orb-viewer $* exited with $rc"
    exit 1
  fi
}
shot viewer_wall 4 --scene wall --view 3d --color range
"$check" "$out/viewer_wall.png" "$out/viewer_wall.log" || exit 1
shot viewer_3d 6 --scene box --view 3d --color range
shot viewer_panels 6 --scene box --view overview
for p in viewer_3d viewer_panels; do "$check" --picture "$out/$p.png" || exit 1; done
echo "pictures: $out/viewer_3d.png $out/viewer_panels.png"
