"""The examples in rerozer_tables' docstrings run and print what they show."""

import doctest
import importlib
import pkgutil

import pytest

import rerozer_tables

# The package and its public modules; each shows at least one example.
MODULES = ["rerozer_tables"] + sorted(
    name for _, name, _ in pkgutil.iter_modules(rerozer_tables.__path__, "rerozer_tables.")
    if not name.rsplit(".", 1)[1].startswith("_")
)


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    module = importlib.import_module(name)
    failed, attempted = doctest.testmod(module, optionflags=doctest.ELLIPSIS, verbose=False)
    assert attempted > 0
    assert failed == 0
