#!/usr/bin/env python3
"""Cross-checks tdump's exports and imports against llvm-readobj on Wine's PE files.

For every export llvm-readobj reports (ordinal, name, RVA or forward target) our listing
must hold one line with all of them; for every import (DLL, name or ordinal) one line with
the name or ordinal and the IAT slot's RVA, below a line naming its DLL. Hex numbers
compare by value (0x, case and leading zeros do not matter); values must be equal.

  crosscheck.py TDUMP [--readobj PATH] [--limit N] [--jobs N] [--selftest]
"""
import argparse
import re
import shutil
import struct
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

# ---------------------------------------------------------------- the peer's view

def find_readobj(given):
    for name in ([given] if given else []) + ["llvm-readobj", "llvm-readobj-14"]:
        path = shutil.which(name)
        if path:
            return path
    return None


class Export:
    def __init__(self, ordinal, name, rva, forward):
        self.ordinal, self.name, self.rva, self.forward = ordinal, name, rva, forward

    def __str__(self):
        what = f"-> {self.forward}" if self.forward is not None else f"RVA {self.rva:#x}"
        return f"export #{self.ordinal} {self.name or '(no name)'} {what}"


class Import:
    def __init__(self, dll, name, ordinal, slot, delayed):
        self.dll, self.name, self.ordinal, self.slot, self.delayed = dll, name, ordinal, slot, delayed

    def __str__(self):
        kind = "delay import" if self.delayed else "import"
        what = self.name if self.name else f"ordinal {self.ordinal}"
        return f"{kind} {self.dll}!{what} IAT slot {self.slot:#x}"


def pointer_size(path):
    """8 for PE32+, 4 for PE32: the IAT's slot width."""
    with open(path, "rb") as f:
        head = f.read(4096)
    lfanew = struct.unpack_from("<I", head, 0x3C)[0]
    with open(path, "rb") as f:
        f.seek(lfanew + 24)
        magic = struct.unpack("<H", f.read(2))[0]
    return 8 if magic == 0x20B else 4


SYMBOL = re.compile(r"^\s*Symbol: (.*) \((\d+)\)$")


def parse_readobj(text, ptr):
    """llvm-readobj's --coff-exports --coff-imports output as Export and Import records."""
    exports, imports = [], []
    block, fields, dll, iat, index, pending = None, {}, None, 0, 0, None
    for line in text.splitlines():
        s = line.strip()
        if s in ("Export {", "Import {", "DelayImport {") and block is None:
            block, fields, index = s[:-2], {}, 0
            continue
        if s == "Import {" and block == "DelayImport":
            continue  # one delay-loaded symbol; its fields follow
        if s == "}":
            if block == "Export":
                exports.append(Export(int(fields["Ordinal"]), fields.get("Name", ""),
                                      int(fields["RVA"], 16) if "RVA" in fields else None,
                                      fields.get("ForwardedTo")))
                block = None
            elif block in ("Import", "DelayImport") and pending is None:
                block = None
            pending = None
            continue
        m = SYMBOL.match(line)
        if m and block in ("Import", "DelayImport"):
            name, number = m.group(1), int(m.group(2))
            table = "ImportAddressTableRVA" if block == "Import" else "ImportAddressTable"
            slot = int(fields[table], 16) + index * ptr
            # For a name the number is its hint; with no name it is the ordinal.
            imports.append(Import(fields["Name"], name, None if name else number, slot,
                                  block == "DelayImport"))
            index += 1
            pending = True if block == "DelayImport" else None
            continue
        if ":" in s and block is not None:
            key, _, value = s.partition(":")
            fields[key.strip()] = value.strip()
    return exports, imports


def peer_view(readobj, path):
    p = subprocess.run([readobj, "--coff-exports", "--coff-imports", str(path)],
                       capture_output=True, text=True, check=False)
    if p.returncode != 0:
        return None, p.stderr.strip().splitlines()[-1] if p.stderr.strip() else "failed"
    return parse_readobj(p.stdout, pointer_size(path)), None

# ---------------------------------------------------------------- our listing

HEX = re.compile(r"^(?:0[xX])?([0-9A-Fa-f]+)[hH]?$")
DEC = re.compile(r"^[#@]?(\d+)$")
SPLIT = re.compile(r"[\s,;=:()\[\]{}<>|]+")


