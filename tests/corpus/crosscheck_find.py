#!/usr/bin/env python3
"""`tdump --find NAME FOLDER` against llvm-readobj over a fixed draw of Wine's DLLs
(x86_64, and i386 where wine32 is installed): for names drawn from the files'
exports and imports, the files, ordinals and DLLs it names must be those
llvm-readobj's exports and imports give, matched as written or without a 32-bit
calling convention's decoration; exit 0, and 1 for a name nobody has.

  crosscheck_find.py TDUMP [--work DIR] [--sample N] [--names N]"""
import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

I386_DIR = Path("/usr/lib/i386-linux-gnu/wine/i386-windows")
DECORATION = re.compile(r"^[_@]?([A-Za-z_$?][\w$?]*?)@@?\d+$")


def plain(name):
    m = DECORATION.match(name)
    return m.group(1) if m else None


def tables(path):
    """(exports [(name, ordinal)], imports [(name, dll)]) as llvm-readobj reads them."""
    r = subprocess.run(["llvm-readobj", "--coff-exports", "--coff-imports", str(path)], capture_output=True,
                       text=True, errors="replace", check=False)
    if r.returncode != 0:
        return None
    exports, imports, block, cur, dll = [], [], None, {}, None
    for raw in r.stdout.splitlines():
        line = raw.strip()
        if line in ("Export {", "Import {", "DelayImport {"):
            block, cur = line[:-2], {}
        elif line == "}":
            if block == "Export" and cur.get("Name"):
                exports.append((cur["Name"], int(cur["Ordinal"])))
            block = None
        elif block == "Export" and ":" in line:
            k, _, v = line.partition(":")
            cur[k] = v.strip()
        elif block in ("Import", "DelayImport") and line.startswith("Name:"):
            dll = line.split(":", 1)[1].strip()
        elif block in ("Import", "DelayImport") and line.startswith("Symbol:"):
            m = re.match(r"^Symbol: (.*) \((\d+)\)$", line)
            if m and m.group(1).strip():
                imports.append((m.group(1).strip(), dll))
    return exports, imports


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump")
    ap.add_argument("--work", type=Path, default=Path("find-work"))
    ap.add_argument("--sample", type=int, default=80, help="files of each Wine folder")
    ap.add_argument("--names", type=int, default=12, help="names drawn from the exports and from the imports")
    args = ap.parse_args()
    if not shutil.which("llvm-readobj"):
        return kcorpus.skip("no llvm-readobj")
    folders = [d for d in (kcorpus.wine_dir(), I386_DIR) if d is not None and d.is_dir()]
    if not folders:
        return kcorpus.skip("no Wine DLLs")
    if args.work.exists():
        shutil.rmtree(args.work)
    rng = random.Random(20261209)
    failures, checked = [], 0
    for folder in folders:
        pool = sorted(p for p in folder.iterdir() if p.suffix.lower() in kcorpus.PE_SUFFIXES)
        draw = sorted(rng.sample(pool, min(args.sample, len(pool))))
        tree = args.work / folder.name
        tree.mkdir(parents=True)
        seen = {}
        for p in draw:
            t = tables(p)
            if t is None:
                continue  # llvm-readobj cannot read it: nothing to hold ours to
            os.symlink(p, tree / p.name)
            seen[p.name] = t
        exported = sorted({n for e, _ in seen.values() for n, _ in e})
        imported = sorted({n for _, i in seen.values() for n, _ in i})
        names = rng.sample(exported, min(args.names, len(exported))) + rng.sample(imported, min(args.names, len(imported)))
        for name in names + ["NoSuchFunctionAnywhere_1234"]:
            want = set()
            for file, (exports, imports) in seen.items():
                path = str(tree / file)
                want |= {(path, "exports", o, "") for n, o in exports if name in (n, plain(n))}
                want |= {(path, "imports", None, d.lower()) for n, d in imports if name in (n, plain(n))}
            r = subprocess.run([str(args.tdump), "--json", "--find", name, str(tree)], capture_output=True,
                               env=kcorpus.child_env(), check=False)
            got = set()
            for line in r.stdout.decode("utf-8").splitlines():
                o = json.loads(line)
                if "error" in o:
                    failures.append(f"{o['file']}: {o['error']}")
                    continue
                # An import by ordinal named from what that ordinal is known to be is ours
                # alone: llvm-readobj gives no name for it.
                if o["match"] == "imports" and "ordinal" in o:
                    continue
                got.add((o["file"], o["match"], o.get("ordinal") if o["match"] == "exports" else None,
                         o.get("dll", "").lower()))
            if got != want:
                failures.append(f"{folder.name} {name}: missing {sorted(want - got)[:4]}, extra {sorted(got - want)[:4]}")
            if r.returncode != (0 if want else 1):
                failures.append(f"{folder.name} {name}: exit {r.returncode}, {'found' if want else 'not found'}")
            checked += 1
    print(f"{checked} names, {len(failures)} failures")
    for f in failures[:40]:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
