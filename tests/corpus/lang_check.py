#!/usr/bin/env python3
"""The Chinese listing says what the English one says: over a fixed draw of Wine's files
and the shared corpus, both listings have the same parts in the same order, the same lines
in each part (but for where At a glance says the parts start), and on each line the same
numbers and the same names from the file (tokens with a dot, an underscore or one of
@?$:\\/, or letters mixed with digits), whatever order the sentence puts them in. A translation that drops a value, or a printer that writes a
number only in one language, shows here; one that forgets to translate shows in the
catalog's own test.

  lang_check.py TDUMP SHARED_CORPUS [--max N]
"""
import argparse
import collections
import re
import subprocess
import sys
from pathlib import Path

import kcorpus

TOKEN = re.compile(r"[A-Za-z0-9_.@?$:\\/]+")
HEX = re.compile(r"^(0x)?[0-9A-Fa-f]+$")
TITLE = re.compile(r"^== (.*) ==$")


def facts(line):
    """The numbers and names of a line, as a multiset."""
    out = collections.Counter()
    for t in TOKEN.findall(line):
        t = t.strip(".:")  # sentence punctuation around a value
        # Words of ours, not names: "n/a" (不适用), a question ("a loop?").
        if not t or t == "n/a" or re.fullmatch(r"[a-z]+\?", t):
            continue
        if HEX.match(t) and any(c.isdigit() for c in t):
            out["n:" + t] += 1
        elif re.search(r"[_.@?$\\/]", t) or (re.search(r"[0-9]", t) and re.search(r"[A-Za-z]", t)):
            out["s:" + t] += 1
    return out


# At a glance ends with where each part starts: lines that the other language's shorter
# or longer titles fill differently, and numbers that follow from its own length.
WHERE_TO_LOOK = ("  Where to look", "  各部分位置")


def parts(text):
    """[(title, [lines])], the lines before the first title as the part ''."""
    out = [("", [])]
    skipping = False
    for line in text.splitlines():
        m = TITLE.match(line)
        if m:
            out.append((m.group(1), []))
            skipping = False
        elif line.startswith(WHERE_TO_LOOK) or (skipping and line.startswith("   ")):
            skipping = True
        else:
            skipping = False
            out[-1][1].append(line)
    return out


def listing(tool, path, lang):
    r = subprocess.run([tool, "--lang", lang, str(path)], capture_output=True, timeout=120,
                       env=kcorpus.child_env())
    return r.stdout.decode("utf-8", "surrogateescape")


def compare(en, zh):
    """The first difference in what the two listings say, or None."""
    pe, pz = parts(en), parts(zh)
    if len(pe) != len(pz):
        return f"{len(pe)} parts in English, {len(pz)} in Chinese"
    for (te, le), (tz, lz) in zip(pe, pz):
        if len(le) != len(lz):
            return f"part '{te}': {len(le)} lines in English, {len(lz)} in Chinese ('{tz}')"
        for a, b in zip(le, lz):
            fa, fb = facts(a), facts(b)
            if fa != fb:
                lost = sorted((fa - fb).elements())
                added = sorted((fb - fa).elements())
                return f"part '{te}':\n  en: {a}\n  zh: {b}\n  only en: {lost} only zh: {added}"
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("corpus")
    ap.add_argument("--max", type=int, default=60)
    args = ap.parse_args()
    files = kcorpus.sample_files(kcorpus.wine_pe_files(), args.max)
    files += kcorpus.sample_files(kcorpus.shared_corpus_files(args.corpus), args.max)
    if not files:
        return kcorpus.skip("neither Wine's PE files nor the shared corpus is here")
    bad = 0
    for path in files:
        why = compare(listing(args.tool, path, "en"), listing(args.tool, path, "zh-CN"))
        if why:
            bad += 1
            if bad <= 10:
                print(f"FAIL {path}: {why}")
    print(f"{len(files)} files, {bad} whose Chinese listing says something else than the English one")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
