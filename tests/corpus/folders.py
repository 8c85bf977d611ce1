#!/usr/bin/env python3
"""`tdump FOLDER`: a tree made here of Wine's files (a fixed draw), text files, a
link back up the tree, a link to nothing and a pipe is listed as `tdump` lists
the same files named one after another in path order, byte for byte: the link
to nothing is a line where it stands and exit 1, the loop is entered once, the
others are counted in one line at the end. --json gives one object a file.

  folders.py TDUMP [--work DIR] [--sample N]"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402


def make_tree(work, files):
    """The tree, and the files tdump must list (path order, as it names them) and skip."""
    if work.exists():
        shutil.rmtree(work)
    root = work / "tree"
    half = len(files) // 2
    (root / "b-sub" / "deeper").mkdir(parents=True)
    (root / "b").mkdir()
    for i, f in enumerate(files):
        where = root if i < half else (root / "b-sub" if i % 2 else root / "b-sub" / "deeper")
        os.symlink(f, where / f.name)
    (root / "b" / "notes.txt").write_text("not a PE file\n")
    (root / "b" / "empty.dll").write_bytes(b"")
    (root / "b-sub" / "deeper" / "up").symlink_to("../..")  # back to the top: not walked again
    (root / "b" / "gone.dll").symlink_to("nowhere.dll")
    os.mkfifo(root / "b" / "pipe")
    # Path order: each folder's names sorted as bytes, a folder's files in its place.
    listed, skipped = [], 0
    def walk(d):
        nonlocal skipped
        for name in sorted(os.listdir(d), key=os.fsencode):
            p = d / name
            if p.is_dir():
                if name != "up":
                    walk(p)
            elif not p.exists():
                listed.append(p)  # a link to nothing: the line that says so
            elif not p.is_file() or not is_listed_kind(p):
                skipped += 1
            else:
                listed.append(p)
    walk(root)
    return root, listed, skipped


def is_listed_kind(p):
    head = p.read_bytes()[:4096]
    if head.startswith(b"!<arch>\n"):
        return True
    if head[:2] != b"MZ" or len(head) < 0x40:
        return False
    at = int.from_bytes(head[0x3C:0x40], "little")
    with open(p, "rb") as f:
        f.seek(at)
        sig = f.read(4)
    return sig == b"PE\0\0" or sig[:2] == b"NE"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump")
    ap.add_argument("--work", type=Path, default=Path("folders-work"))
    ap.add_argument("--sample", type=int, default=40)
    args = ap.parse_args()
    wine = kcorpus.wine_dir()
    if wine is None:
        return kcorpus.skip("no Wine DLLs")
    pool = sorted(p for p in wine.iterdir() if p.is_file())
    files = sorted(random.Random(20261209).sample(pool, min(args.sample, len(pool))))
    root, listed, skipped = make_tree(args.work, files)
    failures = []
    env = kcorpus.child_env()
    whole = subprocess.run([str(args.tdump), str(root)], capture_output=True, env=env, check=False)
    one_by_one = subprocess.run([str(args.tdump)] + [str(p) for p in listed], capture_output=True, env=env,
                                check=False)
    tail = f"\ntdump: {skipped} other files under \"{root}\" skipped: not PE images, COFF objects, archives or NE files\n"
    if whole.stdout != one_by_one.stdout + tail.encode():
        a, b = whole.stdout, one_by_one.stdout + tail.encode()
        at = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))
        failures.append(f"the folder's listing is not the files' listing in path order: from byte {at}, "
                        f"{a[at:at + 160]!r} against {b[at:at + 160]!r}")
    if whole.returncode != 1:
        failures.append(f"a link to nothing in the folder, yet exit {whole.returncode}")
    if any(m in whole.stderr.decode(errors="replace") for m in kcorpus.SANITIZER_MARKS):
        failures.append("sanitizer report: " + whole.stderr.decode(errors="replace")[:300])
    js = subprocess.run([str(args.tdump), "--json", str(root)], capture_output=True, env=env, check=False)
    try:
        objects = [json.loads(line) for line in js.stdout.decode("utf-8").splitlines()]
        names = [o.get("file") for o in objects[:-1]]
        if names != [str(p) for p in listed] or objects[-1] != {"schema": 1, "folder": str(root), "skipped": skipped}:
            failures.append(f"--json: files {names[:5]}..., last {objects[-1]}")
    except (ValueError, IndexError) as e:
        failures.append(f"--json: {e}")
    print(f"{len(listed)} files listed, {skipped} skipped, {len(failures)} failures")
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
