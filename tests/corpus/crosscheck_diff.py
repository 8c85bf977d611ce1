#!/usr/bin/env python3
"""`tdump --diff OLD NEW` against the peers. Pairs of DLLs built here with mingw-w64
(i686 and x86_64), each pair with one known change (an export removed, added, its
ordinal moved, a stdcall function given another argument, a forwarder retargeted, a
function made data, a new DLL imported, ASLR turned off, the version bumped, and a
rebuild that changes nothing a caller sees), and Wine's i386 and x86_64 builds of the
same DLLs. What should differ is worked out from llvm-readobj's exports, imports,
sections, symbols and header flags of the two files set against each other (and
objdump -p's forwarder targets, which llvm-readobj 14 does not print), never from
our own listing; the pairs built here must also show the change they were built with.
Two import libraries from dlltool (an export removed, one added) against ar's and
nm's members and symbols; two .NET assemblies from mcs with a public method removed.

  crosscheck_diff.py TDUMP [--work DIR] [--wine N] [--seeds-out DIR]"""
import struct
import argparse
import json
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

I386_DIR = Path("/usr/lib/i386-linux-gnu/wine/i386-windows")
# The pairs the closing report gives counts for, whatever the draw.
WINE_PAIRS = ["kernel32.dll", "msvcrt.dll", "user32.dll", "ws2_32.dll", "version.dll", "mshtml.dll"]

SOURCE = r"""
#include <windows.h>
#ifdef SHIFT
/* Code before the exports: their addresses move, nothing else does. */
static volatile int pad;
__attribute__((noinline)) void Unexported(int n) { while (n--) pad += n; }
#endif
#ifdef ARGS3
int __stdcall Add(int a, int b, int c) { return a + b + c; }
#else
int __stdcall Add(int a, int b) { return a + b; }
#endif
int __stdcall Sub(int a, int b) { return a - b; }
int Mul(int a, int b) {
#ifdef NEWDLL
  if (a == 12345) MessageBoxA(0, "m", "t", 0);
#endif
  return a * b;
}
int Counter = 1;
#ifdef DATA
int Thing = 3;
#else
int Thing(void) { return 3; }
#endif
int Extra(void) { return 7; }
"""

RC = """1 VERSIONINFO
FILEVERSION {v}
PRODUCTVERSION 1,2,0,0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904b0"
    BEGIN
      VALUE "FileVersion", "{dotted}"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
"""


def def_text(i386, args3=False, drop_sub=False, add_extra=False, mul_ordinal=3, fwd="kernel32.Sleep",
             thing_data=False):
    dec = (lambda name, n: f"{name} = {name}@{n}") if i386 else (lambda name, n: name)
    lines = ["LIBRARY base.dll", "EXPORTS", f"{dec('Add', 12 if args3 else 8)} @1"]
    if not drop_sub:
        lines.append(f"{dec('Sub', 8)} @2")
    lines += [f"Mul @{mul_ordinal}", "Counter @4 DATA", "Thing @5" + (" DATA" if thing_data else ""),
              f"Fwd = {fwd} @6", "Hidden = Mul @7 NONAME"]
    if add_extra:
        lines.append("Extra @8")
    return "\n".join(lines) + "\n"


