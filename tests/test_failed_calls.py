"""A call that fails part-way leaves the sampler fully usable: the next call
returns what a fresh sampler returns after the same number of engine draws.

Graph (node types paper, author):

    author__writes__paper  papers 0 and 1 have ten incoming edges each,
                           from authors 0..9 and 10..19; papers 2 and 3 none
    paper__cites__paper    varies per case, empty for papers 0..2 unless
                           stated, so that it records nothing for paper 1

Every failing call starts with a uniform selection of 3 of the 10 authors of
paper 0 (3 draws) unless it fails before the hops. The probe call that
follows takes 3 of the 10 authors of paper 1. Its expected picks come from a
reference MT19937 (Python's own, seeded by the standard initialisation) and
Floyd's algorithm, both checked below against the documented values.
"""

import random

import numpy as np
import pytest

import rerozer

W = "author__writes__paper"
C = "paper__cites__paper"
V = "paper__cites__venue"
WRITES = ("author", "writes", "paper")
CITES = ("paper", "cites", "paper")
NODE_TYPES = ["paper", "author"]
PAPER_TIMES = [10, 20, 30, 40]
CAST_ERROR = ("Unable to cast Python instance of type <class '{}'> to C++ type '?' "
              "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")


def i64(*values):
    return np.array(values, dtype=np.int64)


# --- Reference random source ------------------------------------------------

def mt19937_outputs(seed, count):
    """The first `count` outputs of MT19937 seeded by the standard
    initialisation with the 32-bit pattern of `seed`."""
    state = [seed & 0xFFFFFFFF]
    for i in range(1, 624):
        previous = state[-1]
        state.append((1812433253 * (previous ^ (previous >> 30)) + i) & 0xFFFFFFFF)
    engine = random.Random()
    engine.setstate((3, tuple(state) + (624,), None))
    return [engine.getrandbits(32) for _ in range(count)]


def floyd_picks(draws, n, k):
    """Offsets picked from n candidates by Floyd's algorithm, in draw order."""
    draws = iter(draws)
    chosen, picks = set(), []
    for j in range(n - k, n):
        d = next(draws) % (j + 1)
        pick = j if d in chosen else d
        chosen.add(pick)
        picks.append(pick)
    return picks


def test_reference_random_source_matches_documented_values():
    assert mt19937_outputs(123, 5) == [2991312382, 3062119789, 1228959102, 1840268610,
                                       974319580]
    assert mt19937_outputs(5489, 10000)[::9999] == [3499211612, 4123659995]
    assert mt19937_outputs(-1, 1) == [419326371]
    assert floyd_picks(mt19937_outputs(123, 3), 10, 3) == [6, 1, 2]
    assert floyd_picks(mt19937_outputs(123, 4), 5, 4) == [0, 1, 2, 4]


# --- Cases -------------------------------------------------------------------

def make_sampler(cites_colptr=(0, 0, 0, 0, 0), cites_row=(), node_time=None, third=CITES):
    third_key = "__".join(third)
    colptr = {W: i64(0, 10, 20, 20, 20), third_key: i64(*cites_colptr)}
    row = {W: np.arange(20, dtype=np.int64), third_key: i64(*cites_row)}
    return rerozer.NeighborSampler(NODE_TYPES, [WRITES, third], colptr, row,
                                   node_time or {}, seed=123)


TIMES = {"paper": i64(*PAPER_TIMES)}
# paper 0 is cited by papers 2 (time 30) and 1 (time 20): out of time order.
UNSORTED = dict(cites_colptr=(0, 2, 2, 2, 2), cites_row=(2, 1), node_time=TIMES)

