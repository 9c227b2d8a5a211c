"""The module surface: what the module and the class expose, argument
conversion of both operations, and the interpreter-version guard."""

import collections
import glob
import os
import shutil
import subprocess
import types

import numpy as np
import pytest

import rerozer
from rerozer import NeighborSampler

from helpers import assert_same_result

INIT_LINE = (
    "__init__(self: rerozer.NeighborSampler, node_types: list[str], "
    "edge_types: list[tuple[str, str, str]], colptr: dict, row: dict, "
    "node_time: object, seed: int = 123) -> None"
)
SAMPLE_LINE = (
    "sample(self: rerozer.NeighborSampler, num_neighbors: dict, "
    "sampling_time_offsets: dict, entity_table: str, seed_node: numpy.ndarray, "
    "seed_time: numpy.ndarray) -> tuple[dict, dict, dict, dict, dict, dict]"
)
EMPTY = np.array([], dtype=np.int64)
# The worked request without times: every neighbour, so no random draw.
WORKED = {
    "num_neighbors": {"author__writes__paper": np.array([-1, -1]),
                      "paper__cites__paper": np.array([-1, -1])},
    "sampling_time_offsets": {},
    "entity_table": "paper",
    "seed_node": np.array([0, 1]),
    "seed_time": EMPTY,
}


def incompatible(head, signature, args, kwargs=None):
    """pybind11's message for a call that matches no overload."""
    invoked = ", ".join(repr(a) for a in args)
    if kwargs:
        invoked += "; kwargs: " + ", ".join(f"{k}={v!r}" for k, v in kwargs.items())
    return (f"{head} arguments. The following argument types are supported:\n"
            f"    1. {signature}\n\nInvoked with: {invoked}")


def incompatible_init(*args):
    # A constructor is listed as a call of the class, without self and result.
    signature = INIT_LINE.replace("__init__(self: rerozer.NeighborSampler, ",
                                  "rerozer.NeighborSampler(").replace(" -> None", "")
    return incompatible("__init__(): incompatible constructor", signature, args)


def incompatible_sample(*args, **kwargs):
    return incompatible("sample(): incompatible function", SAMPLE_LINE[len("sample"):], args,
                        kwargs)


def test_module_exposes_only_the_class():
    assert rerozer.__doc__ is None
    standard = set(dir(types.ModuleType("empty"))) | {"__file__"}
    assert set(dir(rerozer)) - standard == {"NeighborSampler"}


def test_class_surface(paper_author):
    assert NeighborSampler.__doc__ is None
    assert set(vars(NeighborSampler)) == {
        "__init__", "__doc__", "__module__", "sample", "__reduce__", "_pybind11_conduit_v1_"}
    sampler = NeighborSampler(**paper_author)
    with pytest.raises(AttributeError):
        sampler.extra = 1


@pytest.mark.parametrize("method, line", [("__init__", INIT_LINE), ("sample", SAMPLE_LINE)],
                         ids=["init", "sample"])
def test_docstring_is_the_signature_line_alone(method, line):
    assert getattr(NeighborSampler, method).__doc__.splitlines() == [line]


# Accepted argument forms build the same sampler as the plain ones.

def _bytes_names(graph):
    graph["node_types"] = [name.encode() for name in graph["node_types"]]
    graph["edge_types"] = [tuple(part.encode() for part in et) for et in graph["edge_types"]]


FORMS = {
    "tuple-node-types": lambda g: g.update(node_types=tuple(g["node_types"])),
    "bytes-names": _bytes_names,
    "list-edge-types": lambda g: g.update(edge_types=[list(et) for et in g["edge_types"]]),
    "ordered-dict": lambda g: g.update(colptr=collections.OrderedDict(g["colptr"])),
    "node-time-pairs": lambda g: g.update(node_time=list(g["node_time"].items())),
}


@pytest.mark.parametrize("form", list(FORMS))
def test_accepted_argument_forms(paper_author_timed, form):
    # Papers alone have times, so node_time as pairs is a list of one pair.
    del paper_author_timed["node_time"]["author"]
    plain = NeighborSampler(**paper_author_timed)
    FORMS[form](paper_author_timed)
    changed = NeighborSampler(**paper_author_timed)
    # The time window needs the papers' times.
    request = dict(WORKED, num_neighbors={"author__writes__paper": np.array([-1, -1])},
                   sampling_time_offsets={"paper__cites__paper": [[None, 0], [-100, 100]]},
                   seed_time=np.array([25, 12]))
    assert_same_result(changed.sample(**request), plain.sample(**request))


