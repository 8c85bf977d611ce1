"""Cross-checks the object, archive and NE readers against the peers.

Builds objects (mingw gcc/g++, clang for i386, AMD64, ARM64 and ARMNT, one big
object), static libraries (ar, llvm-lib, and a Microsoft-layout archive made
here), import libraries (llvm-dlltool short form, dlltool and ld --out-implib
long form) and NE modules (made here), reads them with kinds_dump and holds
every record against llvm-readobj, llvm-nm, dlltool --identify and winedump.

    crosscheck_kinds.py KINDS_DUMP --work DIR
"""
import argparse
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

FAILS = []
COUNTS = {}


def fail(msg):
    FAILS.append(msg)
    if len(FAILS) <= 40:
        print("FAIL:", msg)


def count(what, n=1):
    COUNTS[what] = COUNTS.get(what, 0) + n


def run(cmd, cwd=None, check=True):
    p = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, errors="replace")
    if check and p.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, cmd))}: {p.stderr.strip()[:400]}")
    return p.stdout


class Dump:
    """kinds_dump's lines, by record type."""

    def __init__(self, tool, path):
        self.lines = [l.split("\t") for l in run([tool, str(path)]).splitlines()]
        self.kind = self.lines[0][1]

    def of(self, tag):
        return [l[1:] for l in self.lines if l[0] == tag]


# ---- inputs ---------------------------------------------------------------

DEF = """LIBRARY {dll}
EXPORTS
  alpha
  beta @7
  gamma @9 NONAME
  delta DATA
  epsilon = alpha
  zeta @12 NONAME DATA
"""
# i386 names carry the stdcall suffix the way mingw's .def files write them.
DEF32 = """LIBRARY {dll}
EXPORTS
  alpha@4
  beta@8 @7
  gamma @9 NONAME
  delta DATA
"""
# What each .def promises: name -> (ordinal or None, by ordinal only, data).
PROMISE = {"alpha": (None, False, False), "beta": (7, False, False), "gamma": (9, True, False),
           "delta": (None, False, True), "epsilon": (None, False, False), "zeta": (12, True, True)}
PROMISE32 = {"alpha@4": (None, False, False), "beta@8": (7, False, False), "gamma": (9, True, False),
             "delta": (None, False, True)}

C_SRC = """
int counter;
static int hidden(int x) { return x * 3; }
extern int needed(int);
extern int shared_data;
int defined_fn(int x) { return hidden(x) + needed(x) + shared_data + counter; }
__attribute__((weak)) int weak_fn(void) { return 1; }
const char *text(void) { return "text"; }
__attribute__((used, section(".drectve"))) static const char directives[] = " /DEFAULTLIB:user32 /EXPORT:defined_fn ";
"""
CXX_SRC = """
struct Shape { virtual ~Shape(); virtual int area() const = 0; };
Shape::~Shape() {}
struct Box : Shape { int w, h; Box(int a, int b) : w(a), h(b) {} int area() const override { return w * h; } };
template <class T> T twice(T v) { return v + v; }
namespace geo { int total(const Shape &s) { return twice(s.area()); } }
extern int elsewhere(double);
int make() { Box b(2, 3); return geo::total(b) + elsewhere(1.5); }
"""


def build_inputs(work):
    """Returns (objects, static libraries, import libraries as (path, dll, promise))."""
    objs, statics, implibs = [], [], []
    (work / "a.c").write_text(C_SRC)
    (work / "b.cpp").write_text(CXX_SRC)

    def obj(cmd, out):
        try:
            run(cmd + ["-o", str(work / out)], cwd=work)
            objs.append(work / out)
        except (RuntimeError, OSError) as e:
            print("note: not built:", out, str(e)[:200])

    gcc = {"x86_64": "x86_64-w64-mingw32", "i686": "i686-w64-mingw32"}
    for arch, prefix in gcc.items():
        if shutil.which(prefix + "-gcc"):
            obj([prefix + "-gcc", "-c", "-O1", "a.c"], f"a_gcc_{arch}.o")
            obj([prefix + "-g++", "-c", "-O1", "b.cpp"], f"b_gcc_{arch}.o")
    if shutil.which("x86_64-w64-mingw32-g++"):
        obj(["x86_64-w64-mingw32-g++", "-c", "-O0", "-g", "-Wa,-mbig-obj", "b.cpp"], "b_bigobj.o")
    if shutil.which("clang"):
        for t in ("x86_64-windows-msvc", "i686-windows-msvc", "aarch64-windows-msvc", "thumbv7-windows-msvc"):
            obj(["clang", f"--target={t}", "-c", "-O1", "a.c"], f"a_clang_{t.split('-')[0]}.obj")
            obj(["clang", f"--target={t}", "-c", "-O1", "-g", "-gcodeview", "b.cpp"], f"b_clang_{t.split('-')[0]}.obj")

    x64 = [o for o in objs if "x86_64" in o.name]
    if x64 and shutil.which("ar"):
        run(["ar", "rcs", str(work / "static_ar.a")] + [str(o) for o in x64])
        statics.append(work / "static_ar.a")
    if x64 and shutil.which("llvm-lib"):
        run(["llvm-lib", f"/out:{work / 'static_llvm.lib'}"] + [str(o) for o in x64])
        statics.append(work / "static_llvm.lib")
    if x64:
        ms_archive(work / "static_ms.lib", x64 + [o for o in objs if o.name == "b_bigobj.o"])
        statics.append(work / "static_ms.lib")

    for machine, dt, ld, d, promise in (
            ("i386:x86-64", "x86_64-w64-mingw32-dlltool", "x86_64-w64-mingw32-gcc", DEF, PROMISE),
            ("i386", "i686-w64-mingw32-dlltool", None, DEF32, PROMISE32),
            ("arm64", None, None, DEF, PROMISE)):
        tag = machine.replace(":", "_").replace("-", "_")
        dll = f"tiny_{tag}.dll"
        (work / f"{tag}.def").write_text(d.format(dll=dll))
        if shutil.which("llvm-dlltool"):
            out = work / f"short_{tag}.lib"
            run(["llvm-dlltool", "-m", machine, "-d", f"{tag}.def", "-l", out.name], cwd=work)
            implibs.append((out, dll, promise))
        if dt and shutil.which(dt):
            out = work / f"long_{tag}.a"
            run([dt, "-d", f"{tag}.def", "-l", out.name, "-D", dll], cwd=work)
            implibs.append((out, dll, promise))
        if ld and shutil.which(ld):
            src = work / "dll.c"
            src.write_text("int alpha(void){return 1;} int beta(void){return 2;} int gamma_(void){return 3;}\n"
                           "int delta = 4; int zeta = 5;\n")
            (work / "ld.def").write_text(d.format(dll=dll).replace("gamma @9", "gamma=gamma_ @9"))
            out = work / f"ld_{tag}.a"
            run([ld, "-shared", "-o", str(work / dll), "dll.c", "ld.def", f"-Wl,--out-implib,{out.name}"], cwd=work)
            implibs.append((out, dll, promise))
    big = big_import_library(work)
    if big:
        implibs.append(big)
    return objs, statics, implibs