# name: (defines, .def changes, link flags, file version, exit code, what tdump must show)
VARIANTS = {
    "identical": (["SHIFT"], {}, ["-Wl,--insert-timestamp"], "1,2,3,4", 0,
                  lambda d: d["verdict"] == "identical"),
    "removed": ([], {"drop_sub": True}, [], "1,2,3,4", 1,
                lambda d: [e.get("name") for e in d.get("exportsRemoved", [])] == ["Sub"]),
    "added": ([], {"add_extra": True}, [], "1,2,3,4", 0,
              lambda d: [e.get("name") for e in d.get("exportsAdded", [])] == ["Extra"]
              and d["verdict"] == "compatible"),
    "ordinal": ([], {"mul_ordinal": 9}, [], "1,2,3,4", 1,
                lambda d: any(e.get("name") == "Mul" and e["change"] == "ordinal" and e["newOrdinal"] == 9
                              for e in d.get("exportsChanged", []))),
    "args": (["ARGS3"], {"args3": True}, [], "1,2,3,4", 1,
             lambda d: [(e.get("name"), e["change"], e.get("oldArgBytes"), e.get("newArgBytes"))
                        for e in d.get("exportsChanged", [])] == [("Add", "argBytes", 8, 12)]),
    "forwarder": ([], {"fwd": "kernel32.SleepEx"}, [], "1,2,3,4", 1,
                  lambda d: [(e.get("name"), e.get("newForwarder")) for e in d.get("exportsChanged", [])]
                  == [("Fwd", "kernel32.SleepEx")]),
    "data": (["DATA"], {"thing_data": True}, [], "1,2,3,4", 1,
             lambda d: [(e.get("name"), e["change"]) for e in d.get("exportsChanged", [])]
             == [("Thing", "becameData")]),
    "newdll": (["NEWDLL"], {}, ["-luser32"], "1,2,3,4", 0,
               lambda d: [x.lower() for x in d.get("dllsAdded", [])] == ["user32.dll"]
               and [i.get("function") for i in d.get("importsAdded", [])] == ["MessageBoxA"]),
    "aslr": ([], {}, ["-Wl,--disable-dynamicbase"], "1,2,3,4", 0,
             lambda d: {"field": "aslr", "old": "yes", "new": "no"} in d.get("headers", [])),
    "version": ([], {}, [], "1,2,3,5", 0,
                lambda d: {"field": "fileVersion", "old": "1.2.3.4", "new": "1.2.3.5"} in d.get("headers", [])),
}


def build(work, triple, name, defines, def_changes, flags, version):
    i386 = triple.startswith("i686")
    d = work / triple / name
    d.mkdir(parents=True, exist_ok=True)
    (d / "base.c").write_text(SOURCE)
    (d / "base.def").write_text(def_text(i386, **def_changes))
    (d / "base.rc").write_text(RC.format(v=version, dotted=version.replace(",", ".")))
    subprocess.run([f"{triple}-windres", "base.rc", "-O", "coff", "-o", "base.res"], cwd=d, check=True)
    base_flags = ["-Wl,--no-insert-timestamp"] if "-Wl,--insert-timestamp" not in flags else []
    subprocess.run([f"{triple}-gcc", "-shared", "-O2", "-o", "base.dll", "base.c", "base.def", "base.res"]
                   + [f"-D{x}" for x in defines] + base_flags + flags, cwd=d, check=True)
    return d / "base.dll"


# ---- the oracle: llvm-readobj's (and objdump's) view of one file

def readobj(path):
    out = subprocess.run(["llvm-readobj", "--file-headers", "--sections", "--symbols", "--coff-exports",
                          "--coff-imports", str(path)], capture_output=True, text=True, errors="replace",
                         check=True).stdout
    info = {"flags": set(), "sections": [], "exports": [], "imports": set(), "dlls": set(), "symbols": []}
    block, cur = None, None
    for raw in out.splitlines():
        line = raw.strip()
        if line.endswith("{") and raw.startswith(("Export", "Import", "DelayImport", "  Section", "  Symbol")):
            block, cur = line[:-1].strip(), {}
            if block in ("Import", "DelayImport"):
                cur = {"dll": None}
            continue
        if line == "}" and raw in ("}", "  }") and cur is not None:
            if block == "DelayImport" and raw == "  }":
                continue  # the end of one of a delay-loaded DLL's functions, each a block of its own
            if block == "Export":
                info["exports"].append(cur)
            elif block == "Section":
                info["sections"].append(cur)
            elif block == "Symbol":
                info["symbols"].append(cur)
            block, cur = None, None
            continue
        if line.startswith("Machine:") and "machine" not in info:
            info["machine"] = line.split()[1]
        elif line.startswith("IMAGE_DLL_CHARACTERISTICS_"):
            info["flags"].add(line.split()[0][len("IMAGE_DLL_CHARACTERISTICS_"):])
        elif line.startswith("BaseRelocationTableRVA:"):
            info["relocs"] = int(line.split()[1], 16) != 0
        elif line.startswith("IMAGE_FILE_RELOCS_STRIPPED"):
            info["stripped"] = True
        elif line.startswith("MajorSubsystemVersion:"):
            info["subMajor"] = line.split()[1]
        elif line.startswith("MinorSubsystemVersion:"):
            info["subMinor"] = line.split()[1]
        elif line.startswith("Subsystem:"):
            info["subsystem"] = line.split()[1]
        elif cur is not None and ":" in line:
            key, _, value = line.partition(":")
            value = value.strip()
            if block == "Export":
                cur[key] = value
            elif block in ("Import", "DelayImport"):
                if key == "Name":
                    cur["dll"] = value
                    info["dlls"].add(value.lower())
                elif key == "Symbol":
                    m = re.match(r"^(.*) \((\d+)\)$", value)
                    fn = m.group(1).strip() if m else value
                    info["imports"].add((cur["dll"].lower(), fn if fn else "#" + m.group(2)))
            elif block in ("Section", "Symbol") and key not in cur:
                cur[key] = value
            elif block == "Section" and key == "Characteristics":
                pass
        elif block == "Section" and cur is not None and line.startswith("IMAGE_SCN_MEM_EXECUTE"):
            cur["exec"] = True
    # Forwarder targets, from objdump's export address table.
    fwd = {}
    dump = subprocess.run(["objdump", "-p", str(path)], capture_output=True, text=True, errors="replace",
                          check=True).stdout
    for m in re.finditer(r"\+base\[\s*(\d+)\]\s+[0-9a-f]+ Forwarder RVA -- (\S+)", dump):
        fwd[int(m.group(1))] = m.group(2)
    return info, fwd


