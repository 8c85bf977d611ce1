#!/usr/bin/env bash
# The UI benchmark: Kestrova.exe under Wine, measured from outside.
#   bench/e2e/run.sh [BUILD_DIR]        (default build/windows)
# Prints start-up time, then for Wine's mshtml.dll, for a DLL with 60,000
# exports (a listing of about 3 M characters) and for a file with 65,535
# sections (the shared corpus's, a listing of about 9 M characters): Analyze to listing shown, the dump tool's
# run, the delay from its end to the listing (at most one poll interval), the
# memo's fill, and how the window answers WM_NULL meanwhile.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build/windows}
cd "$root"
if [ "$build" = "$root/build/windows" ]; then
  cmake --preset windows >/dev/null
fi
cmake --build "$build" -j2 --target Kestrova kestrova_ui_bench

# The many-exports DLL, made once: one tiny function per export.
work=$root/build/bench-e2e
dll=$work/exports60000.dll
if [ ! -e "$dll" ]; then
  mkdir -p "$work"
  awk 'BEGIN { for (i = 0; i < 60000; i++) printf "int e%d(int v) { return v ^ %d; }\n", i, i }' >"$work/exports.c"
  awk 'BEGIN { print "LIBRARY exports60000.dll"; print "EXPORTS";
               for (i = 0; i < 60000; i++) printf "  Export_%05d_Entry=e%d @%d\n", i, i, i + 1 }' >"$work/exports.def"
  x86_64-w64-mingw32-gcc -shared -O1 -o "$dll" "$work/exports.c" "$work/exports.def"
fi

xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  n=97
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
fi

bench=$build/bin/kestrova_ui_bench.exe
exe=$build/bin/Kestrova.exe
echo "== Wine's mshtml.dll"
tests/e2e/run.sh "$bench" --kestrova="$exe" --starts=5
echo
echo "== a DLL with 60,000 exports"
tests/e2e/run.sh "$bench" --kestrova="$exe" --starts=1 --file="$dll"
sects=$root/../shared/corpus/corkami-pe/65535sects.exe
if [ -e "$sects" ]; then
  echo
  echo "== a file with 65,535 sections"
  tests/e2e/run.sh "$bench" --kestrova="$exe" --starts=1 --file="$sects"
fi