def big_import_library(work):
    """A short-form import library of a few thousand members, from Wine's kernel32 exports when present."""
    names = [f"Function{i:05d}" for i in range(3000)]
    if not shutil.which("llvm-dlltool"):
        return None
    lines = ["LIBRARY big.dll", "EXPORTS"] + [f"  {n} @{i + 1}" for i, n in enumerate(names)]
    (work / "big.def").write_text("\n".join(lines) + "\n")
    out = work / "big_short.lib"
    run(["llvm-dlltool", "-m", "i386:x86-64", "-d", "big.def", "-l", out.name], cwd=work)
    return out, "big.dll", {n: (i + 1, False, False) for i, n in enumerate(names)}


def ms_archive(out, objects):
    """A Microsoft-layout archive: both linker members, and a '//' member of NUL-terminated names."""
    members = []
    for i, o in enumerate(objects):
        syms = [l.split()[-1] for l in run(["llvm-nm", "--defined-only", "--extern-only", str(o)]).splitlines()
                if l.strip()]
        members.append((f"member_with_a_long_name_{i}_{o.name}" if i % 2 == 0 else f"m{i}.obj", o.read_bytes(), syms))
    longnames = b""
    names = []
    for name, _, _ in members:
        if len(name) > 15:
            names.append(f"/{len(longnames)}")
            longnames += name.encode() + b"\0"
        else:
            names.append(name + "/")
    all_syms = [(s, mi) for mi, (_, _, syms) in enumerate(members) for s in syms]
    first_size = 4 + 4 * len(all_syms) + sum(len(s) + 1 for s, _ in all_syms)
    second_size = 4 + 4 * len(members) + 4 + 2 * len(all_syms) + sum(len(s) + 1 for s, _ in all_syms)

    def padded(n):
        return 60 + n + (n & 1)

    offset = 8 + padded(first_size) + padded(second_size) + padded(len(longnames))
    offsets = []
    for _, data, _ in members:
        offsets.append(offset)
        offset += padded(len(data))

    def header(name, size):
        return f"{name:<16}{0:<12}{'':<6}{'':<6}{'0':<8}{size:<10}`\n".encode()

    def member(name, data):
        return header(name, len(data)) + data + (b"\n" if len(data) & 1 else b"")

    first = struct.pack(">I", len(all_syms)) + b"".join(struct.pack(">I", offsets[mi]) for _, mi in all_syms)
    first += b"".join(s.encode() + b"\0" for s, _ in all_syms)
    ordered = sorted(all_syms)
    second = struct.pack("<I", len(members)) + b"".join(struct.pack("<I", o) for o in offsets)
    second += struct.pack("<I", len(ordered)) + b"".join(struct.pack("<H", mi + 1) for _, mi in ordered)
    second += b"".join(s.encode() + b"\0" for s, _ in ordered)
    blob = b"!<arch>\n" + member("/", first) + member("/", second) + member("//", longnames)
    blob += b"".join(member(n, d) for n, (_, d, _) in zip(names, members))
    out.write_bytes(blob)


# ---- oracles ----------------------------------------------------------------

def readobj_blocks(path, *opts):
    """llvm-readobj output split per file/member: [(file line, format, text)]."""
    text = run(["llvm-readobj", *opts, str(path)])
    blocks = re.split(r"\n(?=File: )", text)
    out = []
    for b in blocks:
        m = re.search(r"^File: (.*)$", b, re.M)
        f = re.search(r"^Format: (.*)$", b, re.M)
        if m and f:
            out.append((m.group(1), f.group(1), b))
    return out


