"""The data layer's layout: stage folders whose imports run one way, no
import circles, small modules, and the architecture picture drawn from them."""

import ast
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "rerozer_tables"
# In the order of the data: a stage imports only itself and earlier stages.
STAGES = ["tables", "read", "graph", "store", "tasks", "load"]
LONGEST_MODULE = 450


def module_name(path):
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imports_of(path):
    """The package's modules that ``path`` imports, anywhere in the file
    (functions and ``TYPE_CHECKING`` blocks included)."""
    name = module_name(path)
    package = name if path.name == "__init__.py" else name.rsplit(".", 1)[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = package.split(".")[: len(package.split(".")) - node.level + 1]
            target = ".".join(base + ([node.module] if node.module else []))
            for alias in node.names:
                sub = f"{target}.{alias.name}"
                found.add(sub if sub in MODULES else target)
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("rerozer_tables"):
            found.add(node.module)
    return {target for target in found if target in MODULES and target != name}


MODULES = {module_name(path): path for path in PACKAGE.rglob("*.py")}
IMPORTS = {name: imports_of(path) for name, path in MODULES.items()}


def stage_of(name):
    parts = name.split(".")
    return parts[1] if len(parts) > 1 and parts[1] in STAGES else None


def test_every_module_but_the_public_entry_points_belongs_to_a_stage():
    loose = sorted(name for name in MODULES if stage_of(name) is None)
    # The package itself and the public modules of the former flat layout,
    # each of which only re-exports names of the stages.
    assert loose == ["rerozer_tables", "rerozer_tables.batch", "rerozer_tables.frames",
                     "rerozer_tables.inference", "rerozer_tables.metrics",
                     "rerozer_tables.pyg", "rerozer_tables.relbench", "rerozer_tables.storage"]
    for name in loose[1:]:
        assert all(stage_of(target) for target in IMPORTS[name]), name


@pytest.mark.parametrize("name", sorted(n for n in MODULES if stage_of(n)))
def test_a_stage_imports_no_later_stage(name):
    stage = STAGES.index(stage_of(name))
    later = sorted(t for t in IMPORTS[name] if stage_of(t) is None or STAGES.index(stage_of(t)) > stage)
    assert later == [], f"{name} imports {later}"


def test_no_import_circle():
    done, path = set(), []

    def visit(name):
        if name in path:
            raise AssertionError("import circle: " + " -> ".join(path[path.index(name):] + [name]))
        if name in done:
            return
        path.append(name)
        for target in sorted(IMPORTS[name]):
            visit(target)
        path.pop()
        done.add(name)

    for name in sorted(MODULES):
        visit(name)


def test_modules_stay_small():
    long = {name: n for name, path in MODULES.items()
            if (n := len(path.read_text().splitlines())) > LONGEST_MODULE}
    assert long == {}


def test_the_architecture_picture_shows_the_stage_imports_as_they_are():
    """docs/architecture.md draws one arrow per pair of stages that import
    each other; it must show exactly the arrows of the code."""
    text = (ROOT / "docs" / "architecture.md").read_text()
    block = re.search(r"```mermaid\n(.*?)```", text, re.S).group(1)
    drawn = set(re.findall(r"^\s*(\w+) -->(?:\|[^|]*\|)? (\w+)\s*$", block, re.M))
    found = {(stage_of(target), stage_of(name))
             for name in MODULES if stage_of(name) for target in IMPORTS[name]
             if stage_of(target) and stage_of(target) != stage_of(name)}
    assert drawn == found
    for stage in STAGES:
        assert f"`{stage}/`" in text, f"docs/architecture.md says nothing of {stage}/"
