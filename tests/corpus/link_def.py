#!/usr/bin/env python3
"""End to end for `tdump --def`: import libraries made with dlltool from our .def
files of Wine's kernel32, msvcrt and comctl32 (i386, and x86_64), a small program
linked against them alone (link_def_program.c: a stdcall function, cdecl ones, a
data export, functions by ordinal only), run under Wine: it must print what the
functions really return, and import what it calls from the DLL that has it.

  link_def.py TDUMP [--work DIR]"""
import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

HERE = Path(__file__).resolve().parent
WINE_SH = HERE.parent.parent / "scripts" / "wine.sh"
ARCHES = {
    # arch: (Wine's DLL folder, mingw-w64 prefix, dlltool machine, entry symbol)
    "i386": (Path("/usr/lib/i386-linux-gnu/wine/i386-windows"), "i686-w64-mingw32", "i386", "_entry"),
    "x86_64": (Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"), "x86_64-w64-mingw32", "i386:x86-64",
               "entry"),
}
# What each .def must hold for the program to link: the stdcall name carries its
# argument bytes on i386, the data export is DATA, the ordinal-only ones NONAME.
NEEDED = {
    "kernel32": [r"^MulDiv@12 @\d+$"],
    "msvcrt": [r"^_environ @\d+ DATA$", r"^_itoa @\d+", r"^strlen @\d+", r"^printf @\d+", r"^fflush @\d+"],
    "comctl32": [r"^comctl32_ord71@4 @71 NONAME$", r"^comctl32_ord73@4 @73 NONAME$", r"^comctl32_ord74@4 @74 NONAME$"],
}
EXPECTED = """stdcall MulDiv(10, 6, 4) = 15
cdecl _itoa(12345) = 12345, strlen("kestrova") = 8
data _environ: KESTROVA_LINK_TEST=linked
ordinal comctl32 #71 Alloc(24): size 24, zeroed 1, freed 1
failures 0
"""


def run(cmd, **kw):
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, check=False, **kw)


def imports_by_dll(listing):
    """{dll: [import lines]} from the listing's Imports part."""
    part = listing.split("== Imports ==", 1)[-1].split("\n== ", 1)[0]
    dlls, current = {}, None
    for line in part.splitlines():
        m = re.match(r"^  DLL (\S+)", line)
        if m:
            current = dlls.setdefault(m.group(1).lower(), [])
        elif current is not None and re.match(r"^    [0-9A-F]{8} ", line):
            current.append(line.split(None, 2)[-1].strip())
    return dlls


def check_arch(tdump, arch, work):
    dll_dir, prefix, machine, entry = ARCHES[arch]
    work.mkdir(parents=True, exist_ok=True)
    libs = []
    for name in ("kernel32", "msvcrt", "comctl32"):
        d = run([tdump, "--def", dll_dir / f"{name}.dll"], env=kcorpus.child_env())
        if d.returncode != 0:
            return f"tdump --def {name}.dll: exit {d.returncode} {d.stderr[:200]}"
        for pattern in NEEDED[name] if arch == "i386" else [re.sub(r"@\d+ @", " @", p) for p in NEEDED[name]]:
            if not re.search(pattern, d.stdout, re.M):
                return f"{name}.def has no line like {pattern}"
        def_file, lib = work / f"{name}.def", work / f"lib{name}.a"
        def_file.write_text(d.stdout)
        cmd = [f"{prefix}-dlltool", "-m", machine, "-d", def_file, "-l", lib]
        if re.search(r"^[A-Za-z_$][^ ;]*@\d+ ", d.stdout, re.M):
            cmd.insert(1, "-k")
        r = run(cmd)
        if r.returncode != 0 or r.stderr.strip():
            return f"dlltool on {name}.def: {r.stderr.strip()[:300]}"
        libs.append(lib)
    exe = work / "linktest.exe"
    # Nothing but our three libraries: no C runtime, no default libraries.
    # kernel32's comes first: its ordinal-only exports must not take comctl32's.
    r = run([f"{prefix}-gcc", "-O1", "-Wall", "-Werror", "-fno-builtin", "-fno-stack-protector", "-nostdlib",
             "-e", entry, "-o", exe, HERE / "link_def_program.c", *libs])
    if r.returncode != 0:
        return f"link: {r.stderr.strip()[:500]}"
    listing = run([tdump, exe], env=kcorpus.child_env()).stdout
    want = {"kernel32.dll": ["MulDiv"], "msvcrt.dll": ["_environ", "_itoa", "fflush", "printf", "strlen"],
            "comctl32.dll": ["ordinal 71", "ordinal 73", "ordinal 74"]}
    got = {dll: sorted(funcs) for dll, funcs in imports_by_dll(listing).items()}
    if got != want:
        return f"the program imports {got}, not {want}"
    env = dict(os.environ, KESTROVA_LINK_TEST="linked", KESTROVA_WINE_NO_XVFB="1")
    r = run([WINE_SH, exe], env=env, timeout=300)
    if r.returncode != 0 or r.stdout.replace("\r\n", "\n") != EXPECTED:
        return f"under Wine: exit {r.returncode}, output:\n{r.stdout}{r.stderr[-500:]}"
    print(f"{arch}: linked against kernel32, msvcrt and comctl32 from our .def files; under Wine:")
    print("  " + r.stdout.replace("\r\n", "\n").rstrip("\n").replace("\n", "\n  "))
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump")
    ap.add_argument("--work", default="link_def_work")
    args = ap.parse_args()
    if not shutil.which("wine"):
        return kcorpus.skip("Wine is not installed")
    arches = [a for a, (d, prefix, _, _) in ARCHES.items()
              if (d / "kernel32.dll").is_file() and shutil.which(f"{prefix}-gcc") and shutil.which(f"{prefix}-dlltool")]
    if not arches:
        return kcorpus.skip("neither Wine's PE DLLs with their mingw-w64 toolchain (gcc, dlltool)")
    no_32 = "i386" in arches and not kcorpus.runs_32_bit_programs()
    if no_32:
        arches.remove("i386")
    failed = 0
    for arch in arches:
        why = check_arch(Path(args.tdump), arch, Path(args.work) / arch)
        if why:
            print(f"FAIL {arch}: {why}")
            failed += 1
    if failed:
        return 1
    if no_32:
        print("note: no i386 run: this machine's kernel cannot run 32-bit programs, so neither can Wine")
    elif "i386" not in arches:
        return kcorpus.missing("no i386 run (wine32 or mingw-w64's i686 toolchain missing), where argument sizes matter")
    return 0


if __name__ == "__main__":
    sys.exit(main())
