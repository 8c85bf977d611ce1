#!/usr/bin/env python3
"""Cross-checks the Debug, Tls and LoadConfig parts of tdump's JSON (--json) against
llvm-readobj.

Every debug entry llvm-readobj reports (its fields, and the PDB reference of a CodeView
entry), every TLS directory field, every load configuration field and every entry of the
tables it points at (SafeSEH handlers, guard CF functions, address-taken IAT entries,
long-jump and EH continuation targets) must be in our JSON with the same value. The
TLS callbacks, which the peer does not list, are read from the file here and held to
ours the same way. Runs over every Wine PE file whose directory has one of the three,
and over small images it builds with clang, lld and mingw-w64 for what Wine lacks.

  crosscheck_debug_tls_loadcfg.py TDUMP --generated DIR [--readobj PATH] [--seeds-out DIR]
"""
import argparse
import re
import shutil
import struct
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import kcorpus  # noqa: E402
from crosscheck import field_value, find_readobj  # noqa: E402

DEBUG, TLS, LOADCFG = 6, 9, 10
# The peer's names where they differ from the format's (which are our keys).
OUR_LOADCFG = {"GuardCFCheckFunction": "GuardCFCheckFunctionPointer",
               "GuardCFCheckDispatch": "GuardCFDispatchFunctionPointer"}
# The peer's tables and our keys of them.
OUR_TABLES = {"SEHTable": "sehHandlerTable", "GuardFidTable": "guardCfFunctionTable",
              "GuardIatTable": "guardIatEntryTable",
              "GuardLJmpTable": "guardLongJumpTargetTable",
              "GuardEHContTable": "guardEhContinuationTable"}

# ---------------------------------------------------------------- the file itself


class Image:
    """The header facts the comparison needs, read straight from the file."""

    def __init__(self, path):
        self.data = data = Path(path).read_bytes()
        lfanew = struct.unpack_from("<I", data, 0x3C)[0]
        nsec, opt_size = struct.unpack_from("<H", data, lfanew + 6)[0], \
            struct.unpack_from("<H", data, lfanew + 20)[0]
        opt = lfanew + 24
        self.wide = struct.unpack_from("<H", data, opt)[0] == 0x20B
        self.base = struct.unpack_from("<Q" if self.wide else "<I", data, opt + (24 if self.wide else 28))[0]
        count = struct.unpack_from("<I", data, opt + (108 if self.wide else 92))[0]
        dirs_at = opt + (112 if self.wide else 96)
        self.dirs = [struct.unpack_from("<II", data, dirs_at + 8 * i) if i < count else (0, 0)
                     for i in range(16)]
        self.sections = []
        for k in range(nsec):
            at = opt + opt_size + 40 * k
            vsize, va, rsize, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((va, max(vsize, rsize), raw, rsize))

    def has_any(self):
        return any(self.dirs[i][0] for i in (DEBUG, TLS, LOADCFG))

    def read(self, rva, n):
        for va, size, raw, rsize in self.sections:
            if va <= rva < va + size and rva - va + n <= rsize:
                return self.data[raw + rva - va:raw + rva - va + n]
        return None

    def tls_callbacks(self, array_va):
        """The callback VAs up to the terminating zero (the loader's own walk)."""
        width, out = (8, []) if self.wide else (4, [])
        rva = array_va - self.base
        while len(out) < 4096:
            b = self.read(rva + width * len(out), width)
            if b is None:
                break
            v = int.from_bytes(b, "little")
            if v == 0:
                break
            out.append(v)
        return out

# ---------------------------------------------------------------- the peer's view


