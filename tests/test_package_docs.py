"""The examples in rerozer_tables' docstrings run and print what they show."""

import doctest
import importlib
import pkgutil

import pytest

import rerozer_tables

# Every module of the package; the extension has no docstrings to run.
MODULES = ["rerozer_tables"] + sorted(
    info.name for info in pkgutil.walk_packages(rerozer_tables.__path__, "rerozer_tables.")
    if info.name != "rerozer_tables._temporal"
)
# Each module that defines a name of the package's surface, or of the public
# modules kept under their former names, shows at least one example.
PUBLIC = ["rerozer_tables", "rerozer_tables.batch", "rerozer_tables.frames",
          "rerozer_tables.inference", "rerozer_tables.metrics", "rerozer_tables.relbench"]
SHOWN = {"rerozer_tables"} | {
    defined
    for public in map(importlib.import_module, PUBLIC)
    for name in public.__all__
    if (defined := getattr(getattr(public, name), "__module__", "")).startswith("rerozer_tables.")
}


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    module = importlib.import_module(name)
    failed, attempted = doctest.testmod(module, optionflags=doctest.ELLIPSIS, verbose=False)
    assert failed == 0
    if name in SHOWN:
        assert attempted > 0
