#!/usr/bin/env python3
"""Cross-checks tdump's listing against llvm-readobj on Wine's PE files.

For every export llvm-readobj reports (ordinal, name, RVA or forward target) our listing
must hold one line with all of them; for every import (DLL, name or ordinal) one line with
the name or ordinal and the IAT slot's RVA, below a line naming its DLL. Header fields,
data directories and section rows are held to the peer's numbers the same way. Hex
numbers compare by value (0x, case and leading zeros do not matter); values must be equal.

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


class PeFacts:
    """The few header facts the comparison needs, read straight from the file: the IAT's
    slot width, and the export directory's range, inside which an export's RVA names a
    forwarder string (llvm-readobj 14 prints that RVA rather than the target)."""

    def __init__(self, path):
        data = Path(path).read_bytes()
        self.data = data
        lfanew = struct.unpack_from("<I", data, 0x3C)[0]
        nsec, opt_size = struct.unpack_from("<H", data, lfanew + 6)[0], \
            struct.unpack_from("<H", data, lfanew + 20)[0]
        opt = lfanew + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        self.ptr = 8 if magic == 0x20B else 4
        dirs = opt + (112 if magic == 0x20B else 96)
        self.export_rva, self.export_size = struct.unpack_from("<II", data, dirs)
        self.sections = []
        for k in range(nsec):
            at = opt + opt_size + 40 * k
            vsize, va, rsize, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((va, max(vsize, rsize), raw))

    def is_forwarder(self, rva):
        return self.export_rva <= rva < self.export_rva + self.export_size

    def string_at(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                at = raw + rva - va
                end = self.data.find(b"\0", at)
                return self.data[at:end].decode("ascii", errors="replace")
        return None


SYMBOL = re.compile(r"^\s*Symbol: (.*) \((\d+)\)$")


def parse_readobj(text, ptr, facts=None):
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
                rva = int(fields["RVA"], 16) if "RVA" in fields else None
                forward = fields.get("ForwardedTo")
                if forward is None and rva is not None and facts and facts.is_forwarder(rva):
                    forward = facts.string_at(rva)
                exports.append(Export(int(fields["Ordinal"]), fields.get("Name", ""),
                                      None if forward else rva, forward))
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


# llvm-readobj's header field names, where ours (the PE format's own) differ.
OUR_FIELD = {
    ("ImageFileHeader", "SectionCount"): "NumberOfSections",
    ("ImageFileHeader", "SymbolCount"): "NumberOfSymbols",
    ("ImageFileHeader", "OptionalHeaderSize"): "SizeOfOptionalHeader",
    ("ImageOptionalHeader", "Characteristics"): "DllCharacteristics",
    ("ImageOptionalHeader", "NumberOfRvaAndSize"): "NumberOfRvaAndSizes",
    ("DOSHeader", "UsedBytesInTheLastPage"): "e_cblp",
    ("DOSHeader", "FileSizeInPages"): "e_cp",
    ("DOSHeader", "NumberOfRelocationItems"): "e_crlc",
    ("DOSHeader", "HeaderSizeInParagraphs"): "e_cparhdr",
    ("DOSHeader", "MinimumExtraParagraphs"): "e_minalloc",
    ("DOSHeader", "MaximumExtraParagraphs"): "e_maxalloc",
    ("DOSHeader", "InitialRelativeSS"): "e_ss",
    ("DOSHeader", "InitialSP"): "e_sp",
    ("DOSHeader", "Checksum"): "e_csum",
    ("DOSHeader", "InitialIP"): "e_ip",
    ("DOSHeader", "InitialRelativeCS"): "e_cs",
    ("DOSHeader", "AddressOfRelocationTable"): "e_lfarlc",
    ("DOSHeader", "OverlayNumber"): "e_ovno",
    ("DOSHeader", "OEMid"): "e_oemid",
    ("DOSHeader", "OEMinfo"): "e_oeminfo",
    ("DOSHeader", "AddressOfNewExeHeader"): "e_lfanew",
}
# Fields the peer computes rather than reads, or that have no line of their own with us.
PEER_ONLY = {"StringTableSize", "Magic"}
FIELD = re.compile(r"^\s*(\w+)(?::| \[) (.*)$")
NUMBER_AT_END = re.compile(r"\((0x[0-9A-Fa-f]+)\)\s*$")


class Field:
    def __init__(self, block, key, value):
        self.block, self.key, self.value = block, key, value
        self.ours = OUR_FIELD.get((block, key), key)

    def __str__(self):
        return f"{self.block}.{self.key} = {self.value:#x}"


class Section:
    def __init__(self, number, name, values):
        self.number, self.name, self.values = number, name, values

    def __str__(self):
        vals = " ".join(f"{k} {v:#x}" for k, v in self.values.items())
        return f"section {self.number} {self.name}: {vals}"


def field_value(text):
    """A header field's number: "(0x..)" at the end, else 0x.., else decimal."""
    m = NUMBER_AT_END.search(text)
    if m:
        return int(m.group(1), 16)
    if re.fullmatch(r"0x[0-9A-Fa-f]+", text):
        return int(text, 16)
    if re.fullmatch(r"\d+", text):
        return int(text)
    return None


