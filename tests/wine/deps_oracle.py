#!/usr/bin/env python3
"""Wine's loader as the oracle for the Dependencies part.

Builds, with mingw-w64, a DLL of our own (a function, an ordinal, a forwarder to a
DLL that is not there, a forwarder to a function kernel32 lacks) and small programs
that import from it what it has and what it lacks, one missing DLL, and an API-set
contract; runs each under Wine (WINEDEBUG=warn+module) and lists each with the native
tdump --windows-root over the same prefix's drive_c. Each failure Wine's loader
names must be the failure tdump names, and a program Wine finds nothing wrong with
must be one tdump says will load.

Wine is lenient where Windows is not: it starts a program whose import has no
implementation (a warning, and a stub that fails when called) and one whose
forwarder leads nowhere. The listing follows Windows, which refuses to start them,
so only the kinds are compared, not whether Wine ran the program.

  tests/wine/deps_oracle.py [--tdump PATH] [--work DIR]
Needs the native tdump and the Wine prefix scripts/wine.sh makes (zh).
"""
import argparse
import json
import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CC = "x86_64-w64-mingw32-gcc"
DLLTOOL = "x86_64-w64-mingw32-dlltool"

LIB_C = "__declspec(dllexport) int okfunc(void) { return 1; }\nint ordfunc(void) { return 5; }\n"
LIB_DEF = ("LIBRARY libok.dll\nEXPORTS\n  okfunc\n  ordfunc @5\n  fwd = nothere.Func\n"
           "  fwdname = kernel32.NoSuchFunction\n")
# What the programs ask libok.dll for: more than it has.
ASK_DEF = "LIBRARY libok.dll\nEXPORTS\n  okfunc\n  nofunc\n  ord77 @77 NONAME\n  fwd\n  fwdname\n"
GONE_DEF = "LIBRARY gone.dll\nEXPORTS\n  gonefunc\n"
API_DEF = "LIBRARY api-ms-win-core-synch-l1-2-0.dll\nEXPORTS\n  Sleep\n"

# program: (symbol it takes the address of, import library, expected kinds)
PROGRAMS = {
    "p_ok": ("okfunc", "ask", set()),
    "p_missingdll": ("gonefunc", "gone", {("dllNotFound", "gone.dll")}),
    "p_missingname": ("nofunc", "ask", {("nameMissing", "libok.dll.nofunc")}),
    "p_missingord": ("ord77", "ask", {("ordinalMissing", "libok.dll.77")}),
    "p_fwd": ("fwd", "ask", {("forwardDllMissing", "nothere.Func"), ("nameMissing", "libok.dll.fwd")}),
    "p_fwdname": ("fwdname", "ask", {("forwardNameMissing", "kernel32.NoSuchFunction"),
                                     ("nameMissing", "libok.dll.fwdname")}),
    "p_apiset": ("Sleep", "api", set()),
}


def build(work):
    work.mkdir(parents=True, exist_ok=True)
    (work / "libok.c").write_text(LIB_C)
    (work / "libok.def").write_text(LIB_DEF)
    subprocess.run([CC, "-shared", "-o", "libok.dll", "libok.c", "libok.def"], cwd=work, check=True)
    for name, text in (("ask", ASK_DEF), ("gone", GONE_DEF), ("api", API_DEF)):
        (work / f"{name}.def").write_text(text)
        subprocess.run([DLLTOOL, "-d", f"{name}.def", "-l", f"lib{name}.a"], cwd=work, check=True)
    for prog, (symbol, lib, _) in PROGRAMS.items():
        decl = ("__declspec(dllimport) void __stdcall Sleep(unsigned);" if symbol == "Sleep"
                else f"extern int {symbol}(void);")
        # Taking the address keeps the import: the program never calls it.
        (work / f"{prog}.c").write_text(f'#include <stdio.h>\n{decl}\nvoid* volatile keep;\n'
                                        f'int main(void) {{ keep = (void*)&{symbol}; puts("ran"); return 0; }}\n')
        subprocess.run([CC, "-o", f"{prog}.exe", f"{prog}.c", "-L.", f"-l{lib}"], cwd=work, check=True)


def wine_kinds(work, prog):
    env = dict(os.environ, WINEDEBUG="warn+module", KESTROVA_WINE_NO_XVFB="1")
    out = subprocess.run([str(ROOT / "scripts" / "wine.sh"), f"./{prog}.exe"], cwd=work, env=env,
                         capture_output=True, text=True, timeout=120)
    kinds = set()
    for line in (out.stdout + out.stderr).replace("\r", "").splitlines():
        if m := re.search(r"Library (\S+) \(which is needed by", line):
            kinds.add(("dllNotFound", m.group(1).lower()))
        elif m := re.search(r"No implementation for (\S+)\.(\S+) imported from", line):
            kind = "ordinalMissing" if m.group(2).isdigit() else "nameMissing"
            kinds.add((kind, f"{m.group(1).lower()}.{m.group(2)}"))
        elif m := re.search(r"module not found for forward '([^']+)'", line):
            kinds.add(("forwardDllMissing", m.group(1)))
        elif m := re.search(r"function not found for forward '([^']+)'", line):
            kinds.add(("forwardNameMissing", m.group(1)))
    return kinds


def tdump_kinds(tdump, root, work, prog):
    out = subprocess.run([str(tdump), "--json", "--windows-root", str(root), str(work / f"{prog}.exe")],
                         capture_output=True, text=True, check=True).stdout
    part = json.loads(out.splitlines()[0])["parts"]["Dependencies"]
    kinds = set()
    for p in part.get("problems", []):
        k = p["kind"]
        if k == "dllNotFound":
            kinds.add((k, p["dll"].lower()))
        elif k in ("nameMissing", "ordinalMissing"):
            kinds.add((k, f"{p['dll'].lower()}.{p['function'].lstrip('#')}"))
        else:
            # Wine names a forwarder that leads nowhere twice: the forwarder, and the
            # import it leaves without an implementation.
            kinds.add((k, p["forward"]))
            fn = p["function"].lstrip("#")
            kinds.add(("ordinalMissing" if fn.isdigit() else "nameMissing", f"{p['dll'].lower()}.{fn}"))
    return kinds, part["verdict"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tdump", default=str(ROOT / "build" / "native" / "bin" / "tdump"))
    ap.add_argument("--work", default=str(ROOT / "build" / "deps-oracle"))
    ap.add_argument("--prefix", default=str(ROOT / "build" / "wine" / "zh"))
    args = ap.parse_args()
    work, root = Path(args.work), Path(args.prefix) / "drive_c"
    build(work)
    failed = 0
    for prog, (_, _, expected) in PROGRAMS.items():
        wine = wine_kinds(work, prog)
        ours, verdict = tdump_kinds(args.tdump, root, work, prog)
        ok = wine == ours == expected and (verdict == "loads") == (not expected)
        failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {prog:<16} wine {sorted(wine)}  tdump {verdict} {sorted(ours)}")
    print(f"{len(PROGRAMS) - failed} of {len(PROGRAMS)} verdicts agree with Wine's loader")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
