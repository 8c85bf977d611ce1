#!/usr/bin/env python3
"""The signature part's cost: tdump on a signed 30 MB file against sha256sum of it.

Signs a copy of a Wine DLL carrying 30 MB of data after its sections (hashed
like the sections are) with osslsigncode, under a certificate made by openssl,
then times, as the median of several runs each:
  - sha256sum of the signed file (the target: tdump within 1.5x of it),
  - tdump on the signed file (headers, checksum, signature and its digest),
  - tdump on the same file unsigned (everything but the digest),
and prints the figures and the ratio.

  sigbench.py --tdump PATH [--work DIR] [--mb 30] [--runs 7]
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

BASE = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/version.dll")


def median_seconds(cmd, runs):
    """Median wall time and median CPU time (user + system): on a shared machine the
    second says more, since the first includes waiting for a core."""
    wall, cpu = [], []
    for _ in range(runs):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        t = time.perf_counter()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        wall.append(time.perf_counter() - t)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    return statistics.median(wall), statistics.median(cpu)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tdump", required=True)
    ap.add_argument("--work", default="build/sigbench-work")
    ap.add_argument("--mb", type=int, default=30)
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    key, cert = work / "key.pem", work / "cert.pem"
    if not cert.exists():
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
                        "-subj", "/CN=Kestrova Bench", "-keyout", key, "-out", cert], check=True,
                       capture_output=True)
    plain, signed = work / f"plain-{args.mb}mb.dll", work / f"signed-{args.mb}mb.dll"
    if not signed.exists():
        data = BASE.read_bytes()
        data += b"\0" * (-len(data) % 8) + os.urandom(args.mb << 20)
        plain.write_bytes(data)
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
                        "-in", plain, "-out", signed], check=True, capture_output=True)
    # Warm the page cache so every tool reads from memory.
    signed.read_bytes()
    plain.read_bytes()
    size = signed.stat().st_size
    sha = median_seconds(["sha256sum", signed], args.runs)
    ours = median_seconds([args.tdump, signed], args.runs)
    unsigned = median_seconds([args.tdump, plain], args.runs)
    listing = subprocess.run([args.tdump, signed], capture_output=True, text=True).stdout
    verdict = "matches" if "matches: the file's bytes are as signed" in listing else "NO MATCH"
    print(f"signed file: {size / 1e6:.1f} MB ({signed})")
    print("                       wall ms   CPU ms")
    print(f"sha256sum:            {sha[0] * 1000:8.1f} {sha[1] * 1000:8.1f}")
    print(f"tdump, signed:        {ours[0] * 1000:8.1f} {ours[1] * 1000:8.1f}   (digest {verdict})")
    print(f"tdump, unsigned:      {unsigned[0] * 1000:8.1f} {unsigned[1] * 1000:8.1f}   (no digest to compute)")
    for what, i in (("wall", 0), ("CPU", 1)):
        ratio = ours[i] / max(sha[i], 1e-9)
        print(f"tdump / sha256sum, {what}: {ratio:5.2f}x  (target 1.5x: {'met' if ratio <= 1.5 else 'MISSED'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
