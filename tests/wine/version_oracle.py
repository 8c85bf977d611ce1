#!/usr/bin/env python3
"""Holds tdump's "Version information" part to the system's version API, under Wine.

version_oracle.exe prints what GetFileVersionInfoW and VerQueryValueW read from each of
Wine's PE files; tdump.exe lists the same files. For every file the two must agree on
whether there is version information, on the file and product versions, and on every
string value of every translation's table.

  version_oracle.py --wine scripts/wine.sh --oracle version_oracle.exe --tdump tdump.exe --work DIR
"""
import argparse
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "corpus"))
import kcorpus  # noqa: E402

CHUNK = 120  # files per tdump run: the Windows command line holds 32767 characters


def windows_path(p):
    return "Z:" + str(p).replace("/", "\\")


def oracle_facts(text):
    files, cur = {}, None
    for line in text.splitlines():
        kind, _, rest = line.partition(" ")
        if kind == "FILE":
            cur = files.setdefault(rest, {"none": False, "fixed": None, "tables": {}})
        elif cur is None:
            continue
        elif kind == "NONE":
            cur["none"] = True
        elif kind == "FIXED":
            cur["fixed"] = tuple(rest.split())
        elif kind == "TABLE":
            cur["tables"].setdefault(rest.upper(), {})
        elif kind == "STRING":
            table, _, kv = rest.partition(" ")
            key, _, value = kv.partition("=")
            cur["tables"].setdefault(table.upper(), {})[key] = value
    return files


FIELD = re.compile(r"^  (\S+)\s+(.*)$")


def listing_facts(text):
    """Per file (as its File line names it): whether the part is there, its versions, its tables."""
    files, cur, inside, table = {}, None, False, None
    for line in text.splitlines():
        line = line.lstrip("\ufeff")
        m = re.match(r"^  File {2,}(.*)$", line)
        if m and not inside:
            cur = files.setdefault(m.group(1), {"part": False, "fixed": [None, None], "tables": {}, "others": False})
            continue
        if line.startswith("== "):
            inside = line == "== Version information =="
            if inside and cur is not None:
                cur["part"] = True
            table = None
            continue
        if not inside or cur is None or line.startswith("  !"):
            continue
        if line.startswith("    ") and table is not None:
            body = line[4:]
            key = body.split(" ", 1)[0]
            value = line[36:] if len(line) > 36 and len(key) < 32 else body[len(key):].lstrip(" ")
            cur["tables"][table][key] = value
            continue
        m = FIELD.match(line)
        if not m:
            continue
        label, value = m.group(1), m.group(2)
        if label == "Also":
            cur["others"] = True  # more VERSION resources: the API picks one by the user's language
        elif label == "FileVersion":
            cur["fixed"][0] = value.strip()
        elif label == "ProductVersion":
            cur["fixed"][1] = value.strip()
        elif label == "StringFileInfo":
            table = value.split()[0].upper() if value.split() else ""
            cur["tables"].setdefault(table, {})
        else:
            table = None
    return files


def compare(path, oracle, ours):
    """The disagreements about one file."""
    if ours is None:
        return ["no listing"]
    if oracle["none"]:
        return ["the version API finds no version information, the listing shows some"] if ours["part"] else []
    out = []
    if not ours["part"]:
        return ["the version API reads version information, the listing shows none"]
    if oracle["fixed"] and tuple(ours["fixed"]) != oracle["fixed"]:
        out.append(f"versions {oracle['fixed']} by the API, {tuple(ours['fixed'])} listed")
    for table, strings in oracle["tables"].items():
        listed = ours["tables"].get(table)
        if listed is None:
            if strings and not ours["others"]:
                out.append(f"table {table}: in the API's reading, not in the listing")
            continue
        for key, value in strings.items():
            if key not in listed:
                out.append(f"table {table}: {key} = {value!r} by the API, not listed")
            elif listed[key] != value:
                out.append(f"table {table}: {key} = {value!r} by the API, {listed[key]!r} listed")
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--wine", required=True)
    ap.add_argument("--oracle", required=True)
    ap.add_argument("--tdump", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    files = kcorpus.wine_pe_files()
    if not files:
        print("version_oracle: Wine's PE files are not installed; nothing to check")
        return 0
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    names = [windows_path(p) for p in files]
    (work / "files.txt").write_text("\n".join(names) + "\n", encoding="utf-8")
    run = subprocess.run([args.wine, args.oracle, windows_path(work / "files.txt")], capture_output=True, check=False)
    if run.returncode != 0:
        print(f"version_oracle: the oracle failed ({run.returncode}): {run.stderr.decode(errors='replace')[:500]}")
        return 1
    oracle = oracle_facts(run.stdout.decode("utf-8", errors="replace"))
    listing = {}

    def dump(chunk):
        r = subprocess.run([args.wine, args.tdump] + chunk, capture_output=True, check=False)
        return listing_facts(r.stdout.decode("utf-8", errors="replace"))

    with ThreadPoolExecutor(max_workers=2) as pool:
        for facts in pool.map(dump, [names[i:i + CHUNK] for i in range(0, len(names), CHUNK)]):
            listing.update(facts)
    failures, with_version = [], 0
    for name in names:
        if name not in oracle:
            failures.append(f"{name}: the oracle printed nothing")
            continue
        with_version += not oracle[name]["none"]
        failures += [f"{name}: {d}" for d in compare(name, oracle[name], listing.get(name))]
    print(f"version_oracle: {len(names)} files, {with_version} with version information by the API")
    for f in failures[:50]:
        print("  " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