SYM_RE = re.compile(r"Symbol \{\s*Name: (.*?)\n\s*Value: (\d+)\n\s*Section: .*?\((-?\d+)\)\n.*?StorageClass: .*?\((0x[0-9A-F]+)\)"
                    r"\n\s*AuxSymbolCount: (\d+)(.*?)\n  \}", re.S)


def check_object_symbols(ours, block, where):
    """Every symbol llvm-readobj lists is one of ours, with its value, section, class and aux facts."""
    ours_by_index = {int(s[1]): s for s in ours}
    theirs = SYM_RE.findall(block)
    if len(theirs) != len(ours):
        fail(f"{where}: {len(ours)} symbols, llvm-readobj lists {len(theirs)}")
    # llvm-readobj does not print indices: the symbols come in order, aux records skipped.
    ordered = [ours_by_index[k] for k in sorted(ours_by_index)]
    for mine, (name, value, section, cls, auxn, aux) in zip(ordered, theirs):
        got = (mine[2], mine[5], int(mine[3]), int(mine[4]))
        want = (name, value, int(section), int(cls, 16))
        if got != want:
            fail(f"{where}: symbol {mine[1]}: ours {got}, llvm-readobj {want}")
            continue
        count("object symbols")
        sd = re.search(r"AuxSectionDef \{\s*Length: (\d+)\s*RelocationCount: (\d+)\s*LineNumberCount: \d+\s*"
                       r"Checksum: \S+\s*Number: (\d+)\s*Selection: (0x[0-9A-F]+)", aux)
        if sd:
            want_aux = f"secdef:{sd.group(1)},{sd.group(2)},{int(sd.group(4), 16)},{sd.group(3)}"
            # llvm-readobj shows the associated number only for associative COMDATs.
            if mine[7].rsplit(",", 1)[0] != want_aux.rsplit(",", 1)[0]:
                fail(f"{where}: {name}: ours {mine[7]}, llvm-readobj {want_aux}")
            count("section definitions")
        wk = re.search(r"AuxWeakExternal \{\s*Linked: .*?\((\d+)\)", aux)
        if wk:
            if mine[7] != f"weak:{wk.group(1)}":
                fail(f"{where}: {name}: ours {mine[7]}, weak external linked to {wk.group(1)}")
            count("weak externals")
        fr = re.search(r"AuxFileRecord \{\s*FileName: (.*)\n", aux)
        if fr:
            if mine[7] != f"file:{fr.group(1)}":
                fail(f"{where}: {name}: ours {mine[7]}, file record {fr.group(1)}")
            count("file records")


SEC_RE = re.compile(r"Section \{\s*Number: (\d+)\s*Name: (.*?) \(.*?RawDataSize: (\d+).*?RelocationCount: (\d+)\s*"
                    r"LineNumberCount: (\d+)\s*Characteristics \[ \((0x[0-9A-F]+)\)", re.S)


def check_sections(ours, block, where):
    theirs = SEC_RE.findall(block)
    if len(theirs) != len(ours):
        fail(f"{where}: {len(ours)} sections, llvm-readobj lists {len(theirs)}")
    for mine, t in zip(ours, theirs):
        got = (mine[1], mine[2], mine[3], mine[4], mine[5], int(mine[6]))
        want = (t[0], t[1], t[2], t[3], t[4], int(t[5], 16))
        if got != want:
            fail(f"{where}: section {mine[1]}: ours {got}, llvm-readobj {want}")
        else:
            count("sections")


def check_objects(tool, path, d):
    """The objects of a file (itself, or an archive's members) against llvm-readobj --sections --symbols."""
    objects = [o for o in d.of("object")]
    blocks = [b for b in readobj_blocks(path, "--sections", "--symbols")
              if b[1].startswith("COFF-") and b[1] != "COFF-import-file"]
    if len(blocks) != len(objects):
        fail(f"{path.name}: {len(objects)} objects, llvm-readobj shows {len(blocks)}")
    for (member, *_), (fname, _, text) in zip(objects, blocks):
        where = f"{path.name}: {fname}"
        check_sections([s for s in d.of("section") if s[0] == member], text, where)
        check_object_symbols([s for s in d.of("symbol") if s[0] == member], text, where)
        count("objects")


def check_nm(path, d):
    """llvm-nm's defined and undefined externals are our defined and needed ones."""
    ours = {(s[2], s[6]) for s in d.of("symbol") if s[6] in ("defined", "undefined", "common", "weak")}
    out = run(["llvm-nm", "--extern-only", "--no-sort", str(path)], check=False)
    for line in out.splitlines():
        parts = line.split()
        if len(parts) < 2 or line.endswith(":"):
            continue
        letter, name = parts[-2], parts[-1]
        if letter in "Uu":
            role = {"undefined"}
        elif letter in "Cc":
            role = {"common"}
        elif letter in "wWvV":
            role = {"weak"}
        else:
            role = {"defined"}
        if not any((name, r) in ours for r in role):
            # short imports are not objects: their symbols come from the import records
            if d.of("import") and any(name in (i[6], "__imp_" + i[6]) for i in d.of("import")):
                continue
            fail(f"{path.name}: llvm-nm {letter} {name} is not one of our {role} symbols")
        else:
            count("nm externals")


