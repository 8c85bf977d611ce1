#!/usr/bin/env python3
"""Cross-checks the readable forms of mangled names against the peers.

Visual C++ names: every '?' name that Wine's msvcp*, msvcr*, concrt140 and mfc* DLLs
export (64- and 32-bit folders) as tdump lists it, and the names clang gives
tests/corpus/demangle/names.cpp for both Windows targets, against llvm-undname.
GNU names: the dynamic symbols of Debian's C++ libraries, and the exports of mingw's
libstdc++ DLLs and of names.cpp built by mingw as tdump lists them, against c++filt.
A name the peer decodes must read the same (white space aside); one it rejects must
stay raw. The differences that are the peers' own are explained and counted.

  demangle_crosscheck.py TDUMP DEMANGLE_NAMES [--work DIR]
"""
import argparse
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "demangle" / "names.cpp"
WINE32_DIRS = [kcorpus.WINE32_DIR, Path("/usr/lib/i386-linux-gnu/wine/i386-windows")]
RUNTIME_PREFIXES = ("msvcp", "msvcr", "concrt140", "mfc")
DEBIAN_LIBS = ["libstdc++.so.6", "libboost_regex.so.*", "libboost_filesystem.so.*",
               "libboost_program_options.so.*", "libicuuc.so.*", "libicui18n.so.*",
               "libLLVM-14.so.1"]
MINGW_LIBSTDCXX = sorted(Path("/usr/lib/gcc").glob("*-w64-mingw32/*/libstdc++-6.dll"))
EXPORT_LINE = re.compile(r"^ +\d+ +\d+  [0-9A-F]{8}  (\S+)(?:  -> \S+)?(?:  = (.*))?$")
DECORATION = re.compile(r"^(@?)(_Z.*)@(\d+)$")

# __cxa_demangle writes the standard abbreviations short; c++filt spells them out.
ABBREVIATIONS = [
    (r"std::string\b", "std::basic_string<char, std::char_traits<char>, std::allocator<char> >"),
    (r"std::istream\b", "std::basic_istream<char, std::char_traits<char> >"),
    (r"std::ostream\b", "std::basic_ostream<char, std::char_traits<char> >"),
    (r"std::iostream\b", "std::basic_iostream<char, std::char_traits<char> >"),
]


def squash(text):
    return None if text is None else re.sub(r"\s+", "", text)


def gnu_form(text):
    if text is None:
        return None
    for short, long in ABBREVIATIONS:
        text = re.sub(short, long, text)
    return squash(text)


def tool(name):
    path = shutil.which(name) or shutil.which(name + "-14")
    if not path:
        print(f"demangle_crosscheck: {name} not found (Debian package llvm / binutils); skipped")
        sys.exit(77)
    return path


def undname(names):
    """llvm-undname's reading of each name, None where it rejects one."""
    out = subprocess.run([tool("llvm-undname")], input="\n".join(names) + "\n",
                         capture_output=True, text=True, check=False).stdout.split("\n")
    result, i = {}, 0
    for n in names:
        if i >= len(out) or out[i] != n:
            sys.exit(f"demangle_crosscheck: llvm-undname output out of step at {n!r}")
        if out[i + 1] == "":
            result[n], i = None, i + 2
        else:
            result[n], i = out[i + 1], i + 3
    return result


def cxxfilt(names):
    out = subprocess.run([tool("c++filt")], input="\n".join(names) + "\n",
                         capture_output=True, text=True, check=True).stdout.split("\n")
    return {n: (None if r == n else r) for n, r in zip(names, out)}


def ours(driver, names, x86=False):
    args = [str(driver)] + (["--x86"] if x86 else [])
    out = subprocess.run(args, input="\n".join(names) + "\n", capture_output=True,
                         text=True, check=True).stdout.split("\n")
    return {n: (line.split("\t", 1)[1] or None) for n, line in zip(names, out)}


def listed_names(tdump, files):
    """name -> readable form (None: raw) of every export in tdump's listing of `files`."""
    def one(path):
        run = subprocess.run([str(tdump), str(path)], capture_output=True, check=False)
        if run.returncode != 0:
            sys.exit(f"demangle_crosscheck: tdump failed on {path}")
        found = {}
        for line in run.stdout.decode("utf-8", "replace").split("\n"):
            m = EXPORT_LINE.match(line)
            if m:
                found[m.group(1)] = m.group(2)
        return found
    merged = {}
    with ThreadPoolExecutor(max_workers=2) as pool:
        for found in pool.map(one, files):
            merged.update(found)
    return merged


class Tally:
    def __init__(self, what):
        self.what, self.same, self.raw, self.explained, self.wrong = what, 0, 0, {}, []

    def explain(self, why):
        self.explained[why] = self.explained.get(why, 0) + 1

    def report(self):
        print(f"{self.what}: {self.same} the same, {self.raw} raw for both, "
              f"{sum(self.explained.values())} explained, {len(self.wrong)} wrong")
        for why, n in self.explained.items():
            print(f"  explained ({n}): {why}")
        for name, peer, mine in self.wrong[:20]:
            print(f"  WRONG {name}\n    peer: {peer}\n    ours: {mine}")
        return not self.wrong


