"""The two builds a benchmark run compares.

"new" is this tree's build, installed in the project venv by `./dev bench`.
"old" is a git revision: its tree is exported with `git archive` into
build/bench-baseline/<commit>/src and built with pip, like `./dev build`
does, into build/bench-baseline/<commit>/install (a `--target` directory that
the workers put first on sys.path). Both builds go through scikit-build-core
with the Release build type, the same compiler and the same environment; the
header of every report shows the compiler and flags that each build's CMake
cache recorded. A finished baseline build is reused until its directory is
removed.
"""

from __future__ import annotations

import io
import os
import shutil
import subprocess
import sys
import tarfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BASELINE_DIR = ROOT / "build" / "bench-baseline"


@dataclass
class Build:
    label: str  # "new" or "old"
    revision: str  # what was built
    module_dir: Path | None  # None: the venv's installed module
    module_file: str
    cmake_cache: Path | None

    def describe(self) -> str:
        flags = cmake_flags(self.cmake_cache)
        return f"{self.revision}, {self.module_file}" + (f"\n     {flags}" if flags else "")


def git(*args: str) -> str:
    return subprocess.run(["git", "-C", str(ROOT), *args], check=True, capture_output=True,
                          text=True).stdout.strip()


def cmake_flags(cache: Path | None) -> str:
    if cache is None or not cache.exists():
        return ""
    wanted = ["CMAKE_CXX_COMPILER", "CMAKE_BUILD_TYPE", "CMAKE_CXX_FLAGS",
              "CMAKE_CXX_FLAGS_RELEASE"]
    values = {}
    for line in cache.read_text().splitlines():
        name, _, rest = line.partition(":")
        if name in wanted and "=" in rest:
            values[name] = rest.split("=", 1)[1]
    return ", ".join(f"{k}={values.get(k, '')!r}" for k in wanted)


def current_build() -> Build:
    try:
        import rerozer
    except ImportError:
        raise SystemExit("rerozer is not installed in this interpreter; run ./dev bench")
    caches = sorted(ROOT.glob("build/cp3*/CMakeCache.txt"), key=lambda p: p.stat().st_mtime)
    revision = git("describe", "--always", "--dirty", "--abbrev=7")
    return Build("new", f"this tree at {revision}", None, str(Path(rerozer.__file__).resolve()),
                 caches[-1] if caches else None)


def export_source(rev: str) -> tuple[str, Path]:
    """(commit, home directory) of a revision, its tree exported to
    home/src once."""
    commit = git("rev-parse", "--verify", f"{rev}^{{commit}}")
    home = BASELINE_DIR / commit[:12]
    source = home / "src"
    stamp = home / ".exported-from"
    if not (stamp.exists() and stamp.read_text().strip() == commit and source.exists()):
        shutil.rmtree(source, ignore_errors=True)
        source.mkdir(parents=True)
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", "--format=tar", commit],
                                 check=True, capture_output=True).stdout
        with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
            tar.extractall(source, filter="data")
        stamp.write_text(commit + "\n")
    return commit, home


def baseline_build(rev: str) -> Build:
    commit, home = export_source(rev)
    short = commit[:7]
    install = home / "install"
    stamp = install / ".built-from"
    modules = sorted(install.glob("rerozer*.so")) if install.exists() else []
    if not (stamp.exists() and stamp.read_text().strip() == commit and modules):
        print(f"[bench] building the baseline {short} in {home}", file=sys.stderr, flush=True)
        shutil.rmtree(install, ignore_errors=True)
        env = {**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": "2"}
        subprocess.run(
            [sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
             "--target", str(install),
             "-C", "cmake.build-type=Release",
             "-C", f"build-dir={home / 'build'}",
             str(home / "src")],
            check=True, env=env)
        modules = sorted(install.glob("rerozer*.so"))
        if not modules:
            raise SystemExit(f"the baseline build left no module in {install}")
        stamp.write_text(commit + "\n")
    return Build("old", f"commit {short}", install, str(modules[0]),
                 home / "build" / "CMakeCache.txt")
