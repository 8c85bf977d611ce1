#!/usr/bin/env python3
"""Wine's loader as the oracle for the Dependencies part.

Builds, with mingw-w64, a DLL of our own (a function, an ordinal, a forwarder to a
DLL that is not there, a forwarder to a function kernel32 lacks) and small programs
that import from it what it has and what it lacks, one missing DLL, an API-set
contract, Common Controls 6 through a manifest (64- and 32-bit), and (with clang and lld, since GNU ld
leaves the delay-load directory empty) a delay-loaded DLL that is missing. Runs each
under Wine (WINEDEBUG=warn+module,+loaddll) and lists each with tdump.exe under Wine
in the same prefix, and with the native tdump --windows-root over the prefix's
drive_c when it is given. Each failure Wine's loader names must be the failure tdump
names, a program Wine finds nothing wrong with must be one tdump says will load, and
where a program's DLL is checked by path (comctl32 from WinSxS) the paths must agree.
Then a fixed draw of Wine's own programs: every one must load with nothing missing.

Wine is lenient where Windows is not: it starts a program whose import has no
implementation (a warning, and a stub that fails when called) and one whose
forwarder leads nowhere. The listing follows Windows, which refuses to start them,
so only the kinds are compared, not whether Wine ran the program.

  tests/wine/deps_oracle.py --wine scripts/wine.sh [--tdump-exe tdump.exe] [--tdump PATH] [--work DIR]
Exits 77 (skipped) when Wine or mingw-w64 is missing, and fails then when CI is set.
"""
import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "corpus"))
import kcorpus  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
CC = "x86_64-w64-mingw32-gcc"
DLLTOOL = "x86_64-w64-mingw32-dlltool"
WINDRES = "x86_64-w64-mingw32-windres"

LIB_C = "__declspec(dllexport) int okfunc(void) { return 1; }\nint ordfunc(void) { return 5; }\n"
LIB_DEF = ("LIBRARY libok.dll\nEXPORTS\n  okfunc\n  ordfunc @5\n  fwd = nothere.Func\n"
           "  fwdname = kernel32.NoSuchFunction\n")
# What the programs ask libok.dll for: more than it has.
ASK_DEF = "LIBRARY libok.dll\nEXPORTS\n  okfunc\n  nofunc\n  ord77 @77 NONAME\n  fwd\n  fwdname\n"
GONE_DEF = "LIBRARY gone.dll\nEXPORTS\n  gonefunc\n"
API_DEF = "LIBRARY api-ms-win-core-synch-l1-2-0.dll\nEXPORTS\n  Sleep\n"
COMCTL6 = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <dependency><dependentAssembly>
    <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
      processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/>
  </dependentAssembly></dependency>
