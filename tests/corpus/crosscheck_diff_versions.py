#!/usr/bin/env python3
"""`tdump --diff OLD NEW` on the same Windows file at two released versions (the pairs
in npm_samples.py), against llvm-readobj's exports and imports of the two set against
each other, as crosscheck_diff.py does for Wine's builds. Prints the counts of each
kind of change per pair. Without the network the check is skipped (on CI it fails).

  crosscheck_diff_versions.py TDUMP"""
import shutil
from collections import Counter
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import crosscheck_diff  # noqa: E402
import kcorpus  # noqa: E402
import npm_samples  # noqa: E402


def main(argv):
    if len(argv) != 1:
        print(__doc__)
        return 2
    tool = Path(argv[0])
    if not shutil.which("llvm-readobj") or not shutil.which("objdump"):
        return kcorpus.skip("no llvm-readobj or objdump")
    try:
        pairs = [(label, npm_samples.fetch(old), npm_samples.fetch(new), old, new)
                 for label, old, new in npm_samples.PAIRS]
    except npm_samples.Unavailable as e:
        return kcorpus.skip(f"the npm samples cannot be had: {e}")
    failures = []
    for label, old_path, new_path, old, new in pairs:
        name = f"{label} {old.version} -> {new.version}"
        try:
            rc, d = crosscheck_diff.compare(tool, old_path, new_path, name, failures)
        except (RuntimeError, ValueError, subprocess.CalledProcessError) as e:
            failures.append(f"{name}: {e}")
            continue
        kinds = Counter(e["change"] for e in d.get("exportsChanged", []))
        detail = "".join(f"; {k} {n}" for k, n in sorted(kinds.items()))
        fields = ", ".join(h["field"] for h in d.get("headers", []))
        print(f"{name}: exit {rc}, {d['verdict']}: {crosscheck_diff.counts(d) or 'no changes'}"
              f"{detail}{'; headers: ' + fields if fields else ''}")
        if d["verdict"] == "identical":
            failures.append(f"{name}: two releases compared as identical")
    print(f"{len(failures)} failures")
    for f in failures[:40]:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