def parse_headers(text):
    """The --file-headers and --sections part: header fields, data directories, sections."""
    fields, dirs, sections = [], {}, []
    stack, section = [], None
    for line in text.splitlines():
        s = line.strip()
        if s.endswith("{") or (s.endswith("[") and ":" not in s and "(" not in s):
            stack.append(s[:-1].strip())
            if stack[-1] == "Section":
                section = {}
            continue
        if s in ("}", "]"):
            if stack and stack[-1] == "Section" and section is not None:
                name = section.pop("Name").split(" (")[0]
                number = section.pop("Number")
                sections.append(Section(number, name, section))
                section = None
            if stack:
                stack.pop()
            continue
        m = FIELD.match(line)
        if not m or not stack:
            continue
        key, raw = m.group(1), m.group(2)
        if section is not None and stack[-1] == "Section":
            if key == "Name":
                section["Name"] = raw
            elif key in ("Number", "VirtualSize", "VirtualAddress", "RawDataSize",
                         "PointerToRawData", "Characteristics"):
                value = field_value(raw)
                if value is not None:
                    section[key] = value
            continue
        block = stack[-1]
        value = field_value(raw)
        if value is None or key in PEER_ONLY:
            continue
        if block == "DataDirectory":
            m2 = re.fullmatch(r"(\w+?)(RVA|Size)", key)
            if m2:
                dirs.setdefault(m2.group(1), {})[m2.group(2)] = value
        elif block in ("ImageFileHeader", "ImageOptionalHeader", "DOSHeader"):
            fields.append(Field(block, key, value))
    # Directories come in the format's fixed order, which is how our table numbers them.
    directories = [(i, d.get("RVA", 0), d.get("Size", 0)) for i, d in enumerate(dirs.values())]
    return fields, directories, sections


def peer_view(readobj, path):
    p = subprocess.run([readobj, "--file-headers", "--sections", "--coff-exports",
                        "--coff-imports", str(path)],
                       capture_output=True, text=True, check=False)
    if p.returncode != 0:
        return None, p.stderr.strip().splitlines()[-1] if p.stderr.strip() else "failed"
    facts = PeFacts(path)
    return (parse_readobj(p.stdout, facts.ptr, facts), parse_headers(p.stdout)), None

# ---------------------------------------------------------------- our listing

HEX = re.compile(r"^(?:0[xX])?([0-9A-Fa-f]+)[hH]?$")
DEC = re.compile(r"^[#@]?(\d+)$")
# Numbers may sit in punctuation ("RVA=0x1000", "(17)"); names are whole words, since
# decorated C++ names hold <>()@? and must not be cut apart.
SPLIT = re.compile(r"[,;=:()\[\]{}<>|]+")


class Line:
    __slots__ = ("text", "words", "pieces", "lower")

    def __init__(self, text):
        self.text = text
        self.words = text.split()
        self.pieces = [p for w in self.words for p in SPLIT.split(w) if p]
        self.lower = {w.lower() for w in self.words} | {p.lower() for p in self.pieces}

    def has_piece(self, word):
        return word in self.words or word in self.pieces

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
            for p in set(line.pieces) | set(line.words):
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


def holds_number(line, value, skip_first=True):
    """A piece other than the label that spells `value`, in hex or in decimal."""
    pieces = line.pieces[1:] if skip_first else line.pieces
    for p in pieces:
        h, d = HEX.match(p), DEC.match(p)
        if (h and int(h.group(1), 16) == value) or (d and int(d.group(1)) == value):
            return True
    return False


def check_field(listing, f):
    rows = [listing.lines[n] for n in listing.candidates(f.ours)
            if listing.lines[n].words and listing.lines[n].words[0] == f.ours]
    if any(holds_number(row, f.value) for row in rows):
        return None
    return " | ".join(r.text.strip() for r in rows[:2]) or "no line for it"


