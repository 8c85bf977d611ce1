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

# Each stage says how long the one before it took, so a slow stage shows in CI's log.
stage_start=$SECONDS
stage_name="install"
step() {
  printf '\n== (%s took %d s)\n== %s\n' "$stage_name" $((SECONDS - stage_start)) "$*"
  stage_name=$*
  stage_start=$SECONDS
}

# The native build needs only g++, CMake and GoogleTest, which the machine may
# already have: then it runs while apt fetches the rest (mingw-w64, Wine, the
# peers), which the native tests need.
install_pid=""
if command -v cmake >/dev/null && command -v g++ >/dev/null && command -v make >/dev/null &&
   [ -e /usr/include/gtest/gtest.h ] && [ -e /usr/include/gmock/gmock.h ] &&
   { [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; }; then  # no password prompt from the background
  bash scripts/install-deps.sh &
  install_pid=$!
else
  bash scripts/install-deps.sh
fi

step "native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native
if [ -n "$install_pid" ]; then
  wait "$install_pid" || { echo "test.sh: installing the dependencies failed" >&2; exit 1; }
fi
ctest --preset native

[ $quick -eq 1 ] && exit 0

step "native tests under ASan and UBSan, and the fuzzers' short run (one clang build)"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -LE slow

# Two lanes, one a core: each run is for a fixed time, so side by side they do the
# same fuzzing in half the wall time.
export KESTROVA_FUZZ_BUILD=build/asan
dump_log=build/asan/fuzz_dump-lane.log
bash scripts/fuzz.sh "${KESTROVA_FUZZ_SECONDS:-45}" >"$dump_log" 2>&1 &
dump_pid=$!
others_rc=0
# The other lane's runs add up to the dump lane's 45 s.
for run in fuzz_der:9 fuzz_demangle:9 fuzz_apiset:9 fuzz_x86:8 fuzz_diff:10; do
  bash scripts/fuzz.sh "${run#*:}" "${run%%:*}" || others_rc=1
done
dump_rc=0
wait "$dump_pid" || dump_rc=$?
cat "$dump_log"
[ $dump_rc -eq 0 ] && [ $others_rc -eq 0 ] || { echo "test.sh: a fuzzer found something (above)" >&2; exit 1; }

step "32-bit Windows build (its tests run under Wine below)"
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
# The Wine prefixes (each a wineboot of a quarter of a minute) are made while
# the Windows builds run, not one by one inside the window tests' serial chain.
prefix_pids=()
for locale in zh en; do
  KESTROVA_WINE_LOCALE=$locale bash scripts/wine.sh cmd /c exit 0 >/dev/null 2>&1 &
  prefix_pids+=($!)
  KESTROVA_WINE_LOCALE=$locale bash tests/e2e/run.sh cmd /c exit 0 >/dev/null 2>&1 &
  prefix_pids+=($!)
done
cmake --preset windows-x86 >/dev/null
if bash scripts/wine.sh --runs-32-bit; then
  runs_32=1
  cmake --build --preset windows-x86
else
  runs_32=0  # its tests could not run: the program and the tool alone
  cmake --build --preset windows-x86 --target Kestrova tdump
fi

step "64-bit Windows build and tests under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows
for p in "${prefix_pids[@]}"; do wait "$p" || true; done  # a test makes any that failed
ctest --preset windows

step "32-bit Windows tests under Wine (wine32)"
if [ $runs_32 -eq 1 ]; then
  ctest --preset windows-x86
else
  # Nothing to install fixes this: the kernel was built without 32-bit support.
  echo "not run: this machine's kernel cannot run 32-bit programs (Exec format error), so neither can Wine; the 32-bit program and tool above are still built"
fi
step "done in $SECONDS s"