def compare(tally, names, peer, mine, norm, explain=None):
    for n in names:
        p, m = peer.get(n), mine.get(n)
        if p is None and m is None:
            tally.raw += 1
        elif p is not None and m is not None and norm(p) == norm(m):
            tally.same += 1
        elif explain and explain(n, p, m):
            tally.explain(explain(n, p, m))
        else:
            tally.wrong.append((n, p, m))


def explain_gnu(name, peer, mine):
    # binutils' copy of the demangler is newer than the C++ runtime's, and puts
    # parentheses around a decltype's operand.
    if peer and mine and gnu_form(peer).replace("(", "").replace(")", "") == \
            gnu_form(mine).replace("(", "").replace(")", ""):
        return "c++filt parenthesises decltype operands (newer demangler than the runtime's)"
    return None


def microsoft(tdump, driver, work):
    dirs = [d for d in [kcorpus.wine_dir()] + WINE32_DIRS if d is not None and d.is_dir()]
    files = sorted({p.resolve() for d in dirs for p in d.iterdir()
                    if p.suffix.lower() == ".dll" and p.name.lower().startswith(RUNTIME_PREFIXES)})
    listed = listed_names(tdump, files)
    wine = sorted(n for n in listed if n.startswith("?"))
    print(f"Visual C++: {len(wine)} distinct '?' names from {len(files)} Wine DLLs")
    ok = True
    if wine:
        t = Tally("Visual C++ (Wine's exports, as tdump lists them)")
        compare(t, wine, undname(wine), listed, squash)
        ok = t.report() and ok
    clang = shutil.which("clang++") or shutil.which("clang++-14")
    if clang:
        names = set()
        for target in ("i686-pc-windows-msvc", "x86_64-pc-windows-msvc"):
            obj = work / f"names-{target}.o"
            subprocess.run([clang, "-std=c++17", "-w", "-c", f"--target={target}", "-o", str(obj),
                            str(SOURCE)], check=True)
            nm = subprocess.run([tool("llvm-nm"), str(obj)], capture_output=True, text=True,
                                check=True).stdout
            names |= {line.split()[-1] for line in nm.splitlines() if line.split()[-1:] and
                      line.split()[-1].startswith("?")}
        names = sorted(names)
        t = Tally(f"Visual C++ (clang's names for names.cpp, {len(names)})")
        compare(t, names, undname(names), ours(driver, names), squash)
        ok = t.report() and ok
    else:
        print("note: no clang++, so names.cpp's Visual C++ names are not checked")
    return ok and bool(wine)


def gnu(tdump, driver, work):
    ok = True
    names = set()
    for pattern in DEBIAN_LIBS:
        for lib in sorted(Path("/usr/lib/x86_64-linux-gnu").glob(pattern))[:1]:
            nm = subprocess.run(["nm", "-D", "--defined-only", str(lib)], capture_output=True,
                                text=True, check=False).stdout
            names |= {line.split()[-1].split("@")[0] for line in nm.splitlines()
                      if line.split() and line.split()[-1].startswith("_Z")}
    names = sorted(names)
    print(f"GNU: {len(names)} distinct names from Debian's C++ libraries")
    t = Tally("GNU (Debian's libraries)")
    compare(t, names, cxxfilt(names), ours(driver, names), gnu_form, explain_gnu)
    ok = t.report() and ok and len(names) > 1000

    dlls = list(MINGW_LIBSTDCXX)
    for arch in ("x86_64", "i686"):
        gxx = shutil.which(f"{arch}-w64-mingw32-g++")
        if not gxx:
            continue
        dll = work / f"names-{arch}.dll"
        subprocess.run([gxx, "-std=c++17", "-O0", "-shared", "-w", "-o", str(dll), str(SOURCE),
                        "-Wl,--export-all-symbols"], check=True)
        dlls.append(dll)
    listed = listed_names(tdump, dlls)
    plain = sorted(n for n in listed if n.startswith("_Z") and not DECORATION.match(n))
    decorated = sorted(n for n in listed if DECORATION.match(n))
    peer = cxxfilt(plain + [DECORATION.match(n).group(2) for n in decorated])
    for n in decorated:
        fast, inner, size = DECORATION.match(n).groups()
        text = peer.get(inner)
        peer[n] = None if text is None else \
            f"{'__fastcall' if fast else '__stdcall'} {text} ({size} bytes of arguments)"
    t = Tally(f"GNU (mingw's DLLs as tdump lists them, {len(plain) + len(decorated)}"
              f" names, {len(decorated)} with a 32-bit decoration)")
    compare(t, plain + decorated, peer, listed, gnu_form, explain_gnu)
    return t.report() and ok


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump")
    ap.add_argument("driver")
    ap.add_argument("--work", default="demangle-work")
    a = ap.parse_args()
    work = Path(a.work)
    work.mkdir(parents=True, exist_ok=True)
    ok = microsoft(a.tdump, a.driver, work)
    ok = gnu(a.tdump, a.driver, work) and ok
    print("demangle cross-check:", "passed" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
