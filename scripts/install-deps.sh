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
  osslsigncode openssl mingw-w64-tools wine64-tools golang-go fp-compiler-3.2.2 fpc-source-3.2.2
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


# A mirror that lags for i386 (its security index refused) leaves amd64 libraries
# newer than the i386 ones apt can see, and Multi-Arch: same wants both alike:
# name each blocking library, at the i386 version for both architectures, until
# apt finds a way (a bounded number of rounds).
install_aligned() {
  local extra=() round blocked p cand have
  for round in $(seq 25); do
    if $SUDO apt-get install -y -qq --no-install-recommends --allow-downgrades "$@" "${extra[@]}" >/dev/null 2>&1; then
      return 0
    fi
    blocked=$($SUDO apt-get install -s --no-install-recommends --allow-downgrades "$@" "${extra[@]}" 2>&1 |
      sed -nE 's/.*Depends: ([a-z0-9][a-z0-9.+-]*):i386.*(not going to be installed|not installable).*/\1/p' | sort -u)
    [ -n "$blocked" ] || return 1
    local progress=0
    for p in $blocked; do
      case " ${extra[*]} " in *" $p:i386"*) continue ;; esac
      progress=1
      cand=$(apt-cache policy "$p:i386" | awk '/Candidate:/{print $2}')
      have=$(dpkg-query -W -f='${Version}' "$p:amd64" 2>/dev/null || true)
      if [ -n "$have" ] && [ -n "$cand" ] && [ "$cand" != "(none)" ] && [ "$have" != "$cand" ]; then
        extra+=("$p:i386=$cand" "$p:amd64=$cand")
      else
        extra+=("$p:i386")
      fi
    done
    [ $progress -eq 1 ] || return 1
  done
  return 1
}

export DEBIAN_FRONTEND=noninteractive
apt_update
if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
  # The i386 packages are the ones a lagging mirror breaks: the rest first, then them.
  native=() foreign=()
  for p in "${missing[@]}"; do
    case "$p" in *:i386) foreign+=("$p") ;; *) native+=("$p") ;; esac
  done
  [ ${#native[@]} -eq 0 ] || $SUDO apt-get install -y -qq --no-install-recommends "${native[@]}" >/dev/null
  [ ${#foreign[@]} -eq 0 ] || install_aligned "${foreign[@]}" || {
    echo "install-deps: could not install ${foreign[*]}" >&2
    exit 1
  }
fi
ensure_locale
