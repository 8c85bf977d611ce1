#!/usr/bin/env python3
"""`tdump --def` run among a DLL's siblings, with no Windows root, as a user without
Windows has them: Wine's i386 DLLs in their folder. Thunks and forwarders that lead to
another DLL of that folder must carry that function's argument bytes.

Checked over a fixed draw of the folder (--sample N; 0 takes all of it):
 - every @N we write, and every plain name we decide has none, agrees with the DLL's
   own symbols (_Name@N at the export's address; for one of Wine's import thunks the
   __imp__Name@N it jumps through; for a forwarder, the same in its target DLL);
 - we decide at least as many exports with code, and at least as many forwarders, as
   mingw-w64's gendef run again with -I over its .def files of the same DLLs until they
   stop changing;
 - a program linked (i686-w64-mingw32-gcc, no other library) against an import library
   made with dlltool -k from our .def of version.dll calls GetFileVersionInfoSizeW@8,
   GetFileVersionInfoW@16 and VerQueryValueW@16 from version.dll. It runs under Wine
   only where this machine's kernel runs 32-bit programs.

  def_siblings.py TDUMP [--dir DIR] [--work DIR] [--sample N] [--reuse-gendef]"""
import argparse
import random
import re
import shutil
import struct
import subprocess
import sys
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

I386_DIR = Path("/usr/lib/i386-linux-gnu/wine/i386-windows")
# Always in the draw: what most of the rest forward or jump to.
CORE = {"kernel32.dll", "kernelbase.dll", "ntdll.dll", "msvcrt.dll", "user32.dll", "gdi32.dll",
        "advapi32.dll", "version.dll", "ucrtbase.dll", "combase.dll"}
SEED = 20261209
# The code pops what the decoration does not count: a struct returned through a hidden
# pointer (D2D1_COLOR_F here), which the callee pops as well. RtlUserThreadStart jumps on
# to a cdecl function whose one ret follows a call that ends the process.
KNOWN = {("d2d1.dll", "D2D1ConvertColorSpace"), ("ntdll.dll", "RtlUserThreadStart")}
DECORATED = re.compile(r"^_(.+)@(\d+)$")
TAIL = re.compile(r"^(.+)@(\d+)$")


class Pe:
    """The exports of a PE file, read here without tdump: [(ordinal, [names], rva, forward)]."""

    def __init__(self, path):
        d = path.read_bytes()
        lf = struct.unpack_from("<I", d, 0x3C)[0]
        nsec, optsz = struct.unpack_from("<H", d, lf + 6)[0], struct.unpack_from("<H", d, lf + 20)[0]
        opt = lf + 24
        pe32 = struct.unpack_from("<H", d, opt)[0] == 0x10B
        self.base = struct.unpack_from("<I", d, opt + 28)[0] if pe32 else 0
        erva, esz = struct.unpack_from("<II", d, opt + (96 if pe32 else 112))
        secs = []
        for i in range(nsec):
            s = opt + optsz + 40 * i
            vs, va, rs, rp = struct.unpack_from("<IIII", d, s + 8)
            secs.append((va, max(vs, rs), rp))

        def off(rva):
            for va, size, raw in secs:
                if va <= rva < va + size:
                    return rva - va + raw
            raise ValueError(rva)

        def cstr(rva):
            o = off(rva)
            return d[o:d.index(b"\0", o)].decode("latin-1")

        self.exports, self.by_name = [], {}
        if not erva:
            return
        e = off(erva)
        base, nf, nn, af, an, ao = struct.unpack_from("<IIIIII", d, e + 16)
        names = {}
        for i in range(nn):
            n = cstr(struct.unpack_from("<I", d, off(an) + 4 * i)[0])
            names.setdefault(struct.unpack_from("<H", d, off(ao) + 2 * i)[0], []).append(n)
        for i in range(nf):
            rva = struct.unpack_from("<I", d, off(af) + 4 * i)[0]
            if rva == 0 and i not in names:
                continue
            fwd = cstr(rva) if erva <= rva < erva + esz else None
            row = (base + i, names.get(i, []), rva, fwd)
            self.exports.append(row)
            for n in row[1]:
                self.by_name[n] = row
        self.by_ordinal = {r[0]: r for r in self.exports}