# (graph, failing request, exception, message, draws made before the failure,
#  probe request). Requests are (num_neighbors, offsets, seed_node, seed_time).
CASES = [
    pytest.param(
        UNSORTED, ({W: i64(3)}, {C: [[None, 0]]}, i64(0), i64(100)),
        RuntimeError, "Found invalid non-sorted temporal neighborhood", 3,
        ({W: i64(3)}, {C: [[None, 0]]}, i64(1), i64()), id="order-check-time-window"),
    pytest.param(
        UNSORTED, ({W: i64(3), C: i64(-1)}, {}, i64(0), i64(100)),
        RuntimeError, "Found invalid non-sorted temporal neighborhood", 3,
        ({W: i64(3), C: i64(-1)}, {}, i64(1), i64()), id="order-check-most-recent"),
    pytest.param(
        dict(cites_colptr=(0, 0, 0)), ({W: i64(3), C: i64(-1)}, {}, i64(0, 3), i64()),
        IndexError, "Node id 3 of type 'paper' is out of range for "
        "colptr['paper__cites__paper'] of length 3.", 3,
        ({W: i64(3), C: i64(-1)}, {}, i64(1), i64()), id="seed-outside-colptr"),
    pytest.param(
        dict(cites_colptr=(0, 1, 1, 1, 1), cites_row=(9,)),
        ({W: i64(3, 1), C: i64(-1, 0)}, {}, i64(0), i64()),
        IndexError, "Node id 9 of type 'paper' is out of range for "
        "colptr['author__writes__paper'] of length 5.", 3,
        ({W: i64(3), C: i64(-1)}, {}, i64(1), i64()), id="frontier-outside-colptr-hop-1"),
    pytest.param(
        dict(cites_colptr=(0, 0, 0, 0, 7)), ({W: i64(3), C: i64(-1)}, {}, i64(0, 3), i64()),
        IndexError, "Column 3 of colptr['paper__cites__paper'] spans [0, 7), outside "
        "row['paper__cites__paper'] of length 0.", 3,
        ({W: i64(3), C: i64(-1)}, {}, i64(1), i64()), id="column-outside-row"),
    pytest.param(
        dict(cites_colptr=(0, 0, 0, 0, 1), cites_row=(7,), node_time=TIMES),
        ({W: i64(3), C: i64(-1)}, {}, i64(0, 3), i64(100, 100)),
        IndexError, "Node id 7 in row['paper__cites__paper'] is out of range for "
        "node_time['paper'] of length 4.", 3,
        ({W: i64(3), C: i64(-1)}, {}, i64(1), i64()), id="source-outside-node-time"),
    pytest.param(
        dict(node_time=TIMES), ({W: i64(3), C: i64(-1)}, {}, i64(0, 9), i64()),
        IndexError, "Seed node id 9 is out of range for node_time['paper'] of length 4.", 0,
        ({W: i64(3), C: i64(-1)}, {}, i64(1), i64()), id="seed-outside-node-time"),
    pytest.param(
        dict(node_time=TIMES), ({W: i64(3, 3)}, {C: [[None, 0]]}, i64(0), i64()),
        IndexError, "list index out of range", 3,
        ({W: i64(3)}, {C: [[None, 0]]}, i64(1), i64()), id="offsets-row-missing-list"),
    pytest.param(
        dict(node_time=TIMES), ({W: i64(3, 3)}, {C: np.array([[-5, 0]])}, i64(0), i64()),
        IndexError, "index 1 is out of bounds for axis 0 with size 1", 3,
        ({W: i64(3)}, {C: [[None, 0]]}, i64(1), i64()), id="offsets-row-missing-array"),
    pytest.param(
        dict(node_time=TIMES), ({W: i64(3)}, {C: [[None, 1.5]]}, i64(0), i64()),
        RuntimeError, CAST_ERROR.format("float"), 3,
        ({W: i64(3)}, {C: [[None, 0]]}, i64(1), i64()), id="offsets-float"),
    pytest.param(
        dict(node_time=TIMES), ({W: i64(3)}, {C: [[2**70, 0]]}, i64(0), i64()),
        RuntimeError, CAST_ERROR.format("int"), 3,
        ({W: i64(3)}, {C: [[None, 0]]}, i64(1), i64()), id="offsets-beyond-int64"),
    pytest.param(
        dict(node_time=TIMES), ({W: i64(3)}, {C: [[None, None]]}, i64(0), i64()),
        RuntimeError, CAST_ERROR.format("NoneType"), 3,
        ({W: i64(3)}, {C: [[None, 0]]}, i64(1), i64()), id="offsets-none-end"),
    pytest.param(
        {}, ({W: i64(3)}, {}, i64(0), i64()), KeyError, repr(C), 0,
        ({W: i64(3), C: i64(-1)}, {}, i64(1), i64()), id="edge-type-in-neither-dict"),
]


def probe_result(first_draw):
    """Expected result of the probe call when the engine has made
    `first_draw` draws before it."""
    picks = floyd_picks(mt19937_outputs(123, first_draw + 3)[first_draw:], 10, 3)
    return (
        [(W, [0, 1, 2]), (C, [])],
        [(W, [0, 0, 0]), (C, [])],
        [("paper", [1]), ("author", [10 + p for p in picks])],
        [("paper", [0]), ("author", [0, 0, 0])],
        [("paper", [1, 0]), ("author", [0, 3])],
        [(W, [3]), (C, [0])],
    )


