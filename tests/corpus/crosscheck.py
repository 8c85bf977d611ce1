#!/usr/bin/env python3
"""Cross-checks tdump's JSON (--json) against llvm-readobj on Wine's PE files.

For every export llvm-readobj reports (ordinal, name, RVA or forward target) our Exports
part must hold one row with all of them; for every import (DLL, name or ordinal, IAT slot)
one function row with them under that DLL, in Imports or, when delay-loaded, in
DelayImports. Header fields, data directories and section rows must hold the peer's values.

  crosscheck.py TDUMP [--readobj PATH] [--limit N] [--jobs N] [--selftest]
"""
import argparse
import copy
import json
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

# ---------------------------------------------------------------- our JSON


class Ours:
    """Our --json object, indexed the way the peer's records look things up."""

    def __init__(self, obj):
        parts = obj.get("parts", {})
        self.exports = {}
        for row in parts.get("Exports", {}).get("exports", []):
            self.exports.setdefault(row.get("ordinal"), []).append(row)
        # Functions by (delay-loaded?, DLL name in lower case); a DLL named twice adds up.
        self.imports = {}
        for delayed, part in ((False, "Imports"), (True, "DelayImports")):
            for dll in parts.get(part, {}).get("dlls", []):
                key = (delayed, dll.get("name", "").lower())
                self.imports.setdefault(key, []).extend(dll.get("functions", []))
        self.headers = {block: parts.get(part, {}) for block, part in HEADER_PART.items()}
        self.directories = {d.get("index"): d for d in
                            parts.get("Directories", {}).get("directories", [])}
        self.sections = {s.get("index"): s for s in parts.get("Sections", {}).get("sections", [])}


# Where each of the peer's header blocks is in ours.
HEADER_PART = {"DOSHeader": "Dos", "ImageFileHeader": "Coff", "ImageOptionalHeader": "Optional"}
# The peer's section values under our keys.
SECTION_KEY = {"VirtualSize": "VirtualSize", "VirtualAddress": "VirtualAddress",
               "RawDataSize": "SizeOfRawData", "PointerToRawData": "PointerToRawData",
               "Characteristics": "Characteristics"}

# ---------------------------------------------------------------- matching


def shown(rows):
    """Our rows that were looked at, for the report."""
    return " | ".join(json.dumps(r, sort_keys=True) for r in rows[:2]) or "nothing there"


def check_export(ours, e):
    rows = ours.exports.get(e.ordinal, [])
    for r in rows:
        if r.get("name", "") != e.name:
            continue
        if e.forward is not None:
            if r.get("forwarder") == e.forward:
                return None
        elif r.get("rva") == e.rva and "forwarder" not in r:
            return None
    return shown(rows)


def check_import(ours, i):
    rows = ours.imports.get((i.delayed, i.dll.lower()), [])
    for r in rows:
        if r.get("slotRva") != i.slot:
            continue
        if (r.get("name") == i.name) if i.name else \
                (r.get("ordinal") == i.ordinal and "name" not in r):
            return None
    return shown([r for r in rows if r.get("slotRva") == i.slot]) if rows else \
        f"no {'delay-load ' if i.delayed else ''}DLL {i.dll}"


def check_field(ours, f):
    part = ours.headers[f.block]
    if part.get(f.ours) == f.value:
        return None
    return f"{f.ours} = {part[f.ours]}" if f.ours in part else f"no key {f.ours}"


def check_directory(ours, index, rva, size, count):
    if index >= count or (rva == 0 and size == 0):
        return None  # past the table the file declares, or empty: nothing to find
    row = ours.directories.get(index)
    if row is not None and row.get("rva") == rva and row.get("size") == size:
        return None
    return shown([row] if row else [])


def check_section(ours, sec):
    row = ours.sections.get(sec.number)
    if row is not None and row.get("name") == sec.name and \
            all(row.get(SECTION_KEY[k]) == v for k, v in sec.values.items()):
        return None
    return shown([row] if row else [])


