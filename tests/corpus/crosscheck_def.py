#!/usr/bin/env python3
"""`tdump --def` on every Wine DLL (x86_64, and i386 where wine32 is installed): GNU
dlltool must make an import library from each .def as written (-k where a name
carries @N), and so must lld-link /def: when it is installed; a file that is not an
image must give exit 1.

  crosscheck_def.py TDUMP [--work DIR] [--i386-dir DIR]"""
import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

I386_DIR = Path("/usr/lib/i386-linux-gnu/wine/i386-windows")
DECORATED = re.compile(r"^[A-Za-z_$][^ ;]*@\d+ ", re.M)


def check(tool, dlltool, path, work, machine):
    d = subprocess.run([str(tool), "--def", str(path)], capture_output=True, check=False,
                       env=kcorpus.child_env())
    if d.returncode != 0 or any(m in d.stderr.decode(errors="replace") for m in kcorpus.SANITIZER_MARKS):
        return f"tdump --def exit {d.returncode}: {d.stderr.decode(errors='replace')[:200]}"
    text = d.stdout.decode("utf-8")
    names = [l.split()[0] for l in text.splitlines() if l and not l.startswith((";", "LIBRARY", "EXPORTS"))]
    if len(names) != len(set(names)):
        return "two lines export the same name"
    def_file = work / (path.stem + ".def")
    def_file.write_text(text)
    cmd = [dlltool, "-m", machine, "-d", str(def_file), "-l", str(work / ("lib" + path.stem + ".a"))]
    if DECORATED.search(text):
        cmd.insert(1, "-k")
    r = subprocess.run(cmd, capture_output=True, text=True, check=False)
    if r.returncode != 0 or r.stderr.strip():
        return f"dlltool: {r.stderr.strip()[:300]}"
    # Microsoft's grammar, as lld-link reads it (llvm-lib 14 has no /def).
    lld = shutil.which("lld-link")
    if lld:
        r = subprocess.run([lld, f"/def:{def_file}", "/dll", "/noentry",
                            "/machine:" + ("x86" if machine == "i386" else "x64"),
                            f"/out:{work / (path.stem + '.lld.dll')}", f"/implib:{work / (path.stem + '.lib')}"],
                           capture_output=True, text=True, check=False)
        if r.returncode != 0 or r.stderr.strip() or r.stdout.strip():
            return f"lld-link: {(r.stderr + r.stdout).strip()[:300]}"
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump")
    ap.add_argument("--work", type=Path, default=Path("def-work"))
    ap.add_argument("--i386-dir", type=Path, default=I386_DIR)
    args = ap.parse_args()
    dlltool = shutil.which("x86_64-w64-mingw32-dlltool") or shutil.which("dlltool")
    if not dlltool:
        return kcorpus.skip("no dlltool (binutils-mingw-w64)")
    sets = []
    if kcorpus.wine_dir():
        sets.append((kcorpus.wine_dir(), "i386:x86-64"))
    if args.i386_dir.is_dir():
        sets.append((args.i386_dir, "i386"))
    if not sets:
        return kcorpus.skip("no Wine DLLs")
    args.work.mkdir(parents=True, exist_ok=True)
    failures, count = [], 0
    for folder, machine in sets:
        work = args.work / machine.replace(":", "_")
        work.mkdir(exist_ok=True)
        for p in sorted(folder.glob("*.dll")):
            count += 1
            why = check(args.tdump, dlltool, p, work, machine)
            if why:
                failures.append(f"{p}: {why}")
    # Not an image: exit 1 and the reason.
    junk = args.work / "not-an-image.dll"
    junk.write_bytes(b"this is text, not a DLL\n")
    r = subprocess.run([str(args.tdump), "--def", str(junk)], capture_output=True, check=False)
    if r.returncode != 1 or b"not an image" not in r.stdout:
        failures.append(f"not an image: exit {r.returncode}, {r.stdout[:200]!r}")
    print(f"{count} DLLs, {len(failures)} failures")
    for f in failures[:40]:
        print("FAIL", f)
    if len(sets) == 1 and not args.i386_dir.is_dir():
        if kcorpus.missing(f"no Wine i386 DLLs at {args.i386_dir} (wine32)"):
            return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