def parse_peer(text):
    """llvm-readobj's three parts: debug entries (dicts), TLS fields, load config fields,
    and the tables as lists of VAs."""
    entries, tls, loadcfg, tables = [], {}, {}, {}
    stack, entry = [], None
    for line in text.splitlines():
        s = line.strip()
        if s.endswith("("):  # a hex dump of the entry's data
            stack.append("raw")
            continue
        if s.endswith("{") or s.endswith("["):
            name = s[:-1].strip()
            if ":" in name or "(" in name:  # a flag list: "Characteristics [ (0x0)"
                key = name.split()[0].rstrip(":")
                value = field_value(name.partition(" ")[2])
                if stack and stack[-1] == "LoadConfig":
                    loadcfg[key] = (value, True)
                elif stack and stack[-1] == "TLSDirectory":
                    tls[key] = value
                elif entry is not None and value is not None:
                    entry[key] = value
                stack.append("flags")
                continue
            stack.append(name)
            if name == "DebugEntry":
                entry = {}
            elif name in OUR_TABLES:
                tables[name] = []
            continue
        if s in ("}", "]", ")"):
            if stack and stack[-1] == "DebugEntry":
                entries.append(entry)
                entry = None
            if stack:
                stack.pop()
            continue
        if not stack:
            continue
        where = stack[-1]
        if where in OUR_TABLES:
            m = re.match(r"0x([0-9A-Fa-f]+)", s)
            if m:
                tables[where].append(int(m.group(1), 16))
            continue
        key, _, raw = s.partition(":")
        raw = raw.strip()
        if where in ("DebugEntry", "PDBInfo") and entry is not None:
            if key == "PDBGUID":
                entry[key] = bytes(int(x, 16) for x in raw.strip("()").split())
            elif key in ("PDBFileName", "Type"):
                entry[key] = raw
            else:
                entry[key] = field_value(raw)
        elif where == "TLSDirectory":
            tls[key] = field_value(raw)
        elif where == "LoadConfig":
            loadcfg[key] = (field_value(raw), raw.startswith("0x") or "(0x" in raw)
    return entries, tls, loadcfg, tables


def peer_view(readobj, path):
    p = subprocess.run([readobj, "--coff-debug-directory", "--coff-tls-directory",
                        "--coff-load-config", str(path)], capture_output=True, text=True, check=False)
    if p.returncode != 0:
        return None, p.stderr.strip().splitlines()[-1] if p.stderr.strip() else "failed"
    return parse_peer(p.stdout), None

# ---------------------------------------------------------------- matching


def guid_text(b):
    d1, d2, d3 = struct.unpack_from("<IHH", b)
    return f"{{{d1:08X}-{d2:04X}-{d3:04X}-{b[8:10].hex().upper()}-{b[10:16].hex().upper()}}}"


def differ(errors, what, want, got):
    if got != want:
        shown = f"{want:#x}" if isinstance(want, int) else want
        errors.append(f"{what}: readobj {shown}; ours {got!r}")


def check_debug(parts, peer_entries, name):
    errors = []
    ours = parts.get("Debug", {}).get("entries", [])
    if len(ours) != len(peer_entries):
        return [f"{name}: readobj has {len(peer_entries)} debug entries; ours {len(ours)}"]
    for k, (e, o) in enumerate(zip(peer_entries, ours), 1):
        at = f"{name}: debug entry {k}"
        for key in ("Characteristics", "TimeDateStamp", "SizeOfData", "AddressOfRawData",
                    "PointerToRawData", "MajorVersion", "MinorVersion"):
            differ(errors, f"{at} {key}", e.get(key), o.get(key))
        differ(errors, f"{at} Type", field_value(e.get("Type", "")), o.get("Type"))
        if "PDBGUID" in e:
            differ(errors, f"{at} GUID", guid_text(e["PDBGUID"]), o.get("guid"))
            differ(errors, f"{at} Age", e.get("PDBAge"), o.get("age"))
            differ(errors, f"{at} PDB path", e.get("PDBFileName", ""), o.get("pdbPath"))
        if "ExtendedCharacteristics" in e:
            differ(errors, f"{at} extended characteristics", e["ExtendedCharacteristics"],
                   o.get("ExDllCharacteristics"))
    return errors


