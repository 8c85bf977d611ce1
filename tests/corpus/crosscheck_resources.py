#!/usr/bin/env python3
"""Cross-checks the Resources part of tdump's JSON (--json) against peers.

Every resource a peer reports (type, name, language, data RVA and size) must be a row
of our Resources part. Wine's PE files are read by llvm-readobj --coff-resources; the corkami
resource files by pefile, since llvm-readobj 14 only looks for resources in a section
named .rsrc and those files name their sections otherwise.

  crosscheck_resources.py TDUMP [--corkami DIR] [--readobj PATH] [--jobs N] [--batch N]
"""
import argparse
import re
import subprocess
import sys
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402
from crosscheck import find_readobj  # noqa: E402

CORKAMI_GLOBS = ("resource*.exe", "version*.exe", "manifest*.exe", "reshdr.exe", "resourceloop.exe")


def plain(name):
    """Names outside printable ASCII are escaped differently by each tool: compare them as one."""
    if isinstance(name, int):
        return name
    return name if all(0x20 <= ord(c) < 0x7F and c != "\\" for c in name) else "<other>"


# ---------------------------------------------------------------- our JSON

def ours(obj):
    """The rows of our Resources part: a type, name or language is its number, or its
    name when the file gives one."""
    leaves = Counter()
    for r in obj.get("parts", {}).get("Resources", {}).get("resources", []):
        leaves[(plain(r.get("type")), plain(r.get("name")), r.get("lang"), r.get("rva"),
                r.get("size"))] += 1
    return leaves


# ---------------------------------------------------------------- the peers

KEY = re.compile(r"^\s*(Type|Name|Language): (.*?) ?(?:\(ID (\d+)\))? \[$")


def readobj_leaves(readobj, path):
    p = subprocess.run([readobj, "--coff-resources", str(path)], capture_output=True, text=True,
                       errors="replace", check=False)
    leaves = Counter()
    key = {}
    rva = None
    for line in p.stdout.splitlines():
        m = KEY.match(line)
        if m:
            v = int(m.group(3)) if m.group(3) else m.group(2)
            if isinstance(v, str) and re.fullmatch(r"ID \d+", v):
                v = int(v[3:])  # a number without a standard name
            key[m.group(1)] = v
            continue
        s = line.strip()
        if s.startswith("DataRVA: "):
            rva = int(s.split()[1], 16)
        elif s.startswith("DataSize: ") and rva is not None:
            leaves[(plain(key["Type"]), plain(key["Name"]), key["Language"], rva, int(s.split()[1]))] += 1
            rva = None
    return leaves


def load_pefile():
    try:
        import pefile
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")  # Debian's python3-pefile, under another Python
        try:
            import pefile
        except ImportError:
            return None
    return pefile


def pefile_leaves(pefile, path):
    pe = pefile.PE(str(path), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    leaves = Counter()
    key = lambda e: str(e.name) if e.name is not None else e.id  # noqa: E731
    for t in getattr(getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None), "entries", []):
        for n in getattr(getattr(t, "directory", None), "entries", []):
            for lang in getattr(getattr(n, "directory", None), "entries", []):
                if hasattr(lang, "data"):
                    s = lang.data.struct
                    leaves[(plain(key(t)), plain(key(n)), lang.id, s.OffsetToData, s.Size)] += 1
    return leaves


# ---------------------------------------------------------------- the comparison

def missing(peer, mine):
    return sorted((peer - mine).elements(), key=str)


def check(path, obj, problems, peer_leaves):
    if problems:
        return len(peer_leaves), [f"{path}: {p}" for p in problems]
    lost = missing(peer_leaves, ours(obj))
    return sum(peer_leaves.values()), [f"{path}: not in our JSON: type {t} name {n} lang {lang:04X} "
                                       f"RVA {rva:#x} size {size:#x}" for t, n, lang, rva, size in lost[:5]]


def check_batch(tool, batch):
    """One tdump run for the batch, then the peer file by file."""
    got = {path: (obj, problems) for path, obj, problems in
           kcorpus.run_json(tool, [path for path, _ in batch], 30)}
    return [check(path, *got.get(path, (None, ["no JSON object for it"])), peer())
            for path, peer in batch]


def selftest():
    # The matcher must see a resource whose RVA, language or name differs.
    obj = {"parts": {"Resources": {"resources": [
        {"type": 3, "typeName": "ICON", "name": 3, "lang": 0x409, "locale": "en-US",
         "rva": 0xF0A0, "size": 0x2E8, "codePage": 0, "offset": 0x50A0},
        {"type": "MYTYPE", "name": "NAME", "lang": 0, "locale": "neutral",
         "rva": 0xF400, "size": 0x10, "codePage": 0, "offset": 0x5400}]}}}
    mine = ours(obj)
    good = Counter({(3, 3, 0x409, 0xF0A0, 0x2E8): 1, ("MYTYPE", "NAME", 0, 0xF400, 0x10): 1})
    assert not missing(good, mine), "matcher rejects an object that holds every resource"
    for bad in [(3, 3, 0x409, 0xF0A4, 0x2E8), (3, 3, 0x407, 0xF0A0, 0x2E8), (3, 4, 0x409, 0xF0A0, 0x2E8),
                ("MYTYPE", "OTHER", 0, 0xF400, 0x10)]:
        assert missing(Counter({bad: 1}), mine), f"matcher accepts a resource the JSON lacks: {bad}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump")
    ap.add_argument("--corkami", default=str(Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus" /
                                             "corkami-pe"))
    ap.add_argument("--readobj")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--batch", type=int, default=20, help="files per tdump run")
    ap.add_argument("--sample", type=int, default=0, help="a fixed draw of N Wine files (0: all)")
    args = ap.parse_args()
    selftest()

    work = []
    readobj = find_readobj(args.readobj)
    if readobj:
        work += [(p, lambda p=p: readobj_leaves(readobj, p)) for p in kcorpus.sample_files(kcorpus.wine_pe_files(), args.sample)]
    else:
        print("crosscheck_resources: no llvm-readobj; Wine's files are not checked")
    pefile = load_pefile()
    corkami = Path(args.corkami)
    if pefile and corkami.is_dir():
        files = sorted({p for g in CORKAMI_GLOBS for p in corkami.glob(g)})
        work += [(p, lambda p=p: pefile_leaves(pefile, p)) for p in files]
    elif not pefile:
        print("crosscheck_resources: no pefile; the corkami files are not checked")
    if not work:
        print("crosscheck_resources: nothing to check")
        return 0

    checked, failures, files = 0, [], 0
    batches = [work[i:i + args.batch] for i in range(0, len(work), args.batch)]
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for results in pool.map(lambda b: check_batch(args.tdump, b), batches):
            for n, fails in results:
                files += 1
                checked += n
                failures += fails
    print(f"crosscheck_resources: {files} files, {checked} resources the peers report")
    for f in failures[:50]:
        print("  " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
