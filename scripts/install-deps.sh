#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages.
# Does nothing (and needs no network) when everything is already there.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

packages=(
  cmake g++ make ninja-build
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 wine32:i386 fonts-wine xvfb xauth x11-utils xdotool fonts-wqy-zenhei fonts-noto-cjk imagemagick
  llvm clang libclang-rt-14-dev lld locales python3-pefile python3-jsonschema
  mono-runtime mono-utils mono-mcs libmono-system4.0-cil libmono-posix4.0-cil
  libmono-system-data4.0-cil libmono-system-drawing4.0-cil libmono-system-windows-forms4.0-cil
  osslsigncode openssl golang-go
)

# Wine takes its code pages from LANG, which needs the glibc locale to exist.
ensure_locale() {
  if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
    ${SUDO:-} localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
  fi
}

# A mirror caught mid-sync fails one index; apt then keeps the old one or does
# without it, and the install below says whether what we need was found.
apt_update() {
  $SUDO apt-get update -qq || echo "install-deps: apt-get update reported a problem; going on with the indexes it has" >&2
}

# The 32-bit build's tests need wine32, which is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  apt_update
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  ensure_locale
  exit 0
fi

echo "installing: ${missing[*]}"


export DEBIAN_FRONTEND=noninteractive
apt_update
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
ensure_locale
