#!/usr/bin/env python3
"""Cross-checks the function table and base relocations of tdump's JSON (--json) against
llvm-readobj.

For every runtime function llvm-readobj --unwind reports, our Exception part must
have a row for the same start with the same end, unwind information RVA, version, flags,
prolog size, code count, frame register and offset, handler and chained entry (x64), or
the same length and unwind record (ARM64). For every block of llvm-readobj
--coff-basereloc (its entries grouped by page, in order), our Relocations part must
have a row with the page, the entry count and the count of each type.

  crosscheck_unwind_reloc.py TDUMP [--readobj PATH] [--generated DIR] [--seeds-out DIR]
                             [--jobs N] [--batch N] [--selftest]
"""
import argparse
import copy
import re
import shutil
import struct
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import crosscheck  # noqa: E402
import kcorpus  # noqa: E402

# ---------------------------------------------------------------- the file's own facts


def image_facts(path):
    """Image base and whether the exception and relocation directories are set, or None."""
    with open(path, "rb") as f:
        data = f.read(4096)
    try:
        lfanew = struct.unpack_from("<I", data, 0x3C)[0]
        if data[lfanew:lfanew + 4] != b"PE\0\0":
            return None
        opt = lfanew + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        wide = magic == 0x20B
        base = struct.unpack_from("<Q" if wide else "<I", data, opt + (24 if wide else 28))[0]
        dirs = opt + (112 if wide else 96)
        count = struct.unpack_from("<I", data, dirs - 4)[0]
        exc = count > 3 and struct.unpack_from("<I", data, dirs + 3 * 8)[0] != 0
        rel = count > 5 and struct.unpack_from("<I", data, dirs + 5 * 8)[0] != 0
    except struct.error:
        return None
    return base, exc, rel

# ---------------------------------------------------------------- the peer's view


FLAGS_OPEN = re.compile(r"^Flags \[ \((0x[0-9A-Fa-f]+)\)$")
LAST_HEX = re.compile(r"\(?(0x[0-9A-Fa-f]+)\)?\s*$")


def number(text):
    m = LAST_HEX.search(text)
    if m:
        return int(m.group(1), 16)
    text = text.strip()
    return int(text) if text.isdigit() else text


def parse_unwind(text, base):
    """llvm-readobj --unwind as one dict per runtime function, addresses made RVAs."""
    functions, cur, stack = [], None, []
    for line in text.splitlines():
        s = line.strip()
        if s == "RuntimeFunction {" and not stack:
            cur, stack = {}, ["RuntimeFunction"]
            continue
        if cur is None:
            continue
        flags = FLAGS_OPEN.match(s)
        if flags:
            cur["Flags"] = int(flags.group(1), 16)
            stack.append("Flags")
            continue
        if s.endswith("{") or s.endswith("["):
            stack.append(s[:-1].strip())
            continue
        if s in ("}", "]"):
            stack.pop()
            if not stack:
                functions.append(cur)
                cur = None
            continue
        if ":" not in s or stack[-1] in ("UnwindCodes", "Prologue", "Opcodes", "Flags"):
            continue
        key, _, value = s.partition(":")
        if "Chained" in stack:
            key = "Chained" + key
        elif "EpilogueScopes" in stack:
            continue
        cur.setdefault(key, number(value))
    for f in functions:
        for key in ("StartAddress", "EndAddress", "UnwindInfoAddress", "Handler", "Function",
                    "ExceptionRecord", "ChainedStartAddress", "ChainedEndAddress",
                    "ChainedUnwindInfoAddress", "ExceptionHandler"):
            if isinstance(f.get(key), int):
                f[key] -= base
    return functions


def parse_basereloc(text):
    """llvm-readobj --coff-basereloc's entries grouped into blocks: (page, count, {type: n})."""
    blocks, kind = [], None
    for line in text.splitlines():
        s = line.strip()
        if s.startswith("Type:"):
            kind = s[5:].strip()
        elif s.startswith("Address:") and kind is not None:
            page = int(s[8:].strip(), 16) & ~0xFFF
            if not blocks or blocks[-1][0] != page:
                blocks.append((page, {}))
            blocks[-1][1][kind] = blocks[-1][1].get(kind, 0) + 1
            kind = None
    return [(page, sum(types.values()), types) for page, types in blocks]


