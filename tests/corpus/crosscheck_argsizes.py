#!/usr/bin/env python3
"""Argument sizes of the exports of Wine's i386 DLLs, inferred from their code, against
two references: the decorated names (_CreateFileW@28) in the COFF symbol tables those
DLLs keep, which are the truth, and mingw-w64's gendef, run again with -I over its
previous .def files until they stop changing.

  crosscheck_argsizes.py EXPORT_ARGS [--dir DIR] [--work DIR]

Where we decide, we agree with the symbols; where both we and gendef decide, we agree
with gendef; we decide at least as many exports as gendef, and are never wrong where it
is right. A jump through the IAT is settled here by our own answer for the imported
function, the way gendef's -I passes settle it by its .def of that DLL."""
import argparse
import random
import re
import shutil
import struct
import subprocess
import sys
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402

# Where Debian's wine32 package puts Wine's i386 DLLs.
CORE = {"kernel32.dll", "kernelbase.dll", "ntdll.dll", "msvcrt.dll", "ucrtbase.dll", "user32.dll",
        "gdi32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "ws2_32.dll", "shlwapi.dll"}
I386_DIR = Path("/usr/lib/i386-linux-gnu/wine/i386-windows")
DECORATED = re.compile(r"^_(.+)@(\d+)$")


def image_base(path):
    data = path.read_bytes()[:4096]
    lfanew = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, lfanew + 24 + 28)[0]


# The code pops what the decoration does not count: a struct returned through a hidden
# pointer (D2D1_COLOR_F here), which the callee pops as well.
# RtlUserThreadStart jumps on to a cdecl function whose one ret follows a call that
# terminates the process: the code's ret is never reached, the decoration counts 8.
KNOWN = {("d2d1.dll", "D2D1ConvertColorSpace"), ("ntdll.dll", "RtlUserThreadStart")}


def truth(path, nm):
    """Export address -> argument bytes from the function symbols there, when they agree;
    and the addresses of Wine's stubs for unimplemented functions, which never return."""
    out = subprocess.run([nm, "--defined-only", str(path)], capture_output=True, text=True,
                         check=False).stdout
    by_addr, stubs = {}, set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) != 3 or parts[1] not in "Tt":
            continue
        addr, name = int(parts[0], 16), parts[2]
        if name.startswith("___wine_stub_"):
            stubs.add(addr)
        m = DECORATED.match(name)
        if m:
            by_addr.setdefault(addr, set()).add(int(m.group(2)))
        elif name.startswith("_") and "@" not in name and not name.startswith("__"):
            by_addr.setdefault(addr, set()).add(0)
    return {a: next(iter(v)) for a, v in by_addr.items() if len(v) == 1}, stubs


def ours(tool, path):
    """(ordinal, name) -> verdict words, as export_args writes them."""
    out = subprocess.run([str(tool), str(path)], capture_output=True, text=True, check=False,
                         env=kcorpus.child_env())
    if out.returncode != 0 or any(m in out.stderr for m in kcorpus.SANITIZER_MARKS):
        raise RuntimeError(f"export_args failed on {path.name}: {out.stderr.strip()[:300]}")
    rows = {}
    for line in out.stdout.splitlines():
        ordinal, name, rva, verdict = line.split("\t")
        rows[(int(ordinal), name)] = (int(rva), verdict.split())
    return rows


class Resolver:
    """Settles "import DLL FUNCTION" verdicts by our verdict for that function."""

    def __init__(self, tool, folder):
        self.tool, self.folder, self.cache = tool, folder, {}

    def table(self, dll):
        key = dll.lower()
        if key not in self.cache:
            p = self.folder / key
            self.cache[key] = ours(self.tool, p) if p.is_file() else {}
        return self.cache[key]

    def settle(self, verdict, depth=0):
        """Follows jumps through the IAT and forwarders, a few links deep."""
        if depth > 4:
            return verdict
        if verdict[0] == "import" and len(verdict) >= 3:
            dll, func = verdict[1], verdict[2]
        elif verdict[0] == "forwarder" and len(verdict) >= 2 and "." in verdict[1]:
            dll, _, func = verdict[1].rpartition(".")
            dll += ".dll"
        else:
            return verdict
        for (ordinal, name), (_, v) in self.table(dll).items():
            if name == func or (func.startswith("#") and f"#{ordinal}" == func):
                return self.settle(v, depth + 1)
        return verdict