class Folder:
    """The DLLs of one folder, their exports and their symbols, each read once."""

    def __init__(self, folder, nm):
        self.folder, self.nm = folder, nm
        self.files = {p.name.lower(): p for p in folder.iterdir() if p.suffix.lower() == ".dll"}
        self.pes, self.syms = {}, {}

    def pe(self, name):
        key = name.lower()
        if key not in self.pes:
            p = self.files.get(key)
            try:
                self.pes[key] = Pe(p) if p else None
            except (ValueError, struct.error):
                self.pes[key] = None
        return self.pes[key]

    def symbols(self, name):
        """(address -> {bytes}, import name -> {bytes}, stub addresses, thunk address -> name)."""
        key = name.lower()
        if key not in self.syms:
            out = subprocess.run([self.nm, str(self.files[key])], capture_output=True, text=True,
                                 check=False).stdout
            at, imp, stubs, thunks = {}, {}, set(), {}
            for line in out.splitlines():
                parts = line.split()
                if len(parts) == 3 and parts[1] in "Tt":
                    addr, sym = int(parts[0], 16), parts[2]
                    if sym.startswith("___wine_stub_"):
                        stubs.add(addr)
                    elif sym.startswith("___wine_spec_imp_"):
                        thunks[addr] = sym[len("___wine_spec_imp_"):]
                    m = DECORATED.match(sym)
                    if m:
                        at.setdefault(addr, set()).add(int(m.group(2)))
                    elif sym.startswith("_") and not sym.startswith("__") and "@" not in sym:
                        at.setdefault(addr, set()).add(0)
                elif len(parts) == 3 and parts[1] == "I" and parts[2].startswith("__imp__"):
                    sym = parts[2][len("__imp__"):]
                    m = TAIL.match(sym)
                    if m:
                        imp.setdefault(m.group(1), set()).add(int(m.group(2)))
                    elif "@" not in sym:
                        imp.setdefault(sym, set()).add(0)
            self.syms[key] = (at, imp, stubs, thunks)
        return self.syms[key]

    def target(self, fwd):
        """The DLL and export row a forwarder names, or (None, None)."""
        dll, _, fn = fwd.rpartition(".")
        dll = dll if "." in dll else dll + ".dll"
        tpe = self.pe(dll)
        if tpe is None:
            return None, None
        return dll, tpe.by_ordinal.get(int(fn[1:])) if fn.startswith("#") and fn[1:].isdigit() else tpe.by_name.get(fn)

    def truth(self, dll, row, depth=0):
        """The argument bytes the symbols give for export `row` of `dll`, or None."""
        pe = self.pe(dll)
        if pe is None or depth > 6:
            return None
        ordinal, names, rva, fwd = row
        if fwd:
            tdll, trow = self.target(fwd)
            return self.truth(tdll, trow, depth + 1) if trow else None
        if any((dll.lower(), n) in KNOWN for n in names):
            return None
        at, imp, stubs, thunks = self.symbols(dll)
        addr = pe.base + rva
        if addr in stubs:
            return None
        if addr in thunks:
            sizes = imp.get(thunks[addr])
        else:
            sizes = at.get(addr)
        return next(iter(sizes)) if sizes and len(sizes) == 1 else None

    def stub(self, dll, row, depth=0):
        """Whether the export is, or forwards to, one of Wine's stubs for what it does not implement."""
        if row[3] is None:
            return self.pe(dll).base + row[2] in self.symbols(dll)[2]
        tdll, trow = self.target(row[3])
        return depth < 6 and trow is not None and self.stub(tdll, trow, depth + 1)


def our_def(tdump, path):
    """ordinal -> {export name: (kind, bytes or None)}; kind code, data or forwarder."""
    r = subprocess.run([str(tdump), "--def", str(path)], capture_output=True, text=True, errors="replace",
                       check=False, env=kcorpus.child_env())
    if r.returncode != 0 or any(m in r.stderr for m in kcorpus.SANITIZER_MARKS):
        raise RuntimeError(f"tdump --def {path.name}: exit {r.returncode} {r.stderr[:300]}")
    rows = {}
    for line in r.stdout.splitlines():
        if not line or line.startswith((";", "LIBRARY", "EXPORTS")):
            continue
        body, _, note = line.partition(" ; ")
        words = body.split()
        at = next(i for i, w in enumerate(words) if w.startswith("@") and w[1:].isdigit())
        ordinal, written = int(words[at][1:]), words[0]
        kind = "data" if "DATA" in words else "forwarder" if "=" in words else "code"
        m = TAIL.match(written)
        # Decided: a size in the name, or a plain name with nothing said about it.
        size = int(m.group(2)) if m and not written.startswith("?") else (0 if not note else None)
        if note.startswith("argument size from") and size is None:
            size = 0
        row = rows.setdefault(ordinal, {})
        row[written] = (kind, size, written)
        if m and size is not None:
            row.setdefault(m.group(1), (kind, size, written))
    return rows