def check_directory(listing, index, rva, size, count):
    if index >= count or (rva == 0 and size == 0):
        return None  # past the table the file declares, or empty: nothing to find
    for n in listing.candidates(str(index)):
        line = listing.lines[n]
        if line.words[0] == str(index) and line.holds(hexes=[rva, size]):
            return None
    return "no table row with both values"


def check_section(listing, sec):
    hexes = [sec.values[k] for k in ("VirtualSize", "VirtualAddress", "PointerToRawData",
                                     "Characteristics") if k in sec.values]
    for n in listing.candidates(sec.name):
        line = listing.lines[n]
        if line.words[0] != str(sec.number) or not line.holds(hexes=hexes):
            continue
        # The raw size is decimal with the peer; either spelling of it will do.
        if "RawDataSize" not in sec.values or holds_number(line, sec.values["RawDataSize"]):
            return None
    return near_lines(listing, sec.name)


def near_lines(listing, key):
    found = [listing.lines[n].text.strip() for n in listing.candidates(key)[:2]]
    return " | ".join(found) if found else "no line with it"


def check_file(tool, readobj, path, bound):
    view, err = peer_view(readobj, path)
    if view is None:
        return {"path": path, "skipped": err}
    (exports, imports), (fields, directories, sections) = view
    run = kcorpus.run_tool(tool, path, bound)
    problems = run.problems()
    if problems:
        return {"path": path, "errors": [f"{path.name}: tool run: {p}" for p in problems],
                "exports": len(exports), "imports": len(imports)}
    listing = Listing(run.text())
    dlls = {i.dll.lower() for i in imports}
    errors = []
    # An address-table slot holding 0 with no name is a gap in the ordinal range, not an
    # export: the loader refuses it, and a listing need not show it.
    gaps = [e for e in exports if e.rva == 0 and not e.name and e.forward is None]
    exports = [e for e in exports if e not in gaps]
    for e in exports:
        ours = check_export(listing, e)
        if ours is not None:
            errors.append(f"{path.name}: readobj {e}; ours: {ours}")
    for i in imports:
        ours = check_import(listing, i, dlls)
        if ours is not None:
            errors.append(f"{path.name}: readobj {i}; ours: {ours}")
    for f in fields:
        ours = check_field(listing, f)
        if ours is not None:
            errors.append(f"{path.name}: readobj {f}; ours: {ours}")
    declared = next((f.value for f in fields if f.key == "NumberOfRvaAndSize"), 16)
    for index, rva, size in directories:
        ours = check_directory(listing, index, rva, size, declared)
        if ours is not None:
            errors.append(f"{path.name}: readobj directory {index} RVA {rva:#x} size {size:#x}; "
                          f"ours: {ours}")
    for sec in sections:
        ours = check_section(listing, sec)
        if ours is not None:
            errors.append(f"{path.name}: readobj {sec}; ours: {ours}")
    return {"path": path, "errors": errors, "exports": len(exports), "imports": len(imports),
            "fields": len(fields), "sections": len(sections),
            "gaps": len(gaps), "forwards": sum(1 for e in exports if e.forward),
            "delayed": sum(1 for i in imports if i.delayed)}

# ---------------------------------------------------------------- generated inputs

# Wine's folder holds PE32+ files from one linker, with no forwarders and no delay-load
# imports. These small DLLs, built with lld for both machines, bring what it lacks: PE32,
# forwarders by name and by ordinal, exports by ordinal only, aliases, imports by ordinal,
# and delay-loaded imports by name and by ordinal.
GEN_SOURCE = """
int Own1(int x) { return x + 1; }
int Own2(int x) { return x + 2; }
int Own3(int x) { return x + 3; }
int PeerAlpha(int); int PeerBeta(int); int PeerHidden(int);
int DelayOne(int); int DelayTwo(int); int DelayHidden(int);
int Use(int x) {
  return PeerAlpha(x) + PeerBeta(x) + PeerHidden(x) + DelayOne(x) + DelayTwo(x) + DelayHidden(x);
}
/* The delay-load helper the linker wants; never called, since nothing runs this DLL. */
void* __stdcall __delayLoadHelper2(const void* d, void** slot) { (void)d; return *slot; }
"""
GEN_DEFS = {
    "gen.def": "LIBRARY gen.dll\nEXPORTS\n  Own1 @1\n  Own2 @2\n  OwnAlias=Own2 @3\n"
               "  Own3 @10 NONAME\n  FwdHeap=NTDLL.RtlAllocateHeap @4\n"
               "  FwdSock=WS2_32.#115 @5\n",
    "peer.def": "LIBRARY peer.dll\nEXPORTS\n  PeerAlpha @1\n  PeerBeta @2\n"
                "  PeerHidden @7 NONAME\n",
    "dpeer.def": "LIBRARY dpeer.dll\nEXPORTS\n  DelayOne @1\n  DelayTwo @2\n"
                 "  DelayHidden @9 NONAME\n",
}