class Line:
    __slots__ = ("text", "pieces", "lower")

    def __init__(self, text):
        self.text = text
        self.pieces = [p for p in SPLIT.split(text) if p]
        self.lower = {p.lower() for p in self.pieces}

    def has_piece(self, word):
        return word in self.pieces

    def numbers(self, pattern, base):
        return [(i, int(m.group(1), base)) for i, p in enumerate(self.pieces)
                if (m := pattern.match(p))]

    def holds(self, dec=None, hexes=()):
        """True when distinct pieces give the decimal `dec` and each hex value in `hexes`."""
        hex_at = self.numbers(HEX, 16)
        starts = [i for i, v in self.numbers(DEC, 10) if v == dec] if dec is not None else [None]
        for first in starts:
            used = {first}
            for want in hexes:
                hit = next((i for i, v in hex_at if v == want and i not in used), None)
                if hit is None:
                    break
                used.add(hit)
            else:
                return True
        return False


class Listing:
    def __init__(self, text):
        self.lines = [Line(t) for t in text.splitlines()]
        self.by_piece = {}
        for n, line in enumerate(self.lines):
            for p in set(line.pieces):
                self.by_piece.setdefault(p, []).append(n)
                stripped = p.lstrip("#@")
                if stripped != p:
                    self.by_piece.setdefault(stripped, []).append(n)

    def candidates(self, piece):
        return self.by_piece.get(piece, [])

    def dll_above(self, n, dlls):
        """The nearest line above `n` that names one of `dlls`, as that name in lower case."""
        for k in range(n - 1, -1, -1):
            hit = self.lines[k].lower & dlls
            if hit:
                return min(hit)
        return None

# ---------------------------------------------------------------- matching


def check_export(listing, e):
    key = e.name if e.name else str(e.ordinal)
    for n in listing.candidates(key):
        line = listing.lines[n]
        if e.name and not line.has_piece(e.name):
            continue
        if e.forward is not None:
            if e.forward in line.text and line.holds(dec=e.ordinal):
                return None
        elif line.holds(dec=e.ordinal, hexes=[e.rva]):
            return None
    return near_lines(listing, key)


def check_import(listing, i, dlls):
    key = i.name if i.name else str(i.ordinal)
    for n in listing.candidates(key):
        line = listing.lines[n]
        ok = line.holds(hexes=[i.slot]) if i.name else line.holds(dec=i.ordinal, hexes=[i.slot])
        if ok and listing.dll_above(n, dlls) == i.dll.lower():
            return None
    return near_lines(listing, key)


def near_lines(listing, key):
    found = [listing.lines[n].text.strip() for n in listing.candidates(key)[:2]]
    return " | ".join(found) if found else "no line with it"


def check_file(tool, readobj, path, bound):
    view, err = peer_view(readobj, path)
    if view is None:
        return {"path": path, "skipped": err}
    exports, imports = view
    run = kcorpus.run_tool(tool, path, bound)
    problems = run.problems()
    if problems:
        return {"path": path, "errors": [f"{path.name}: tool run: {p}" for p in problems],
                "exports": len(exports), "imports": len(imports)}
    listing = Listing(run.text())
    dlls = {i.dll.lower() for i in imports}
    errors = []
    for e in exports:
        ours = check_export(listing, e)
        if ours is not None:
            errors.append(f"{path.name}: readobj {e}; ours: {ours}")
    for i in imports:
        ours = check_import(listing, i, dlls)
        if ours is not None:
            errors.append(f"{path.name}: readobj {i}; ours: {ours}")
    return {"path": path, "errors": errors, "exports": len(exports), "imports": len(imports)}

# ---------------------------------------------------------------- self-test


SAMPLE_READOBJ = """
File: x.dll
Import {
  Name: KERNEL32.dll
  ImportLookupTableRVA: 0x2000
  ImportAddressTableRVA: 0x3000
  Symbol: GetProcAddress (532)
  Symbol:  (17)
}
Export {
  Ordinal: 1
  Name: alpha
  RVA: 0x1010
}
Export {
  Ordinal: 2
  Name: beta
  ForwardedTo: NTDLL.RtlAllocateHeap
}
Export {
  Ordinal: 3
  Name:
  RVA: 0x1020
}
DelayImport {
  Name: USER32.dll
  Attributes: 0x1
  ModuleHandle: 0x5000
  ImportAddressTable: 0x5100
  ImportNameTable: 0x5200
  BoundDelayImportTable: 0x0
  UnloadDelayImportTable: 0x0
  Import {
    Symbol: MessageBoxW (0)
    Address: 0x180001234
  }
}
"""