def check_file(readobj, path, obj, problems):
    view, err = peer_view(readobj, path)
    if view is None:
        return {"path": path, "skipped": err}
    (exports, imports), (fields, directories, sections) = view
    if problems:
        return {"path": path, "errors": [f"{path.name}: tool run: {p}" for p in problems],
                "exports": len(exports), "imports": len(imports)}
    ours = Ours(obj)
    errors = []
    # An address-table slot holding 0 with no name is a gap in the ordinal range, not an
    # export: the loader refuses it, and a listing need not show it.
    gaps = [e for e in exports if e.rva == 0 and not e.name and e.forward is None]
    exports = [e for e in exports if e not in gaps]
    for e in exports:
        got = check_export(ours, e)
        if got is not None:
            errors.append(f"{path.name}: readobj {e}; ours: {got}")
    for i in imports:
        got = check_import(ours, i)
        if got is not None:
            errors.append(f"{path.name}: readobj {i}; ours: {got}")
    for f in fields:
        got = check_field(ours, f)
        if got is not None:
            errors.append(f"{path.name}: readobj {f}; ours: {got}")
    declared = next((f.value for f in fields if f.key == "NumberOfRvaAndSize"), 16)
    for index, rva, size in directories:
        got = check_directory(ours, index, rva, size, declared)
        if got is not None:
            errors.append(f"{path.name}: readobj directory {index} RVA {rva:#x} size {size:#x}; "
                          f"ours: {got}")
    for sec in sections:
        got = check_section(ours, sec)
        if got is not None:
            errors.append(f"{path.name}: readobj {sec}; ours: {got}")
    return {"path": path, "errors": errors, "exports": len(exports), "imports": len(imports),
            "fields": len(fields), "sections": len(sections),
            "gaps": len(gaps), "forwards": sum(1 for e in exports if e.forward),
            "delayed": sum(1 for i in imports if i.delayed)}


def check_batch(tool, readobj, paths, bound):
    """One tdump run for the batch, then the peer file by file."""
    ours = {path: (obj, problems) for path, obj, problems in kcorpus.run_json(tool, paths, bound)}
    return [check_file(readobj, path, *ours.get(path, (None, ["no JSON object for it"])))
            for path in paths]

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


SAMPLE_GOOD = {"parts": {
    "Imports": {"dlls": [{"name": "KERNEL32.dll", "functions": [
        {"slotRva": 0x3000, "hint": 532, "name": "GetProcAddress"},
        {"slotRva": 0x3008, "ordinal": 17}]}]},
    "DelayImports": {"dlls": [{"name": "USER32.dll", "functions": [
        {"slotRva": 0x5100, "hint": 0, "name": "MessageBoxW"}]}]},
    "Exports": {"exports": [
        {"ordinal": 1, "hint": 0, "rva": 0x1010, "name": "alpha"},
        {"ordinal": 2, "hint": 1, "rva": 0x2040, "name": "beta",
         "forwarder": "NTDLL.RtlAllocateHeap"},
        {"ordinal": 3, "rva": 0x1020, "noName": True},
        {"ordinal": 4, "hint": 2, "rva": 0x1030, "name": "?Do@<Impl>@@YAXP6AJPEAX@Z0@Z"}]}}}

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


SAMPLE_HEADER_GOOD = {"parts": {
    "Coff": {"Machine": 0x8664, "NumberOfSections": 1},
    "Optional": {"AddressOfEntryPoint": 0x1370, "SizeOfImage": 20480, "DllCharacteristics": 0x160},
    "Directories": {"directories": [{"index": 0, "name": "Export", "rva": 0x2000, "size": 0x40},
                                    {"index": 1, "name": "Import", "rva": 0, "size": 0}]},
    "Sections": {"sections": [{"index": 1, "name": ".text", "VirtualSize": 0x120,
                               "VirtualAddress": 0x1000, "SizeOfRawData": 0x200,
                               "PointerToRawData": 0x400, "Characteristics": 0x60000020}]}}}


def changed(obj, edit):
    """A deep copy of `obj` with `edit` applied to its parts."""
    obj = copy.deepcopy(obj)
    edit(obj["parts"])
    return obj