def decided(verdict):
    """Argument bytes of a verdict, or None when it decides nothing."""
    if verdict[0] == "stdcall":
        return int(verdict[1])
    if verdict[0] == "noargs":
        return 0
    return None


def gendef_passes(dlls, work, reuse=False):
    """Runs gendef until its .def files stop changing; name -> {export: bytes or None}."""
    passes = sorted(work.glob("pass*"))
    if reuse and passes:
        return parse_defs(passes[-1])
    shutil.rmtree(work, ignore_errors=True)
    prev = None
    for n in range(6):
        here = work / f"pass{n}"
        here.mkdir(parents=True)
        cmd = ["gendef"] + (["-I", str(prev)] if prev else []) + [str(p) for p in dlls]
        subprocess.run(cmd, cwd=here, capture_output=True, check=False)
        if prev and all((here / f.name).read_bytes() == f.read_bytes() for f in prev.glob("*.def")):
            break
        prev = here
    return parse_defs(here)


def parse_defs(here):
    result = {}
    for f in here.glob("*.def"):
        table = {}
        in_exports = False
        for line in f.read_text(errors="replace").splitlines():
            if line.startswith("EXPORTS"):
                in_exports = True
                continue
            if not in_exports or not line.strip() or line.startswith(";"):
                continue
            body, _, comment = line.partition(";")
            words = body.split()
            if not words or "=" in words or "DATA" in words:
                continue
            name = words[0]
            m = re.search(r"has WINAPI \(@(\d+)\)", comment)
            if "Check!!!" in comment:
                table[name] = None
            elif m:
                table[name] = int(m.group(1))
            elif re.match(r"^[^?].*@\d+$", name):
                base, _, n = name.rpartition("@")
                table[base] = int(n)
                table.setdefault(name, int(n))
            else:
                table[name] = 0  # a plain ret (C++ names carry their readable form as the comment)
        result[f.stem.lower()] = table
    return result


FOLLOWED = re.compile(r"args (\d+) \((?:stdcall|callee pops|cdecl or no arguments)[^)]*, as (\S+) (\S+)\)")