def exports_of(path):
    info, fwd = readobj(path)
    i386 = info["machine"] == "IMAGE_FILE_MACHINE_I386"
    secs = []
    for s in info["sections"]:
        va = int(s["VirtualAddress"], 16)
        secs.append((s["Name"].split()[0], va, va + max(int(s["VirtualSize"], 16), int(s["RawDataSize"])),
                     s.get("exec", False)))
    # Argument bytes of i386 functions, from the symbols at their addresses: _name@N, or _name for cdecl.
    args = {}
    if i386:
        by_name = {s[0]: s[1] for s in secs}
        seen = {}
        for sym in info["symbols"]:
            name, sec = sym.get("Name", "").split(" ")[0], sym.get("Section", "").split(" ")[0]
            if sec not in by_name or not sym.get("StorageClass", "").startswith("External"):
                continue
            rva = by_name[sec] + int(sym["Value"])
            m = re.match(r"^_([A-Za-z]\w*)@(\d+)$", name)
            if m:
                seen.setdefault(rva, set()).add(int(m.group(2)))
            elif re.match(r"^_[A-Za-z]\w*$", name):
                seen.setdefault(rva, set()).add(0)
        args = {rva: next(iter(v)) for rva, v in seen.items() if len(v) == 1}
    out = []
    for e in info["exports"]:
        rva, ordinal = int(e["RVA"], 16), int(e["Ordinal"])
        if rva == 0 and not e.get("Name"):
            continue
        sec = next((s for s in secs if s[1] <= rva < s[2]), None)
        forward = fwd.get(ordinal, "")
        data = not forward and sec is not None and not sec[3]
        out.append({"ordinal": ordinal, "name": e.get("Name", ""), "forward": forward, "data": data,
                    "args": args.get(rva, -1) if not forward and not data else -1})
    return info, out


def fkey(f):
    dll, _, fn = f.rpartition(".")
    return dll.lower() + "." + fn