def check_index(path, d):
    """The archive's symbol index, as llvm-nm --print-armap reads it, names the same members."""
    names = {int(m[0]): m[3] for m in d.of("member")}
    first = {(s[1], names.get(int(s[2]), "?")) for s in d.of("index") if s[0] == "first"}
    second = {(s[1], names.get(int(s[2]), "?")) for s in d.of("index") if s[0] == "second"}
    out = run(["llvm-nm", "--print-armap", str(path)], check=False)
    m = re.search(r"Archive map\n(.*?)\n\n", out, re.S)
    theirs = set()
    for line in (m.group(1).splitlines() if m else []):
        sym, _, member = line.partition(" in ")
        theirs.add((sym, member))
    ours = second if second else first
    if ours != theirs:
        fail(f"{path.name}: index differs: only ours {sorted(ours - theirs)[:5]}, only llvm-nm {sorted(theirs - ours)[:5]}")
    else:
        count("index symbols", len(ours))
    if second and first != second:
        fail(f"{path.name}: the two linker members disagree")


def check_members(path, d):
    """Member names and sizes as llvm-ar (GNU names) or the readers of LLVM list them."""
    ours = [m[3] for m in d.of("member") if m[2] not in ("first linker member", "second linker member", "long names")]
    theirs = run(["llvm-ar", "t", str(path)]).splitlines()
    if ours != theirs:
        fail(f"{path.name}: members {ours[:4]}..., llvm-ar {theirs[:4]}...")
    else:
        count("members", len(ours))


def check_import_library(tool, path, dll, promise, d):
    imports = d.of("import")
    # dlltool --identify names the DLL, for both forms.
    ident = shutil.which("x86_64-w64-mingw32-dlltool")
    if ident:
        got = run([ident, "--identify", str(path)], check=False).split()
        if got and {i[0] for i in imports} != set(got):
            fail(f"{path.name}: DLLs {sorted({i[0] for i in imports})}, dlltool --identify {got}")
    # The .def's promise: name or ordinal, code or data.
    seen = {}
    for dll_, name, how, number, typ, form, symbol, ntype in imports:
        if dll_ != dll:
            fail(f"{path.name}: {symbol} from {dll_}, not {dll}")
        key = symbol[len("__imp_"):] if symbol.startswith("__imp_") else symbol
        key = key.lstrip("_") if key.lstrip("_") in promise else key
        seen[key] = (int(number) if how == "ordinal" or key in ("beta", "beta@8") else None, how == "ordinal", typ == "data")
        count(f"imports ({form} form)")
    for name, want in promise.items():
        got = seen.get(name)
        if got is None:
            fail(f"{path.name}: {name} is not listed")
            continue
        ordinal, by_ord, data = want
        if (got[1], got[2]) != (by_ord, data) or (by_ord and got[0] != ordinal):
            fail(f"{path.name}: {name}: ours (ordinal {got[0]}, by ordinal {got[1]}, data {got[2]}), .def {want}")
    if len(seen) != len(promise):
        fail(f"{path.name}: {len(seen)} imports, the .def has {len(promise)}")
    # llvm-readobj --coff-imports: each short import's DLL, type, name type and symbols.
    shorts = [i for i in imports if i[5] == "short"]
    if shorts:
        theirs = set()
        for f, fmt, text in readobj_blocks(path, "--coff-imports"):
            if fmt != "COFF-import-file":
                continue
            typ = re.search(r"^Type: (.*)$", text, re.M).group(1)
            ntype = re.search(r"^Name type: (.*)$", text, re.M).group(1)
            sym = re.findall(r"^Symbol: (.*)$", text, re.M)[0]
            theirs.add((f, typ, ntype.replace("noprefix", "no prefix"), sym))
        ours = {(i[0], i[4], i[7], "__imp_" + i[6]) for i in shorts}
        if ours != theirs:
            fail(f"{path.name}: short imports differ: only ours {sorted(ours - theirs)[:3]}, "
                 f"only llvm-readobj {sorted(theirs - ours)[:3]}")
    # What the loader will look up: link a DLL that takes every import with lld-link and read
    # its import table back with llvm-readobj (the import name after its name type, the hint
    # or the ordinal, the DLL).
    machine = {"i386": "x86", "arm64": "arm64"}.get(path.stem.split("_", 1)[-1], "x64")
    if shutil.which("lld-link") and imports:
        probe = path.with_suffix(".probe.dll")
        syms = [i[6] if i[6].startswith("__imp_") else "__imp_" + i[6] for i in imports]
        p = subprocess.run(["lld-link", "/dll", "/noentry", f"/machine:{machine}", f"/out:{probe}", str(path)] + (["/safeseh:no"] if machine == "x86" else [])
                           + [f"/include:{x}" for x in syms], capture_output=True, text=True)
        if p.returncode != 0:
            fail(f"{path.name}: lld-link: {p.stderr.strip()[:300]}")
        else:
            theirs = set()
            for block in re.findall(r"Import \{(.*?)\n\}", run(["llvm-readobj", "--coff-imports", str(probe)]), re.S):
                dll_ = re.search(r"Name: (.*)", block).group(1)
                for name, num in re.findall(r"Symbol: (.*?) \((\d+)\)", block):
                    theirs.add((dll_, name, num))
            ours = {(i[0], i[1], i[3]) for i in imports}
            if ours != theirs:
                fail(f"{path.name}: linked imports differ: only ours {sorted(ours - theirs)[:4]}, "
                     f"only the linked image {sorted(theirs - ours)[:4]}")
            else:
                count("imports as linked by lld-link", len(theirs))
    # llvm-nm: every __imp_ symbol a long-form member defines is an import of ours.
    longs = {i[6] for i in imports if i[5] == "long"}
    if any(i[5] == "long" for i in imports):
        for line in run(["llvm-nm", "--defined-only", str(path)], check=False).splitlines():
            sym = line.split()[-1] if line.strip() and not line.endswith(":") else ""
            if sym.startswith("__imp_") and sym not in longs:
                fail(f"{path.name}: llvm-nm defines {sym}, which is not one of our imports")


