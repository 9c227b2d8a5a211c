"""rerozer_tables is typed: the installed package and a file using it pass
mypy --strict, and mypy does see its types (a wrong call is reported)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import rerozer_tables

TYPING = Path(__file__).resolve().parent / "typing"

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("REROZER_SANITIZER_BUILD")),
    reason="the sanitizer build is not installed into site-packages",
)


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    """One mypy cache for the module: numpy's types are read once."""
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(tmp_path, cache, *arguments):
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(cache), *arguments],
        cwd=tmp_path, capture_output=True, text=True, check=False,
    )
    assert completed.stderr == ""
    return completed.stdout.splitlines()


def test_package_is_installed_with_its_marker():
    installed = Path(rerozer_tables.__file__).parent
    assert "site-packages" in installed.parts
    assert (installed / "py.typed").is_file()


def test_package_and_usage_file_pass_mypy_strict(tmp_path, cache):
    # Run from a directory outside the source tree: the installed package is checked.
    (tmp_path / "usage.py").write_text((TYPING / "tables_usage.py").read_text())
    assert mypy(tmp_path, cache, "-p", "rerozer_tables") == []
    assert mypy(tmp_path, cache, "usage.py") == []


def test_mypy_reports_wrong_use(tmp_path, cache):
    (tmp_path / "wrong.py").write_text(
        "from rerozer_tables import Loader, Table, build_graph\n"
        "graph = build_graph({'a': Table({'id': [1]})}, progress='yes')\n"
        "loader = Loader(graph, 'a', [0], None, batch_size='8')\n"
        "n: str = len(loader)\n"
    )
    errors = mypy(tmp_path, cache, "wrong.py")
    assert [line.split(":")[1] for line in errors if ": error:" in line] == ["2", "3", "4"], errors