def expected(old_path, new_path):
    """The differences llvm-readobj's two views give, by the rules the comparison states:
    exports matched by name, an unnamed one by its ordinal (unless that ordinal now holds a
    function the old file had under its name elsewhere)."""
    oi, oe = exports_of(old_path)
    ni, ne = exports_of(new_path)
    onames = {e["name"]: e for e in reversed(oe) if e["name"]}
    nnames = {e["name"]: e for e in reversed(ne) if e["name"]}
    nord = {}
    for e in ne:
        nord.setdefault(e["ordinal"], []).append(e)
    removed, added, changed = set(), set(), set()
    retargeted = []  # forwarder changes to a new target (not to code of its own): they break callers

    def details(a, b):
        if fkey(a["forward"]) != fkey(b["forward"]):
            changed.add((a["name"], a["ordinal"], "forwarder"))
            retargeted.append(bool(b["forward"]))
        elif not a["forward"] and a["data"] != b["data"]:
            changed.add((a["name"], a["ordinal"], "becameData" if b["data"] else "becameFunction"))
        elif not a["forward"] and not a["data"] and a["args"] >= 0 and b["args"] >= 0 and a["args"] != b["args"]:
            changed.add((a["name"], a["ordinal"], "argBytes"))

    for a in oe:
        if a["name"]:
            if onames[a["name"]] is not a:
                continue
            b = nnames.get(a["name"])
            if b is not None:
                if a["ordinal"] != b["ordinal"]:
                    changed.add((a["name"], a["ordinal"], "ordinal"))
                details(a, b)
            elif any(not x["name"] for x in nord.get(a["ordinal"], [])):
                changed.add((a["name"], a["ordinal"], "nameDropped"))
            else:
                removed.add((a["ordinal"], a["name"]))
        else:
            here = nord.get(a["ordinal"], [])
            b = next((x for x in here if not x["name"]), None) or \
                next((x for x in here if x["name"] not in onames), None)
            if b is not None:
                details(a, b)
            else:
                removed.add((a["ordinal"], ""))
    oords = {e["ordinal"] for e in oe}
    for b in ne:
        if (b["name"] and nnames[b["name"]] is b and b["name"] not in onames) or (not b["name"] and b["ordinal"] not in oords):
            added.add((b["ordinal"], b["name"]))
    headers = set()
    if oi["machine"] != ni["machine"]:
        headers.add("machine")
    if (oi["subMajor"], oi["subMinor"]) != (ni["subMajor"], ni["subMinor"]):
        headers.add("subsystemVersion")
    if oi["subsystem"] != ni["subsystem"]:
        headers.add("subsystem")
    for flag, key in (("NX_COMPAT", "dep"), ("HIGH_ENTROPY_VA", "highEntropyVa")):
        if (flag in oi["flags"]) != (flag in ni["flags"]):
            headers.add(key)
    # ASLR takes the flag and relocations to apply: without them the loader cannot move the image.
    aslr = lambda i: "DYNAMIC_BASE" in i["flags"] and i.get("relocs", False) and not i.get("stripped")  # noqa: E731
    if aslr(oi) != aslr(ni):
        headers.add("aslr")
    return {"exportsRemoved": removed, "exportsAdded": added, "exportsChanged": changed,
            "importsAdded": ni["imports"] - oi["imports"], "importsRemoved": oi["imports"] - ni["imports"],
            "dllsAdded": ni["dlls"] - oi["dlls"], "dllsRemoved": oi["dlls"] - ni["dlls"], "headers": headers,
            "breaks": bool(removed or any(c[2] not in ("forwarder",) for c in changed) or any(retargeted)
                           or "machine" in headers)}


def ours(tool, old_path, new_path):
    r = subprocess.run([str(tool), "--json", "--diff", str(old_path), str(new_path)], capture_output=True,
                       check=False, env=kcorpus.child_env())
    if any(m in r.stderr.decode(errors="replace") for m in kcorpus.SANITIZER_MARKS):
        raise RuntimeError("sanitizer report: " + r.stderr.decode(errors="replace")[:300])
    lines = r.stdout.decode("utf-8").splitlines()
    if len(lines) != 1:
        raise RuntimeError(f"{len(lines)} lines of JSON, not one")
    return r.returncode, json.loads(lines[0])


def as_sets(d):
    imp = lambda i: (i["dll"].lower(), i.get("function", "#" + str(i.get("ordinal"))))  # noqa: E731
    return {"exportsRemoved": {(e["ordinal"], e.get("name", "")) for e in d.get("exportsRemoved", [])},
            "exportsAdded": {(e["ordinal"], e.get("name", "")) for e in d.get("exportsAdded", [])},
            "exportsChanged": {(e.get("name", ""), e["ordinal"], e["change"]) for e in d.get("exportsChanged", [])},
            "importsAdded": {imp(i) for i in d.get("importsAdded", [])},
            "importsRemoved": {imp(i) for i in d.get("importsRemoved", [])},
            "dllsAdded": {x.lower() for x in d.get("dllsAdded", [])},
            "dllsRemoved": {x.lower() for x in d.get("dllsRemoved", [])}}


# Header fields the flags llvm-readobj shows decide; the others (version, signature,
# toolchain, SafeSEH and the like) have no word there.
READOBJ_HEADERS = {"machine", "subsystem", "subsystemVersion", "aslr", "dep", "highEntropyVa"}


