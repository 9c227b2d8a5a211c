"""./dev mutate (bench/mutate.py) on a small tree of its own: each fault is
killed by the first test that fails, or survives; the tree it reads is never
changed and no copy is left behind, whatever happens."""

import importlib.util
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[1] / "bench" / "mutate.py"
_spec = importlib.util.spec_from_file_location("mutate", SCRIPT)
mutate = importlib.util.module_from_spec(_spec)
sys.modules["mutate"] = mutate
_spec.loader.exec_module(mutate)

CALC = '''def add(a, b):
    return a + b


def double(a):
    return 2 * a
'''
TESTS = {
    "tests/test_add.py": "from calc import add\n\n\ndef test_add():\n    assert add(2, 3) == 5\n",
    "tests/test_double.py": "from calc import double\n\n\ndef test_double():\n    assert double(4) == 8\n",
}


def git(tree, *arguments):
    subprocess.run(["git", "-C", str(tree), "-c", "user.name=t", "-c", "user.email=t@t", *arguments],
                   check=True, capture_output=True)


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """A git tree with a package under src/ and its tests; test_double.py is
    not committed (a change being tried before it lands). Copies go to a
    temporary folder of the test's own."""
    tree = tmp_path / "tree"
    (tree / "src" / "calc").mkdir(parents=True)
    (tree / "tests").mkdir()
    (tree / "src" / "calc" / "__init__.py").write_text(CALC)
    (tree / "tests" / "test_add.py").write_text(TESTS["tests/test_add.py"])
    git(tree, "init", "-q")
    git(tree, "add", "-A")
    git(tree, "commit", "-qm", "calc")
    (tree / "tests" / "test_double.py").write_text(TESTS["tests/test_double.py"])
    (tmp_path / "temporary").mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "temporary"))
    return tree


def snapshot(tree):
    return {str(p.relative_to(tree)): p.read_bytes() for p in sorted(tree.rglob("*"))
            if p.is_file() and ".git" not in p.parts}


def fault(name, old, new, tests=("tests/test_add.py",), file="src/calc/__init__.py"):
    listed = ", ".join(f'"{t}"' for t in tests)
    return f"[[fault]]\nname = \"{name}\"\nfile = \"{file}\"\nold = '''{old}'''\nnew = '''{new}'''\ntests = [{listed}]\n"


def run(tree, text, *options):
    faults = tree.parent / "faults.toml"
    faults.write_text(text)
    return mutate.main([str(faults), "--root", str(tree), *options])


def test_faults_are_killed_by_their_first_failing_test_or_survive(tree, capsys):
    before = snapshot(tree)
    status = run(tree, "\n".join([
        fault("add-minus", "a + b", "a - b"),
        fault("double-swapped", "2 * a", "a * 2"),  # the same function: survives
        fault("double-three", "2 * a", "3 * a"),    # its named test misses it; the suite does not
    ]))
    assert status == 1
    assert capsys.readouterr().out.splitlines() == [
        "killed   add-minus: by tests/test_add.py::test_add (own tests): assert -1 == 5",
        "SURVIVED double-swapped: its tests and the whole suite pass with it",
        "killed   double-three: by tests/test_double.py::test_double (whole suite): assert 12 == 8",
        "2 of 3 faults killed, 1 survived",
    ]
    assert snapshot(tree) == before
    assert not any((tree.parent / "temporary").iterdir())
    assert run(tree, fault("add-minus", "a + b", "a - b")) == 0


@pytest.mark.parametrize("text, files, message", [
    pytest.param(fault("twice", "return", "yield"), {},
                 "fault 'twice': the old text occurs 2 times in src/calc/__init__.py, not once", id="old-twice"),
    pytest.param(fault("absent", "a * b", "a / b"), {},
                 "fault 'absent': the old text occurs 0 times in src/calc/__init__.py, not once", id="old-absent"),
    pytest.param(fault("same", "a + b", "a + b"), {}, "fault 0 (same): new is the same as old", id="no-change"),
    pytest.param(fault("one", "a + b", "a - b") + fault("one", "2 * a", "3 * a"), {},
                 "fault 1 (one): another fault has the name 'one'", id="duplicate-name"),
    pytest.param(fault("x", "a + b", "a - b", file="src/calc/other.py"), {},
                 "fault 'x': src/calc/other.py is not a file of the tree", id="no-such-file"),
    pytest.param(fault("x", "a + b", "a - b", tests=["tests/test_sub.py"]), {},
                 "fault 'x': the test tests/test_sub.py does not exist", id="no-such-test"),
    pytest.param(fault("x", "a + b", "a - b", tests=["tests/test_add.py", "tests/test_broken.py"]),
                 {"tests/test_broken.py": "def test_broken():\n    assert 1 == 2\n"},
                 "tests/test_broken.py::test_broken fails on the tree without any fault (assert 1 == 2)",
                 id="named-test-fails-without-a-fault"),
    pytest.param(fault("x", "a + b", "a - b", file="../tree/src/calc/__init__.py"), {},
                 "fault 0 (x): file must be a path inside the tree, got '../tree/src/calc/__init__.py'",
                 id="file-outside-the-tree"),
    pytest.param("[[fault]]\nname = 'x'\nfile = 'src/calc/__init__.py'\nold = 'a + b'\n", {},
                 "fault 0 (x): new must be a string", id="no-new"),
])
def test_fault_files_it_cannot_use_are_refused(tree, capsys, text, files, message):
    for name, content in files.items():
        (tree / name).write_text(content)
    before = snapshot(tree)
    assert run(tree, text) == 2
    assert message in capsys.readouterr().err
    assert snapshot(tree) == before


def test_ctrl_c_during_a_fault_leaves_the_tree_and_no_copy_behind(tree, monkeypatch, capsys):
    before = snapshot(tree)
    real = mutate.Runner.pytest
    calls = []

    def interrupted(self, arguments, python_path):
        calls.append(arguments)
        if len(calls) == 2:  # the fault's own tests, with the fault applied to the copy
            assert "a - b" in (self.copy / "src" / "calc" / "__init__.py").read_text()
            raise KeyboardInterrupt
        return real(self, arguments, python_path)

    monkeypatch.setattr(mutate.Runner, "pytest", interrupted)
    assert run(tree, fault("add-minus", "a + b", "a - b")) == 130
    assert "interrupted" in capsys.readouterr().err
    assert len(calls) == 2 and snapshot(tree) == before
    assert not any((tree.parent / "temporary").iterdir())


def test_a_fault_in_the_compiled_sources_is_built_and_a_failed_build_kills_it(tree, capsys):
    (tree / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.18)\nproject(calc LANGUAGES CXX)\n"
        "add_library(one STATIC src/module/one.cpp)\n")
    (tree / "src" / "module").mkdir()
    (tree / "src" / "module" / "one.cpp").write_text("int one() { return 1; }\n")
    status = run(tree, fault("no-semicolon", "return 1;", "return 1", tests=[], file="src/module/one.cpp"))
    lines = capsys.readouterr().out.splitlines()
    assert status == 0 and lines[1] == "1 of 1 faults killed"
    assert lines[0].startswith("killed   no-semicolon: by (the build) (build): ") and "error" in lines[0]
