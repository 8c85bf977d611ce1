#!/usr/bin/env python3
"""Runs the real tdump binary once per file over the shared corpus and Wine's PE folder.

Each run must end within the bound with exit 0, no signal and no sanitizer report, and
write a non-empty, valid UTF-8 listing. A file that cannot be opened must give exit 1
and still one line on standard output, since the program shows only that.

  run_corpus.py TDUMP SHARED_CORPUS [--bound SECONDS] [--no-wine] [--jobs N]
"""
import argparse
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("shared")
    ap.add_argument("--bound", type=float, default=5.0)
    ap.add_argument("--no-wine", action="store_true")
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args()

    files = [("shared", p) for p in kcorpus.shared_corpus_files(args.shared)]
    absent = 0
    if not files:
        absent |= kcorpus.missing(f"no shared corpus at {args.shared}")
    if not args.no_wine:
        wine = kcorpus.wine_pe_files()
        if wine:
            files += [("wine", p) for p in wine]
        else:
            absent |= kcorpus.missing("Wine's x86_64-windows folder is absent; its DLLs are skipped")
    if not files:
        return kcorpus.skip("nothing to dump")

    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        missing = kcorpus.run_tool(args.tool, Path(tmp) / "no such file.dll", args.bound)
        if missing.timed_out or missing.returncode != 1 or not missing.stdout.strip():
            failures.append(f"missing file: want exit 1 and a line on stdout, got exit "
                            f"{missing.returncode}, stdout {missing.stdout[:200]!r}")

    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        runs = list(pool.map(lambda f: (f[0], kcorpus.run_tool(args.tool, f[1], args.bound)),
                             files))

    counts = {}
    for origin, r in runs:
        counts[origin] = counts.get(origin, 0) + 1
        for why in r.problems():
            failures.append(f"{r.path}: {why}")

    slowest = sorted((r for _, r in runs if not r.timed_out), key=lambda r: -r.seconds)[:5]
    total_out = sum(len(r.stdout) for _, r in runs)
    print(f"dumped {len(runs)} files ({', '.join(f'{k} {v}' for k, v in counts.items())}), "
          f"{total_out / 1e6:.1f} MB of listing")
    print("slowest: " + ", ".join(f"{r.path.name} {r.seconds * 1000:.0f} ms" for r in slowest))
    for f in failures:
        print("FAIL " + f)
    print(f"problems: {len(failures)}")
    return 1 if failures or absent else 0


if __name__ == "__main__":
    sys.exit(main())
