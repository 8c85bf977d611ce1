#!/usr/bin/env bash
# Runs one of the dump tool's libFuzzer targets for a fixed time.
#   scripts/fuzz.sh SECONDS [TARGET]
# TARGET is fuzz_dump (the default: whole files), fuzz_der (signature blobs),
# fuzz_demangle (mangled C++ names), fuzz_apiset (API-set schemas), fuzz_x86 (x86 code
# for the length decoder) or fuzz_diff (two files compared by --diff).
# Needs the asan preset built (cmake --preset asan && cmake --build --preset asan), whose
# clang build holds the fuzzers; KESTROVA_FUZZ_BUILD names another build folder of it.
# Seeds come from ../shared/corpus (read-only) plus a few small Wine DLLs, copied into a
# work corpus under the build folder that grows from run to run. Exits non-zero on any
# crash, timeout, leak or out-of-memory, and prints the reproducer's path.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET]}
target=${2:-fuzz_dump}
case "$target" in
  fuzz_dump|fuzz_der|fuzz_demangle|fuzz_apiset|fuzz_x86|fuzz_diff) ;;
  *) echo "fuzz.sh: unknown target $target (fuzz_dump, fuzz_der, fuzz_demangle, fuzz_apiset, fuzz_x86 or fuzz_diff)" >&2; exit 2 ;;
esac
build=$(realpath -m "${KESTROVA_FUZZ_BUILD:-$root/build/asan}")
fuzzer=$build/bin/$target
shared=$root/../shared/corpus
wine_dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows

if [ ! -x "$fuzzer" ]; then
  echo "fuzz.sh: $fuzzer not built (cmake --preset asan && cmake --build --preset asan)" >&2
  exit 2
fi

# Each target keeps its own corpus: a DER blob teaches the file fuzzer little, and back.
work=$build/fuzz-work
[ "$target" = fuzz_dump ] || work=$build/fuzz-work-$target
corpus=$work/corpus
artifacts=$work/artifacts
mkdir -p "$corpus" "$artifacts"
dict=$root/tests/fuzz/pe.dict
max_len=65536

if [ "$target" = fuzz_demangle ]; then
  # One seed a name: every scheme's forms, real and hand-made. A name is at most
  # the demanglers' input cap, plus a little to reach past it.
  dict=$root/tests/fuzz/demangle.dict
  max_len=4200
  n=0
  while IFS= read -r name; do
    n=$((n + 1))
    printf '%s' "$name" >"$corpus/seed-$n"
  done <"$root/tests/fuzz/demangle.seeds"