def check_tls(parts, tls, image, name):
    errors = []
    ours = parts.get("Tls", {})
    for key, value in tls.items():
        if value is not None:
            differ(errors, f"{name}: TLS {key}", value, ours.get(key))
    listed = [c.get("va") for c in ours.get("callbacks", [])]
    wanted = image.tls_callbacks(tls["AddressOfCallBacks"]) if tls.get("AddressOfCallBacks") else []
    if listed != wanted:
        errors.append(f"{name}: TLS callbacks in the file {[hex(v) for v in wanted]}; ours {listed}")
    return errors, len(wanted)


def check_loadcfg(parts, loadcfg, tables, image, name):
    errors = []
    ours = parts.get("LoadConfig", {})
    for key, (value, _) in loadcfg.items():
        if value is not None:
            differ(errors, f"{name}: load config {key}", value, ours.get(OUR_LOADCFG.get(key, key)))
    entries = 0
    for table, vas in tables.items():
        listed = [r.get("rva") for r in ours.get(OUR_TABLES[table], {}).get("entries", [])]
        want = [va - image.base for va in vas]
        entries += len(want)
        if listed != want:
            errors.append(f"{name}: {table}: readobj {[hex(v) for v in want]}; ours {listed}")
    return errors, entries


def check_file(readobj, path, obj, problems):
    image = Image(path)
    if not image.has_any():
        return {"path": path, "errors": [], "files": 0}
    view, err = peer_view(readobj, path)
    if view is None:
        return {"path": path, "skipped": err}
    entries, tls, loadcfg, tables = view
    if problems:
        return {"path": path, "errors": [f"{path.name}: tool run: {p}" for p in problems], "files": 1}
    parts = obj.get("parts", {})
    errors = check_debug(parts, entries, path.name)
    callbacks = 0
    if tls:
        e, callbacks = check_tls(parts, tls, image, path.name)
        errors += e
    table_entries = 0
    if loadcfg:
        e, table_entries = check_loadcfg(parts, loadcfg, tables, image, path.name)
        errors += e
    return {"path": path, "errors": errors, "files": 1, "debug": len(entries),
            "pdb": sum(1 for e in entries if "PDBGUID" in e), "tls": 1 if tls else 0,
            "callbacks": callbacks, "loadcfg": len(loadcfg), "tables": table_entries}


def check_batch(tool, readobj, paths, bound):
    """One tdump run for the files of the batch that have one of the parts, then the peer."""
    wanted = [p for p in paths if Image(p).has_any()]
    got = {path: (obj, problems) for path, obj, problems in kcorpus.run_json(tool, wanted, bound)}
    return [check_file(readobj, path, *got.get(path, ({}, [])))
            for path in paths]

# ---------------------------------------------------------------- generated inputs