def build_generated(work):
    tools = {t: shutil.which(t) for t in ("clang", "lld-link", "llvm-dlltool")}
    if not all(tools.values()):
        missing = ", ".join(t for t, v in tools.items() if not v)
        print(f"note: {missing} not found; the generated DLLs are skipped")
        return []
    work = Path(work)
    work.mkdir(parents=True, exist_ok=True)
    (work / "gen.c").write_text(GEN_SOURCE)
    for name, text in GEN_DEFS.items():
        (work / name).write_text(text)
    out = []
    for bits, target, machine, dllmachine in ((64, "x86_64-pc-windows-msvc", "x64", "i386:x86-64"),
                                               (32, "i686-pc-windows-msvc", "x86", "i386")):
        dll = work / f"gen{bits}.dll"
        steps = [
            [tools["clang"], f"--target={target}", "-O1", "-c", "gen.c", "-o", f"gen{bits}.obj"],
            [tools["llvm-dlltool"], "-m", dllmachine, "-d", "peer.def", "-l", f"peer{bits}.lib"],
            [tools["llvm-dlltool"], "-m", dllmachine, "-d", "dpeer.def", "-l", f"dpeer{bits}.lib"],
            [tools["lld-link"], "/dll", "/noentry", "/nodefaultlib", f"/machine:{machine}",
             "/def:gen.def", f"/out:{dll.name}", f"gen{bits}.obj", f"peer{bits}.lib",
             f"dpeer{bits}.lib", "/delayload:dpeer.dll"],
        ]
        for cmd in steps:
            p = subprocess.run(cmd, cwd=work, capture_output=True, text=True, check=False)
            if p.returncode != 0:
                raise SystemExit(f"building {dll.name} failed: {' '.join(cmd)}\n{p.stderr}")
        out.append(dll)
    return out

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
Export {
  Ordinal: 4
  Name: ?Do@<Impl>@@YAXP6AJPEAX@Z0@Z
  RVA: 0x1030
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
      4  00001030  ?Do@<Impl>@@YAXP6AJPEAX@Z0@Z
Imports from KERNEL32.dll
  hint 532  GetProcAddress   IAT 0x00003000
  ordinal 17                 IAT 3008h
Delay imports from USER32.dll
  MessageBoxW  IAT 0x5100
"""


SAMPLE_HEADERS = """
ImageFileHeader {
  Machine: IMAGE_FILE_MACHINE_AMD64 (0x8664)
  SectionCount: 1
  StringTableSize: 4
}
ImageOptionalHeader {
  Magic: 0x20B
  AddressOfEntryPoint: 0x1370
  SizeOfImage: 20480
  Subsystem: IMAGE_SUBSYSTEM_WINDOWS_CUI
  Characteristics [ (0x160)
    IMAGE_DLL_CHARACTERISTICS_NX_COMPAT (0x100)
  ]
  DataDirectory {
    ExportTableRVA: 0x2000
    ExportTableSize: 0x40
    ImportTableRVA: 0x0
    ImportTableSize: 0x0
  }
}
Sections [
  Section {
    Number: 1
    Name: .text (2E 74 65 78 74 00 00 00)
    VirtualSize: 0x120
    VirtualAddress: 0x1000
    RawDataSize: 512
    PointerToRawData: 0x400
    Characteristics [ (0x60000020)
    ]
  }
]
"""

SAMPLE_HEADER_LISTING = """COFF
  Machine                 8664  AMD64
  NumberOfSections        1
  AddressOfEntryPoint     00001370  in .text
  SizeOfImage             00005000 (20480)
  DllCharacteristics      00000160
   0  Export        00002000  00000040  .text
   1  .text  00000120  00001000  00000200  00000400  60000020  CNT_CODE
"""


def selftest():
    """The matcher must accept a right listing and reject each kind of wrong value."""
    exports, imports = parse_readobj(SAMPLE_READOBJ, 8)
    assert [str(e) for e in exports] == [
        "export #1 alpha RVA 0x1010", "export #2 beta -> NTDLL.RtlAllocateHeap",
        "export #3 (no name) RVA 0x1020",
        "export #4 ?Do@<Impl>@@YAXP6AJPEAX@Z0@Z RVA 0x1030"], exports
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
        "<Impl>@@YAXP6AJPEAX": "<Impl>@@YAXP6AJPEBX",  # one letter of a decorated name
    }
    for old, new in wrong.items():
        assert old in SAMPLE_GOOD, old
        got = failures(SAMPLE_GOOD.replace(old, new))
        assert len(got) >= 1, f"matcher accepted a listing with {new!r} for {old!r}"
    # The same values on two lines are not one line each.
    split = SAMPLE_GOOD.replace("      1  00001010  alpha", "      1  alpha\n  00001010")
    assert failures(split) == ["export #1 alpha RVA 0x1010"], failures(split)
    # Headers, directories and sections: numbers in either base, labels as the format names them.
    fields, dirs, sections = parse_headers(SAMPLE_HEADERS)
    assert [str(f) for f in fields] == [
        "ImageFileHeader.Machine = 0x8664", "ImageFileHeader.SectionCount = 0x1",
        "ImageOptionalHeader.AddressOfEntryPoint = 0x1370",
        "ImageOptionalHeader.SizeOfImage = 0x5000",
        "ImageOptionalHeader.Characteristics = 0x160"], fields
    assert dirs == [(0, 0x2000, 0x40), (1, 0, 0)], dirs
    assert [str(x) for x in sections] == [
        "section 1 .text: VirtualSize 0x120 VirtualAddress 0x1000 RawDataSize 0x200 "
        "PointerToRawData 0x400 Characteristics 0x60000020"], sections

    def header_failures(text):
        listing = Listing(text)
        return ([str(f) for f in fields if check_field(listing, f) is not None]
                + [str(d) for d in dirs if check_directory(listing, *d, 16) is not None]
                + [str(x) for x in sections if check_section(listing, x) is not None])

    assert header_failures(SAMPLE_HEADER_LISTING) == [], header_failures(SAMPLE_HEADER_LISTING)
    for old, new in {"00001370": "00001371", "00000160": "00000161", "00002000  00000040":
                     "00002000  00000041", "00000120  00001000": "00000121  00001000",
                     "  8664": "  014C", "   1  .text": "   2  .text"}.items():
        assert old in SAMPLE_HEADER_LISTING, old
        assert header_failures(SAMPLE_HEADER_LISTING.replace(old, new)), \
            f"matcher accepted {new!r} for {old!r}"
    print("selftest: matcher accepts the right listing and rejects 14 kinds of wrong one")
    return 0

# ---------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool", nargs="?")
    ap.add_argument("--readobj")
    ap.add_argument("--limit", type=int, default=0, help="first N Wine files only (0: all)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--bound", type=float, default=10.0)
    ap.add_argument("--max-report", type=int, default=60)
    ap.add_argument("--generated", help="folder in which to build the generated DLLs")
    ap.add_argument("--selftest", action="store_true")
    args = ap.parse_args()
    if args.selftest:
        return selftest()
    readobj = find_readobj(args.readobj)
    if readobj is None:
        return kcorpus.skip("llvm-readobj not found")
    files = kcorpus.wine_pe_files()
    absent = 0
    if not files:
        absent = kcorpus.missing("Wine's PE folders are absent; only generated files are checked")
    if args.limit:
        files = files[:args.limit]
    if args.generated:
        files += build_generated(args.generated)
    if not files:
        return kcorpus.skip("nothing to compare")

    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = list(pool.map(lambda p: check_file(args.tool, readobj, p, args.bound), files))

    skipped = [r for r in results if "skipped" in r]
    checked = [r for r in results if "skipped" not in r]
    errors = [e for r in checked for e in r["errors"]]
    total = {k: sum(r.get(k, 0) for r in checked)
             for k in ("exports", "imports", "forwards", "delayed", "gaps", "fields",
                       "sections")}
    bad_files = sum(1 for r in checked if r["errors"])
    print(f"checked {len(checked)} files against {readobj}: {total['exports']} exports "
          f"({total['forwards']} forwarders), {total['imports']} imports "
          f"({total['delayed']} delay-loaded), {total['fields']} header fields, "
          f"{total['sections']} sections; {total['gaps']} empty ordinal slots not required")
    for r in skipped:
        print(f"skipped {r['path'].name}: the peer cannot read it ({r['skipped']})")
    for e in errors[:args.max_report]:
        print("MISMATCH " + e)
    if len(errors) > args.max_report:
        print(f"... and {len(errors) - args.max_report} more")
    print(f"mismatches: {len(errors)} in {bad_files} files")
    # An empty comparison proves nothing: the peer's output must have been understood.
    if total["exports"] == 0 or total["imports"] == 0:
        print("FAIL: no exports or no imports read from the peer; its format changed?")
        return 1
    return 1 if errors or absent else 0


if __name__ == "__main__":
    sys.exit(main())