elif [ "$target" = fuzz_apiset ]; then
  # Seeds: Wine's schema (layout 6) and small ones of layouts 2 and 4.
  dict=$root/tests/fuzz/apiset.dict
  for f in "$root"/tests/fuzz/apiset-seeds/*; do
    dest=$corpus/seed-$(basename "$f")
    [ -e "$dest" ] || cp "$f" "$dest"
  done
elif [ "$target" = fuzz_x86 ]; then
  # Seeds: the code of a few small 32-bit Wine DLLs, 4 KB at a time.
  dict=
  max_len=4096
  i386_dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
  if [ -d "$i386_dlls" ]; then
    for f in "$i386_dlls"/version.dll "$i386_dlls"/ws2_32.dll "$i386_dlls"/msvcrt.dll; do
      [ -f "$f" ] || continue
      dest=$corpus/seed-$(basename "$f")
      [ -e "$dest" ] || dd if="$f" of="$dest" bs=4096 skip=1 count=1 status=none
    done
  fi
  printf '\x55\x8b\xec\x8b\x45\x08\x5d\xc2\x04\x00' >"$corpus/seed-prologue"
elif [ "$target" = fuzz_diff ]; then
  # Seeds: DLLs built with one known change each (crosscheck_diff.py --seeds-out rebuilds
  # them), and pairs of the file fuzzer's own small seeds, of one kind and of two. An input
  # is the first file's length (4 bytes, little-endian), the first file, then the second.
  for f in "$root"/tests/fuzz/diff-seeds/*; do
    dest=$corpus/seed-$(basename "$f")
    [ -e "$dest" ] || cp "$f" "$dest"
  done
  seeds=$root/tests/fuzz/seeds
  for pair in guarded32.exe:guarded64.exe guarded64.exe:signed-guarded64.exe unwind64.dll:unwind_arm64.dll \
              reloc32.dll:rich-overlay32.dll build-info.dll:resources-every-kind.dll \
              implib-long-i386.a:implib-short-arm64.lib ne-dll-imports.dll:ne-dll-imports.dll \
              object-armnt.obj:object-armnt.obj implib-short-arm64.lib:unwind_arm64.dll; do
    a=$seeds/${pair%%:*} b=$seeds/${pair##*:}
    dest=$corpus/seed-${pair/:/+}
    [ -f "$a" ] && [ -f "$b" ] && [ ! -e "$dest" ] || continue
    n=$(stat -c %s "$a")
    { printf "$(printf '\\%03o' $((n & 255)) $((n >> 8 & 255)) $((n >> 16 & 255)) $((n >> 24 & 255)))"
      cat "$a" "$b"; } >"$dest"
  done
elif [ "$target" = fuzz_der ]; then
  # Seeds: the signatures kept beside the target, and those the signature cross-check made.
  dict=$root/tests/fuzz/der.dict
  for f in "$root"/tests/fuzz/der-seeds/* "$root"/build/native/tests/corpus/signed/*.p7; do
    [ -f "$f" ] || continue
    dest=$corpus/seed-$(basename "$f")
    [ -e "$dest" ] || cp "$f" "$dest"
  done
else  # the file fuzzer's seeds, up to "fi  # the file fuzzer's seeds"

# Seeds: every binary file of the shared corpus, named after its folder so two
# folders' files cannot collide; the catalogue and licence texts teach nothing.
if [ -d "$shared" ]; then
  while IFS= read -r -d '' f; do
    case "$(basename "$f")" in
      README*|LICENSE*|COPYING*|*.txt|*.md|*.bat|*.py|makefile|*.sha) continue ;;
    esac
    rel=${f#"$shared"/}
    dest=$corpus/seed-${rel//\//_}
    [ -e "$dest" ] || cp "$f" "$dest"
  done < <(find "$shared" -type f -print0)
else
  echo "fuzz.sh: no shared corpus at $shared; starting from the work corpus alone" >&2
fi
# Real linker output is what the corpus lacks most; the small ones keep executions fast.
if [ -d "$wine_dlls" ]; then
  find "$wine_dlls" -maxdepth 1 -type f -size -20k -print0 |
    while IFS= read -r -d '' f; do
      dest=$corpus/seed-wine_$(basename "$f")
      [ -e "$dest" ] || cp "$f" "$dest"
    done
fi
# .NET assemblies: the two small test assemblies and Mono's smaller class libraries.
for f in "$root"/tests/dumper/clr/*.exe "$root"/tests/dumper/clr/*.dll; do
  [ -f "$f" ] && { [ -e "$corpus/seed-clr_$(basename "$f")" ] || cp "$f" "$corpus/seed-clr_$(basename "$f")"; }
done
if [ -d /usr/lib/mono/gac ]; then
  find /usr/lib/mono/gac -type f -name '*.dll' -size -64k -print0 |
    while IFS= read -r -d '' f; do
      dest=$corpus/seed-mono_$(basename "$f")
      [ -e "$dest" ] || cp "$f" "$dest"
    done
fi
# Small images with the parts the corpus rarely has (debug entries, TLS callbacks, guard
# tables, every resource kind the listing decodes: the resources golden's image);
# tests/corpus/crosscheck_debug_tls_loadcfg.py --seeds-out rebuilds the linked ones.
for f in "$root"/tests/fuzz/seeds/*; do
  [ -f "$f" ] || continue
  dest=$corpus/seed-own_$(basename "$f")
  [ -e "$dest" ] || cp "$f" "$dest"
done
# Resources: small Wine files with a version block, for the resource, version and
# manifest parsers (the files under 20 KB above have few of them).
if [ -d "$wine_dlls" ]; then
  find "$wine_dlls" -maxdepth 1 -type f -size +19k -size -64k -print0 |
    while IFS= read -r -d '' f; do
      LC_ALL=C grep -qaP 'V\x00S\x00_\x00V\x00E\x00R' "$f" || continue
      dest=$corpus/seed-wineres_$(basename "$f")
      [ -e "$dest" ] || cp "$f" "$dest"
    done
fi
fi  # the file fuzzer's seeds
chmod -R u+w "$corpus"

stamp=$work/.run-start
touch "$stamp"
log=$work/last-run.log
echo "fuzz.sh: $seconds s on $(find "$corpus" -type f | wc -l) inputs; log $log"

set +e
# A hang is a finding, as is growth past the memory bound: the tool must stay within
# the file's size plus its listing. Inputs past max_len are cut when loaded.
"$fuzzer" "$corpus" \
  -max_total_time="$seconds" \
  -timeout=10 \
  -rss_limit_mb=2048 \
  -max_len="$max_len" \
  ${dict:+-dict="$dict"} \
  -artifact_prefix="$artifacts/" \
  -print_final_stats=1 \
  >"$log" 2>&1
rc=$?
set -e

# The last status line and the final stats tell executions, speed and coverage.
grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -n 1 || true
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true

found=$(find "$artifacts" -type f -newer "$stamp" | sort)
if [ $rc -ne 0 ] || [ -n "$found" ]; then
  echo "fuzz.sh: FAILED (exit $rc)" >&2
  grep -E 'ERROR: |SUMMARY: |fuzz_dump: |fuzz_der: |fuzz_demangle: |fuzz_apiset: |fuzz_x86: |fuzz_diff: |Test unit written to|libFuzzer: ' "$log" | head -n 20 >&2 || true
  for f in $found; do echo "fuzz.sh: reproducer $f" >&2; done
  echo "fuzz.sh: replay with: $fuzzer $found" >&2
  exit 1
fi
echo "fuzz.sh: no findings"