def build_generated(work):
    """Small images with what Wine's files lack: CodeView, REPRO and extended DLL
    characteristics entries, TLS callbacks, a full load configuration with SafeSEH and
    every guard table (lld-link, no C run-time), and mingw-w64 programs with TLS."""
    tools = {t: shutil.which(t) for t in ("clang", "lld-link", "llvm-dlltool")}
    if not all(tools.values()):
        missing = ", ".join(t for t, v in tools.items() if not v)
        print(f"note: {missing} not found; the generated images are skipped")
        return []
    work = Path(work)
    work.mkdir(parents=True, exist_ok=True)
    out = []
    for bits, target, machine, dllmachine, tick in (
            (64, "x86_64-pc-windows-msvc", "x64", "i386:x86-64", "GetTickCount"),
            (32, "i686-pc-windows-msvc", "x86", "i386", "GetTickCount@0")):
        exe = work / f"guarded{bits}.exe"
        (work / f"k32_{bits}.def").write_text(f"LIBRARY KERNEL32.dll\nEXPORTS\n  {tick}\n")
        steps = [
            [tools["llvm-dlltool"], "-m", dllmachine, "-d", f"k32_{bits}.def", "-l", f"k32_{bits}.lib", "-k"],
            [tools["clang"], f"--target={target}", "-O1", "-fms-extensions", "-Xclang", "-cfguard",
             "-c", str(HERE / "seeds" / "guarded.c"), "-o", f"guarded{bits}.obj"],
            [tools["lld-link"], "/nologo", "/entry:Start", "/subsystem:console", "/nodefaultlib",
             f"/machine:{machine}", "/guard:cf,longjmp", "/debug", f"/pdb:guarded{bits}.pdb",
             "/pdbaltpath:%_PDB%", "/Brepro", "/cetcompat", "/dynamicbase", f"/out:{exe.name}",
             f"guarded{bits}.obj", f"k32_{bits}.lib"],
        ]
        for cmd in steps:
            p = subprocess.run(cmd, cwd=work, capture_output=True, text=True, check=False)
            if p.returncode != 0:
                raise SystemExit(f"building {exe.name} failed: {' '.join(cmd)}\n{p.stderr}")
        out.append(exe)
    for gcc, bits in (("x86_64-w64-mingw32-gcc", 64), ("i686-w64-mingw32-gcc", 32)):
        if not shutil.which(gcc):
            print(f"note: {gcc} not found; its TLS program is skipped")
            continue
        exe = work / f"tls-mingw{bits}.exe"
        cmd = [gcc, "-fuse-ld=lld", "-s", "-Os", f"-Wl,--pdb=tls-mingw{bits}.pdb",
               str(HERE / "seeds" / "tls_mingw.c"), "-o", exe.name]
        p = subprocess.run(cmd, cwd=work, capture_output=True, text=True, check=False)
        if p.returncode != 0:
            raise SystemExit(f"building {exe.name} failed: {' '.join(cmd)}\n{p.stderr}")
        out.append(exe)
    return out

# ---------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--readobj")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--bound", type=float, default=10.0, help="seconds per file")
    ap.add_argument("--batch", type=int, default=40, help="files per tdump run")
    ap.add_argument("--max-report", type=int, default=60)
    ap.add_argument("--generated", required=True, help="folder in which to build the generated images")
    ap.add_argument("--seeds-out", help="also copy the generated images here (the fuzzer's seeds)")
    args = ap.parse_args()
    readobj = find_readobj(args.readobj)
    if readobj is None:
        print("SKIPPED: llvm-readobj not found")
        return 0
    generated = build_generated(args.generated)
    if args.seeds_out:
        for p in generated:
            if p.stat().st_size <= 65536:
                shutil.copy(p, Path(args.seeds_out) / p.name)
    files = kcorpus.wine_pe_files() + generated
    batches = [files[i:i + args.batch] for i in range(0, len(files), args.batch)]
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = [r for rs in pool.map(lambda b: check_batch(args.tool, readobj, b, args.bound),
                                        batches) for r in rs]
    skipped = [r for r in results if "skipped" in r]
    checked = [r for r in results if "skipped" not in r]
    errors = [e for r in checked for e in r["errors"]]
    total = {k: sum(r.get(k, 0) for r in checked)
             for k in ("files", "debug", "pdb", "tls", "callbacks", "loadcfg", "tables")}
    print(f"checked {len(checked)} files against {readobj}, {total['files']} with one of the parts: "
          f"{total['debug']} debug entries ({total['pdb']} PDB references), {total['tls']} TLS "
          f"directories with {total['callbacks']} callbacks, {total['loadcfg']} load config fields, "
          f"{total['tables']} guard and SafeSEH table entries")
    for r in skipped:
        print(f"skipped {r['path'].name}: the peer cannot read it ({r['skipped']})")
    for e in errors[:args.max_report]:
        print("MISMATCH " + e)
    if len(errors) > args.max_report:
        print(f"... and {len(errors) - args.max_report} more")
    print(f"mismatches: {len(errors)} in {sum(1 for r in checked if r['errors'])} files")
    # An empty comparison proves nothing: each kind must have been seen and understood.
    if generated and not (total["pdb"] and total["callbacks"] and total["loadcfg"] and total["tables"]):
        print("FAIL: no PDB reference, TLS callback, load config field or table entry compared; "
              "the peer's format changed?")
        return 1
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
