"""What a sample call hands back and what it leaves behind: fresh owning
arrays, independence between calls, the random stream across calls and
samplers, the lifetime of the graph arrays, and recovery after a failure."""

import gc
import itertools

import numpy as np
import pytest

import rerozer
from reference import ReferenceSampler

try:
    from numpy._core import multiarray
except ImportError:  # numpy 1.x
    from numpy.core import multiarray

WRITES = "author__writes__paper"
CITES = "paper__cites__paper"
ORDER_ERROR = "Found invalid non-sorted temporal neighborhood"


def ints(*values):
    return np.array(values, dtype=np.int64)


NO_TIMES = ints()


def paper_author_arrays():
    """writes: paper 0 <- authors 0, 1; paper 1 <- author 1.
    cites: paper 0 <- papers 1, 2; paper 1 <- paper 2."""
    colptr = {WRITES: ints(0, 2, 3, 3), CITES: ints(0, 2, 3, 3)}
    row = {WRITES: ints(0, 1, 1), CITES: ints(1, 2, 2)}
    return colptr, row


def paper_author_sampler(seed=123, node_time=None):
    colptr, row = paper_author_arrays()
    return rerozer.NeighborSampler(
        ["paper", "author"],
        [("author", "writes", "paper"), ("paper", "cites", "paper")],
        colptr,
        row,
        node_time or {},
        seed,
    )


def sample_one_each(sampler, seeds=(0, 1)):
    return sampler.sample({WRITES: ints(1), CITES: ints(1)}, {}, "paper", ints(*seeds), NO_TIMES)


def as_lists(result):
    return [[(key, value.tolist()) for key, value in d.items()] for d in result]


def all_arrays(result):
    return [value for d in result for value in d.values()]


# Requests that give full, empty and zero-hop results on the paper graph.
SHAPES = {
    "two_hops": ({WRITES: ints(-1, 1), CITES: ints(2, -1)}, ints(0, 1, 1)),
    "no_hops": ({WRITES: ints(), CITES: ints()}, ints(0, 2)),
    "no_seeds": ({WRITES: ints(1, 1), CITES: ints(1, 1)}, ints()),
    "count_zero": ({WRITES: ints(0, 0), CITES: ints(0, 0)}, ints(1)),
}


@pytest.mark.parametrize("shape", list(SHAPES), ids=list(SHAPES))
def test_every_value_is_a_fresh_owning_int64_vector(shape):
    num_neighbors, seeds = SHAPES[shape]
    result = paper_author_sampler().sample(num_neighbors, {}, "paper", seeds, NO_TIMES)
    arrays = all_arrays(result)
    assert len(arrays) == 3 * 2 + 3 * 2
    for array in arrays:
        assert type(array) is np.ndarray
        assert array.dtype == np.dtype(np.int64)
        assert array.dtype.isnative
        assert array.ndim == 1
        assert array.flags.c_contiguous
        assert array.flags.writeable
        assert array.flags.owndata
        assert array.base is None
    for a, b in itertools.combinations(arrays, 2):
        assert not np.shares_memory(a, b)


def test_empty_lists_give_empty_vectors():
    # No seeds: every list is empty, every count list has its hop entries.
    result = paper_author_sampler().sample({WRITES: ints(1, 1), CITES: ints(1, 1)}, {}, "paper", ints(), NO_TIMES)
    out_row, out_col, out_node, out_batch, num_nodes, num_edges = result
    for d in (out_row, out_col, out_node, out_batch):
        for array in d.values():
            assert array.shape == (0,)
    assert [v.tolist() for v in num_nodes.values()] == [[0, 0, 0], [0, 0, 0]]
    assert [v.tolist() for v in num_edges.values()] == [[0, 0], [0, 0]]