def plain(result):
    return tuple([(key, value.tolist()) for key, value in table.items()] for table in result)


def call(sampler, request):
    num_neighbors, offsets, seed_node, seed_time = request
    return sampler.sample(num_neighbors, offsets, "paper", seed_node, seed_time)


@pytest.mark.parametrize("graph, failing, error, message, draws, probe", CASES)
def test_failed_call_leaves_sampler_usable(graph, failing, error, message, draws, probe):
    sampler = make_sampler(**graph)
    with pytest.raises(error) as excinfo:
        call(sampler, failing)
    assert str(excinfo.value) == message

    # A fresh sampler advanced by the same draws: the probe itself makes 3
    # draws, and its first use picks offsets 6, 1 and 2 (authors 16, 11, 12).
    fresh = make_sampler(**graph)
    if draws:
        assert draws == 3
        assert plain(call(fresh, probe))[2][1] == ("author", [16, 11, 12])

    for calls_before in (draws, draws + 3):
        got = plain(call(sampler, probe))
        assert got == probe_result(calls_before)
        assert got == plain(call(fresh, probe))


def test_unknown_node_type_leaves_sampler_usable():
    # paper__cites__venue ends at a type the sampler does not know: every
    # call with a hop fails there, after the draws of the edge type before
    # it; a call without hops still returns the seeds, with nothing left
    # over from the failed call.
    sampler = make_sampler(third=("paper", "cites", "venue"))
    for _ in range(2):
        with pytest.raises(IndexError) as excinfo:
            sampler.sample({W: i64(3), V: i64(-1)}, {}, "paper", i64(0), i64())
        assert str(excinfo.value) == "invalid unordered_map<K, T> key"
        assert plain(sampler.sample({W: i64(), V: i64()}, {}, "paper", i64(1, 0), i64())) == (
            [(W, []), (V, [])],
            [(W, []), (V, [])],
            [("paper", [1, 0]), ("author", [])],
            [("paper", [0, 1]), ("author", [])],
            [("paper", [2]), ("author", [0])],
            [(W, []), (V, [])],
        )


# --- A call made from Python code that runs inside another call -------------

WORKED_EXAMPLE = (
    [(W, [0, 1, 2, 1]), (C, [2, 3, 4, 3])],
    [(W, [0, 0, 1, 2]), (C, [0, 0, 1, 2])],
    [("paper", [0, 1, 1, 2, 2]), ("author", [0, 1, 1])],
    [("paper", [0, 1, 0, 0, 1]), ("author", [0, 0, 1])],
    [("paper", [2, 3, 0]), ("author", [0, 3, 0])],
    [(W, [3, 1]), (C, [3, 1])],
)


class CallbackDict(dict):
    """A num_neighbors dictionary that runs `callback` on its n-th item
    access (the sampler fetches each edge type's counts once while checking
    the request, then once per hop)."""

    def __init__(self, data, n, callback):
        super().__init__(data)
        self.accesses = 0
        self.n = n
        self.callback = callback

    def __getitem__(self, key):
        self.accesses += 1
        if self.accesses == self.n:
            self.callback()
        return super().__getitem__(key)


@pytest.mark.parametrize("access", [3, 4, 5, 6],
                         ids=["hop0-writes", "hop0-cites", "hop1-writes", "hop1-cites"])
def test_call_from_inside_a_hop(access):
    # The worked example without times (no draws), with a second call on the
    # same sampler made while the first is fetching its counts. The inner
    # call may be refused, but neither call may return a wrong result.
    sampler = rerozer.NeighborSampler(
        NODE_TYPES, [WRITES, CITES], {W: i64(0, 2, 3, 3), C: i64(0, 2, 3, 3)},
        {W: i64(0, 1, 1), C: i64(1, 2, 2)}, {})
    counts = {W: i64(-1, -1), C: i64(-1, -1)}
    inner = []

    def reenter():
        try:
            inner.append(plain(sampler.sample(counts, {}, "paper", i64(0, 1), i64())))
        except RuntimeError:
            inner.append("refused")

    outer = sampler.sample(CallbackDict(counts, access, reenter), {}, "paper", i64(0, 1), i64())
    assert inner in (["refused"], [WORKED_EXAMPLE])
    assert plain(outer) == WORKED_EXAMPLE
    assert plain(sampler.sample(counts, {}, "paper", i64(0, 1), i64())) == WORKED_EXAMPLE