def selftest():
    """The matcher must accept a right object and reject each kind of wrong value."""
    exports, imports = parse_readobj(SAMPLE_READOBJ, 8)
    assert [str(e) for e in exports] == [
        "export #1 alpha RVA 0x1010", "export #2 beta -> NTDLL.RtlAllocateHeap",
        "export #3 (no name) RVA 0x1020",
        "export #4 ?Do@<Impl>@@YAXP6AJPEAX@Z0@Z RVA 0x1030"], exports
    assert [str(i) for i in imports] == [
        "import KERNEL32.dll!GetProcAddress IAT slot 0x3000",
        "import KERNEL32.dll!ordinal 17 IAT slot 0x3008",
        "delay import USER32.dll!MessageBoxW IAT slot 0x5100"], imports

    def failures(obj):
        ours = Ours(obj)
        return ([str(e) for e in exports if check_export(ours, e) is not None]
                + [str(i) for i in imports if check_import(ours, i) is not None])

    def exp(k):
        return lambda p: p["Exports"]["exports"][k]

    def imp(k):
        return lambda p: p["Imports"]["dlls"][0]["functions"][k]

    def move_delayed(p):
        p["Imports"]["dlls"] += p.pop("DelayImports")["dlls"]

    assert failures(SAMPLE_GOOD) == [], failures(SAMPLE_GOOD)
    wrong = {
        "RVA off by one": lambda p: exp(0)(p).update(rva=0x1011),
        "ordinal": lambda p: exp(0)(p).update(ordinal=11),
        "forward target": lambda p: exp(1)(p).update(forwarder="NTDLL.RtlFreeHeap"),
        "IAT slot": lambda p: imp(1)(p).update(slotRva=0x3010),
        "imports under another DLL": lambda p: p["Imports"]["dlls"][0].update(name="USER32.dll"),
        "a delay-load import among the others": move_delayed,
        "unnamed export's RVA": lambda p: exp(2)(p).update(rva=0x1024),
        "one letter of a decorated name":
            lambda p: exp(3)(p).update(name="?Do@<Impl>@@YAXP6AJPEBX@Z0@Z"),
    }
    for what, edit in wrong.items():
        got = failures(changed(SAMPLE_GOOD, edit))
        assert len(got) >= 1, f"matcher accepted an object with a wrong {what}"
    # The name on one row and the RVA on another are not one export.
    def split_alpha(p):
        p["Exports"]["exports"][0:1] = [{"ordinal": 1, "name": "alpha"},
                                        {"ordinal": 1, "rva": 0x1010}]

    split = changed(SAMPLE_GOOD, split_alpha)
    assert failures(split) == ["export #1 alpha RVA 0x1010"], failures(split)
    # Headers, directories and sections: values as the peer prints them, keys as ours.
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

    def header_failures(obj):
        ours = Ours(obj)
        return ([str(f) for f in fields if check_field(ours, f) is not None]
                + [str(d) for d in dirs if check_directory(ours, *d, 16) is not None]
                + [str(x) for x in sections if check_section(ours, x) is not None])

    assert header_failures(SAMPLE_HEADER_GOOD) == [], header_failures(SAMPLE_HEADER_GOOD)

    def sec(p):
        return p["Sections"]["sections"][0]

    header_wrong = {
        "entry point": lambda p: p["Optional"].update(AddressOfEntryPoint=0x1371),
        "DLL characteristics": lambda p: p["Optional"].update(DllCharacteristics=0x161),
        "directory size": lambda p: p["Directories"]["directories"][0].update(size=0x41),
        "section size": lambda p: sec(p).update(VirtualSize=0x121),
        "section raw size": lambda p: sec(p).update(SizeOfRawData=0x400),
        "machine": lambda p: p["Coff"].update(Machine=0x14C),
        "section number": lambda p: sec(p).update(index=2),
    }
    for what, edit in header_wrong.items():
        assert header_failures(changed(SAMPLE_HEADER_GOOD, edit)), \
            f"matcher accepted a wrong {what}"
    print(f"selftest: matcher accepts the right object and rejects "
          f"{len(wrong) + 1 + len(header_wrong)} kinds of wrong one")
    return 0

# ---------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool", nargs="?")
    ap.add_argument("--readobj")
    ap.add_argument("--limit", type=int, default=0, help="first N Wine files only (0: all)")
    ap.add_argument("--sample", type=int, default=0, help="a fixed draw of N Wine files (0: all)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--bound", type=float, default=10.0, help="seconds per file")
    ap.add_argument("--batch", type=int, default=20, help="files per tdump run")
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
    files = kcorpus.sample_files(files, args.sample)
    if args.generated:
        files += build_generated(args.generated)
    if not files:
        return kcorpus.skip("nothing to compare")

    batches = [files[i:i + args.batch] for i in range(0, len(files), args.batch)]
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = [r for rs in pool.map(lambda b: check_batch(args.tool, readobj, b, args.bound),
                                        batches) for r in rs]

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
