#!/usr/bin/env bash
# Builds Kestrova for Windows and starts it under Wine in a virtual desktop.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target Kestrova
exe=$(winepath -w "$root/build/windows/bin/Kestrova.exe" 2>/dev/null || echo "$root/build/windows/bin/Kestrova.exe")
exec scripts/wine.sh explorer /desktop=Kestrova,1024x768 "$exe"