def peer_view(readobj, path, facts):
    base, exc, rel = facts
    flags = (["--unwind"] if exc else []) + (["--coff-basereloc"] if rel else [])
    p = subprocess.run([readobj] + flags + [str(path)], capture_output=True, text=True,
                       check=False)
    if p.returncode != 0:
        return None, (p.stderr.strip().splitlines() or ["failed"])[-1]
    text = p.stdout
    cut = text.find("BaseReloc [")
    unwind = text if cut < 0 else text[:cut]
    return (parse_unwind(unwind, base) if exc else [],
            parse_basereloc(text[cut:]) if rel and cut >= 0 else []), None

# ---------------------------------------------------------------- our JSON


FLAG_BITS = {"EHANDLER": 1, "UHANDLER": 2, "CHAININFO": 4}
REG = {n: i for i, n in enumerate("RAX RCX RDX RBX RSP RBP RSI RDI R8 R9 R10 R11 R12 R13 R14 R15"
                                  .split())}


def our_functions(obj):
    """Our function rows by start RVA (a list: a damaged table can repeat a start), x64
    rows under the peer's keys and values, ARM64 rows as they are."""
    out = {}
    part = obj.get("parts", {}).get("Exception", {})
    for row in part.get("functions", []):
        if part.get("unwindKind") != "x64":
            out.setdefault(row.get("begin"), []).append(row)
            continue
        f = {"StartAddress": row.get("begin"), "EndAddress": row.get("end"),
             "UnwindInfoAddress": row.get("unwind"), "Version": row.get("version"),
             "Flags": sum(FLAG_BITS.get(w, 0) for w in row.get("flags", [])),
             "PrologSize": row.get("prologSize"), "UnwindCodeCount": row.get("codeCount"),
             # The peer gives the offset in the format's units of 16 bytes.
             "FrameRegister": REG.get(row["frameRegister"], -1) if "frameRegister" in row else 0,
             "FrameOffset": row.get("frameOffset", 0) // 16}
        if "parentBegin" in row:
            f.update(ChainedStartAddress=row["parentBegin"], ChainedEndAddress=row.get("parentEnd"),
                     ChainedUnwindInfoAddress=row.get("parentUnwind"))
        elif "handler" in row:
            f["Handler"] = row["handler"]
        out.setdefault(f["StartAddress"], []).append(f)
    return out


def our_blocks(obj):
    return [(b.get("page"), b.get("entries"), {t.get("name"): t.get("count") for t in b.get("types", [])})
            for b in obj.get("parts", {}).get("Relocations", {}).get("blocks", [])]

# ---------------------------------------------------------------- matching


X64_KEYS = ("EndAddress", "UnwindInfoAddress", "Version", "Flags", "PrologSize",
            "UnwindCodeCount", "FrameRegister", "FrameOffset", "Handler", "ChainedStartAddress",
            "ChainedEndAddress", "ChainedUnwindInfoAddress")


def check_function(ours, peer):
    """None when one of our lines for the peer's start has all its values."""
    start = peer.get("StartAddress", peer.get("Function"))
    lines = ours.get(start) or [None]
    first = None
    for mine in lines:
        why = check_one(mine, peer)
        if why is None:
            return None
        first = first or why
    return first


def check_one(mine, peer):
    if "StartAddress" in peer:
        start = peer["StartAddress"]
        if mine is None or "Version" not in mine:
            return f"function {start:#x}: no row"
        want = dict(peer)
        # "RBP (0x5)" reads as its number; "-" (no frame register) as 0, like ours.
        for key in ("FrameRegister", "FrameOffset"):
            want[key] = peer.get(key) if isinstance(peer.get(key), int) else 0
        diffs = [f"{k} {want[k]!r} vs ours {mine.get(k)!r}" for k in X64_KEYS
                 if k in want and want[k] != mine.get(k)]
        diffs += [f"{k} ours {mine[k]!r}, the peer has none" for k in ("Handler", "ChainedStartAddress")
                  if k in mine and k not in want]
        return f"function {start:#x}: " + "; ".join(diffs) if diffs else None
    start = peer.get("Function")
    if mine is None or "length" not in mine:
        return f"function {start:#x}: no row"
    length = peer.get("FunctionLength")
    if length != mine["length"]:
        return f"function {start:#x}: length {length} vs ours {mine['length']}"
    if "ExceptionRecord" in peer:
        if mine.get("kind") == "packed" or mine.get("unwind") != peer["ExceptionRecord"]:
            return f"function {start:#x}: record {peer['ExceptionRecord']:#x} vs ours {mine}"
        scopes = peer.get("EpilogueScopes") if peer.get("EpiloguePacked") == "No" else None
        code_words = peer.get("ByteCodeLength", 0) // 4
        if mine.get("version") != peer.get("Version") or \
                mine.get("X") != (peer.get("ExceptionData") == "Yes") or \
                (scopes is not None and mine.get("epilogCount") != scopes) or \
                mine.get("codeWords") != code_words:
            return f"function {start:#x}: record fields differ: peer {peer}; ours {mine}"
    elif mine.get("kind") != "packed":
        return f"function {start:#x}: packed with the peer; ours {mine}"
    return None


def check_blocks(ours, peer):
    errors, index = [], {}
    for page, count, types in ours:
        index.setdefault(page, []).append((count, types))
    for page, count, types in peer:
        got = index.get(page, [])
        if not any(c == count and t == types for c, t in got):
            errors.append(f"block page {page:#x}: {count} entries {types}; ours {got or 'no line'}")
    return errors


def wanted(path):
    facts = image_facts(path)
    return facts if facts is not None and (facts[1] or facts[2]) else None


def check_file(readobj, path, obj, problems):
    facts = wanted(path)
    if facts is None:
        return {"path": path, "skipped": None}
    view, err = peer_view(readobj, path, facts)
    if view is None:
        return {"path": path, "skipped": err}
    functions, blocks = view
    if problems:
        return {"path": path, "errors": [f"{path.name}: tool run: {p}" for p in problems]}
    ours = our_functions(obj)
    errors = [f"{path.name}: {e}" for e in (check_function(ours, f) for f in functions) if e]
    errors += [f"{path.name}: {e}" for e in check_blocks(our_blocks(obj), blocks)]
    return {"path": path, "errors": errors, "functions": len(functions), "blocks": len(blocks),
            "entries": sum(b[1] for b in blocks),
            "handlers": sum(1 for f in functions if "Handler" in f),
            "chained": sum(1 for f in functions if "ChainedStartAddress" in f),
            "arm": sum(1 for f in functions if "Function" in f)}

def check_batch(tool, readobj, paths, bound):
    """One tdump run for the files of the batch that have one of the parts, then the peer."""
    got = {path: (obj, problems) for path, obj, problems in
           kcorpus.run_json(tool, [p for p in paths if wanted(p)], bound)}
    return [check_file(readobj, path, *got.get(path, ({}, []))) for path in paths]

# ---------------------------------------------------------------- generated inputs

# Wine's DLLs have neither handlers nor chained entries, no 32-bit relocations and no
# ARM64 code. These bring them: an x64 DLL from C and assembly (a chained entry, a
# handler with both flags, a frame register with an offset), a mingw-w64 C++ DLL (the
# personality routine as handler), an x86 DLL (HIGHLOW relocations) and an ARM64 DLL.
GEN_C = """
#ifdef __i386__
void _chkstk(void) {}  /* the stack probe large frames call, "__chkstk" once decorated */
#else
void __chkstk(void) {}
#endif
int ext(int x) { return x + 1; }
int leaf(int x) { return x * 3; }
int frame(int n) { volatile char buf[200]; buf[n] = 1; return buf[n / 2] + ext(n); }
int bigframe(int n) { volatile char buf[70000]; buf[n] = 1; return buf[n / 3] + ext(n) + ext(n + 1); }
int (*table[])(int) = { ext, leaf, frame, bigframe };
"""
GEN_ASM = """
  .text
  .globl handler_fn
handler_fn:
  xor %eax, %eax
  ret
  .globl chained_fn
  .seh_proc chained_fn
chained_fn:
  push %rbp
  .seh_pushreg %rbp
  mov %rsp, %rbp
  .seh_setframe %rbp, 0
  .seh_endprologue
  nop
  .seh_startchained
  push %rbx
  .seh_pushreg %rbx
  .seh_endprologue
  nop
  .seh_endchained
  pop %rbx
  pop %rbp
  ret
  .seh_endproc
  .globl guarded_fn
  .seh_proc guarded_fn
guarded_fn:
  push %rsi
  .seh_pushreg %rsi
  sub $0x1000, %rsp
  .seh_stackalloc 0x1000
  lea 0x20(%rsp), %rbp
  .seh_setframe %rbp, 0x20
  .seh_endprologue
  .seh_handler handler_fn, @except, @unwind
  nop
  add $0x1000, %rsp
  pop %rsi
  ret
  .seh_handlerdata
  .long 0x12345678
  .text
  .seh_endproc
"""
GEN_CPP = """
#include <stdexcept>
extern "C" __declspec(dllexport) int thrower(int x) {
  if (x > 3) throw std::runtime_error("big");
  return x;
}
extern "C" __declspec(dllexport) int catcher(int x) {
  try { return thrower(x); } catch (const std::exception&) { return -1; }
}
"""


def build_generated(work):
    """The generated DLLs that could be built (each needs its own tools)."""
    work = Path(work)
    work.mkdir(parents=True, exist_ok=True)
    (work / "gen.c").write_text(GEN_C)
    (work / "gen.s").write_text(GEN_ASM)
    (work / "gen.cpp").write_text(GEN_CPP)
    link = ["lld-link", "/dll", "/noentry", "/nodefaultlib", "/export:frame", "/export:bigframe"]
    plans = {
        "unwind64.dll": [
            ["clang", "--target=x86_64-pc-windows-msvc", "-O1", "-c", "gen.c", "-o", "gen64.obj"],
            ["clang", "--target=x86_64-pc-windows-msvc", "-c", "gen.s", "-o", "genasm.obj"],
            link + ["/machine:x64", "/export:chained_fn", "/export:guarded_fn",
                    "/out:unwind64.dll", "gen64.obj", "genasm.obj"]],
        "reloc32.dll": [
            ["clang", "--target=i686-pc-windows-msvc", "-O1", "-c", "gen.c", "-o", "gen32.obj"],
            link + ["/machine:x86", "/out:reloc32.dll", "gen32.obj"]],
        "unwind_arm64.dll": [
            ["clang", "--target=aarch64-pc-windows-msvc", "-O1", "-c", "gen.c", "-o", "genarm.obj"],
            link + ["/machine:arm64", "/out:unwind_arm64.dll", "genarm.obj"]],
        "eh_mingw64.dll": [
            ["x86_64-w64-mingw32-g++", "-shared", "-O1", "-static-libgcc", "-static-libstdc++",
             "-o", "eh_mingw64.dll", "gen.cpp"]],
    }
    out = []
    for name, steps in plans.items():
        missing = sorted({s[0] for s in steps if not shutil.which(s[0])})
        if missing:
            print(f"note: {', '.join(missing)} not found; {name} is skipped")
            continue
        for cmd in steps:
            p = subprocess.run(cmd, cwd=work, capture_output=True, text=True, check=False)
            if p.returncode != 0:
                raise SystemExit(f"building {name} failed: {' '.join(cmd)}\n{p.stderr}")
        out.append(work / name)
    return out

def rol(v, n):
    n &= 31
    return ((v << n) | (v >> (32 - n))) & 0xFFFFFFFF if n else v


def with_rich_and_overlay(src, dest):
    """A copy of `src` with a Rich header before its PE header (the PE header moves up)
    and bytes appended past its sections: a fuzzing seed for the two parts no free
    linker produces. The tools named are the linker, the C compiler and MASM."""
    data = bytearray(Path(src).read_bytes())
    lfanew = struct.unpack_from("<I", data, 0x3C)[0]
    nsec, optsize = struct.unpack_from("<H", data, lfanew + 6)[0], struct.unpack_from("<H", data, lfanew + 20)[0]
    headers = struct.unpack_from("<I", data, lfanew + 24 + 60)[0]
    pe = data[lfanew:lfanew + 24 + optsize + 40 * nsec]
    stub = (data[:min(lfanew, 0x80)] + bytes(0x80))[:0x80]
    tools = [(0x01020000 | 33145, 1), (0x01040000 | 33145, 12), (0x01030000 | 33145, 3), (0x00010000, 40)]
    key = 0x80
    for i in range(0x80):
        if not 0x3C <= i < 0x40:
            key = (key + rol(stub[i], i)) & 0xFFFFFFFF
    for cid, uses in tools:
        key = (key + rol(cid, uses)) & 0xFFFFFFFF
    rich = struct.pack("<4I", 0x536E6144 ^ key, key, key, key)
    rich += b"".join(struct.pack("<II", cid ^ key, uses ^ key) for cid, uses in tools)
    rich += b"Rich" + struct.pack("<I", key)
    head = stub + rich + bytes(-len(rich) % 16)
    struct.pack_into("<I", head, 0x3C, len(head))
    head += pe
    assert len(head) <= headers, "no room for the Rich header"
    out = head + bytes(headers - len(head)) + data[headers:] + b"PK\x05\x06 appended after the sections"
    Path(dest).write_bytes(out)
    return Path(dest)

# ---------------------------------------------------------------- self-test


SAMPLE_UNWIND = """
UnwindInformation [
  RuntimeFunction {
    StartAddress: f (0x180001000)
    EndAddress: (0x180001040)
    UnwindInfoAddress: .xdata (0x180003000)
    UnwindInfo {
      Version: 1
      Flags [ (0x3)
        ExceptionHandler (0x1)
        TerminateHandler (0x2)
      ]
      PrologSize: 13
      FrameRegister: RBP (0x5)
      FrameOffset: 0x2
      UnwindCodeCount: 4
      UnwindCodes [
        0x0D: SET_FPREG reg=RBP, offset=0x20
      ]
      Handler: h (0x180001100)
    }
  }
  RuntimeFunction {
    StartAddress: (0x180001040)
    EndAddress: (0x180001050)
    UnwindInfoAddress: (0x180003010)
    UnwindInfo {
      Version: 1
      Flags [ (0x4)
        ChainInfo (0x4)
      ]
      PrologSize: 1
      FrameRegister: -
      FrameOffset: -
      UnwindCodeCount: 1
      UnwindCodes [
      ]
      Chained {
        StartAddress: (0x180001000)
        EndAddress: (0x180001040)
        UnwindInfoAddress: (0x180003000)
      }
    }
  }
]
BaseReloc [
  Entry {
    Type: DIR64
    Address: 0x2008
  }
  Entry {
    Type: DIR64
    Address: 0x2010
  }
  Entry {
    Type: ABSOLUTE
    Address: 0x2000
  }
]
"""

SAMPLE_OURS = {"parts": {
    "Exception": {"unwindKind": "x64", "functions": [
        {"begin": 0x1000, "end": 0x1040, "unwind": 0x3000, "version": 1,
         "flags": ["EHANDLER", "UHANDLER"], "prologSize": 13, "codeCount": 4,
         "frameRegister": "RBP", "frameOffset": 0x20, "handler": 0x1100},
        {"begin": 0x1040, "end": 0x1050, "unwind": 0x3010, "version": 1, "flags": ["CHAININFO"],
         "prologSize": 1, "codeCount": 1, "parentBegin": 0x1000, "parentEnd": 0x1040,
         "parentUnwind": 0x3000}]},
    "Relocations": {"blocks": [
        {"page": 0x2000, "section": ".data", "entries": 3,
         "types": [{"name": "DIR64", "type": 10, "count": 2},
                   {"name": "ABSOLUTE", "type": 0, "count": 1}]}]}}}


def selftest():
    """The matcher must accept the right object and reject each kind of wrong value."""
    cut = SAMPLE_UNWIND.find("BaseReloc [")
    functions = parse_unwind(SAMPLE_UNWIND[:cut], 0x180000000)
    blocks = parse_basereloc(SAMPLE_UNWIND[cut:])
    assert [f["StartAddress"] for f in functions] == [0x1000, 0x1040], functions
    assert blocks == [(0x2000, 3, {"DIR64": 2, "ABSOLUTE": 1})], blocks

    def failures(obj):
        ours = our_functions(obj)
        return [e for e in (check_function(ours, f) for f in functions) if e] + \
            check_blocks(our_blocks(obj), blocks)

    def fn(k, **values):
        return lambda p: p["Exception"]["functions"][k].update(values)

    def block(**values):
        return lambda p: p["Relocations"]["blocks"][0].update(values)

    assert failures(SAMPLE_OURS) == [], failures(SAMPLE_OURS)
    wrong = {
        "end": fn(0, end=0x1041),
        "unwind RVA": fn(0, unwind=0x3004),
        "a flag lost": fn(0, flags=["EHANDLER"]),
        "prolog size": fn(0, prologSize=12),
        "code count": fn(0, codeCount=3),
        "frame offset": fn(0, frameOffset=0x30),
        "frame register": fn(0, frameRegister="RSI"),
        "handler": fn(0, handler=0x1104),
        "chained entry": fn(1, parentEnd=0x1044),
        "counts by type": block(types=[{"name": "DIR64", "type": 10, "count": 3}]),
        "page": block(page=0x3000),
    }
    for what, edit in wrong.items():
        obj = copy.deepcopy(SAMPLE_OURS)
        edit(obj["parts"])
        assert failures(obj), f"matcher accepted a wrong {what}"
    print(f"selftest: matcher accepts the right object and rejects {len(wrong)} kinds of wrong one")
    return 0

# ---------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool", nargs="?")
    ap.add_argument("--readobj")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--bound", type=float, default=10.0, help="seconds per file")
    ap.add_argument("--batch", type=int, default=20, help="files per tdump run")
    ap.add_argument("--sample", type=int, default=0, help="a fixed draw of N Wine files (0: all)")
    ap.add_argument("--max-report", type=int, default=60)
    ap.add_argument("--generated", help="folder in which to build the generated DLLs")
    ap.add_argument("--seeds-out", help="also write the small generated images here (fuzzing seeds)")
    ap.add_argument("--selftest", action="store_true")
    args = ap.parse_args()
    if args.selftest:
        return selftest()
    readobj = crosscheck.find_readobj(args.readobj)
    if readobj is None:
        return kcorpus.skip("llvm-readobj not found")
    files = kcorpus.sample_files(kcorpus.wine_pe_files(), args.sample)
    if args.generated:
        generated = build_generated(args.generated)
        files += generated
        if args.seeds_out:
            for p in generated:
                if p.stat().st_size <= 65536:
                    shutil.copy(p, Path(args.seeds_out) / p.name)
            small = [p for p in generated if p.name == "reloc32.dll"]
            if small:
                with_rich_and_overlay(small[0], Path(args.seeds_out) / "rich-overlay32.dll")
    if not files:
        return kcorpus.skip("nothing to compare")
    batches = [files[i:i + args.batch] for i in range(0, len(files), args.batch)]
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = [r for rs in pool.map(lambda b: check_batch(args.tool, readobj, b, args.bound),
                                        batches) for r in rs]
    checked = [r for r in results if "skipped" not in r]
    for r in results:
        if r.get("skipped"):
            print(f"skipped {r['path'].name}: the peer cannot read it ({r['skipped']})")
    errors = [e for r in checked for e in r["errors"]]
    total = {k: sum(r.get(k, 0) for r in checked)
             for k in ("functions", "handlers", "chained", "arm", "blocks", "entries")}
    print(f"checked {len(checked)} files against {readobj}: {total['functions']} runtime functions "
          f"({total['handlers']} with handlers, {total['chained']} chained, {total['arm']} ARM64), "
          f"{total['blocks']} relocation blocks of {total['entries']} entries")
    for e in errors[:args.max_report]:
        print("MISMATCH " + e)
    if len(errors) > args.max_report:
        print(f"... and {len(errors) - args.max_report} more")
    print(f"mismatches: {len(errors)} in {sum(1 for r in checked if r['errors'])} files")
    if total["functions"] == 0 or total["blocks"] == 0:
        print("FAIL: no functions or no relocation blocks read from the peer; its format changed?")
        return 1
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
