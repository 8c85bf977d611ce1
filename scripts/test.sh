#!/usr/bin/env bash
# Builds everything and runs every test: native, under the sanitizers, the fuzzer's
# short run, and the 64- and 32-bit Windows builds with their tests under Wine on a private Xvfb.
#   scripts/test.sh            everything
#   scripts/test.sh --quick    native tests only
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

quick=0
[ "${1:-}" = "--quick" ] && quick=1

bash scripts/install-deps.sh

step() { printf '\n== %s\n' "$*"; }

step "native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

[ $quick -eq 1 ] && exit 0

step "native tests under ASan and UBSan"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -LE slow

step "fuzzer, short run"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
bash scripts/fuzz.sh "${KESTROVA_FUZZ_SECONDS:-45}"
bash scripts/fuzz.sh 10 fuzz_der
bash scripts/fuzz.sh 10 fuzz_demangle
bash scripts/fuzz.sh 10 fuzz_apiset
bash scripts/fuzz.sh 10 fuzz_x86

step "32-bit Windows build (its tests run under Wine below)"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86

step "64-bit Windows build and tests under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows

# One X server for the whole Wine run: a wineserver outlives its programs and must keep one display.
xvfb_pid=""
cleanup() {
  for p in "$root"/build/wine/*/; do WINEPREFIX=${p%/} wineserver -k 2>/dev/null || true; done
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ] || [ -n "${CI:-}" ]; then
  n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
fi
ctest --preset windows

step "32-bit Windows tests under Wine (wine32)"
if bash scripts/wine.sh --runs-32-bit; then
  ctest --preset windows-x86
else
  # Nothing to install fixes this: the kernel was built without 32-bit support.
  echo "not run: this machine's kernel cannot run 32-bit programs (Exec format error), so neither can Wine; the 32-bit build above still compiles and links"
fi