def gendef_tables(dlls, work, reuse):
    """gendef, again with -I over its last .def files until they stop changing; name -> {key: bytes or None}."""
    passes = sorted(work.glob("pass*"))
    if not (reuse and passes):
        shutil.rmtree(work, ignore_errors=True)
        prev = None
        for n in range(8):
            here = work / f"pass{n}"
            here.mkdir(parents=True)
            subprocess.run(["gendef"] + (["-I", str(prev)] if prev else []) + [str(p) for p in dlls], cwd=here,
                           capture_output=True, check=False)
            if prev and all((here / f.name).read_bytes() == f.read_bytes() for f in prev.glob("*.def")):
                break
            prev = here
        passes = sorted(work.glob("pass*"))
    out = {}
    for f in passes[-1].glob("*.def"):
        table, exports = {}, False
        for line in f.read_text(errors="replace").splitlines():
            if line.startswith("EXPORTS"):
                exports = True
                continue
            if not exports or not line.strip() or line.startswith(";"):
                continue
            body, _, comment = line.partition(";")
            words = body.split()
            if not words or "DATA" in words:
                continue
            name = words[0]
            ordinal = next((w[1:] for w in words[1:] if w.startswith("@") and w[1:].isdigit()), None)
            m = TAIL.match(name)
            wn = re.search(r"has WINAPI \(@(\d+)\)", comment)
            size = None if "Check!!!" in comment else int(wn.group(1)) if wn else int(m.group(2)) if m else 0
            base = m.group(1) if m else name
            if base.startswith("ord_") and ordinal:
                base = "#" + ordinal
            table[base] = size
        out[f.stem.lower()] = table
    return out