# ---- NE -------------------------------------------------------------------

def ne_module(out, *, modules=("KERNEL", "USER"), exports=(("WEP", 1), ("DOWORK", 2)),
              nonresident=(("HIDDEN", 3),), resources=True):
    """An NE DLL with two segments, module references, imported and non-resident names,
    entries, resources and relocations to other modules by ordinal and by name."""
    ne_at = 0x80
    shift = 4
    # tables after the 64-byte NE header
    seg_table = 0x40
    segs = 2
    res_table = seg_table + 8 * segs
    res = b""
    if resources:
        res = struct.pack("<H", shift)
        res += struct.pack("<HHI", 0x8006, 1, 0)            # RT_STRING
        res += struct.pack("<HHHHHH", 0x30, 1, 0x30, 0x8001, 0, 0)
        res += struct.pack("<HHI", 0, 1, 0)                  # a named type, its name offset patched below
        name_fix = len(res) - 8
        res += struct.pack("<HHHHHH", 0x31, 1, 0x30, 0, 0, 0)  # a named resource, patched below
        rname_fix = len(res) - 6
        res += struct.pack("<H", 0)
        tname_at = len(res)
        res += b"\x06MYTYPE"
        rname_at = len(res)
        res += b"\x05THING\x00"
        res = bytearray(res)
        struct.pack_into("<H", res, name_fix, tname_at)
        struct.pack_into("<H", res, rname_fix, rname_at)
        res = bytes(res)
    resident_at = res_table + len(res)
    resident = b"".join(bytes([len(n)]) + n.encode() + struct.pack("<H", o) for n, o in (("MYDLL", 0),) + tuple(exports)) + b"\0"
    modref_at = resident_at + len(resident)
    imported_at = modref_at + 2 * len(modules)
    imported = b"\0"
    mod_offsets = []
    for m in modules:
        mod_offsets.append(len(imported))
        imported += bytes([len(m)]) + m.encode()
    fn_name_at = len(imported)
    imported += b"\x08GETTHING"
    modref = b"".join(struct.pack("<H", o) for o in mod_offsets)
    entry_at = imported_at + len(imported)
    entries = bytes([1, 1]) + bytes([3]) + struct.pack("<H", 0x10)      # ordinal 1: fixed in segment 1
    entries += bytes([1, 0xFF]) + bytes([3]) + b"\xCD\x3F" + bytes([2]) + struct.pack("<H", 0x20)  # 2: movable seg 2
    entries += bytes([1, 1]) + bytes([1]) + struct.pack("<H", 0x30)     # 3: fixed
    entries += b"\0"
    nonres_rel = entry_at + len(entries)
    nonres = b"".join(bytes([len(n)]) + n.encode() + struct.pack("<H", o) for n, o in (("My test DLL", 0),) + tuple(nonresident)) + b"\0"
    header_end = ne_at + nonres_rel + len(nonres)
    seg1 = (header_end + 15) // 16 * 16
    code = bytes(range(0x40))
    relocs = struct.pack("<H", 3)
    relocs += struct.pack("<BBHHH", 3, 1, 0x04, 1, 5)          # KERNEL.5
    relocs += struct.pack("<BBHHH", 3, 2, 0x08, 2, fn_name_at)  # USER.GETTHING
    relocs += struct.pack("<BBHHH", 2, 0, 0x0C, 2, 0)           # internal: segment 2
    seg2 = (seg1 + len(code) + len(relocs) + 15) // 16 * 16
    data = b"DATA" * 4
    hdr = bytearray(0x40)
    hdr[0:2] = b"NE"
    hdr[2], hdr[3] = 5, 10
    struct.pack_into("<HH", hdr, 4, entry_at, len(entries))
    struct.pack_into("<H", hdr, 0x0C, 0x8002 | 0x0001)  # library, single data
    struct.pack_into("<HHH", hdr, 0x0E, 2, 0x400, 0)
    struct.pack_into("<HHHHH", hdr, 0x1C, segs, len(modules), len(nonres), seg_table, res_table)
    struct.pack_into("<HHH", hdr, 0x26, resident_at, modref_at, imported_at)
    struct.pack_into("<I", hdr, 0x2C, ne_at + nonres_rel)
    struct.pack_into("<HHH", hdr, 0x30, 1, shift, 1 if resources else 0)
    hdr[0x36] = 2  # Windows
    struct.pack_into("<H", hdr, 0x3E, 0x030A)
    segtab = struct.pack("<HHHH", seg1 >> shift, len(code), 0x0100 | 0x0010, len(code))
    segtab += struct.pack("<HHHH", seg2 >> shift, len(data), 0x0001, len(data))
    body = bytes(hdr) + segtab + res + resident + modref + imported + entries + nonres
    mz = bytearray(ne_at)
    mz[0:2] = b"MZ"
    struct.pack_into("<H", mz, 0x18, 0x40)
    struct.pack_into("<I", mz, 0x3C, ne_at)
    blob = bytearray(bytes(mz) + body)
    blob += bytes(seg1 - len(blob)) + code + relocs
    blob += bytes(seg2 - len(blob)) + data
    if resources:  # the two resources' data at 0x300 and 0x310
        blob += bytes(0x320 - len(blob))
    out.write_bytes(bytes(blob))
    return {"modules": list(modules), "exports": [("MYDLL", 0)] + list(exports), "nonresident": [("My test DLL", 0)] + list(nonresident),
            "imports": {(modules[0], "", "5"), (modules[1], "GETTHING", "")}}


