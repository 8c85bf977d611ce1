#!/usr/bin/env bash
# Runs a Windows program under Wine in one of the project's own prefixes.
#   scripts/wine.sh PROGRAM [ARGS...]
#   scripts/wine.sh --runs-32-bit    exit 0 if 32-bit Windows programs can run here
# KESTROVA_WINE_LOCALE picks the prefix and its code pages:
#   zh (default): LANG=zh_CN.UTF-8, ANSI and OEM code page 936
#   en:           LANG=C.UTF-8, ANSI 1252, OEM 437 (UTF-8 file names, so
#                 names outside ASCII still reach the disk)
# Each locale has its own prefix, and so its own wineserver, since Wine reads
# the code pages from LANG when the wineserver starts.
# KESTROVA_WINE_PREFIX_NAME names the prefix folder instead of the locale (the
# end-to-end tests use one of their own so their registry changes stay there);
# LANG still follows KESTROVA_WINE_LOCALE.
# KESTROVA_WINE_DESKTOP=NAME,WxH names the prefix's virtual desktop (Default,1280x1024).
# Without a DISPLAY the program runs on a private Xvfb.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, and that
# loader starts the 64-bit one for 64-bit programs. A kernel built without 32-bit
# support cannot execute it ("Exec format error"), so on such a machine `wine`
# and the helpers that call it (wineboot, regedit, winepath) go straight to the
# 64-bit loader; 32-bit Windows programs cannot run there at all.
wine32_loader=/usr/lib/wine/wine wine64_loader=/usr/lib/wine/wine64
runs_32_bit() { [ ! -e "$wine32_loader" ] || "$wine32_loader" --version >/dev/null 2>&1; }
if [ "${1:-}" = "--runs-32-bit" ]; then
  [ -x "$wine32_loader" ] && "$wine32_loader" --version >/dev/null 2>&1 && exit 0
  exit 1
fi
if ! runs_32_bit && [ -x "$wine64_loader" ]; then
  shim=${KESTROVA_WINE_ROOT:-$root/build/wine}/bin
  if [ ! -x "$shim/wine-stable" ]; then
    mkdir -p "$shim"
    for n in wine wine-stable; do
      printf '#!/bin/sh\nexport WINELOADER=%s\nexec %s "$@"\n' "$wine64_loader" "$wine64_loader" > "$shim/$n.tmp"
      chmod +x "$shim/$n.tmp"
      mv -f "$shim/$n.tmp" "$shim/$n"
    done
  fi
  export PATH="$shim:$PATH" WINELOADER=$wine64_loader
fi

locale=${KESTROVA_WINE_LOCALE:-zh}
case "$locale" in
  zh) export LANG=zh_CN.UTF-8 ;;
  en) export LANG=C.UTF-8 ;;
  *) echo "wine.sh: unknown KESTROVA_WINE_LOCALE '$locale'" >&2; exit 2 ;;
esac
unset LC_ALL LC_CTYPE LANGUAGE
export WINEPREFIX=${KESTROVA_WINE_ROOT:-$root/build/wine}/${KESTROVA_WINE_PREFIX_NAME:-$locale}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers (there is no network), no desktop menu entries.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}

if [ -z "${DISPLAY:-}" ] && [ -z "${KESTROVA_WINE_NO_XVFB:-}" ]; then
  exec env KESTROVA_WINE_NO_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

fonts_version=6
# The virtual desktop's name and size (the end-to-end tests ask for their own).
desktop=${KESTROVA_WINE_DESKTOP:-Default,1280x1024}
desktop_name=${desktop%%,*} desktop_size=${desktop#*,}
# A prefix fits only the set of Wine architectures that made it: one made
# before wine32 was installed fails once it is ("could not load kernel32.dll").
# The stamp records that set and Wine's version; on a mismatch the prefix is
# made again from nothing.
wine_build() {
  local d arches=()
  for d in /usr/lib/*/wine/*-unix /usr/lib/wine/*-unix /usr/lib64/wine/*-unix; do
    [ -d "$d" ] && arches+=("$(basename "$d")")
  done
  printf '%s\n' "$(wine --version 2>/dev/null)" "${arches[@]}" | sort -u | tr '\n' ' '
}
build=$(wine_build)

make_prefix() {
  if [ -e "$WINEPREFIX/.kestrova-ready" ] && [ "$(cat "$WINEPREFIX/.kestrova-ready")" != "$build" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf -- "${WINEPREFIX:?}"
  fi
  mkdir -p "$WINEPREFIX"
  if [ ! -e "$WINEPREFIX/.kestrova-ready" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    echo "$build" > "$WINEPREFIX/.kestrova-ready"
  fi
  # Chinese text needs a CJK font. SimSun, the listing's face, goes to Noto Sans
  # Mono CJK SC: of Debian's CJK fonts it is the one whose ASCII all has one
  # advance (6 px at 12 px, Chinese twice that) with "-" and "_" both visible
  # at 12 px, so the listing's columns line up. (WenQuanYi Zen Hei Sharp keeps
  # both signs but varies in width; its Mono cut and AR PL KaitiM/SungtiL GB
  # lose "_"; AR PL UMing/UKai vary; WenQuanYi Micro Hei Mono is 7 px wide with
  # Chinese at 12.) The interface's other faces go to WenQuanYi Zen Hei.
  local reg="$WINEPREFIX/kestrova-fonts.reg"
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n'
    for f in 'SimSun' '宋体' 'NSimSun' '新宋体'; do
      printf '"%s"="Noto Sans Mono CJK SC"\r\n' "$f"
    done
    for f in 'MS Shell Dlg' 'MS Shell Dlg 2' 'Tahoma' 'Microsoft YaHei' '微软雅黑'; do
      printf '"%s"="WenQuanYi Zen Hei"\r\n' "$f"
    done
    printf '\r\n'
    # Every program in a virtual desktop: on a bare X server (no window manager)
    # Wine waits two seconds for each top-level window to be mapped or withdrawn.
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="%s"\r\n\r\n' "$desktop_name"
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"%s"="%s"\r\n\r\n' "$desktop_name" "$desktop_size"
  } | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } > "$reg"
  wine regedit /S "$(winepath -w "$reg")" >/dev/null 2>&1
  # The caption's minimise, maximise and close buttons are Marlett glyphs that
  # Wine draws itself; without the font they come out as the letters "0 1 r".
  # Debian's fonts-wine puts Marlett in Wine's data folder, which Wine 8 never
  # reads fonts from, so it goes where Wine does look: C:\windows\Fonts. Only
  # Marlett: Wine's other faces would change how the window's text looks.
  local marlett=""
  for f in /usr/share/wine/fonts/marlett.ttf /usr/local/share/wine/fonts/marlett.ttf /opt/wine*/share/wine/fonts/marlett.ttf; do
    if [ -f "$f" ]; then marlett=$f; break; fi
  done
  if [ -n "$marlett" ]; then
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp -f "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf"
  else
    echo "wine.sh: no marlett.ttf (Debian's fonts-wine); caption buttons will show as letters" >&2
  fi
  echo "$fonts_version" > "$WINEPREFIX/.kestrova-fonts"
}

prefix_current() {
  [ "$(cat "$WINEPREFIX/.kestrova-ready" 2>/dev/null)" = "$build" ] &&
    [ "$(cat "$WINEPREFIX/.kestrova-fonts" 2>/dev/null)" = "$fonts_version" ]
}

if ! prefix_current; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Parallel tests share the prefix: only one of them makes it.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  prefix_current || make_prefix
  flock -u 9
  exec 9>&-
fi

exec wine "$@"