@pytest.mark.parametrize("field, value", [
    pytest.param("node_types", "paper", id="node-types-str"),
    pytest.param("node_types", {"paper", "author"}, id="node-types-set"),
    pytest.param("edge_types", [("author", "paper")], id="edge-type-two-names"),
    pytest.param("colptr", types.MappingProxyType({}), id="colptr-mappingproxy"),
    pytest.param("seed", 2**31, id="seed-2**31"),
    pytest.param("seed", -(2**31) - 1, id="seed-below-int32"),
    pytest.param("seed", 1.0, id="seed-float"),
])
def test_rejected_constructor_arguments(paper_author, field, value):
    paper_author[field] = value
    args = list(paper_author.values())
    with pytest.raises(TypeError) as excinfo:
        NeighborSampler(*args)
    assert str(excinfo.value) == incompatible_init(*args)


def test_node_time_none_fails_as_dict_none_does(paper_author):
    with pytest.raises(TypeError) as expected:
        dict(None)
    # The bad colptr shows that node_time is converted before any check.
    paper_author.update(colptr={"bad": [0]}, node_time=None)
    with pytest.raises(TypeError) as excinfo:
        NeighborSampler(**paper_author)
    assert str(excinfo.value) == str(expected.value)


def fan_draws(sampler, n):
    """One leaf for each of n examples of hub 0: one engine draw each."""
    counts = {"leaf__to__hub": np.array([1]), "leaf__via__hub": np.array([0])}
    return sampler.sample(counts, {}, "hub", np.zeros(n, dtype=np.int64), EMPTY)[2]["leaf"]


@pytest.mark.parametrize("seed, engine_seed", [
    pytest.param(None, 123, id="default"),
    pytest.param(np.int64(7), 7, id="numpy-int64"),
    pytest.param(True, 1, id="true"),
    pytest.param(-1, 2**32 - 1, id="minus-one"),
    pytest.param(-(2**31), 2**31, id="int32-min"),
    pytest.param(2**31 - 1, 2**31 - 1, id="int32-max"),
])
def test_seed_conversion(fan, seed, engine_seed):
    sampler = NeighborSampler(**fan) if seed is None else NeighborSampler(**fan, seed=seed)
    # numpy's legacy generator is the same engine, seeded the same way.
    engine = np.random.RandomState(engine_seed).randint(0, 2**32, size=8, dtype=np.uint32)
    size = len(fan["row"]["leaf__to__hub"])
    assert list(fan_draws(sampler, 8)) == list(engine.astype(np.int64) % size)


def test_keywords_in_any_order(paper_author):
    positional = NeighborSampler(*paper_author.values(), 5)
    by_keyword = NeighborSampler(seed=5, **dict(reversed(paper_author.items())))
    assert_same_result(by_keyword.sample(**dict(reversed(WORKED.items()))),
                       positional.sample(*WORKED.values()))


@pytest.mark.parametrize("args, kwargs", [
    pytest.param([*list(WORKED.values())[:3], [0, 1], EMPTY], {}, id="seed-node-list"),
    pytest.param(list(WORKED.values())[:4], {"seed_times": EMPTY}, id="unknown-keyword"),
    pytest.param([*WORKED.values(), EMPTY], {}, id="six-positionals"),
])
def test_rejected_sample_arguments(paper_author, args, kwargs):
    sampler = NeighborSampler(**paper_author)
    with pytest.raises(TypeError) as excinfo:
        sampler.sample(*args, **kwargs)
    assert str(excinfo.value) == incompatible_sample(sampler, *args, **kwargs)


def test_sample_without_init_raises():
    with pytest.raises(TypeError):
        NeighborSampler.__new__(NeighborSampler).sample(**WORKED)


def test_second_init_keeps_the_first_sampler(paper_author):
    sampler = NeighborSampler(**paper_author)
    assert sampler.__init__(["other"], [], {}, {}, {}) is None
    assert_same_result(sampler.sample(**WORKED),
                       NeighborSampler(**paper_author).sample(**WORKED))


# The version guard: the built file, renamed, imported the ordinary way by
# other CPythons.
PROBE = """
import sys
sys.path.insert(0, sys.argv[1])
try:
    import rerozer
except ImportError as error:
    print("ImportError: " + str(error))
print(sys.version)
"""


def other_python(minor):
    pyenv = shutil.which("pyenv")
    if pyenv is None:
        return None
    root = subprocess.run([pyenv, "root"], capture_output=True, text=True, check=True)
    found = glob.glob(os.path.join(root.stdout.strip(), "versions", minor + ".*", "bin",
                                   "python" + minor))
    return max(found) if found else None


@pytest.mark.parametrize("minor", ["3.11", "3.13"])
def test_version_guard(minor, tmp_path):
    python = other_python(minor)
    if python is None:
        pytest.skip(f"no CPython {minor} under pyenv")
    shutil.copyfile(rerozer.__file__, tmp_path / "rerozer.so")
    probe = subprocess.run([python, "-I", "-c", PROBE, str(tmp_path)], capture_output=True,
                           text=True, timeout=60, check=True)
    outcome, version = probe.stdout.rstrip("\n").split("\n", 1)
    assert version.startswith(minor + ".")
    assert outcome == ("ImportError: Python version mismatch: module was compiled for Python "
                       f"3.12, but the interpreter version is incompatible: {version}.")
