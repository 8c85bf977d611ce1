#!/usr/bin/env python3
"""Cross-checks tdump's .NET part against monodis on Mono's class libraries.

For each assembly: every type monodis lists (--typedef) is a type line of ours, in
the same order; every method (--method) is a method line under that same type, in
the same order, with its name before its parameters; every assembly reference
(--assemblyref) is a line with its name and version.

  crosscheck_clr.py TDUMP [--monodis PATH] [--dir DIR ...] [--selftest]
"""
import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path

DEFAULT_DIRS = ["/usr/lib/mono/4.5", "/usr/lib/mono/gac"]


def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True, errors="replace", timeout=120).stdout


# ---------------------------------------------------------------- monodis

def peer_types(text):
    """(row, full name, first method row) per TypeDef line."""
    out = []
    for m in re.finditer(r"^(\d+): (.*) \(flist=(\d+), mlist=(\d+), flags=", text, re.M):
        out.append((int(m.group(1)), m.group(2), int(m.group(4))))
    return out


def strip_back(s, end, open_ch, close_ch):
    """Index of the bracket opening the one that closes at s[end]."""
    depth = 0
    for i in range(end, -1, -1):
        if s[i] == close_ch:
            depth += 1
        elif s[i] == open_ch:
            depth -= 1
            if depth == 0:
                return i
    return -1


def method_name(sig):
    """The name in a monodis method line's text: the token before the parameter list,
    without its generic parameters or quotes."""
    sig = sig.rstrip()
    if not sig.endswith(")"):
        return None
    i = strip_back(sig, len(sig) - 1, "(", ")")
    head = sig[:i].rstrip()
    if head.endswith(">"):
        head = head[:strip_back(head, len(head) - 1, "<", ">")]
    name = head.rsplit(" ", 1)[-1]
    if len(name) >= 2 and name[0] == "'" and name[-1] == "'":
        name = name[1:-1]
    return name


def peer_methods(text):
    """{row: name} from --method."""
    out = {}
    for m in re.finditer(r"^(\d+): (.*?)  \(param: ", text, re.M):
        out[int(m.group(1))] = method_name(m.group(2))
    return out


def peer_refs(text):
    return re.findall(r"^\d+: Version=([\d.]+)\n\tName=(.*)$", text, re.M)


# ---------------------------------------------------------------- ours

TYPE_LINE = re.compile(r"^  (class|interface|struct|enum) (.*?)  (?:private|public|nested )")


def our_types(listing):
    """[(name, [method lines])] in listing order."""
    part = listing.split("-- Types and methods --", 1)
    if len(part) < 2:
        return []
    types = []
    for line in part[1].split("\n"):
        if line.startswith("  -- ") or line.startswith("== "):
            break
        m = TYPE_LINE.match(line)
        if m:
            types.append((m.group(2), []))
        elif line.startswith("    method  ") and types:
            types[-1][1].append(line)
    return types


def check(tdump, monodis, path):
    problems = []
    listing = run([tdump, str(path)])
    tdef = run([monodis, "--typedef", str(path)])
    meth = run([monodis, "--method", str(path)])
    refs = run([monodis, "--assemblyref", str(path)])
    peers = peer_types(tdef)
    names = peer_methods(meth)
    ours = our_types(listing)
    if len(peers) != len(ours):
        problems.append(f"{len(peers)} types from monodis, {len(ours)} in the listing")
    last = max(names) if names else 0
    for k, (row, name, first) in enumerate(peers):
        end = peers[k + 1][2] if k + 1 < len(peers) else last + 1
        if k >= len(ours):
            break
        oname, olines = ours[k]
        # monodis shows the global pseudo-type by its empty namespace.
        if oname != name and not (row == 1 and name == "(null)" and oname == "<Module>"):
            problems.append(f"type {row}: monodis {name!r}, listing {oname!r}")
            continue
        want = [names.get(r) for r in range(first, end) if r in names]
        if len(want) != len(olines):
            problems.append(f"type {name}: {len(want)} methods from monodis, {len(olines)} listed")
            continue
        for w, line in zip(want, olines):
            if f" {w}(" not in line and f" {w}<" not in line:
                problems.append(f"type {name}: method {w!r} not in {line.strip()!r}")
    for version, name in peer_refs(refs):
        if f"    {name}, Version={version}," not in listing:
            problems.append(f"assembly reference {name} {version} not listed")
    return problems, len(peers), len(names), len(peer_refs(refs))


def assemblies(dirs):
    seen, out = set(), []
    for d in dirs:
        for p in sorted(Path(d).rglob("*.dll")):
            real = p.resolve()
            if real in seen or not real.is_file():
                continue
            seen.add(real)
            out.append(real)
    return out


def selftest():
    line = "4: instance default !!U Map<U> (class [mscorlib]System.Func`2<!T, !!U> f)"
    assert method_name(line.split(": ", 1)[1]) == "Map", method_name(line)
    assert method_name("instance default void '.ctor' (int32 'type')") == ".ctor"
    assert method_name("default int32 Add (int32 a, int32 b)") == "Add"
    ours = "  -- Types and methods --\n  class A.B  public  extends System.Object\n" \
           "    method  public  static int32 Add(int32, int32)\n  -- Native calls --\n"
    assert our_types(ours) == [("A.B", ["    method  public  static int32 Add(int32, int32)"])]
    print("selftest ok")
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump", nargs="?")
    ap.add_argument("--monodis", default=None)
    ap.add_argument("--dir", action="append")
    ap.add_argument("--selftest", action="store_true")
    a = ap.parse_args()
    if a.selftest:
        return selftest()
    monodis = a.monodis or shutil.which("monodis")
    if not monodis:
        print("SKIP: no monodis (package mono-utils)")
        return 0
    files = assemblies(a.dir or DEFAULT_DIRS)
    if not files:
        print("SKIP: no assemblies found")
        return 0
    bad = 0
    totals = [0, 0, 0]
    for f in files:
        problems, nt, nm, nr = check(a.tdump, monodis, f)
        totals = [totals[0] + nt, totals[1] + nm, totals[2] + nr]
        for p in problems[:10]:
            print(f"{f.name}: {p}")
        if len(problems) > 10:
            print(f"{f.name}: ... {len(problems) - 10} more")
        bad += len(problems)
    print(f"{len(files)} assemblies, {totals[0]} types, {totals[1]} methods, {totals[2]} assembly references: "
          f"{bad} mismatches")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
