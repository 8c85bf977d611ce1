#!/usr/bin/env bash
# Makes docs/screenshot.png: Kestrova showing a listing of one of Wine's DLLs,
# in the skinned window, taken from the X server with ImageMagick's import.
#   tests/e2e/screenshot.sh [BUILD_DIR]     (default build/windows, built already)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build/windows}
bin=$build/bin
for f in Kestrova.exe kestrova_e2e.exe; do
  [ -e "$bin/$f" ] || { echo "screenshot.sh: $bin/$f is missing; build the windows preset first" >&2; exit 2; }
done

xvfb_pid=""
shot=$(mktemp -d)
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$shot"
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  n=96
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
fi

export KESTROVA_E2E_SHOT_DIR=$shot
"$root/tests/e2e/run.sh" "$bin/kestrova_e2e.exe" --kestrova="$bin/Kestrova.exe" \
  --gtest_also_run_disabled_tests --gtest_filter='Screenshot.*' >"$shot/driver.log" 2>&1 &
driver=$!
for _ in $(seq 900); do [ -e "$shot/ready" ] && break; sleep 0.1; done
if [ ! -e "$shot/ready" ]; then
  cat "$shot/driver.log" >&2
  echo "screenshot.sh: the listing never showed" >&2
  exit 1
fi
sleep 1  # the last paint
read -r left top width height <"$shot/ready"
# Window coordinates are the virtual desktop's; find where that desktop sits.
geometry=$(xwininfo -root -tree | grep -m1 'Wine desktop' | grep -o '[0-9]\+x[0-9]\++[0-9]\++[0-9]\+' | head -1)
dx=0
dy=0
if [ -n "$geometry" ]; then
  dx=$(echo "$geometry" | cut -d+ -f2)
  dy=$(echo "$geometry" | cut -d+ -f3)
fi
mkdir -p "$root/docs"
import -window root -crop "${width}x${height}+$((dx + left))+$((dy + top))" +repage "$root/docs/screenshot.png"
touch "$shot/done"
wait "$driver" || { cat "$shot/driver.log" >&2; exit 1; }
echo "docs/screenshot.png: ${width}x${height}"