def check_ne(tool, path, promise):
    d = Dump(tool, path)
    if d.kind != "NE executable":
        fail(f"{path.name}: detected as {d.kind}")
        return
    if [m[0] for m in d.of("modref")] != promise["modules"]:
        fail(f"{path.name}: module references {d.of('modref')}")
    if [(n[0], int(n[1])) for n in d.of("resident")] != promise["exports"]:
        fail(f"{path.name}: resident names {d.of('resident')}")
    if [(n[0], int(n[1])) for n in d.of("nonresident")] != promise["nonresident"]:
        fail(f"{path.name}: non-resident names {d.of('nonresident')}")
    if {(i[0], i[1], i[2]) for i in d.of("import")} != promise["imports"]:
        fail(f"{path.name}: imports {d.of('import')}")
    count("NE modules")
    check_ne_winedump(path, d)


def check_ne_winedump(path, d):
    """winedump: the header's counts and flags, and every exported entry point with its name."""
    if shutil.which("winedump"):
        out = run(["winedump", "dump", str(path)], check=False)
        ne = d.of("ne")[0]
        want = {"Number of segments": ne[0], "Number of modrefs": ne[1], "Flags": f"{int(ne[3]):04x}",
                "Exe type": ne[4]}
        for field, value in want.items():
            m = re.search(rf"^{field}:\s+(\S+)", out, re.M)
            if not m or m.group(1).lower() != value:
                fail(f"{path.name}: {field} ours {value}, winedump {m.group(1) if m else None}")
            count("NE header fields against winedump")
        m = re.search(r"^Entry table:\s+\S+ len (\d+)", out, re.M)
        if not m or m.group(1) != ne[2]:
            fail(f"{path.name}: entry table length ours {ne[2]}, winedump {m.group(1) if m else None}")
        names = {int(n[1]): n[0] for n in d.of("resident")[1:] + d.of("nonresident")[1:]}
        # winedump leaves out the constants (bundle type 0xFE); the listing names them as such.
        ours = {f"{e[0]} {'MOVABLE' if e[4] == 'movable' else 'FIXED'} {e[1]}:{int(e[2]):04x} {names.get(int(e[0]), '')}".strip()
                for e in d.of("entry") if not (e[4] == "fixed" and e[1] == "254")}
        count("NE constants (not in winedump)", len(d.of("entry")) - len(ours))
        exports = run(["winedump", "dump", "-j", "export", str(path)], check=False)
        theirs = {" ".join(l.split()) for l in exports.splitlines() if re.match(r"^\s+\d+ (FIXED|MOVABLE)", l)}
        if ours != theirs:
            fail(f"{path.name}: entry points ours {sorted(ours)}, winedump {sorted(theirs)}")
        count("NE entry points against winedump", len(theirs))


def is_ne(path):
    try:
        with open(path, "rb") as f:
            head = f.read(64)
            if len(head) < 64 or head[:2] != b"MZ":
                return False
            f.seek(int.from_bytes(head[60:64], "little"))
            return f.read(2) == b"NE"
    except OSError:
        return False


def check_wine_ne(tool, tdump, windows):
    """The 16-bit placeholders wineboot writes into a prefix (about fifty)."""
    files = sorted(p for d in (windows, windows / "system", windows / "syswow64", windows / "system32")
                   if d.is_dir() for p in d.iterdir() if p.is_file() and is_ne(p))
    if not files:
        if not kcorpus.runs_32_bit_programs():
            # wineboot writes them with its 32-bit half, which this kernel cannot run.
            print(f"SKIPPED: no NE file under {windows}: this machine's kernel cannot run 32-bit programs")
            return kcorpus.SKIP
        return kcorpus.skip(f"no NE file under {windows}; the Wine prefix is made by the Wine tests")
    if not shutil.which("winedump"):
        return kcorpus.skip("winedump is needed")
    for path in files:
        d = Dump(tool, path)
        if d.kind != "NE executable":
            fail(f"{path.name}: detected as {d.kind}")
            continue
        check_ne_winedump(path, d)
        check_listing(tdump, path, d)
        count("Wine NE placeholders")
    print("checked: " + ", ".join(f"{k} {v}" for k, v in sorted(COUNTS.items())))
    if FAILS:
        print(f"{len(FAILS)} failures")
        return 1
    return 0


def listing(tdump, path):
    """tdump's JSON form of the listing: the parts by key."""
    import json
    line = run([tdump, "--json", str(path)], check=False).splitlines()[0]
    return json.loads(line)["parts"]


