#!/usr/bin/env bash
# Runs a Windows program of the end-to-end tests under Wine, in a prefix of its
# own whose every program opens in a 1024x768 virtual desktop named "e2e".
#   tests/e2e/run.sh PROGRAM.exe [ARGS...]
# The prefix is separate from the other Wine tests' one: the driver points the
# http handler at its recorder there, and the desktop setting lives there too.
# KESTROVA_WINE_LOCALE (zh by default) picks the code pages as for scripts/wine.sh.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_sh="$here/../../scripts/wine.sh"
export KESTROVA_WINE_PREFIX_NAME=${KESTROVA_WINE_PREFIX_NAME:-${KESTROVA_WINE_LOCALE:-zh}-e2e}
export KESTROVA_WINE_DESKTOP=e2e,1024x768

if [ -z "${DISPLAY:-}" ] && [ -z "${KESTROVA_WINE_NO_XVFB:-}" ]; then
  # One X server for the whole run: the wineserver outlives each program.
  exec env KESTROVA_WINE_NO_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

exec "$wine_sh" "$@"
