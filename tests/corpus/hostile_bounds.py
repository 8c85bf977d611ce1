#!/usr/bin/env python3
"""Hostile files built to make a dumper do far more work than the file is big.

Each input reuses one small table from many places, or declares counts no file can
hold. The tool must finish within the bound with exit 0 and a valid listing whose size
stays in proportion to the file: a walk that is not bounded by what the file can hold
shows up here as a timeout or as a listing out of all proportion.

  hostile_bounds.py TDUMP [--bound SECONDS] [--keep DIR]
"""
import argparse
import struct
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

BASE = 0x1000          # RVA of the one section
IMPORT, BOUND, DELAY, EXPORT, RESOURCE = 1, 11, 13, 0, 2
CLR = 14

# A listing may spend a few hundred bytes on each table entry the file holds; beyond
# that ratio something is being listed more often than the file can account for.
RATIO, SLACK = 128, 1 << 20


def image(body, dirs):
    """A PE32+ DLL with one read-write section at BASE holding `body`."""
    dos = bytearray(0x80)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x80)
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x8664, 1, 0, 0, 0, 240, 0x2022)
    opt = bytearray(240)
    raw = (len(body) + 0x1FF) & ~0x1FF
    struct.pack_into("<HBBIII", opt, 0, 0x20B, 14, 0, raw, 0, 0)
    struct.pack_into("<II", opt, 16, BASE, BASE)
    struct.pack_into("<QII", opt, 24, 0x180000000, 0x1000, 0x200)
    struct.pack_into("<HH", opt, 48, 6, 0)
    struct.pack_into("<II", opt, 56, BASE + ((raw + 0xFFF) & ~0xFFF), 0x400)
    struct.pack_into("<HH", opt, 68, 3, 0x160)
    struct.pack_into("<I", opt, 108, 16)
    for index, (rva, size) in dirs.items():
        struct.pack_into("<II", opt, 112 + 8 * index, rva, size)
    section = struct.pack("<8sIIIIIIHHI", b".data", raw, BASE, raw, 0x400, 0, 0, 0, 0,
                          0xC0000040)
    head = bytes(dos) + coff + bytes(opt) + section
    return head.ljust(0x400, b"\0") + bytes(body).ljust(raw, b"\0")


def shared_import_thunks(delayed=False):
    """Many descriptors, one long thunk list: descriptors x thunks lines if unbounded."""
    count, thunks = 1500, 3000
    width = 32 if delayed else 20
    body = bytearray(width * (count + 1) + 8 * (thunks + 1) + 32)
    table = BASE + width * (count + 1)
    name = table + 8 * (thunks + 1)
    for i in range(count):
        if delayed:
            struct.pack_into("<8I", body, width * i, 1, name + 16, 0, table, table, 0, 0, 0)
        else:
            struct.pack_into("<5I", body, width * i, table, 0, 0, name + 16, table)
    for k in range(thunks):
        struct.pack_into("<Q", body, table - BASE + 8 * k, name)
    body[name - BASE:name - BASE + 24] = b"\0\0Func\0\0\0\0\0\0\0\0\0\0evil.dll"
    return image(body, {DELAY if delayed else IMPORT: (BASE, width * count)})