def check_followed(tdump, dll_dir, work, nm):
    """The listing follows a thunk into the DLL the Dependencies part found (here a
    drive whose SysWOW64 is Wine's i386 folder): each size it takes from there must be
    the one the target's decorated symbol gives."""
    root = work / "drive"
    shutil.rmtree(root, ignore_errors=True)
    (root / "Windows").mkdir(parents=True)
    (root / "Windows" / "SysWOW64").symlink_to(dll_dir.resolve())
    (root / "Windows" / "System32").symlink_to(dll_dir.resolve())
    sizes, agree, wrong = {}, 0, []
    for name in ("kernel32.dll", "advapi32.dll", "user32.dll"):
        out = subprocess.run([tdump, "--windows-root", str(root), str(dll_dir / name)], capture_output=True,
                             text=True, errors="replace", check=False).stdout
        for m in FOLLOWED.finditer(out):
            n, target, fn = int(m.group(1)), m.group(2).lower(), m.group(3)
            if target not in sizes:
                syms = subprocess.run([nm, "--defined-only", str(dll_dir / target)], capture_output=True,
                                      text=True, check=False).stdout
                sizes[target] = {}
                for line in syms.splitlines():
                    d = DECORATED.match(line.split()[-1]) if line.split() else None
                    if d:
                        sizes[target].setdefault(d.group(1), set()).add(int(d.group(2)))
            want = sizes[target].get(fn)
            if want is None:
                continue
            if n in want:
                agree += 1
            else:
                wrong.append(f"{name}: {m.group(0)}; {target} says {sorted(want)}")
    print(f"thunks followed in the listing: {agree} agree with the target's symbols, {len(wrong)} do not")
    for line in wrong[:20]:
        print("WRONG", line)
    return agree > 0 and not wrong


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("export_args")
    ap.add_argument("--dir", type=Path, default=I386_DIR)
    ap.add_argument("--tdump", help="also check the listing's thunks followed into other DLLs")
    ap.add_argument("--work", type=Path, default=Path("argsizes-work"))
    ap.add_argument("--sample", type=int, default=0,
                    help="check N DLLs (a fixed draw, the core system DLLs always among them)")
    ap.add_argument("--reuse-gendef", action="store_true",
                    help="take gendef's .def files from an earlier run in --work")
    args = ap.parse_args()
    if not args.dir.is_dir():
        return kcorpus.skip(f"no Wine i386 DLLs at {args.dir} (Debian's wine32 package)")
    nm = shutil.which("i686-w64-mingw32-nm") or shutil.which("nm")
    if not shutil.which("gendef") or not nm:
        return kcorpus.skip("gendef (mingw-w64-tools) or nm not installed")
    dlls = sorted(p for p in args.dir.iterdir() if p.suffix.lower() == ".dll")
    if args.sample and len(dlls) > args.sample:
        # gendef settles a thunk through its import only when it has read that DLL too.
        core = [p for p in dlls if p.name.lower() in CORE]
        rest = [p for p in dlls if p.name.lower() not in CORE]
        dlls = sorted(core + random.Random(20261209).sample(rest, args.sample - len(core)))
    resolver = Resolver(args.export_args, args.dir)
    gendef = gendef_passes(dlls, args.work.resolve(), args.reuse_gendef)

    c = Counter()
    wrong, worse = [], []
    for p in dlls:
        rows = resolver.table(p.name)
        if not rows:
            continue
        base = image_base(p)
        syms, stubs = truth(p, nm)
        g = gendef.get(p.stem.lower(), {})
        for (ordinal, name), (rva, verdict) in rows.items():
            if verdict[0] in ("forwarder", "data", "none"):
                continue
            settled = resolver.settle(verdict)
            mine = decided(settled)
            if base + rva in stubs:
                # Never returns: no answer is right, whatever the next function's ret says.
                c["stubs"] += 1
                c["stubs gendef gave a size"] += g.get(name) is not None
                if mine is not None:
                    wrong.append(f"{p.name} {name}: a stub that never returns, yet ours {mine}")
                continue
            c["code"] += 1
            true = None if name.startswith("?") or (p.name, name) in KNOWN else syms.get(base + rva)
            theirs = g.get(name)
            c["ours decided"] += mine is not None
            c["gendef decided"] += theirs is not None
            if verdict[0] == "import":
                c["through the IAT"] += 1
            if true is not None:
                c["with a symbol"] += 1
                if mine is not None:
                    c["ours checked"] += 1
                    if mine != true:
                        wrong.append(f"{p.name} {name or '#' + str(ordinal)}: ours {mine}, symbol says {true}")
                if theirs is not None and theirs == true and mine is not None and mine != true:
                    worse.append(f"{p.name} {name or '#' + str(ordinal)}: gendef {theirs} (right), ours {' '.join(settled)}")
            if mine is None and theirs is not None:
                c["gendef only"] += 1
                if c["gendef only"] <= 10:
                    print(f"gendef only: {p.name} {name}: gendef {theirs}, ours {' '.join(settled)}")
            if mine is not None and theirs is not None:
                c["both decided"] += 1
                if mine != theirs:
                    c["disagree with gendef"] += 1
                    print(f"differs from gendef: {p.name} {name}: ours {mine}, gendef {theirs}, symbol {true}")
    for k in ("stubs", "stubs gendef gave a size", "code", "gendef only", "ours decided", "gendef decided", "through the IAT", "with a symbol",
              "ours checked", "both decided", "disagree with gendef"):
        print(f"{k}: {c[k]}")
    if c["code"]:
        print(f"decided: ours {100 * c['ours decided'] / c['code']:.2f}%, "
              f"gendef {100 * c['gendef decided'] / c['code']:.2f}%")
    for line in wrong[:40]:
        print("WRONG", line)
    for line in worse[:40]:
        print("WORSE THAN GENDEF", line)
    ok = not wrong and not worse and c["ours decided"] >= c["gendef decided"]
    if args.tdump:
        ok = check_followed(args.tdump, args.dir, args.work, nm) and ok
    if c["code"] == 0:
        return kcorpus.skip("no code exports found")
    print("OK" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