def check_listing(tdump, path, d):
    """The listing shows the records the peers confirmed: every import, symbol, member and NE import."""
    if not tdump:
        return
    parts = listing(tdump, path)
    check_glance(tdump, path, d, parts)
    imports = d.of("import")
    if d.kind == "archive":
        members = [(int(m[0]), m[3]) for m in d.of("member")]
        shown = [(m["offset"], m["name"]) for m in parts.get("Archive", {}).get("members", [])]
        if shown != members:
            fail(f"{path.name}: the listing's members differ from the records")
        count("members in the listing", len(shown))
        if imports:
            shown = {(dll["dll"], f.get("name", ""), str(f.get("ordinal", f.get("hint"))), f["type"])
                     for dll in parts.get("ImportLibrary", {}).get("dlls", []) for f in dll["functions"]}
            want = {(i[0], i[1], i[3], i[4]) for i in imports}
            if shown != want:
                fail(f"{path.name}: the listing's imports differ: only the listing {sorted(shown - want)[:3]}, "
                     f"only the records {sorted(want - shown)[:3]}")
            count("imports in the listing", len(shown))
    elif d.kind in ("COFF object", "big COFF object"):
        shown = [(s["index"], s["name"], s["value"]) for s in parts.get("Object", {}).get("symbols", [])]
        want = [(int(s[1]), s[2], int(s[5])) for s in d.of("symbol")]
        if shown != want:
            fail(f"{path.name}: the listing's symbols differ from the records")
        count("object symbols in the listing", len(shown))
    elif d.kind == "NE executable":
        shown = {(i["module"], i.get("name", ""), str(i.get("ordinal", ""))) for i in parts.get("Ne", {}).get("imports", [])}
        want = {(i[0], i[1], i[2]) for i in imports}
        if shown != want:
            fail(f"{path.name}: the listing's NE imports {sorted(shown)}, the records {sorted(want)}")
        count("NE imports in the listing", len(shown))


def nm_defined_by_member(path):
    """llvm-nm's defined external symbols, by member (the file itself for an object): {member: [(letter, name)]}."""
    out = {}
    for line in run(["llvm-nm", "-A", "--defined-only", "--extern-only", str(path)], check=False).splitlines():
        head, _, rest = line.rpartition(": ")
        parts = rest.split()
        if len(parts) < 2:
            continue
        member = head.split(":")[-1] if ":" in head else head
        out.setdefault(member, []).append((parts[-2], parts[-1]))
    return out


def check_glance(tdump, path, d, parts):
    """At a glance's counts against the peers: llvm-ar's members, dlltool's DLLs, llvm-nm's
    import symbols and defined externals, llvm-readobj's sections and symbols, the NE records."""
    g = parts.get("Glance", {})
    if d.kind == "archive":
        members = run(["llvm-ar", "t", str(path)]).splitlines()
        if g.get("members", 0) != len(members):
            fail(f"{path.name}: At a glance counts {g.get('members')} members, llvm-ar {len(members)}")
        by_member = nm_defined_by_member(path)
        names = {int(m[0]): m[3] for m in d.of("member")}
        import_members = {int(s[0]) for s in d.of("section") if s[2].startswith(".idata$")}
        if d.of("import"):
            ident = shutil.which("x86_64-w64-mingw32-dlltool")
            if ident:
                got = run([ident, "--identify", str(path)], check=False).split()
                if got and set(g.get("dlls", [])) != set(got):
                    fail(f"{path.name}: At a glance names DLLs {g.get('dlls')}, dlltool --identify {got}")
            # Short imports as llvm-readobj reads them; the long form's members define
            # __imp_X, and X too when they import code (llvm-nm).
            shorts = [t for _, fmt, t in readobj_blocks(path, "--coff-imports") if fmt == "COFF-import-file"]
            functions = len(shorts)
            data = sum(1 for t in shorts if not re.search(r"^Type: code$", t, re.M))
            ordinal = sum(1 for t in shorts if re.search(r"^Name type: ordinal$", t, re.M))
            for m in {names[i] for i in import_members}:
                defined = {n for _, n in by_member.get(m, [])}
                for n in defined:
                    if n.startswith("__imp_"):
                        functions += 1
                        data += n[len("__imp_"):] not in defined
            got = (g.get("functions"), g.get("data", 0) + g.get("constants", 0))
            if got != (functions, data) or (ordinal and g.get("byOrdinal") != ordinal):
                fail(f"{path.name}: At a glance: (functions, data) {got}, by ordinal {g.get('byOrdinal')}; "
                     f"llvm-readobj and llvm-nm: {(functions, data)}, by ordinal {ordinal}")
            else:
                count("import counts At a glance against llvm-readobj and llvm-nm")
        # The externals the objects of code define: members with no .idata$ section.
        code_members = {names[int(o[0])] for o in d.of("object") if int(o[0]) not in import_members}
        # Weak externals (llvm-nm's w, W, v, V) are the object's needs, not its definitions.
        want = sum(1 for m in code_members for letter, _ in by_member.get(m, []) if letter not in "wWvV")
        if g.get("defined", 0) != want:
            fail(f"{path.name}: At a glance: {g.get('defined', 0)} defined symbols, llvm-nm {want}")
        else:
            count("libraries' defined symbols At a glance against llvm-nm")
    elif d.kind in ("COFF object", "big COFF object"):
        m = re.search(r"SectionCount: (\d+)", run(["llvm-readobj", "--file-headers", str(path)]))
        theirs = len(SYM_RE.findall(run(["llvm-readobj", "--symbols", str(path)])))
        nm = run(["llvm-nm", "--extern-only", str(path)], check=False).split("\n")
        letters = [l.split()[-2] for l in nm if len(l.split()) >= 2]
        defined = sum(1 for c in letters if c not in "UwWvV")
        needed = sum(1 for c in letters if c == "U")
        weak = sum(1 for c in letters if c in "wWvV")
        got = (g.get("sections"), g.get("symbols"), g.get("defined"), g.get("needed"), g.get("weak", 0))
        want = (int(m.group(1)) if m else None, theirs, defined, needed, weak)
        if got != want:
            fail(f"{path.name}: At a glance (sections, symbols, defined, needed, weak) {got}, llvm-readobj and llvm-nm {want}")
        else:
            count("objects At a glance against llvm-readobj and llvm-nm")
    elif d.kind == "NE executable":
        resident, nonresident = d.of("resident"), d.of("nonresident")
        got = (g.get("module"), g.get("description"), g.get("entryPoints"))
        want = (resident[0][0] if resident else None, nonresident[0][0] if nonresident else None, len(d.of("entry")))
        if got != want:
            fail(f"{path.name}: At a glance (module, description, entry points) {got}, the records {want}")
        else:
            count("NE files At a glance against the records")


