#!/usr/bin/env python3
"""tdump's listing of Kestrova.exe itself: the resources the build puts in must all show.

  kestrova_resources.py --wine scripts/wine.sh --tdump tdump.exe --program Kestrova.exe
"""
import argparse
import re
import subprocess
import sys

# What the program's resource script and build put in, as the listing must show it.
EXPECTED = {
    "Resources": [
        r"^  EXE\s{2,}TDUMP\s{2,}lang 0804 \(zh-CN\)\s",         # the dump tool it carries
        r"^  VCLSTYLE\s{2,}ONYXBLUE\s{2,}lang ",             # the skin
        r"^  RCDATA\s{2,}TFORM1\s{2,}lang ",                 # the window layout
        r"^  GROUP_ICON\s{2,}MAINICON\s{2,}lang ",
    ],
    "Version information": [
        r"^  FileVersion\s+1\.0\.0\.0$",
        r"^  ProductVersion\s+1\.0\.0\.0$",
        r"^  FileType\s+00000001  APP\b",
        r"^  StringFileInfo\s+080404B0  lang 0804 \(zh-CN\), code page 1200\b",
        r"^    CompanyName\s+The Kestrova Authors$",
        r"^    OriginalFilename\s+Kestrova\.exe$",
        r"^    ProductName\s+Kestrova$",
        r"^  Translation\s+080404B0\b",
    ],
    "Manifest": [
        r"^  Resource\s+#1  \(a program's manifest",
        r"^  requestedExecutionLevel\s+asInvoker$",
        r"^  uiAccess\s+false$",
        r"^  dependentAssembly\s+Microsoft\.Windows\.Common-Controls  version 6\.0\.0\.0\b.*publicKeyToken 6595b64144ccf1df",
        r"^  supportedOS\s+\S+  Windows Vista$",
        r"^  supportedOS\s+\S+  Windows 7$",
        r"^  supportedOS\s+\S+  Windows 8$",
        r"^  supportedOS\s+\S+  Windows 8\.1$",
        r"^  supportedOS\s+\S+  Windows 10 and 11$",
    ],
}


def parts(text):
    out, name = {}, None
    for line in text.splitlines():
        if line.startswith("== ") and line.endswith(" =="):
            name = line[3:-3]
            out[name] = []
        elif name is not None:
            out[name].append(line)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--wine", required=True)
    ap.add_argument("--tdump", required=True)
    ap.add_argument("--program", required=True)
    args = ap.parse_args()
    run = subprocess.run([args.wine, args.tdump, "Z:" + args.program.replace("/", "\\")], capture_output=True,
                         check=False)
    text = run.stdout.decode("utf-8", errors="replace").lstrip("\ufeff")
    listing = parts(text)
    failures = []
    if run.returncode != 0:
        failures.append(f"tdump exit code {run.returncode}")
    for part, patterns in EXPECTED.items():
        lines = listing.get(part)
        if lines is None:
            failures.append(f"no '{part}' part")
            continue
        failures += [f"{part}: no line like {p}" for p in patterns if not any(re.search(p, l) for l in lines)]
        failures += [f"{part}: {l.strip()}" for l in lines if l.startswith("  ! warning")]
    for f in failures:
        print("  " + f)
    print(f"kestrova_resources: {'FAILED' if failures else 'all resources shown'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
