#!/usr/bin/env python3
"""Cross-checks the Resources part of tdump's listing against peers.

Every resource a peer reports (type, name, language, data RVA and size) must be a line
of our listing. Wine's PE files are read by llvm-readobj --coff-resources; the corkami
resource files by pefile, since llvm-readobj 14 only looks for resources in a section
named .rsrc and those files name their sections otherwise.

  crosscheck_resources.py TDUMP [--corkami DIR] [--readobj PATH] [--jobs N]
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

# Our listing names the standard types; the peers give their numbers.
STANDARD = {"CURSOR": 1, "BITMAP": 2, "ICON": 3, "MENU": 4, "DIALOG": 5, "STRING": 6, "FONTDIR": 7,
            "FONT": 8, "ACCELERATOR": 9, "RCDATA": 10, "MESSAGETABLE": 11, "GROUP_CURSOR": 12,
            "GROUP_ICON": 14, "VERSION": 16, "DLGINCLUDE": 17, "PLUGPLAY": 19, "VXD": 20,
            "ANICURSOR": 21, "ANIICON": 22, "HTML": 23, "MANIFEST": 24}

CORKAMI_GLOBS = ("resource*.exe", "version*.exe", "manifest*.exe", "reshdr.exe", "resourceloop.exe")


def plain(name):
    """Names outside printable ASCII are escaped differently by each tool: compare them as one."""
    if isinstance(name, int):
        return name
    return name if all(0x20 <= ord(c) < 0x7F and c != "\\" for c in name) else "<other>"


# ---------------------------------------------------------------- our listing

LEAF = re.compile(r"^  (\S(?:.*?\S)?)\s{2,}(\S(?:.*?\S)?)\s{2,}lang ([0-9A-F]{4})\b.*?"
                  r"RVA ([0-9A-F]{8})  size ([0-9A-F]{8})")


def ours(text):
    leaves = Counter()
    inside = False
    for line in text.splitlines():
        if line.startswith("== "):
            inside = line == "== Resources =="
            continue
        m = inside and LEAF.match(line)
        if not m:
            continue
        t, n = m.group(1), m.group(2)
        t = STANDARD.get(t, int(t[1:]) if re.fullmatch(r"#\d+", t) else t)
        n = int(n[1:]) if re.fullmatch(r"#\d+", n) else n
        leaves[(plain(t), plain(n), int(m.group(3), 16), int(m.group(4), 16), int(m.group(5), 16))] += 1
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


def check(tool, path, peer_leaves):
    run = kcorpus.run_tool(tool, path, 30)
    problems = run.problems()
    if problems:
        return len(peer_leaves), [f"{path}: {p}" for p in problems]
    lost = missing(peer_leaves, ours(run.text()))
    return sum(peer_leaves.values()), [f"{path}: not in our listing: type {t} name {n} lang {lang:04X} "
                                       f"RVA {rva:#x} size {size:#x}" for t, n, lang, rva, size in lost[:5]]


def selftest():
    # The matcher must see a resource whose RVA or language differs.
    listing = ("== Resources ==\n  ICON           #3              lang 0409 en-US         "
               "RVA 0000F0A0  size 000002E8  code page 0  file offset 000050A0\n"
               "  MYTYPE         NAME            lang 0000 neutral       "
               "RVA 0000F400  size 00000010  code page 0  file offset 00005400\n")
    mine = ours(listing)
    good = Counter({(3, 3, 0x409, 0xF0A0, 0x2E8): 1, ("MYTYPE", "NAME", 0, 0xF400, 0x10): 1})
    assert not missing(good, mine), "matcher rejects a listing that holds every resource"
    for bad in [(3, 3, 0x409, 0xF0A4, 0x2E8), (3, 3, 0x407, 0xF0A0, 0x2E8), (3, 4, 0x409, 0xF0A0, 0x2E8),
                ("MYTYPE", "OTHER", 0, 0xF400, 0x10)]:
        assert missing(Counter({bad: 1}), mine), f"matcher accepts a resource the listing lacks: {bad}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump")
    ap.add_argument("--corkami", default=str(Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus" /
                                             "corkami-pe"))
    ap.add_argument("--readobj")
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args()
    selftest()

    work = []
    readobj = find_readobj(args.readobj)
    if readobj:
        work += [(p, lambda p=p: readobj_leaves(readobj, p)) for p in kcorpus.wine_pe_files()]
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

    def one(item):
        path, peer = item
        return check(args.tdump, path, peer())

    checked, failures, files = 0, [], 0
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for n, fails in pool.map(one, work):
            files += 1
            checked += n
            failures += fails
    print(f"crosscheck_resources: {files} files, {checked} resources the peers report")
    for f in failures[:50]:
        print("  " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