</assembly>
"""

# program: symbol it takes the address of, import library, the failures at start,
# the failures only when called, the DLLs that must be found where Wine finds them,
# and for a 32-bit program its own compiler and resource compiler.
PROGRAMS = {
    "p_ok": dict(symbol="okfunc", lib="ask"),
    "p_missingdll": dict(symbol="gonefunc", lib="gone", start={("dllNotFound", "gone.dll")}),
    "p_missingname": dict(symbol="nofunc", lib="ask", start={("nameMissing", "libok.dll.nofunc")}),
    "p_missingord": dict(symbol="ord77", lib="ask", start={("ordinalMissing", "libok.dll.77")}),
    "p_fwd": dict(symbol="fwd", lib="ask", start={("forwardDllMissing", "nothere.Func"),
                                                  ("nameMissing", "libok.dll.fwd")}),
    "p_fwdname": dict(symbol="fwdname", lib="ask", start={("forwardNameMissing", "kernel32.NoSuchFunction"),
                                                          ("nameMissing", "libok.dll.fwdname")}),
    "p_apiset": dict(symbol="Sleep", lib="api"),
    "p_comctl6": dict(symbol="InitCommonControls", lib="comctl32", manifest=COMCTL6, paths={"comctl32.dll"}),
    "p_comctl6_32": dict(symbol="InitCommonControls", lib="comctl32", manifest=COMCTL6, paths={"comctl32.dll"},
                         cc="i686-w64-mingw32-gcc", windres="i686-w64-mingw32-windres"),
    "p_delaygone": dict(symbol="gonefunc", lib="gone", delay="gone.dll", delayed={("dllNotFound", "gone.dll")}),
}
SAMPLE = 12     # Wine's own programs checked per run
SEED = 19


def build(work, have_lld):
    work.mkdir(parents=True, exist_ok=True)
    (work / "libok.c").write_text(LIB_C)
    (work / "libok.def").write_text(LIB_DEF)
    subprocess.run([CC, "-shared", "-o", "libok.dll", "libok.c", "libok.def"], cwd=work, check=True)
    for name, text in (("ask", ASK_DEF), ("gone", GONE_DEF), ("api", API_DEF)):
        (work / f"{name}.def").write_text(text)
        subprocess.run([DLLTOOL, "-d", f"{name}.def", "-l", f"lib{name}.a"], cwd=work, check=True)
    libgcc = Path(subprocess.run([CC, "-print-libgcc-file-name"], capture_output=True, text=True,
                                 check=True).stdout.strip()).parent
    built = []
    for prog, p in PROGRAMS.items():
        if (p.get("delay") and not have_lld) or shutil.which(p.get("cc", CC)) is None:
            continue
        symbol = p["symbol"]
        decl = {"Sleep": "__declspec(dllimport) void __stdcall Sleep(unsigned);",
                "InitCommonControls": "__declspec(dllimport) void __stdcall InitCommonControls(void);"}.get(
                    symbol, f"extern int {symbol}(void);")
        # Taking the address keeps the import: the program never calls it.
        (work / f"{prog}.c").write_text(f'#include <stdio.h>\n{decl}\nvoid* volatile keep;\n'
                                        f'int main(void) {{ keep = (void*)&{symbol}; puts("ran"); return 0; }}\n')
        extra = []
        if p.get("manifest"):
            (work / f"{prog}.manifest").write_text(p["manifest"])
            (work / f"{prog}.rc").write_text(f'1 24 "{prog}.manifest"\n')
            subprocess.run([p.get("windres", WINDRES), f"{prog}.rc", "-O", "coff", "-o", f"{prog}.res.o"], cwd=work,
                           check=True)
            extra.append(f"{prog}.res.o")
        if p.get("delay"):
            # lld delays only imports of the short form that llvm-dlltool writes.
            subprocess.run(["llvm-dlltool", "-m", "i386:x86-64", "-d", f"{p['lib']}.def", "-l",
                            f"lib{p['lib']}-short.a"], cwd=work, check=True)
            cmd = ["clang", "--target=x86_64-w64-mingw32", "-fuse-ld=lld", "-o", f"{prog}.exe", f"{prog}.c",
                   "-L.", f"-L{libgcc}", f"-l{p['lib']}-short", f"-Wl,-delayload={p['delay']}"]
        else:
            cmd = [p.get("cc", CC), "-o", f"{prog}.exe", f"{prog}.c", *extra, "-L.", f"-l{p['lib']}"]
        subprocess.run(cmd, cwd=work, check=True)
        built.append(prog)
    return built


def wine_env(debug):
    return dict(os.environ, WINEDEBUG=debug, KESTROVA_WINE_NO_XVFB="1", KESTROVA_WINE_LOCALE="zh")


def wine_run(wine, work, prog, wow64=False):
    """Wine's loader: the failures it names, the path of each DLL it loaded, and whether the program ran."""
    out = subprocess.run([wine, f"./{prog}.exe"], cwd=work, env=wine_env("warn+module,+loaddll,+pid"),
                         capture_output=True, text=True, timeout=120)
    kinds, paths = set(), {}
    text = (out.stdout + out.stderr).replace("\r", "")
    # Wine's own processes (the virtual desktop's explorer.exe, services) trace
    # their loads too: only the lines of processes that loaded no other program count.
    others = set()
    for line in text.splitlines():
        m = re.match(r"([0-9a-f]+):[0-9a-f]+:.*Loaded L\"[^\"]*?([^\"\\/]+\.exe)\" at", line, re.I)
        if m and m.group(2).lower() != f"{prog}.exe".lower():
            others.add(m.group(1))
    for line in text.splitlines():
        if (m := re.match(r"([0-9a-f]+):[0-9a-f]+:", line)) and m.group(1) in others:
            continue
        if m := re.search(r"Library (\S+) \(which is needed by", line):
            kinds.add(("dllNotFound", m.group(1).lower()))
        elif m := re.search(r"No implementation for (\S+)\.(\S+) imported from", line):
            kind = "ordinalMissing" if m.group(2).isdigit() else "nameMissing"
            kinds.add((kind, f"{m.group(1).lower()}.{m.group(2)}"))
        elif m := re.search(r"module not found for forward '([^']+)'", line):
            kinds.add(("forwardDllMissing", m.group(1)))
        elif m := re.search(r"function not found for forward '([^']+)'", line):
            kinds.add(("forwardNameMissing", m.group(1)))
        elif m := re.search(r'Loaded L"([^"]+)" at', line):
            path = norm(m.group(1).replace("\\\\", "\\"))
            # A 32-bit process names SysWOW64 System32 (the file system redirector).
            if wow64 and path.startswith("c:/windows/system32/"):
                path = "c:/windows/syswow64/" + path[len("c:/windows/system32/"):]
            paths[path.rsplit("/", 1)[-1]] = path
    return kinds, paths, "ran" in out.stdout.replace("\r", "").splitlines()


