#!/usr/bin/env python3
"""Cross-checks the .NET part of tdump's JSON (--json) against monodis on Mono's class
libraries.

For each assembly: every type monodis lists (--typedef) is one of our types, in the
same order; every method (--method) is one of that type's methods, in the same order,
its signature naming it before its parameters; every assembly reference
(--assemblyref) is one of ours with the same name and version.

  crosscheck_clr.py TDUMP [--monodis PATH] [--dir DIR ...] [--selftest]
"""
import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

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

def our_types(obj):
    """[(name, [method signatures])] in our order."""
    types = obj.get("parts", {}).get("Clr", {}).get("types", [])
    return [(t.get("name"), [m.get("signature", "") for m in t.get("methods", [])]) for t in types]


def our_refs(obj):
    """{(name, "a.b.c.d")} of the referenced assemblies."""
    return {(r.get("Name"), ".".join(str(r.get(k)) for k in VERSION))
            for r in obj.get("parts", {}).get("Clr", {}).get("assemblyRefs", [])}


VERSION = ("MajorVersion", "MinorVersion", "BuildNumber", "RevisionNumber")


def check(monodis, path, obj, problems):
    tdef = run([monodis, "--typedef", str(path)])
    meth = run([monodis, "--method", str(path)])
    refs = run([monodis, "--assemblyref", str(path)])
    peers = peer_types(tdef)
    names = peer_methods(meth)
    if problems:
        return problems, len(peers), len(names), len(peer_refs(refs))
    ours = our_types(obj)
    if len(peers) != len(ours):
        problems.append(f"{len(peers)} types from monodis, {len(ours)} in our JSON")
    last = max(names) if names else 0
    for k, (row, name, first) in enumerate(peers):
        end = peers[k + 1][2] if k + 1 < len(peers) else last + 1
        if k >= len(ours):
            break
        oname, osigs = ours[k]
        # monodis shows the global pseudo-type by its empty namespace.
        if oname != name and not (row == 1 and name == "(null)" and oname == "<Module>"):
            problems.append(f"type {row}: monodis {name!r}, ours {oname!r}")
            continue
        want = [names.get(r) for r in range(first, end) if r in names]
        if len(want) != len(osigs):
            problems.append(f"type {name}: {len(want)} methods from monodis, {len(osigs)} in ours")
            continue
        # Our signature is "[static ]RETURN NAME[<T>](PARAMS)": the name comes before the
        # parameters (or its own generic parameters), after a blank.
        for w, sig in zip(want, osigs):
            if f" {w}(" not in sig and f" {w}<" not in sig:
                problems.append(f"type {name}: method {w!r} not in {sig!r}")
    have = our_refs(obj)
    for version, name in peer_refs(refs):
        if (name, version) not in have:
            problems.append(f"assembly reference {name} {version} not in ours")
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
    obj = {"parts": {"Clr": {
        "assemblyRefs": [{"Name": "mscorlib", "MajorVersion": 4, "MinorVersion": 0,
                          "BuildNumber": 0, "RevisionNumber": 0, "Culture": ""}],
        "types": [{"kind": "class", "name": "A.B", "visibility": "public",
                   "methods": [{"access": "public", "flags": ["static"],
                                "signature": "static int32 Add(int32, int32)"}]}]}}}
    assert our_types(obj) == [("A.B", ["static int32 Add(int32, int32)"])], our_types(obj)
    assert our_refs(obj) == {("mscorlib", "4.0.0.0")}, our_refs(obj)
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
    for f, obj, run_problems in kcorpus.run_json(a.tdump, files, 120):
        problems, nt, nm, nr = check(monodis, f, obj, run_problems)
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