def compare(tool, old_path, new_path, label, failures):
    want = expected(old_path, new_path)
    rc, d = ours(tool, old_path, new_path)
    got = as_sets(d)
    for key, value in got.items():
        if value != want[key]:
            failures.append(f"{label}: {key}: missing {sorted(want[key] - value)[:8]}, "
                            f"extra {sorted(value - want[key])[:8]}")
    fields = {h["field"] for h in d.get("headers", [])} & READOBJ_HEADERS
    if fields != want["headers"]:
        failures.append(f"{label}: header changes {sorted(fields)}, llvm-readobj's flags say {sorted(want['headers'])}")
    if rc != (1 if want["breaks"] else 0) or (d.get("verdict") == "breaks") != (rc == 1):
        failures.append(f"{label}: exit {rc}, verdict {d.get('verdict')}; llvm-readobj's differences "
                        f"{'break' if want['breaks'] else 'do not break'} callers")
    return rc, d


def archives(tool, work, failures):
    """Two import libraries from dlltool, one export removed and one added: members and
    symbols against ar's and nm's views of the two."""
    dlltool = shutil.which("x86_64-w64-mingw32-dlltool")
    if not dlltool:
        return
    libs = []
    for name, exports in (("old", ["Add", "Sub", "Mul"]), ("new", ["Add", "Mul", "Extra"])):
        d = work / "lib" / name
        d.mkdir(parents=True, exist_ok=True)
        (d / "base.def").write_text("LIBRARY base.dll\nEXPORTS\n" + "".join(f"{e} @{i + 1}\n" for i, e in enumerate(exports)))
        subprocess.run([dlltool, "-d", "base.def", "-l", "libbase.a"], cwd=d, check=True)
        libs.append(d / "libbase.a")

    def view(lib):
        index = subprocess.run(["nm", "-s", str(lib)], capture_output=True, text=True, check=True).stdout
        symbols = {m.group(1) for m in re.finditer(r"^(\S+) in \S+$", index, re.M)}
        members = set(subprocess.run(["ar", "t", str(lib)], capture_output=True, text=True, check=True).stdout.split())
        return symbols, members

    (os_, om), (ns, nm_) = view(libs[0]), view(libs[1])
    rc, d = ours(tool, libs[0], libs[1])
    for key, want in (("symbolsRemoved", os_ - ns), ("symbolsAdded", ns - os_), ("membersRemoved", om - nm_),
                      ("membersAdded", nm_ - om)):
        if set(d.get(key, [])) != want:
            failures.append(f"import library: {key} {sorted(d.get(key, []))}, ar and nm say {sorted(want)}")
    if rc != 1 or "Sub" not in d.get("symbolsRemoved", []):
        failures.append(f"import library: exit {rc}, a removed export's symbols: {d.get('symbolsRemoved')}")


def assemblies(tool, work, failures):
    """Two .NET assemblies from mcs: a public method removed, a public type added, a
    private method changed (which no caller sees)."""
    mcs = shutil.which("mcs")
    if not mcs:
        return
    sources = {
        "old": "namespace Lib { public class Calc { public int Add(int a, int b) { return a + b; } "
               "public int Sub(int a, int b) { return a - b; } private int Hidden() { return 1; } } "
               "internal class Helper { public void Do() {} } }",
        "new": "namespace Lib { public class Calc { public int Add(int a, int b) { return a + b; } "
               "private int Hidden(int x) { return x; } } public class Added { public static int Two() { return 2; } } "
               "internal class Helper { public void Do() {} } }",
    }
    d = work / "clr"
    d.mkdir(parents=True, exist_ok=True)
    for name, text in sources.items():
        (d / f"{name}.cs").write_text(text)
        subprocess.run([mcs, "-target:library", f"-out:{name}.dll", f"{name}.cs"], cwd=d, check=True,
                       capture_output=True)
    rc, got = ours(tool, d / "old.dll", d / "new.dll")
    want = {"methodsRemoved": ["Lib.Calc::int32 Sub(int32, int32)"], "typesAdded": ["Lib.Added"],
            "methodsAdded": ["Lib.Added::static int32 Two()", "Lib.Added::void .ctor()"]}
    for key, value in want.items():
        if got.get(key) != value:
            failures.append(f".NET: {key} {got.get(key)}, not {value}")
    if rc != 1 or "typesRemoved" in got:
        failures.append(f".NET: exit {rc}, typesRemoved {got.get('typesRemoved')}")


# fuzz_diff's seeds: the base DLL and one changed build, stripped, after the first's length.
SEED_PAIRS = [("i686-w64-mingw32", "args"), ("i686-w64-mingw32", "removed"), ("x86_64-w64-mingw32", "newdll"),
              ("x86_64-w64-mingw32", "ordinal")]