def norm(path):
    return path.replace("\\", "/").lower()


def facts(part, to_windows):
    """What a listing's Dependencies part says: failures at start, failures when called, verdict, paths."""
    start, delayed = set(), set()
    for p in part.get("problems", []):
        k = p["kind"]
        dest = delayed if p["when"] == "whenCalled" else start
        if k == "dllNotFound":
            dest.add((k, p["dll"].lower()))
        elif k in ("nameMissing", "ordinalMissing"):
            dest.add((k, f"{p['dll'].lower()}.{p['function'].lstrip('#')}"))
        elif k == "assemblyMissing":
            dest.add((k, p["assembly"]))
        else:
            # Wine names a forwarder that leads nowhere twice: the forwarder, and the
            # import it leaves without an implementation.
            dest.add((k, p["forward"]))
            fn = p["function"].lstrip("#")
            dest.add(("ordinalMissing" if fn.isdigit() else "nameMissing", f"{p['dll'].lower()}.{fn}"))
    paths = {}
    for row in part.get("tree", []):
        if "path" in row:
            paths.setdefault(row["path"].replace("\\", "/").rsplit("/", 1)[-1].lower(), to_windows(row["path"]))
    return start, delayed, part["verdict"], paths


def parse_json_lines(text):
    objs = []
    for line in text.replace("\r", "").splitlines():
        line = line.lstrip("\ufeff").strip()
        if line:
            objs.append(json.loads(line))
    return objs


def tdump_exe(wine, exe, work, files):
    """tdump.exe under Wine, resolving against the running (Wine's) system; one run for all files."""
    args = [wine, exe, "--json", *[str(f) for f in files]]
    out = subprocess.run(args, cwd=work, env=wine_env("-all"), capture_output=True, text=True, timeout=300)
    return parse_json_lines(out.stdout)


def tdump_native(tdump, root, files):
    out = subprocess.run([str(tdump), "--json", "--windows-root", str(root), *[str(f) for f in files]],
                         capture_output=True, text=True, timeout=300)
    return parse_json_lines(out.stdout)