def export_counts_past_the_file():
    """NumberOfFunctions and NumberOfNames of 0xFFFFFFFF in a 32 KB file."""
    body = bytearray(0x8000)
    struct.pack_into("<IIHHIIIIIII", body, 0, 0, 0, 0, 0, BASE + 0x7F00, 1, 0xFFFFFFFF,
                     0xFFFFFFFF, BASE + 0x100, BASE + 0x4000, BASE + 0x6000)
    for i in range(0x3F00 // 4):
        struct.pack_into("<I", body, 0x100 + 4 * i, BASE + 0x7F00)
    body[0x7F00:0x7F04] = b"nm\0\0"
    return image(body, {EXPORT: (BASE, 0x8000)})


def forwarders_into_an_unterminated_string():
    """Every address-table entry a forwarder, all to one string that never ends."""
    body = bytearray(b"A" * 0x8000)
    struct.pack_into("<IIHHIIIIIII", body, 0, 0, 0, 0, 0, BASE + 0x7F00, 1, 3000, 0,
                     BASE + 0x100, 0, 0)
    for i in range(3000):
        struct.pack_into("<I", body, 0x100 + 4 * i, BASE + 0x3000)
    return image(body, {EXPORT: (BASE, 0x8000)})


def bound_imports_pointing_at_themselves():
    """Bound-import entries in the headers, as linkers place them, each claiming 65535
    forwarder references, with every name offset pointing back into the table."""
    data = bytearray(image(b"\0" * 0x200, {BOUND: (0x200, 0x200)}))
    for i in range(0x200 // 8 - 1):
        struct.pack_into("<IHH", data, 0x200 + 8 * i, 0x12345678, 8 * (i % 4), 0xFFFF)
    return bytes(data)


def bound_imports_into_the_zero_fill():
    """A bound-import module claiming 65535 forwarder references in an image with no
    sections and a header area of 2 GB: past the file, the loader's zero fill reads on."""
    data = bytearray(image(b"\0" * 0x200, {BOUND: (0x200, 8)}))
    struct.pack_into("<H", data, 0x80 + 6, 0)                    # no sections
    struct.pack_into("<II", data, 0x80 + 24 + 56, 0x80000000, 0x7FFF0000)  # SizeOfImage, SizeOfHeaders
    struct.pack_into("<IHH", data, 0x200, 0x12345678, 0x1F8, 0xFFFF)
    return bytes(data)


def sections_past_the_headers():
    """65535 sections declared, with the table cut off by the end of the file."""
    data = bytearray(image(b"\0" * 0x200, {}))
    struct.pack_into("<H", data, 0x80 + 6, 0xFFFF)
    return bytes(data)


def resources_sharing_one_subtree():
    """Every type entry leads to one directory, every name to one, every language to one
    data entry: a message table whose blocks all cover the same long run of messages."""
    n, blocks, messages = 3000, 500, 2000
    level = 16 + 8 * n
    types, names, entry = level, 2 * level, 3 * level
    table = entry + 16
    first = table + 4 + 12 * blocks
    body = bytearray(first + 8 * messages)
    for at, target in ((0, 0x80000000 | types), (types, 0x80000000 | names), (names, entry)):
        struct.pack_into("<HH", body, at + 12, 0, n)
        for i in range(n):
            struct.pack_into("<II", body, at + 16 + 8 * i, 11 if at == 0 else i + 1, target)
    struct.pack_into("<II", body, entry, BASE + table, len(body) - table)
    struct.pack_into("<I", body, table, blocks)
    for b in range(blocks):
        struct.pack_into("<III", body, table + 4 + 12 * b, 1, messages, first - table)
    for m in range(messages):
        body[first + 8 * m:first + 8 * m + 8] = b"\x08\x00\x00\x00x\r\n\0"
    return image(body, {RESOURCE: (BASE, len(body))})
def clr_overlapping_member_lists():
    """A .NET assembly whose 8000 types take turns claiming all 8000 methods, nest in each
    other in a loop and derive from a type signature that is a generic instance of itself."""
    types = methods = 8000
    strings = b"\0A\0"
    blob = b"\0" + b"\x03\x00\x00\x01" + b"\x06\x15\x12\x06\x01\x13\x00"
    valid = 1 << 2 | 1 << 6 | 1 << 0x1B | 1 << 0x29
    tables = struct.pack("<IBBBBQQ", 0, 2, 0, 0, 1, valid, 0)
    tables += struct.pack("<IIII", types, methods, 1, 2)
    for i in range(types):
        tables += struct.pack("<IHHHHH", 0x100001, 1, 0, 1 << 2 | 2, 1, 1 if i % 2 == 0 else methods)
    tables += struct.pack("<IHHHHH", 0, 0, 0, 1, 1, 1) * methods
    tables += struct.pack("<H", 5)
    tables += struct.pack("<HHHH", 1, 2, 2, 1)
    version = b"v4.0.30319\0\0"
    streams = [(b"#~", tables), (b"#Strings", strings), (b"#Blob", blob)]
    head_size = 16 + len(version) + 4 + sum(8 + ((len(n) + 4) & ~3) for n, _ in streams)
    root = struct.pack("<IHHII", 0x424A5342, 1, 1, 0, len(version)) + version + struct.pack("<HH", 0, len(streams))
    data, at = b"", head_size
    for name, body in streams:
        body = body + b"\0" * (-len(body) % 4)
        root += struct.pack("<II", at, len(body)) + name + b"\0" * (4 - len(name) % 4)
        data += body
        at += len(body)
    metadata = root + data
    header = struct.pack("<IHHIIII", 72, 2, 5, BASE + 72, len(metadata), 1, 0).ljust(72, b"\0")
    return image(header + metadata, {CLR: (BASE, 72)})


CASES = {
    "shared-import-thunks": lambda: shared_import_thunks(False),
    "shared-delay-thunks": lambda: shared_import_thunks(True),
    "export-counts-past-the-file": export_counts_past_the_file,
    "forwarders-unterminated": forwarders_into_an_unterminated_string,
    "bound-imports-self-loop": bound_imports_pointing_at_themselves,
    "bound-imports-into-zero-fill": bound_imports_into_the_zero_fill,
    "sections-past-the-headers": sections_past_the_headers,
    "resources-sharing-one-subtree": resources_sharing_one_subtree,
    "clr-overlapping-member-lists": clr_overlapping_member_lists,
}


def write_all(folder):
    """Writes every case to `folder`; returns the paths."""
    paths = []
    for name, build in CASES.items():
        path = folder / f"{name}.dll"
        path.write_bytes(build())
        paths.append(path)
    return paths


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--bound", type=float, default=5.0)
    ap.add_argument("--keep", help="write the inputs here and leave them")
    args = ap.parse_args()
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(args.keep or tmp)
        folder.mkdir(parents=True, exist_ok=True)
        for name, path in zip(CASES, write_all(folder)):
            run = kcorpus.run_tool(args.tool, path, args.bound)
            size = path.stat().st_size
            problems = run.problems()
            if not run.timed_out and len(run.stdout) > RATIO * size + SLACK:
                problems.append(f"listing of {len(run.stdout)} bytes for a {size}-byte file")
            print(f"{name}: {size} bytes in, {len(run.stdout)} out, {run.seconds * 1000:.0f} ms"
                  + ("" if not problems else "  <- " + "; ".join(problems)))
            failures += [f"{name}: {p}" for p in problems]
    for f in failures:
        print("FAIL " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
