"""Shared pieces of the corpus harnesses: where the files are, and running the tool."""
import os
import random
import subprocess
from pathlib import Path

WINE_DIR = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")
# The 32-bit side, when the package carries one (Debian's wine64 ships a file or two).
WINE32_DIR = Path("/usr/lib/x86_64-linux-gnu/wine/i386-windows")
CATALOGUE_NAMES = {"makefile", "bin.sha"}
CATALOGUE_PREFIXES = ("README", "LICENSE", "COPYING")
CATALOGUE_SUFFIXES = {".txt", ".md", ".bat", ".py"}
PE_SUFFIXES = {".dll", ".exe", ".sys", ".drv", ".acm", ".cpl", ".ocx", ".ax", ".ds",
               ".com", ".tlb", ".msstyles"}


def is_catalogue_text(path):
    name = path.name
    return (name in CATALOGUE_NAMES or name.startswith(CATALOGUE_PREFIXES)
            or path.suffix.lower() in CATALOGUE_SUFFIXES)


def shared_corpus_files(root):
    root = Path(root)
    if not root.is_dir():
        return []
    return sorted(p for p in root.rglob("*") if p.is_file() and not is_catalogue_text(p))


def runs_32_bit_programs():
    """Whether Wine can run a 32-bit Windows program here. A kernel built without
    32-bit support cannot, whatever is installed, so callers leave those runs out
    with a note rather than fail."""
    wine_sh = Path(__file__).resolve().parents[2] / "scripts" / "wine.sh"
    return subprocess.run(["bash", str(wine_sh), "--runs-32-bit"]).returncode == 0


def wine_dir():
    """Wine's 64-bit PE library folder, or None when Wine is not installed."""
    if WINE_DIR.is_dir():
        return WINE_DIR
    try:
        out = subprocess.run(["dpkg", "-L", "libwine"], capture_output=True, text=True,
                             check=False).stdout
    except OSError:
        return None
    for line in out.splitlines():
        if line.endswith("/x86_64-windows") and Path(line).is_dir():
            return Path(line)
    return None


def wine_pe_files():
    dirs = [d for d in (wine_dir(), WINE32_DIR) if d is not None and d.is_dir()]
    files = []
    for p in sorted(p for d in dirs for p in d.iterdir()):
        if not p.is_file() or p.suffix.lower() not in PE_SUFFIXES:
            continue
        with open(p, "rb") as f:
            if f.read(2) == b"MZ":
                files.append(p)
    return files


# Wine's DLLs with the most code and the most kinds of table: always in a draw.
CORE_NAMES = {"kernel32.dll", "kernelbase.dll", "ntdll.dll", "user32.dll", "gdi32.dll", "msvcrt.dll",
              "ucrtbase.dll", "comctl32.dll", "shell32.dll", "ole32.dll", "mshtml.dll", "msxml3.dll",
              "wined3d.dll", "explorer.exe"}


def sample_files(files, n, seed=20261209):
    """A fixed draw of n of the files, in their order, the core DLLs always among
    them; all of them when n is 0 or not fewer than there are. The same every run,
    so a failure comes back when run again."""
    if not n or len(files) <= n:
        return list(files)
    core = [p for p in files if p.name.lower() in CORE_NAMES]
    rest = [p for p in files if p.name.lower() not in CORE_NAMES]
    chosen = set(core[:n]) | set(random.Random(seed).sample(rest, max(0, n - len(core))))
    return [p for p in files if p in chosen]


# What a harness returns when it had nothing to check; ctest shows it as a skip.
SKIP = 77


def skip(reason):
    """Says why nothing was checked. A skip must not pass for a check: on CI, where
    every input is installed, a missing one is a failure."""
    print(f"SKIPPED: {reason}")
    if os.environ.get("CI"):
        print("FAIL: CI is set, and there every input of this check must be present")
        return 1
    return SKIP


def missing(reason):
    """A part of the inputs is absent: a note, or a failure on CI."""
    print(f"note: {reason}")
    return 1 if os.environ.get("CI") else 0


