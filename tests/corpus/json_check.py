#!/usr/bin/env python3
"""tdump --json over the shared corpus, Wine's PE files and the hostile set: every
object parses, has no key twice, and validates against docs/json-schema.json; a file
that cannot be read gives an object with "error" and exit 1.

Every object is parsed and checked for keys given twice; validation in Python is
slow on big objects, so past --max files a fixed draw of them is validated (the
hostile set and the unreadable file always are; all of them when --max is 0), each
long list by its first and last hundred items.

  json_check.py TDUMP SHARED_CORPUS SCHEMA [--max N]
"""
import argparse
import collections
import json
import random
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import hostile_bounds  # noqa: E402
import kcorpus  # noqa: E402

PARTS_DEF = Path(__file__).resolve().parents[2] / "dumper" / "Parts.def"


def strict_pairs(pairs):
    keys = [k for k, _ in pairs]
    if len(set(keys)) != len(keys):
        raise ValueError("key given twice: " + ", ".join(sorted({k for k in keys if keys.count(k) > 1})))
    return dict(pairs)


def trimmed(value, keep=100):
    """The value with each long list cut to its first and last `keep` items: the schema
    says the same of every item of a list, and Python's validator takes seconds per
    thousand-entry table (the hostile files make tables of hundreds of thousands)."""
    if isinstance(value, list):
        items = value if len(value) <= 2 * keep else value[:keep] + value[-keep:]
        return [trimmed(v, keep) for v in items]
    if isinstance(value, dict):
        return {k: trimmed(v, keep) for k, v in value.items()}
    return value


def objects(tool, paths):
    """Runs tdump --json over `paths` in batches; yields (path, object or error text, exit code).
    The next batches run while this one is parsed, a few ahead at most."""
    def run(batch):
        return batch, subprocess.run([str(tool), "--json", "--", *map(str, batch)], capture_output=True,
                                     timeout=600, env=kcorpus.child_env(), check=False)

    batches = collections.deque(paths[i:i + 40] for i in range(0, len(paths), 40))
    with ThreadPoolExecutor(max_workers=2) as pool:
        ahead = collections.deque(pool.submit(run, batches.popleft()) for _ in range(min(3, len(batches))))
        while ahead:
            batch, p = ahead.popleft().result()
            if batches:
                ahead.append(pool.submit(run, batches.popleft()))
            yield from parsed(batch, p)


def parsed(batch, p):
    lines = p.stdout.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    if len(lines) != len(batch):
        yield batch[0], f"{len(lines)} lines for {len(batch)} files (exit {p.returncode})", p.returncode
        return
    for path, line in zip(batch, lines):
        try:
            yield path, json.loads(line.decode("utf-8"), object_pairs_hook=strict_pairs), p.returncode
        except (ValueError, UnicodeDecodeError) as e:
            yield path, f"not valid JSON: {e}", p.returncode


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("shared")
    ap.add_argument("schema")
    ap.add_argument("--max", type=int, default=0)
    args = ap.parse_args()
    try:
        import jsonschema
    except ImportError:
        return kcorpus.skip("python3-jsonschema is not installed")
    schema = json.loads(Path(args.schema).read_text())
    validator = jsonschema.Draft202012Validator(schema)
    failures = []

    # The schema names every part of the table, and nothing else.
    ids = re.findall(r"^PART\((\w+),", PARTS_DEF.read_text(), re.M)
    if schema["properties"]["parts"]["propertyNames"]["enum"] != ids:
        failures.append("the schema's part names differ from the table of parts")

    files = kcorpus.shared_corpus_files(args.shared) + kcorpus.wine_pe_files()
    if not files:
        return kcorpus.skip("no corpus and no Wine PE files")
    validated = set(files)
    if args.max and len(files) > args.max:
        validated = set(random.Random(20261209).sample(files, args.max))
    with tempfile.TemporaryDirectory() as tmp:
        hostile = hostile_bounds.write_all(Path(tmp))
        unreadable = Path(tmp) / "no such file.dll"
        validated.update(hostile + [unreadable])
        checked = valid = 0
        for path, obj, rc in objects(args.tool, [unreadable] + hostile + files):
            if isinstance(obj, str):
                failures.append(f"{path}: {obj}")
                continue
            checked += 1
            if path not in validated:
                continue
            valid += 1
            for e in list(validator.iter_errors(trimmed(obj)))[:3]:
                failures.append(f"{path}: {'/'.join(map(str, e.absolute_path))}: {e.message[:200]}")
            if path == unreadable and ("error" not in obj or rc != 1):
                failures.append(f"{path}: want an object with error and exit 1, got exit {rc}")
        print(f"{checked} objects parsed ({len(hostile)} hostile, {len(files)} corpus and Wine files), "
              f"{valid} validated against the schema")
    for f in failures[:40]:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