def wine_programs(drive_c):
    """A fixed draw of Wine's own 64-bit programs (the same every run)."""
    system32 = drive_c / "windows" / "system32"
    progs = sorted(p for p in system32.iterdir() if p.suffix.lower() == ".exe" and p.is_file())
    return sorted(random.Random(SEED).sample(progs, min(SAMPLE, len(progs))))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--wine", default=str(ROOT / "scripts" / "wine.sh"))
    ap.add_argument("--tdump-exe", help="tdump.exe, run under Wine")
    ap.add_argument("--tdump", help="the native tdump, run with --windows-root over the prefix's drive_c")
    ap.add_argument("--work", default=str(ROOT / "build" / "deps-oracle"))
    ap.add_argument("--prefix", default=str(Path(os.environ.get("KESTROVA_WINE_ROOT", ROOT / "build" / "wine")) / "zh"))
    args = ap.parse_args()
    args.wine = str(Path(args.wine).resolve())
    if args.tdump_exe:
        args.tdump_exe = str(Path(args.tdump_exe).resolve())
    for tool in ("wine", CC, DLLTOOL, WINDRES):
        if shutil.which(tool) is None:
            return kcorpus.skip(f"{tool} is not installed")
    if args.tdump and not Path(args.tdump).is_file():
        kcorpus.missing(f"no native tdump at {args.tdump}: only tdump.exe is compared")
        args.tdump = None
    if not args.tdump_exe and not args.tdump:
        return kcorpus.skip("neither tdump.exe nor the native tdump given")
    have_lld = all(shutil.which(t) for t in ("clang", "ld.lld", "llvm-dlltool"))
    t0 = time.monotonic()
    work, drive_c = Path(args.work), Path(args.prefix) / "drive_c"
    built = build(work, have_lld)
    if not kcorpus.runs_32_bit_programs():
        print("note: the 32-bit programs are left out: this machine's kernel cannot run them, so neither can Wine")
        built = [p for p in built if "cc" not in PROGRAMS[p]]
    if not have_lld:
        kcorpus.missing("clang, lld or llvm-dlltool is not installed: the delay-load program is not built")

    def from_root(path):
        p = Path(path)
        try:
            return norm("C:/" + str(p.resolve().relative_to(drive_c.resolve())))
        except ValueError:
            return norm("Z:" + str(p.resolve()))

    # The loader first (it makes the prefix, when it is not there yet), then the listings.
    wine = {prog: wine_run(args.wine, work, prog, "cc" in PROGRAMS[prog]) for prog in built}
    sample = wine_programs(drive_c)
    listings = {}
    if args.tdump_exe:
        windows = ["C:\\" + str(p.relative_to(drive_c)).replace("/", "\\") for p in sample]
        ours = ["Z:" + str((work / f"{p}.exe").resolve()).replace("/", "\\") for p in built]
        objs = tdump_exe(args.wine, args.tdump_exe, work, ours + windows)
        listings["tdump.exe"] = (objs, norm)
    if args.tdump:
        objs = tdump_native(args.tdump, drive_c, [work / f"{p}.exe" for p in built] + sample)
        listings["tdump"] = (objs, from_root)

    failed = compared = same_paths = 0
    for name, (objs, to_windows) in listings.items():
        if len(objs) != len(built) + len(sample):
            print(f"FAIL {name}: {len(objs)} objects for {len(built) + len(sample)} files")
            failed += 1
            continue
        for prog, obj in zip(built, objs):
            p = PROGRAMS[prog]
            start, delayed, verdict, paths = facts(obj["parts"]["Dependencies"], to_windows)
            wkinds, wpaths, ran = wine[prog]
            want_start, want_delayed = p.get("start", set()), p.get("delayed", set())
            ok = wkinds == start == want_start and delayed == want_delayed
            ok = ok and (verdict == "loads") == (not want_start)
            # A delay-loaded DLL that is missing stops nothing: Wine starts the program.
            if want_delayed:
                ok = ok and ran
            # The DLLs named must be found; every DLL both list must come from the same file.
            bad_paths = [d for d in p.get("paths", ()) if paths.get(d) is None]
            bad_paths += sorted(d for d in paths.keys() & wpaths.keys() if paths[d] != wpaths[d])
            same_paths += len(paths.keys() & wpaths.keys())
            ok = ok and not bad_paths
            compared += 1
            failed += not ok
            print(f"{'ok  ' if ok else 'FAIL'} {name:<9} {prog:<14} wine {sorted(wkinds)}"
                  f"{' ran' if ran else ''}  tdump {verdict} {sorted(start)} when called {sorted(delayed)}")
            for d in sorted(set(p.get("paths", ())) | set(bad_paths)):
                print(f"     {d}: wine {wpaths.get(d)}  tdump {paths.get(d)}")
        modules = 0
        for f, obj in zip(sample, objs[len(built):]):
            part = obj.get("parts", {}).get("Dependencies", {})
            start, _, verdict, _ = facts(part, to_windows) if "verdict" in part else (set(), set(), "none", {})
            modules += len(part.get("tree", []))
            ok = verdict == "loads" and not start
            compared += 1
            failed += not ok
            if not ok:
                print(f"FAIL {name:<9} {f.name}: Wine runs it, tdump says {verdict} {sorted(start)}")
        print(f"{name}: {len(sample)} of Wine's programs (seed {SEED}), {modules} DLL rows in their trees")
    print(f"{compared - failed} of {compared} verdicts agree with Wine's loader, {same_paths} DLL paths compared"
          f" ({time.monotonic() - t0:.1f} s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