@pytest.mark.parametrize("num_seeds", [2, 5000], ids=["small", "large"])
def test_results_own_their_memory_beyond_the_sampler(num_seeds):
    # The arrays take over the sampler's working blocks: they must outlive
    # the sampler, be freed by numpy, and resize like arrays numpy made.
    seeds = ints(*([0, 1] * (num_seeds // 2)))
    request = ({WRITES: ints(-1, -1), CITES: ints(-1, -1)}, {}, "paper", seeds, NO_TIMES)
    sampler = paper_author_sampler()
    result = sampler.sample(*request)
    expected = as_lists(paper_author_sampler().sample(*request))
    del sampler
    gc.collect()
    as_lists(paper_author_sampler().sample(*request))  # reuses freed memory, if any was freed
    assert as_lists(result) == expected
    handlers = {multiarray.get_handler_name(array) for array in all_arrays(result)}
    if num_seeds > 2:  # lists of 4 KiB or more are handed over with the sampler's handler
        assert "rerozer_result_blocks" in handlers
    for array in all_arrays(result):
        before = array.tolist()
        array.resize(len(before) + 3, refcheck=False)
        assert array.tolist() == before + [0, 0, 0]
        array.resize(1, refcheck=False)
        assert array.tolist() == before[:1] + [0] * (1 - len(before[:1]))


@pytest.mark.parametrize("node_types, edge_types", [
    (["paper", "author", "paper"], [("author", "writes", "paper"), ("paper", "cites", "paper")]),
    (["paper", "author"], [("author", "writes", "paper"), ("paper", "cites", "paper"),
                           ("author", "writes", "paper")]),
], ids=["node-type-twice", "edge-type-twice"])
def test_types_listed_twice_give_each_key_its_last_arrays(node_types, edge_types):
    # A key named twice is assigned twice; the first value is replaced, so
    # it must not be an array that a copy still has to fill. Several calls:
    # a copy into a freed block would show in the allocator's next blocks.
    colptr, row = paper_author_arrays()
    arguments = (node_types, edge_types, colptr, row, {}, 5)
    sampler = rerozer.NeighborSampler(*arguments)
    reference = ReferenceSampler(*arguments)
    for seeds in ([0, 1], [1, 0, 2], [0]):
        request = ({WRITES: ints(-1, 1), CITES: ints(1, -1)}, {}, "paper", ints(*seeds), NO_TIMES)
        got = as_lists(sampler.sample(*request))
        assert got == [[(k, np.asarray(v).tolist()) for k, v in d.items()]
                       for d in reference.sample(*request)]


def test_two_calls_share_no_memory_and_no_objects():
    sampler = paper_author_sampler()
    first = sampler.sample({WRITES: ints(-1), CITES: ints(-1)}, {}, "paper", ints(0, 1), NO_TIMES)
    second = sampler.sample({WRITES: ints(-1), CITES: ints(-1)}, {}, "paper", ints(0, 1), NO_TIMES)
    assert as_lists(first) == as_lists(second)
    for d1, d2 in zip(first, second):
        assert d1 is not d2
    for a, b in itertools.product(all_arrays(first), all_arrays(second)):
        assert not np.shares_memory(a, b)


def test_changing_a_result_changes_neither_a_later_result_nor_the_sampler():
    request = ({WRITES: ints(-1, -1), CITES: ints(-1, 1)}, {}, "paper", ints(0, 1), NO_TIMES)
    changed = paper_author_sampler()
    untouched = paper_author_sampler()
    first = changed.sample(*request)
    untouched.sample(*request)
    for array in all_arrays(first):
        array[...] = -7
    second = changed.sample(*request)
    expected_second = as_lists(untouched.sample(*request))
    assert as_lists(second) == expected_second
    for array in all_arrays(second):
        array[...] = 99
    assert as_lists(changed.sample(*request)) == as_lists(untouched.sample(*request))


def test_samplers_built_alike_give_identical_sequences():
    a = paper_author_sampler(seed=2024)
    b = paper_author_sampler(seed=2024)
    for seeds in [(0, 1), (0, 0, 0), (1,), (0, 1, 0, 1)]:
        assert as_lists(sample_one_each(a, seeds)) == as_lists(sample_one_each(b, seeds))


def test_second_call_continues_the_stream():
    # Seed 123: the first call uses outputs 1 and 2 (2991312382 mod 2 = 0,
    # 3062119789 mod 2 = 1); the second uses 3 and 4 (1228959102 mod 2 = 0:
    # author 0; 1840268610 mod 2 = 0: the first citing paper, paper 1).
    sampler = paper_author_sampler()
    first = sample_one_each(sampler)
    assert first[2]["paper"].tolist() == [0, 1, 2, 2]
    assert first[2]["author"].tolist() == [0, 1]
    second = sample_one_each(sampler)
    assert second[2]["paper"].tolist() == [0, 1, 1, 2]
    assert second[2]["author"].tolist() == [0, 1]
    assert second[0][CITES].tolist() == [2, 3]
    # A new sampler starts over.
    assert as_lists(sample_one_each(paper_author_sampler())) == as_lists(first)


def graph_in_form(form):
    """The paper graph's colptr, row and node_time values, as numpy arrays,
    as lists, or as strided views into larger arrays."""
    colptr, row = paper_author_arrays()
    node_time = {"paper": ints(10, 20, 30), "author": ints(5, 15)}
    if form == "lists":
        return ({k: v.tolist() for k, v in d.items()} for d in (colptr, row, node_time))
    if form == "strided":

        def strided(array):
            wide = np.full(2 * len(array), -1, dtype=np.int64)
            wide[::2] = array
            return wide[::2]

        return ({k: strided(v) for k, v in d.items()} for d in (colptr, row, node_time))
    return colptr, row, node_time


@pytest.mark.parametrize("form", ["arrays", "lists", "strided"])
def test_sampler_outlives_the_callers_graph(form):
    request = ({WRITES: ints(-1, -1)}, {CITES: [[None, 0], [-100, 100]]}, "paper", ints(0, 1), NO_TIMES)
    colptr, row, node_time = graph_in_form(form)
    expected = paper_author_sampler(node_time={"paper": ints(10, 20, 30), "author": ints(5, 15)})
    sampler = rerozer.NeighborSampler(
        ["paper", "author"], [("author", "writes", "paper"), ("paper", "cites", "paper")], colptr, row, node_time
    )
    for d in (colptr, row, node_time):
        for key in list(d):
            d[key] = np.full(8, 7, dtype=np.int64)
        d.clear()
    del colptr, row, node_time
    gc.collect()
    # Fresh allocations of the same sizes, full of garbage, may reuse the
    # memory the caller's arrays had.
    garbage = [np.full(n, 1 << 40, dtype=np.int64) for n in (2, 3, 4, 6, 8) for _ in range(20)]
    assert as_lists(sampler.sample(*request)) == as_lists(expected.sample(*request))
    del garbage


def order_failure_sampler():
    """The paper graph with author times 5, 1 and writes columns paper 1 <-
    author 0 and paper 2 <- authors 0, 1: the second is out of time order.
    Papers have no times, so citations are sampled uniformly."""
    return rerozer.NeighborSampler(
        ["paper", "author"],
        [("author", "writes", "paper"), ("paper", "cites", "paper")],
        {WRITES: ints(0, 0, 1, 3), CITES: ints(0, 2, 3, 3)},
        {WRITES: ints(0, 0, 1), CITES: ints(1, 2, 2)},
        {"author": ints(5, 1)},
    )


def test_failed_call_keeps_its_draws_and_the_next_call_starts_clean():
    sampler = order_failure_sampler()
    # Hop 0: two examples of paper 0 draw one citation each (outputs 1 and 2:
    # papers 1 and 2). Hop 1 registers author 0 for paper 1 of example 0,
    # then reaches paper 2's unordered writes column.
    with pytest.raises(RuntimeError) as excinfo:
        sampler.sample({CITES: ints(1, 0), WRITES: ints(0, -1)}, {}, "paper", ints(0, 0), ints(9, 9))
    assert str(excinfo.value) == ORDER_ERROR
    # Outputs 3, 4, 5 are all even: every example takes paper 1. Had the
    # draws been rolled back, outputs 1, 2, 3 would give papers 1, 2, 1.
    # The author registered by the failed call must not show up.
    result = sampler.sample({CITES: ints(1), WRITES: ints(0)}, {}, "paper", ints(0, 0, 0), ints(9, 9, 9))
    assert as_lists(result) == [
        [(WRITES, []), (CITES, [3, 4, 5])],
        [(WRITES, []), (CITES, [0, 1, 2])],
        [("paper", [0, 0, 0, 1, 1, 1]), ("author", [])],
        [("paper", [0, 1, 2, 0, 1, 2]), ("author", [])],
        [("paper", [3, 3]), ("author", [0, 0])],
        [(WRITES, [0]), (CITES, [3])],
    ]

