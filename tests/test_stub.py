"""The type stub: installed where type checkers look, accepted by mypy for
correct use, rejecting wrong use, and in step with the module itself."""

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import rerozer
from rerozer_tables import _temporal

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "module" / "rerozer.pyi"
# Both modules built from src/module, with their stubs and their samplers'
# methods: the loader's module can also seed a sampler again.
MODULES = {
    "rerozer": (rerozer, STUB),
    "_temporal": (_temporal, ROOT / "src" / "rerozer_tables" / "_temporal.pyi"),
}
METHODS = {"rerozer": {"__init__", "sample"},
           "_temporal": {"__init__", "sample", "sample_batch", "reseed"}}
TYPING = Path(__file__).resolve().parent / "typing"

# The sanitizer run imports the module from its build tree, where nothing is installed.
installed_only = pytest.mark.skipif(
    bool(os.environ.get("REROZER_SANITIZER_BUILD")),
    reason="the sanitizer build is not installed into site-packages",
)


@installed_only
def test_stub_is_installed_as_stub_package_beside_the_module():
    # A stub-only package: type checkers do not look for a top-level
    # single-module stub in site-packages, but they do look for NAME-stubs.
    installed = Path(rerozer.__file__).parent / "rerozer-stubs" / "__init__.pyi"
    assert installed.read_bytes() == STUB.read_bytes()


def expected_errors(path):
    """(line, code) for every line marked '# E: code'."""
    marks = set()
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        match = re.search(r"# E: ([a-z-]+)$", line)
        if match:
            marks.add((number, match.group(1)))
    return marks


@installed_only
def test_mypy_accepts_correct_use_and_reports_each_wrong_use(tmp_path):
    files = ["typed_usage.py", "typed_misuse.py"]
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), *files],
        cwd=TYPING, capture_output=True, text=True, check=False,
    )
    assert completed.stderr == ""
    reported = {file: set() for file in files}
    for line in completed.stdout.splitlines():
        match = re.match(r"(\S+\.py):(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            reported[match.group(1)].add((int(match.group(2)), match.group(3)))
        else:
            assert ": note: " in line, line
    assert reported["typed_usage.py"] == set()
    assert reported["typed_misuse.py"] == expected_errors(TYPING / "typed_misuse.py")


def split_top_level(text):
    """Split at commas outside brackets."""
    parts, depth, start = [], 0, 0
    for i, char in enumerate(text):
        if char in "[(":
            depth += 1
        elif char in "])":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    parts.append(text[start:].strip())
    return parts


def runtime_signature(function):
    """Parameter names with defaults, and the result type, from pybind11's docstring."""
    first_line = function.__doc__.splitlines()[0]
    match = re.fullmatch(r"(\w+)\((.*)\) -> (.+)", first_line)
    name, params, result = match.groups()
    parameters = []
    for param in split_top_level(params):
        declared, _, default = param.partition(" = ")
        param_name = declared.split(":")[0]
        parameters.append((param_name, ast.literal_eval(default) if default else None))
    return name, parameters, result


def stub_class(stub=STUB):
    tree = ast.parse(stub.read_text())
    classes = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    assert [node.name for node in classes] == ["NeighborSampler"]
    return {node.name: node for node in classes[0].body if isinstance(node, ast.FunctionDef)}


def stub_signature(function):
    args = function.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    defaults = [None] * (len(args.args) - len(args.defaults)) + [
        ast.literal_eval(value) for value in args.defaults
    ]
    return [(arg.arg, default) for arg, default in zip(args.args, defaults)]


@pytest.mark.parametrize("name", MODULES)
def test_stub_covers_exactly_the_module_surface(name):
    module, stub = MODULES[name]
    public = {name for name in vars(module) if not name.startswith("_")}
    assert public == {"NeighborSampler"}
    runtime_methods = {
        name for name, value in vars(module.NeighborSampler).items()
        if callable(value) and (name == "__init__" or not name.startswith("_"))
    }
    assert set(stub_class(stub)) == runtime_methods == METHODS[name]


@pytest.mark.parametrize("name, method", [
    pytest.param(name, method, id=f"{name}-{method}")
    for name, methods in METHODS.items() for method in sorted(methods)
])
def test_stub_parameters_match_runtime_docstring(method, name):
    module, stub = MODULES[name]
    name, parameters, _ = runtime_signature(getattr(module.NeighborSampler, method))
    assert name == method
    assert stub_signature(stub_class(stub)[method]) == parameters


@pytest.mark.parametrize("name", MODULES)
def test_stub_sample_returns_six_dicts_like_the_runtime(name):
    module, stub = MODULES[name]
    _, _, result = runtime_signature(module.NeighborSampler.sample)
    assert result == "tuple[dict, dict, dict, dict, dict, dict]"
    returns = stub_class(stub)["sample"].returns
    assert isinstance(returns, ast.Subscript) and ast.unparse(returns.value) == "tuple"
    items = returns.slice.elts
    aliases = {
        node.target.id: node.value
        for node in ast.parse(stub.read_text()).body
        if isinstance(node, ast.AnnAssign)
    }
    assert len(items) == 6
    for item in items:
        resolved = aliases.get(ast.unparse(item), item)
        assert ast.unparse(resolved).startswith("dict[str, ")
