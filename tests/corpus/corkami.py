#!/usr/bin/env python3
"""The corkami files load and run on Windows, so the listing must show what the loader
resolves in them: every import and export that corkami_expected.txt names for a file
catalogued in the corpus's README.txt. A file the list says shows none must show none;
a known gap is reported, and fails once it closes, so that the list is kept true.

  corkami.py TDUMP CORKAMI_DIR [EXPECTED]
"""
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

HERE = Path(__file__).resolve().parent
FUNCTION = re.compile(r"    [0-9A-F]{8}  +(?:\d+|-)  (.*)$")
# The name, without what may follow it: the forwarder, the usage mark, the readable form.
EXPORT = re.compile(r"  +(\d+) +(?:\d+|-)  [0-9A-F]{8}  (.*?)(?:  (?:-> |args |data$|data  = |= ).*)?$")


def catalogued(root):
    """File names the catalogue lists, in its order."""
    names = []
    for line in (root / "README.txt").read_text(errors="replace").splitlines():
        for m in re.finditer(r"(?<![\w.-])([\w.-]+\.(?:exe|dll|sys))\b", line):
            if (root / m.group(1)).is_file() and m.group(1) not in names:
                names.append(m.group(1))
    return names


def shown(listing):
    """The imports ("import DLL!name" or "import DLL!#ordinal") and exports ("export name")."""
    items, part, dll = set(), None, None
    for line in listing.splitlines():
        if line.startswith("== "):
            part, dll = line, None
            continue
        if part in ("== Imports ==", "== Delay-load imports =="):
            if line.startswith("  DLL "):
                dll = line[6:]
            elif dll is not None and (m := FUNCTION.match(line)):
                what = m.group(1)
                if o := re.match(r"ordinal (\d+)", what):
                    items.add(f"import {dll}!#{o.group(1)}")
                else:
                    items.add(f"import {dll}!{what}")
        elif part == "== Exports ==" and (m := EXPORT.match(line)) and m.group(2) != "(empty slot)":
            items.add(f"export {m.group(2)}" if m.group(2) != "(no name)" else f"export #{m.group(1)}")
    return items


def expectations(path):
    """file -> (expected items, why it is right to show none, why it is a known gap)."""
    out = {}
    for line in path.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        name, _, rest = line.partition("\t")
        if rest.startswith("none: "):
            out[name] = (set(), rest[6:], None)
        elif rest.startswith("known: "):
            why, *items = rest[7:].split("\t")
            out[name] = (set(items), None, why)
        else:
            out[name] = (set(rest.split("\t")), None, None)
    return out


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    tool, root = sys.argv[1], Path(sys.argv[2])
    expected = expectations(Path(sys.argv[3]) if len(sys.argv) > 3 else HERE / "corkami_expected.txt")
    if not (root / "README.txt").is_file():
        return kcorpus.skip(f"no corkami corpus at {root}")
    names = catalogued(root)
    failures, known, with_imports, with_exports, none = [], [], 0, 0, 0
    for name in names:
        if name not in expected:
            failures.append(f"{name}: catalogued but not in the expectation list")
            continue
        want, reason, gap = expected[name]
        run = kcorpus.run_tool(tool, root / name, 10)
        if run.problems():
            failures.append(f"{name}: {'; '.join(run.problems())}")
            continue
        got = shown(run.text())
        if gap is not None:
            # A known gap that closes must leave the list, so the list stays true.
            if want <= got:
                failures.append(f"{name}: the known gap ({gap}) is closed; move it to the expectations")
            else:
                known.append(f"{name}: {gap}")
            continue
        if reason is not None:
            none += 1
            if got:
                failures.append(f"{name}: listed as showing none ({reason}), but shows {sorted(got)[:3]}")
            continue
        missing = sorted(want - got)
        if missing:
            failures.append(f"{name}: missing {', '.join(missing[:4])}" + (" ..." if len(missing) > 4 else ""))
            continue
        with_imports += any(w.startswith("import ") for w in want)
        with_exports += any(w.startswith("export ") for w in want)
    for k in known:
        print("known gap " + k)
    for f in failures:
        print("FAIL " + f)
    print(f"{len(names)} catalogued files: {with_imports} with their imports listed, "
          f"{with_exports} with their exports, {none} rightly showing none, {len(known)} known gaps; "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