SAMPLE_GOOD = """Exports
      1  00001010  alpha
      2  NTDLL.RtlAllocateHeap  beta
      3  0x1020
Imports from KERNEL32.dll
  hint 532  GetProcAddress   IAT 0x00003000
  ordinal 17                 IAT 3008h
Delay imports from USER32.dll
  MessageBoxW  IAT 0x5100
"""


def selftest():
    """The matcher must accept a right listing and reject each kind of wrong value."""
    exports, imports = parse_readobj(SAMPLE_READOBJ, 8)
    assert [str(e) for e in exports] == [
        "export #1 alpha RVA 0x1010", "export #2 beta -> NTDLL.RtlAllocateHeap",
        "export #3 (no name) RVA 0x1020"], exports
    assert [str(i) for i in imports] == [
        "import KERNEL32.dll!GetProcAddress IAT slot 0x3000",
        "import KERNEL32.dll!ordinal 17 IAT slot 0x3008",
        "delay import USER32.dll!MessageBoxW IAT slot 0x5100"], imports
    dlls = {i.dll.lower() for i in imports}

    def failures(text):
        listing = Listing(text)
        return ([str(e) for e in exports if check_export(listing, e) is not None]
                + [str(i) for i in imports if check_import(listing, i, dlls) is not None])

    assert failures(SAMPLE_GOOD) == [], failures(SAMPLE_GOOD)
    wrong = {
        "00001010  alpha": "00001011  alpha",          # RVA off by one
        "      1  00001010": "     11  00001010",      # ordinal
        "RtlAllocateHeap  beta": "RtlFreeHeap  beta",  # forward target
        "IAT 3008h": "IAT 3010h",                      # IAT slot
        "Imports from KERNEL32.dll\n": "Imports from KERNEL32.dll\nImports from USER32.dll\n",
        "3  0x1020": "3  0x1024",                      # unnamed export's RVA
    }
    for old, new in wrong.items():
        assert old in SAMPLE_GOOD, old
        got = failures(SAMPLE_GOOD.replace(old, new))
        assert len(got) >= 1, f"matcher accepted a listing with {new!r} for {old!r}"
    # The same values on two lines are not one line each.
    split = SAMPLE_GOOD.replace("      1  00001010  alpha", "      1  alpha\n  00001010")
    assert failures(split) == ["export #1 alpha RVA 0x1010"], failures(split)
    print("selftest: matcher accepts the right listing and rejects 7 kinds of wrong one")
    return 0

# ---------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool", nargs="?")
    ap.add_argument("--readobj")
    ap.add_argument("--limit", type=int, default=0, help="first N files only (0: all)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--bound", type=float, default=10.0)
    ap.add_argument("--max-report", type=int, default=60)
    ap.add_argument("--selftest", action="store_true")
    args = ap.parse_args()
    if args.selftest:
        return selftest()
    readobj = find_readobj(args.readobj)
    if readobj is None:
        print("SKIPPED: llvm-readobj not found")
        return 0
    files = kcorpus.wine_pe_files()
    if not files:
        print("SKIPPED: Wine's x86_64-windows folder is absent")
        return 0
    if args.limit:
        files = files[:args.limit]

    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = list(pool.map(lambda p: check_file(args.tool, readobj, p, args.bound), files))

    skipped = [r for r in results if "skipped" in r]
    checked = [r for r in results if "skipped" not in r]
    errors = [e for r in checked for e in r["errors"]]
    n_exp = sum(r["exports"] for r in checked)
    n_imp = sum(r["imports"] for r in checked)
    bad_files = sum(1 for r in checked if r["errors"])
    print(f"checked {len(checked)} files against {readobj}: {n_exp} exports, {n_imp} imports")
    for r in skipped:
        print(f"skipped {r['path'].name}: the peer cannot read it ({r['skipped']})")
    for e in errors[:args.max_report]:
        print("MISMATCH " + e)
    if len(errors) > args.max_report:
        print(f"... and {len(errors) - args.max_report} more")
    print(f"mismatches: {len(errors)} in {bad_files} files")
    # An empty comparison proves nothing: the peer's output must have been understood.
    if n_exp == 0 or n_imp == 0:
        print("FAIL: no exports or no imports read from the peer; its format changed?")
        return 1
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