def child_env():
    """Sanitizer reports must not hide behind the tool's own exit code 1."""
    env = dict(os.environ)
    for var, code in (("ASAN_OPTIONS", 86), ("UBSAN_OPTIONS", 87), ("LSAN_OPTIONS", 88)):
        old = env.get(var, "")
        env[var] = (old + ":" if old else "") + f"exitcode={code}"
    return env


SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "runtime error:",
                   "UndefinedBehaviorSanitizer")


class Run:
    def __init__(self, path, returncode, stdout, stderr, seconds, timed_out):
        self.path = path
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.seconds = seconds
        self.timed_out = timed_out

    def problems(self):
        """Why this run is not a sound dump of a readable file; empty when it is."""
        if self.timed_out:
            return [f"no result within the bound ({self.seconds:.1f} s): hang or runaway"]
        out = []
        if self.returncode < 0:
            out.append(f"killed by signal {-self.returncode}")
        elif self.returncode != 0:
            out.append(f"exit code {self.returncode} for a readable file")
        if any(m in self.stderr for m in SANITIZER_MARKS):
            out.append("sanitizer report: " + first_line_with(self.stderr, SANITIZER_MARKS))
        if not self.stdout:
            out.append("empty listing")
        else:
            try:
                self.stdout.decode("utf-8")
            except UnicodeDecodeError as e:
                out.append(f"listing is not valid UTF-8 at byte {e.start}")
        return out

    def text(self):
        return self.stdout.decode("utf-8", errors="replace")


def first_line_with(text, marks):
    for line in text.splitlines():
        if any(m in line for m in marks):
            return line.strip()
    return ""


def run_tool(tool, path, bound, env=None):
    import time
    start = time.monotonic()
    try:
        p = subprocess.run([str(tool), str(path)], capture_output=True, timeout=bound,
                           env=env or child_env(), check=False)
    except subprocess.TimeoutExpired as e:
        return Run(path, None, e.stdout or b"", (e.stderr or b"").decode(errors="replace"),
                   time.monotonic() - start, True)
    return Run(path, p.returncode, p.stdout, p.stderr.decode(errors="replace"),
               time.monotonic() - start, False)


def run_json(tool, paths, bound, batch=40, env=None):
    """tdump --json over `paths`, one process per batch of files (starting one per file
    costs more than most dumps). Yields (path, object, problems): the file's object, or
    None with what went wrong. A batch that fails as a whole (a crash, a hang, lines
    missing) is run again one file at a time, so the fault lands on its file."""
    import json
    paths = list(paths)
    for i in range(0, len(paths), batch):
        part = paths[i:i + batch]
        yield from _json_batch(tool, part, bound * len(part), env, retry=len(part) > 1)


def _json_batch(tool, paths, bound, env, retry):
    import json
    import time
    start = time.monotonic()
    try:
        p = subprocess.run([str(tool), "--json", "--", *map(str, paths)], capture_output=True,
                           timeout=bound, env=env or child_env(), check=False)
        run = Run(paths[0], p.returncode, p.stdout, p.stderr.decode(errors="replace"),
                  time.monotonic() - start, False)
    except subprocess.TimeoutExpired as e:
        run = Run(paths[0], None, e.stdout or b"", (e.stderr or b"").decode(errors="replace"),
                  time.monotonic() - start, True)
    lines = run.stdout.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    whole = run.problems()
    if len(lines) != len(paths):
        whole.append(f"{len(lines)} JSON lines for {len(paths)} files")
    if whole and retry:
        for path in paths:
            yield from _json_batch(tool, [path], bound / len(paths), env, retry=False)
        return
    if whole:
        yield paths[0], None, whole
        return
    for path, line in zip(paths, lines):
        try:
            obj = json.loads(line.decode("utf-8"))
        except ValueError as e:
            yield path, None, [f"not valid JSON: {e}"]
            continue
        if "error" in obj:
            yield path, None, [f"tool could not read it: {obj['error']}"]
        else:
            yield path, obj, []
