#!/usr/bin/env python3
"""Cross-checks the Certificates part of tdump's JSON (--json) against osslsigncode and openssl.

Signs copies of two Wine DLLs (PE32+ and PE32) with a certificate made here by
openssl: SHA-1, SHA-256, SHA-384, SHA-512, a nested second signature, an RFC 3161
time stamp from osslsigncode's own time-stamping authority, a copy with one byte
of code changed after signing and one with data appended after the signature.
For each, the signed and the computed digest of every signature must equal what
`osslsigncode verify` calls the current and the calculated message digest, and
the certificates' subjects, issuers (RFC 4514 order) and serials must equal what
`openssl x509` says of the certificates `openssl pkcs7 -print_certs` takes out of
the extracted signature.

  sigcheck.py TDUMP --work DIR
Exits 77 (skipped) when osslsigncode or openssl is missing.
"""
import argparse
import datetime
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

BASES = [Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/version.dll"),
         Path("/usr/lib/i386-linux-gnu/wine/i386-windows/version.dll")]
TSA_TIME = 1700000100  # 2023-11-14 22:15:00 UTC


def run(*args, check=True):
    p = subprocess.run([str(a) for a in args], capture_output=True, text=True, errors="replace")
    if check and p.returncode != 0:
        raise SystemExit(f"sigcheck: {' '.join(map(str, args))} failed:\n{p.stdout}{p.stderr}")
    return p


def make_keys(work):
    """A self-signed code-signing certificate and a time-stamping authority."""
    for name, subj, ext in [
        ("signer", "/C=CN/O=Kestrova Test, Ltd/CN=Kestrova Test Signer", ["-addext", "extendedKeyUsage=codeSigning"]),
        ("tsa", "/CN=Kestrova Test TSA", ["-addext", "extendedKeyUsage=critical,timeStamping",
                                           "-addext", "basicConstraints=CA:FALSE"]),
    ]:
        if not (work / f"{name}.pem").exists():
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-subj", subj,
                "-keyout", work / f"{name}.key", "-out", work / f"{name}.pem", *ext)


def sign(work, src, out, digest, *extra):
    out.unlink(missing_ok=True)
    run("osslsigncode", "sign", "-certs", work / "signer.pem", "-key", work / "signer.key", "-h", digest,
        "-n", "Kestrova Test", "-i", "https://kestrova.example/", *extra, "-in", src, "-out", out)


def peer_digests(path):
    """(current, calculated) per signature, in osslsigncode's order."""
    text = run("osslsigncode", "verify", "-in", path, check=False).stdout
    cur = re.findall(r"Current message digest\s*:\s*([0-9A-F]+)", text)
    calc = re.findall(r"Calculated message digest\s*:\s*([0-9A-F]+)", text)
    return list(zip(cur, calc)), text