def seeds(work, out):
    out.mkdir(parents=True, exist_ok=True)
    for triple, name in SEED_PAIRS:
        defines, changes, flags, version = VARIANTS[name][:4]
        old = build(work, triple, "old", [], {}, ["-s"], "1,2,3,4").read_bytes()
        new = build(work, triple, name, defines, changes, flags + ["-s"], version).read_bytes()
        (out / f"{triple.split('-')[0]}-{name}.pair").write_bytes(struct.pack("<I", len(old)) + old + new)


def counts(d):
    return ", ".join(f"{k} {len(d[k])}" for k in ("exportsRemoved", "exportsAdded", "exportsChanged", "importsAdded",
                                                  "importsRemoved", "dllsAdded", "dllsRemoved", "headers")
                     if d.get(k))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump")
    ap.add_argument("--work", type=Path, default=Path("diff-work"))
    ap.add_argument("--wine", type=int, default=12, help="Wine DLLs in both builds to compare (0: all)")
    ap.add_argument("--seeds-out", type=Path, help="also write a few stripped pairs here as fuzz_diff's seeds")
    args = ap.parse_args()
    if not shutil.which("llvm-readobj") or not shutil.which("objdump"):
        return kcorpus.skip("no llvm-readobj or objdump")
    failures = []
    triples = [t for t in ("i686-w64-mingw32", "x86_64-w64-mingw32") if shutil.which(f"{t}-gcc")]
    if not triples:
        return kcorpus.skip("no mingw-w64 gcc")
    if args.work.exists():
        shutil.rmtree(args.work)
    for triple in triples:
        old = build(args.work, triple, "old", [], {}, [], "1,2,3,4")
        for name, (defines, changes, flags, version, code, shows) in VARIANTS.items():
            if name == "args" and not triple.startswith("i686"):
                continue  # only 32-bit x86 code says its argument bytes
            new = build(args.work, triple, name, defines, changes, flags, version)
            label = f"{triple} {name}"
            try:
                rc, d = compare(args.tdump, old, new, label, failures)
            except (RuntimeError, ValueError) as e:
                failures.append(f"{label}: {e}")
                continue
            if rc != code:
                failures.append(f"{label}: exit {rc}, not {code}")
            if not shows(d):
                failures.append(f"{label}: the change it was built with is not shown: {json.dumps(d)[:600]}")
    if args.seeds_out:
        seeds(args.work / "seeds", args.seeds_out)
    archives(args.tdump, args.work, failures)
    assemblies(args.tdump, args.work, failures)
    # Files that cannot be compared: exit 2 and one line.
    text = args.work / "text.dll"
    text.write_text("not a DLL\n")
    for pair in ((old, text), (old, args.work / "missing.dll")):
        r = subprocess.run([str(args.tdump), "--diff", str(pair[0]), str(pair[1])], capture_output=True, check=False)
        if r.returncode != 2 or len(r.stdout.decode().splitlines()) != 1:
            failures.append(f"--diff with {pair[1].name}: exit {r.returncode}, {r.stdout[:200]!r}")
    # Wine's two builds of the same DLLs.
    wine64 = kcorpus.wine_dir()
    if wine64 is None or not I386_DIR.is_dir():
        note = kcorpus.missing("no Wine i386 and x86_64 DLLs to compare")
        if note:
            failures.append("Wine's DLLs are missing")
    else:
        both = sorted(p.name for p in wine64.glob("*.dll") if (I386_DIR / p.name).is_file())
        rest = [n for n in both if n not in WINE_PAIRS]
        draw = both if not args.wine else [n for n in WINE_PAIRS if n in both] + \
            sorted(random.Random(20261209).sample(rest, max(0, min(len(rest), args.wine - len(WINE_PAIRS)))))
        for n in draw:
            try:
                rc, d = compare(args.tdump, I386_DIR / n, wine64 / n, f"Wine {n}", failures)
            except subprocess.CalledProcessError as e:
                print(f"note: Wine {n} left out: {e.cmd[0]} cannot read it")
                continue
            except (RuntimeError, ValueError) as e:
                failures.append(f"Wine {n}: {e}")
                continue
            if n in WINE_PAIRS:
                print(f"Wine {n} i386 -> x86_64: exit {rc}, {d['verdict']}: {counts(d)}")
            if rc != 1:
                failures.append(f"Wine {n}: the machine changed, yet exit {rc}")
    print(f"{len(failures)} failures")
    for f in failures[:40]:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