def check_damage(tool, work, files):
    """Cut and scribbled copies: kinds_dump finishes, and reports rather than crashes."""
    for f in files:
        blob = f.read_bytes()
        for i, cut in enumerate((len(blob) // 3, len(blob) // 2, len(blob) - 7)):
            t = work / f"cut{i}_{f.name}"
            t.write_bytes(blob[:cut])
            p = subprocess.run([tool, str(t)], capture_output=True, timeout=20)
            if p.returncode != 0:
                fail(f"{t.name}: exit {p.returncode}")
            elif b"anomaly\t" not in p.stdout:
                fail(f"{t.name}: cut at {cut} of {len(blob)} and nothing reported")
            else:
                count("damaged files reported")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--work", required=True)
    ap.add_argument("--tdump", help="the dump tool, to check that its listing shows the records")
    ap.add_argument("--wine-windows", help="instead: check the NE files of a Wine prefix's windows folder")
    args = ap.parse_args()
    if args.wine_windows:
        return check_wine_ne(args.tool, args.tdump, Path(args.wine_windows))
    if not shutil.which("llvm-readobj") or not shutil.which("llvm-nm"):
        return kcorpus.skip("llvm-readobj and llvm-nm are needed")
    work = Path(args.work).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    objs, statics, implibs = build_inputs(work)

    for o in objs:
        d = Dump(args.tool, o)
        want = "big COFF object" if o.name == "b_bigobj.o" else "COFF object"
        if d.kind != want:
            fail(f"{o.name}: detected as {d.kind}, not {want}")
            continue
        check_objects(args.tool, o, d)
        check_nm(o, d)
        check_listing(args.tdump, o, d)
        directives = [x[1] for x in d.of("directive")]
        if o.name.startswith("a_") and "/DEFAULTLIB:user32" not in directives:
            fail(f"{o.name}: directives {directives}")
        if "clang" in o.name and o.name.startswith("b_") and not d.of("debugsub"):
            fail(f"{o.name}: no .debug$S subsections")
        count("debug subsections", len(d.of("debugsub")))
    for lib in statics:
        d = Dump(args.tool, lib)
        if d.kind != "archive":
            fail(f"{lib.name}: detected as {d.kind}")
            continue
        check_members(lib, d)
        check_index(lib, d)
        check_objects(args.tool, lib, d)
        check_nm(lib, d)
        check_listing(args.tdump, lib, d)
        count("static libraries")
    for lib, dll, promise in implibs:
        d = Dump(args.tool, lib)
        check_members(lib, d)
        check_index(lib, d)
        check_import_library(args.tool, lib, dll, promise, d)
        check_listing(args.tdump, lib, d)
        count("import libraries")
    # Real libraries from the toolchain: mingw-w64's import libraries (long form, with
    # objects of code beside the imports; libucrt.a names fifteen DLLs) and a static one.
    gcc = shutil.which("x86_64-w64-mingw32-gcc")
    for name in ("libkernel32.a", "libuser32.a", "libmsvcrt.a", "libucrt.a", "libmingwex.a") if gcc else ():
        real = Path(run([gcc, f"-print-file-name={name}"]).strip())
        if real.is_file():
            check_listing(args.tdump, real, Dump(args.tool, real))
            count("toolchain libraries")
    for name, kw in (("ne_full.dll", {}), ("ne_plain.dll", {"resources": False, "modules": ("KERNEL", "GDI", "USER")})):
        promise = ne_module(work / name, **kw)
        check_ne(args.tool, work / name, promise)
        check_listing(args.tdump, work / name, Dump(args.tool, work / name))
    check_damage(args.tool, work, [o for o in objs[:2]] + statics[:1] + [i[0] for i in implibs[:2]] + [work / "ne_full.dll"])

    print("checked: " + ", ".join(f"{k} {v}" for k, v in sorted(COUNTS.items())))
    if FAILS:
        print(f"{len(FAILS)} failures")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