def peer_certs(work, path):
    """(subject, issuer, serial) of each certificate of the outer signature."""
    der = work / (path.name + ".p7")
    der.unlink(missing_ok=True)
    run("osslsigncode", "extract-signature", "-in", path, "-out", der)
    pem = run("openssl", "pkcs7", "-inform", "DER", "-in", der, "-print_certs").stdout
    certs = []
    for block in re.findall(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", pem, re.S):
        p = subprocess.run(["openssl", "x509", "-noout", "-subject", "-issuer", "-serial", "-nameopt", "RFC2253"],
                           input=block, capture_output=True, text=True, check=True).stdout
        f = dict(line.split("=", 1) for line in p.splitlines())
        certs.append((f["subject"].strip(), f["issuer"].strip(), f["serial"].strip().upper()))
    return certs


def ours(obj):
    """Signatures in our JSON, outer ones before those nested in them, and the texts of the
    Certificates part's anomalies."""
    part = obj.get("parts", {}).get("Certificates", {})
    sigs = [s for e in part.get("entries", []) for s in e.get("signatures", [])]
    return sigs, [a.get("text", "") for a in part.get("anomalies", [])]


def certs_of(sig):
    return [(c.get("subject"), c.get("issuer"), c.get("serialNumber"))
            for c in sig.get("certificates", [])]


def check(work, path, obj, failures, expect_match=True, expect_stamp=False):
    mine, anomalies = ours(obj)
    peer, peer_text = peer_digests(path)
    name = path.name
    if len(mine) != len(peer) or not peer:
        failures.append(f"{name}: {len(mine)} signatures in our JSON, osslsigncode reports {len(peer)}")
        return
    for i, (m, (cur, calc)) in enumerate(zip(mine, peer), 1):
        if m.get("signedDigest") != cur or m.get("computedDigest") != calc:
            failures.append(f"{name} signature {i}: ours {m.get('signedDigest')} / "
                            f"{m.get('computedDigest')}, peer {cur} / {calc}")
        if m.get("digestMatches") is not expect_match:
            failures.append(f"{name} signature {i}: digestMatches {m.get('digestMatches')}")
    if not expect_match and not any("the file was changed after it was signed" in a for a in anomalies):
        failures.append(f"{name}: the mismatch is not among the Certificates part's anomalies")
    peer_c = peer_certs(work, path)
    if sorted(certs_of(mine[0])) != sorted(peer_c):
        failures.append(f"{name}: certificates {certs_of(mine[0])} != openssl's {peer_c}")
    if expect_stamp:
        want = datetime.datetime.fromtimestamp(TSA_TIME, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        got = [(s.get("kind"), s.get("time"), s.get("authorityCommonName"))
               for s in mine[0].get("timeStamps", [])]
        if ("rfc3161", want, "Kestrova Test TSA") not in got:
            failures.append(f"{name}: time stamp {got}, expected RFC 3161 at {want} by Kestrova Test TSA")
        if "Timestamp time: Nov 14 22:15:00 2023 GMT" not in peer_text:
            failures.append(f"{name}: osslsigncode does not see the time stamp this check made")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tdump")
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    if not shutil.which("osslsigncode") or not shutil.which("openssl"):
        print("sigcheck: osslsigncode or openssl missing; skipped")
        return 77
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    make_keys(work)
    failures, cases, appended = [], [], []
    for base in [b for b in BASES if b.exists()]:
        tag = base.parent.name.split("-")[0]
        for digest in ["sha1", "sha256", "sha384", "sha512"]:
            out = work / f"{tag}-{digest}.dll"
            sign(work, base, out, digest)
            cases.append((out, {}))
        primary = work / f"{tag}-sha256.dll"
        nested = work / f"{tag}-nested.dll"
        sign(work, primary, nested, "sha1", "-nest")
        cases.append((nested, {}))
        stamped = work / f"{tag}-stamped.dll"
        sign(work, base, stamped, "sha256", "-TSA-certs", work / "tsa.pem", "-TSA-key", work / "tsa.key",
             "-TSA-time", TSA_TIME)
        cases.append((stamped, {"expect_stamp": True}))
        # One byte of the first section's code changed after signing.
        data = bytearray(primary.read_bytes())
        lfanew = int.from_bytes(data[0x3C:0x40], "little")
        opt = int.from_bytes(data[lfanew + 20:lfanew + 22], "little")
        first = lfanew + 24 + opt
        raw = int.from_bytes(data[first + 20:first + 24], "little")
        data[raw + 16] ^= 0x01
        tampered = work / f"{tag}-tampered.dll"
        tampered.write_bytes(bytes(data))
        cases.append((tampered, {"expect_match": False}))
        # Data appended after the signature: osslsigncode refuses such a file, so
        # only our verdict is held to what it must be.
        extra = work / f"{tag}-appended.dll"
        extra.write_bytes(primary.read_bytes() + b"appended after signing")
        appended.append(extra)
    # One tdump run for every file made.
    got = {path: (obj, problems) for path, obj, problems in
           kcorpus.run_json(args.tdump, [c[0] for c in cases] + appended, 30)}
    for path, expect in cases:
        obj, problems = got[path]
        if problems:
            failures += [f"{path.name}: tool run: {p}" for p in problems]
        else:
            check(work, path, obj, failures, **expect)
    for path in appended:
        obj, problems = got[path]
        mine, anomalies = ours(obj or {})
        if problems or not mine or mine[0].get("digestMatches") is not False or \
                not any("22 bytes follow the certificate table" in a for a in anomalies):
            failures.append(f"{path.name}: appended data not reported as a mismatch")
    checked = len(cases) + len(appended)
    for f in failures:
        print("sigcheck: " + f)
    print(f"sigcheck: {checked} signed files, {len(failures)} disagreements")
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
