"""Does the test suite catch these faults? Each fault of a TOML file, a
one-line slip, is applied alone to a copy of the tree, and a test must fail.

    ./dev mutate tests/faults/issue-38.toml [MORE.toml ...] [--fault NAME] [--timeout S]

A fault file holds ``[[fault]]`` tables::

    [[fault]]
    name = "short-name"
    file = "src/rerozer_tables/graph/time_rules.py"   # path from the repo root
    old = '''exact old text (must occur exactly once in the file)'''
    new = '''the replacement'''
    tests = ["tests/test_graph_time_rules.py"]        # run these first

The tree (every file git tracks or would track, uncommitted changes
included) is copied once into a temporary folder; the real tree is only
read, so an error or Ctrl-C cannot leave it changed, and the copy is
removed at the end. For each fault, in the copy: the old text is replaced,
the extension is built again when the fault is in the C++ sources, the
fault's own tests run, and if they pass the whole Python suite
(``-m "not training_run" -x``); then the file is restored. The copy's
Python sources are imported through PYTHONPATH, with the extension modules
that ``./dev build`` installed (or, for a C++ fault, those built in the
copy). One line per fault says which test killed it, with the first line
of its message, or that it survived. Before any fault, the faults' own
tests must pass on the unchanged copy, and a test that kills a fault only
in the whole suite is run again on the unchanged copy, so that a test
failing for another reason is never counted as a kill. Exit status: 0 when
every fault is killed, 1 when one survives, 2 for a fault file or tree it
cannot use.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import tomllib
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# Faults in these paths change the compiled extension: the copy is built again.
CPP_PATHS = ("src/graph/", "src/sampling/", "src/module/", "CMakeLists.txt")
# Asserts that the package under test is the one installed in site-packages,
# which the copy's sources, imported through PYTHONPATH, are not.
NOT_IN_A_COPY = ["tests/test_package_typing.py::test_package_is_installed_with_its_marker"]
SUITE = ["-m", "not training_run"]

# A pytest plugin, loaded into the test runs: it writes the id of the first
# test (or collection) that fails and the first line of its message.
REPORTER = '''
import os

_OUT = os.environ["REROZER_MUTATE_REPORT"]


def _record(report):
    if not report.failed or os.path.exists(_OUT):
        return
    crash = getattr(report.longrepr, "reprcrash", None)
    message = crash.message if crash is not None else str(report.longrepr)
    lines = [line.strip() for line in message.splitlines() if line.strip()]
    first = lines[0] if lines else ""
    if first.endswith(":") and len(lines) > 1:  # "AssertionError:" with the text below it
        first += " " + lines[1]
    with open(_OUT, "w") as out:
        out.write(report.nodeid + "\\n" + first + "\\n")


def pytest_runtest_logreport(report):
    _record(report)


def pytest_collectreport(report):
    _record(report)
'''


class FaultFileError(ValueError):
    """A fault file that cannot be used: the message names the file and fault."""


@dataclass(frozen=True)
class Fault:
    name: str
    file: str
    old: str
    new: str
    tests: list[str] = field(default_factory=list)
    source: str = ""

    @property
    def changes_cpp(self) -> bool:
        return self.file.startswith(CPP_PATHS)


@dataclass(frozen=True)
class Outcome:
    """What a fault did: killed (by ``test``, with ``message``) or not."""

    killed: bool
    test: str = ""
    message: str = ""
    stage: str = ""


def read_faults(paths: Sequence[Path]) -> list[Fault]:
    """The faults of the files, checked for their fields and unique names."""
    faults: list[Fault] = []
    for path in paths:
        try:
            data = tomllib.loads(Path(path).read_text())
        except (OSError, tomllib.TOMLDecodeError) as error:
            raise FaultFileError(f"{path}: {error}") from error
        entries = data.get("fault")
        if not isinstance(entries, list) or not entries:
            raise FaultFileError(f"{path}: no [[fault]] tables")
        for i, entry in enumerate(entries):
            where = f"{path}: fault {i} ({entry.get('name', 'without a name')!s})"
            for key in ("name", "file", "old", "new"):
                value = entry.get(key)
                if not isinstance(value, str) or (not value and key != "new"):
                    raise FaultFileError(f"{where}: {key} must be a " + ("string" if key == "new" else
                                                                         "non-empty string"))
            tests = entry.get("tests", [])
            if not isinstance(tests, list) or not all(isinstance(t, str) for t in tests):
                raise FaultFileError(f"{where}: tests must be a list of test paths")
            unknown = set(entry) - {"name", "file", "old", "new", "tests"}
            if unknown:
                raise FaultFileError(f"{where}: unknown keys {sorted(unknown)}")
            if Path(entry["file"]).is_absolute() or ".." in Path(entry["file"]).parts:
                raise FaultFileError(f"{where}: file must be a path inside the tree, got {entry['file']!r}")
            if entry["old"] == entry["new"]:
                raise FaultFileError(f"{where}: new is the same as old")
            if any(f.name == entry["name"] for f in faults):
                raise FaultFileError(f"{where}: another fault has the name {entry['name']!r}")
            faults.append(Fault(entry["name"], entry["file"], entry["old"], entry["new"], tests, str(path)))
    return faults


def check_applies(tree: Path, fault: Fault) -> None:
    """Raise FaultFileError unless the fault's old text occurs exactly once
    in its file of ``tree`` and its tests exist there."""
    where = f"{fault.source}: fault {fault.name!r}"
    target = tree / fault.file
    if not target.is_file():
        raise FaultFileError(f"{where}: {fault.file} is not a file of the tree")
    found = target.read_text().count(fault.old)
    if found != 1:
        raise FaultFileError(f"{where}: the old text occurs {found} times in {fault.file}, not once")
    for test in fault.tests:
        if not (tree / test.split("::")[0]).exists():
            raise FaultFileError(f"{where}: the test {test} does not exist")


def copy_tree(root: Path, dest: Path) -> None:
    """Copy every file git tracks or would track (not ignored) to ``dest``,
    as it is on disk now."""
    listed = subprocess.run(
        ["git", "-C", str(root), "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        capture_output=True, check=True,
    ).stdout.decode().split("\0")
    for name in filter(None, listed):
        source = root / name
        if source.is_file():  # a tracked file deleted on disk is left out
            (dest / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, dest / name, follow_symlinks=False)


def add_installed_extensions(copy: Path) -> None:
    """Put beside the copy's packages under src/ the extension modules
    installed for them, which the sources do not hold."""
    installed = Path(sysconfig.get_paths()["platlib"])
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    src = copy / "src"
    if not src.is_dir():
        return
    for package in src.iterdir():
        built = installed / package.name
        if package.is_dir() and built.is_dir():
            for module in built.iterdir():
                if module.name.endswith(suffixes) and not (package / module.name).exists():
                    shutil.copy2(module, package / module.name)


@contextmanager
def applied(copy: Path, fault: Fault) -> Iterator[None]:
    """The fault applied to its file of the copy, restored on leaving."""
    target = copy / fault.file
    original = target.read_text()
    target.write_text(original.replace(fault.old, fault.new, 1))
    try:
        yield
    finally:
        target.write_text(original)


def first_line(text: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[0] if lines else ""


class Runner:
    """Test runs and builds in the copy."""

    def __init__(self, copy: Path, work: Path, timeout: float, log: bool = True) -> None:
        self.copy = copy
        self.work = work
        self.timeout = timeout
        self.log = log
        (work / "plugin").mkdir()
        (work / "plugin" / "_rerozer_mutate_report.py").write_text(REPORTER)
        self.report = work / "first-failure.txt"
        self.deselect = [t for t in NOT_IN_A_COPY if (copy / t.split("::")[0]).is_file()]

    def say(self, text: str) -> None:
        if self.log:
            print(f"[mutate] {text}", file=sys.stderr, flush=True)

    def _run(self, command: list[str], env: dict[str, str]) -> tuple[int | None, str]:
        """Run in the copy, in a process group of its own; None for a timeout.
        Ctrl-C stops the group and is raised again."""
        with subprocess.Popen(command, cwd=self.copy, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, start_new_session=True) as process:
            try:
                output, _ = process.communicate(timeout=self.timeout)
                return process.returncode, output
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.communicate()
                return None, ""
            except BaseException:
                os.killpg(process.pid, signal.SIGINT)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    pass
                os.killpg(process.pid, signal.SIGKILL)
                raise

    def pytest(self, arguments: list[str], python_path: Path) -> Outcome:
        """Run pytest on the copy (-x); killed names the first failure."""
        self.report.unlink(missing_ok=True)
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            [str(python_path), str(self.work / "plugin"), *filter(None, [env.get("PYTHONPATH")])])
        env["REROZER_MUTATE_REPORT"] = str(self.report)
        command = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                   "-p", "_rerozer_mutate_report", *(f"--deselect={t}" for t in self.deselect), *arguments]
        status, output = self._run(command, env)
        if status is None:
            return Outcome(True, "(timed out)", f"the tests ran longer than {self.timeout:g} s")
        if status == 0:
            return Outcome(False)
        if self.report.exists():
            test, message = (self.report.read_text().split("\n") + [""])[:2]
            return Outcome(True, test, message)
        # No test failed, yet pytest did: a usage error, or a crash of the run.
        ended = f"(pytest ended by signal {-status})" if status < 0 else f"(pytest exit status {status})"
        lines = [line.strip() for line in output.splitlines() if line.strip()]
        return Outcome(True, ended, lines[-1] if lines else "")

    def build(self) -> tuple[Path | None, str]:
        """Build the copy's extension modules (and a copy of its package)
        into build/mutant; the folder to import them from, or None and the
        first error line."""
        import pybind11  # a build requirement of the tree, installed by ./dev setup

        build = self.copy / "build" / "mutant"
        configure = ["cmake", "-S", str(self.copy), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     f"-DPython_EXECUTABLE={sys.executable}", f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]
        env = dict(os.environ)
        for command in (configure, ["cmake", "--build", str(build), "-j", "2"]):
            status, output = self._run(command, env)
            if status != 0:
                errors = [line for line in output.splitlines() if "error" in line.lower()]
                return None, first_line(errors[0] if errors else output[-2000:] or "timed out")
        return build, ""

    def try_fault(self, fault: Fault) -> Outcome:
        python_path = self.copy / "src"
        with applied(self.copy, fault):
            if fault.changes_cpp:
                self.say(f"{fault.name}: building the extension with the fault")
                built, error = self.build()
                if built is None:
                    return Outcome(True, "(the build)", error, "build")
                python_path = built
            if fault.tests:
                self.say(f"{fault.name}: running {' '.join(fault.tests)}")
                outcome = self.pytest(list(fault.tests), python_path)
                if outcome.killed:
                    return Outcome(True, outcome.test, outcome.message, "own tests")
            self.say(f"{fault.name}: running the whole suite")
            outcome = self.pytest(SUITE, python_path)
        if not outcome.killed or outcome.test.startswith("("):
            return Outcome(outcome.killed, outcome.test, outcome.message, "whole suite")
        # Killed by a test not named for the fault: it must pass without the fault.
        clean = self.pytest([outcome.test], self.copy / "src")
        if clean.killed:
            raise FaultFileError(
                f"{outcome.test} fails on the tree without any fault too ({clean.message}): "
                "fix it before trying faults")
        return Outcome(True, outcome.test, outcome.message, "whole suite")


def describe(fault: Fault, outcome: Outcome) -> str:
    if not outcome.killed:
        return f"SURVIVED {fault.name}: its tests and the whole suite pass with it"
    message = outcome.message if len(outcome.message) <= 200 else outcome.message[:197] + "..."
    return f"killed   {fault.name}: by {outcome.test} ({outcome.stage}): {message}"


def run(paths: Sequence[Path], *, root: Path = ROOT, only: Sequence[str] = (),
        timeout: float = 3600, log: bool = True) -> int:
    faults = read_faults(paths)
    if only:
        unknown = sorted(set(only) - {f.name for f in faults})
        if unknown:
            raise FaultFileError(f"no fault named {', '.join(unknown)} in {', '.join(map(str, paths))}")
        faults = [f for f in faults if f.name in only]
    for fault in faults:
        check_applies(root, fault)
    survived = 0
    with tempfile.TemporaryDirectory(prefix="rerozer-mutate-") as temporary:
        work = Path(temporary)
        copy = work / "tree"
        copy.mkdir()
        copy_tree(root, copy)
        add_installed_extensions(copy)
        runner = Runner(copy, work, timeout, log)
        own = sorted({t for f in faults if not f.changes_cpp for t in f.tests})
        if own:
            runner.say(f"the faults' tests on the tree without faults: {' '.join(own)}")
            clean = runner.pytest(own, copy / "src")
            if clean.killed:
                raise FaultFileError(
                    f"{clean.test} fails on the tree without any fault ({clean.message}): "
                    "fix it before trying faults")
        for number, fault in enumerate(faults, 1):
            runner.say(f"fault {number} of {len(faults)}: {fault.name} ({fault.file})")
            outcome = runner.try_fault(fault)
            survived += not outcome.killed
            print(describe(fault, outcome), flush=True)
    print(f"{len(faults) - survived} of {len(faults)} faults killed"
          + (f", {survived} survived" if survived else ""), flush=True)
    return 1 if survived else 0


def _stop(signum: int, frame: object) -> None:
    raise KeyboardInterrupt  # so that the copy is removed on the way out


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Apply each fault of the files alone to a copy of the tree and run the tests: "
                    "every fault must make a test fail.")
    parser.add_argument("files", nargs="+", type=Path, help="TOML files of [[fault]] tables")
    parser.add_argument("--fault", action="append", default=[], metavar="NAME",
                        help="try only this fault (repeatable)")
    parser.add_argument("--timeout", type=float, default=3600, metavar="S",
                        help="seconds one test run may take before it is stopped and counts as a kill "
                             "(default 3600)")
    parser.add_argument("--root", type=Path, default=ROOT, help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    if argv is None:  # run as a command
        signal.signal(signal.SIGTERM, _stop)
    try:
        return run(options.files, root=options.root.resolve(), only=options.fault, timeout=options.timeout)
    except FaultFileError as error:
        print(f"mutate: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("mutate: interrupted; the temporary copy is removed, the tree was not changed",
              file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