def link_version(tdump, folder, work):
    """The import library of version.dll from our .def, and a program linked against it alone."""
    gcc, dlltool = shutil.which("i686-w64-mingw32-gcc"), shutil.which("i686-w64-mingw32-dlltool")
    if not gcc or not dlltool:
        return None, "no i686-w64-mingw32 gcc/dlltool: link not checked"
    work.mkdir(parents=True, exist_ok=True)
    d = subprocess.run([str(tdump), "--def", str(folder / "version.dll")], capture_output=True, text=True,
                       check=False, env=kcorpus.child_env())
    for want in ("GetFileVersionInfoSizeW@8", "GetFileVersionInfoW@16", "VerQueryValueW@16"):
        if not re.search(rf"^{want} @\d+( ;.*)?$", d.stdout, re.M):
            return f"version.def has no line '{want} @N'", None
    (work / "version.def").write_text(d.stdout)
    r = subprocess.run([dlltool, "-k", "-m", "i386", "-d", str(work / "version.def"), "-l",
                        str(work / "libversion.a")], capture_output=True, text=True, check=False)
    if r.returncode != 0 or r.stderr.strip():
        return f"dlltool: {r.stderr.strip()[:300]}", None
    src = work / "uses_version.c"
    src.write_text("""/* Calls three stdcall functions of version.dll, through our import library only. */
typedef unsigned long DWORD;
DWORD __stdcall GetFileVersionInfoSizeW(const unsigned short *file, DWORD *handle);
int __stdcall GetFileVersionInfoW(const unsigned short *file, DWORD handle, DWORD size, void *data);
int __stdcall VerQueryValueW(const void *block, const unsigned short *sub, void **out, unsigned *len);
static unsigned char block[8192];
int entry(void) {
  static const unsigned short file[] = {'v', 'e', 'r', 's', 'i', 'o', 'n', '.', 'd', 'l', 'l', 0};
  static const unsigned short root[] = {'\\\\', 0};
  DWORD handle = 0, size = GetFileVersionInfoSizeW(file, &handle);
  void *fixed = 0;
  unsigned len = 0;
  if (size == 0 || size > sizeof block || !GetFileVersionInfoW(file, handle, size, block)) return 2;
  return VerQueryValueW(block, root, &fixed, &len) && len != 0 ? 0 : 3;
}
""")
    exe = work / "uses_version.exe"
    r = subprocess.run([gcc, "-O1", "-Wall", "-Werror", "-nostdlib", "-e", "_entry", "-o", str(exe), str(src),
                        str(work / "libversion.a")], capture_output=True, text=True, check=False)
    if r.returncode != 0:
        return f"link: {r.stderr.strip()[:500]}", None
    # What the program imports, by the name the import library gave it.
    listing = subprocess.run([str(tdump), str(exe)], capture_output=True, text=True, check=False,
                             env=kcorpus.child_env()).stdout
    part = listing.split("== Imports ==", 1)[-1].split("\n== ", 1)[0]
    got = sorted(n for n in ("GetFileVersionInfoSizeW", "GetFileVersionInfoW", "VerQueryValueW")
                 if re.search(rf"\b{n}\b", part))
    if "version.dll" not in part or len(got) != 3:
        return f"the program's imports from version.dll: {got}", None
    note = "linked; imports GetFileVersionInfoSizeW, GetFileVersionInfoW, VerQueryValueW from version.dll"
    if not kcorpus.runs_32_bit_programs() or not shutil.which("wine"):
        return None, note + " (not run: this machine cannot run 32-bit programs)"
    r = subprocess.run([str(Path(__file__).resolve().parents[2] / "scripts" / "wine.sh"), str(exe)],
                       capture_output=True, text=True, check=False, timeout=300)
    if r.returncode != 0:
        return f"under Wine: exit {r.returncode}", None
    return None, note + "; runs under Wine"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump")
    ap.add_argument("--dir", type=Path, default=I386_DIR)
    ap.add_argument("--work", type=Path, default=Path("def-siblings-work"))
    ap.add_argument("--sample", type=int, default=0)
    ap.add_argument("--reuse-gendef", action="store_true")
    ap.add_argument("--show", type=int, default=10, help="how many exports only gendef decides to print")
    args = ap.parse_args()
    if not (args.dir / "version.dll").is_file():
        return kcorpus.skip(f"no Wine i386 DLLs at {args.dir} (Debian's wine32 package)")
    nm = shutil.which("i686-w64-mingw32-nm") or shutil.which("nm")
    if not shutil.which("gendef") or not nm:
        return kcorpus.skip("gendef (mingw-w64-tools) or nm not installed")
    folder = Folder(args.dir, nm)
    dlls = sorted(folder.files.values())
    if args.sample and len(dlls) > args.sample:
        core = [p for p in dlls if p.name.lower() in CORE]
        rest = [p for p in dlls if p.name.lower() not in CORE]
        dlls = sorted(core + random.Random(SEED).sample(rest, args.sample - len(core)))
    args.work.mkdir(parents=True, exist_ok=True)
    gendef = gendef_tables(dlls, args.work.resolve() / "gendef", args.reuse_gendef)
    c, wrong = Counter(), []
    for p in dlls:
        pe = folder.pe(p.name)
        if pe is None or not pe.exports:
            continue
        ours = our_def(args.tdump, p)
        g = gendef.get(p.stem.lower(), {})
        for row in pe.exports:
            ordinal, names, _, fwd = row
            for name in names or ["#" + str(ordinal)]:
                mine = ours.get(ordinal, {})
                if name.startswith("#"):
                    entry = next(iter(mine.values()), None)
                else:
                    entry = mine.get(name)
                if entry is None or entry[0] == "data" or name.startswith("?"):
                    continue
                kind, size, written = entry
                key = "forwarders" if fwd else "code"
                base = TAIL.match(name).group(1) if TAIL.match(name) else name
                theirs = g.get(base, g.get(name)) if not name.startswith("#") else g.get(name)
                if folder.stub(p.name, row):
                    # Never returns: every @N links alike, and none is right. Counted apart.
                    c["stubs"] += 1
                    c["stubs ours"] += size is not None
                    c["stubs gendef"] += theirs is not None
                    continue
                c[key] += 1
                c[key + " ours"] += size is not None
                c[key + " gendef"] += theirs is not None
                c[key + " ours @N"] += bool(TAIL.match(written)) and int(TAIL.match(written).group(2)) > 0
                c[key + " gendef @N"] += bool(theirs)
                if theirs is not None and (size is None or (theirs and not size)):
                    c[key + " gendef only"] += 1
                    if c[key + " gendef only"] <= args.show:
                        print(f"gendef only: {p.name} {written}: gendef {theirs}, symbols {folder.truth(p.name, row)}")
                # Only what we decide is checked: a DLL's own decorated (or fastcall) name is its own.
                if size is None or (written == name and TAIL.match(name)):
                    continue
                true = folder.truth(p.name, row)
                if true is None:
                    continue
                c[key + " checked"] += 1
                if true != size:
                    wrong.append(f"{p.name} {written}: the symbols say {true}")
    failures = [f"{w}" for w in wrong]
    for key in ("code", "forwarders"):
        n = c[key] or 1
        print(f"{key}: {c[key]}; decided: tdump {c[key + ' ours']} ({100 * c[key + ' ours'] / n:.1f}%), "
              f"gendef {c[key + ' gendef']} ({100 * c[key + ' gendef'] / n:.1f}%); with @N (N > 0): "
              f"tdump {c[key + ' ours @N']}, gendef {c[key + ' gendef @N']}; checked against the symbols: "
              f"{c[key + ' checked']}")
        if c[key + " ours"] < c[key + " gendef"]:
            failures.append(f"{key}: tdump decides {c[key + ' ours']}, gendef {c[key + ' gendef']}")
    print(f"Wine's stubs for what it does not implement (never return, not counted above): {c['stubs']}; "
          f"given a size: tdump {c['stubs ours']}, gendef {c['stubs gendef']}")
    print(f"contradicting the symbols: {len(wrong)}")
    why, note = link_version(args.tdump, args.dir, args.work / "link")
    if why:
        failures.append(why)
    elif note:
        print(note)
    for f in failures[:40]:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
