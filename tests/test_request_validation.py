"""Checks of a sample request: messages, their order, the number of hops, and
the reading of request values."""

import numpy as np
import pytest

from rerozer import NeighborSampler

from helpers import ARRAY_LAYOUTS, assert_same_result

WRITES = "author__writes__paper"
CITES = "paper__cites__paper"
QUOTES = "paper__quotes__paper"
EMPTY = np.array([], dtype=np.int64)
BOTH = "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. "


def timed_request(**changes):
    """The request of the worked example with times, with some fields changed."""
    request = {"num_neighbors": {WRITES: np.array([1])},
               "sampling_time_offsets": {CITES: [[None, 0]]}, "entity_table": "paper",
               "seed_node": np.array([0]), "seed_time": np.array([25])}
    return dict(request, **changes)


def count_request(**changes):
    """Counts only, drawn at random by the sampler without times."""
    request = timed_request(num_neighbors={WRITES: np.array([1, 1]), CITES: np.array([1, 0])},
                            sampling_time_offsets={}, seed_node=np.array([0, 1, 2, 0]),
                            seed_time=EMPTY)
    return dict(request, **changes)


def window_request(**changes):
    """A time window that moves with each seed's time."""
    request = timed_request(sampling_time_offsets={CITES: [[-15, 0]]},
                            seed_node=np.array([0, 1, 2, 0]),
                            seed_time=np.array([25, 35, 15, 40]))
    return dict(request, **changes)


def sample_error(sampler, request, exception=RuntimeError):
    with pytest.raises(exception) as excinfo:
        sampler.sample(**request)
    return excinfo.value


def with_quotes(graph):
    """Adds a third edge type, paper__quotes__paper, with the arrays of cites."""
    graph["edge_types"] = graph["edge_types"] + [("paper", "quotes", "paper")]
    graph["colptr"][QUOTES] = graph["colptr"][CITES].copy()
    graph["row"][QUOTES] = graph["row"][CITES].copy()
    return graph


@pytest.fixture
def timed(paper_author_timed):
    return NeighborSampler(**paper_author_timed)


@pytest.fixture
def untimed(paper_author):
    return NeighborSampler(**paper_author)


@pytest.mark.parametrize("sampler, changes, message", [
    pytest.param("timed", {"num_neighbors": {WRITES: [1], "paper": [1]}},
                 "Invalid type 'paper' found in num_neighbors.", id="counts-key"),
    pytest.param("timed", {"num_neighbors": {("author", "writes", "paper"): [1]}},
                 "Invalid type '('author', 'writes', 'paper')' found in num_neighbors.",
                 id="counts-tuple-key"),
    pytest.param("timed", {"num_neighbors": {WRITES: 1}},
                 f"Type '{WRITES}' in num_neighbors is not 1D.", id="counts-scalar"),
    pytest.param("timed", {"num_neighbors": {WRITES: np.array([1], dtype=np.int32)}},
                 f"Type '{WRITES}' in num_neighbors must have dtype int64.", id="counts-int32"),
    pytest.param("timed", {"sampling_time_offsets": {CITES: [[None, 0]], "x": [[0, 1]]}},
                 "Invalid type 'x' found in sampling_time_offsets.", id="offsets-key"),
    pytest.param("timed", {"sampling_time_offsets": {CITES: np.array([0, 5])}},
                 f"Type '{CITES}' in sampling_time_offsets is not 2D.", id="offsets-1d"),
    pytest.param("timed", {"seed_node": np.array(0)}, "seed_node is not 1D.", id="seed-node-0d"),
    pytest.param("timed", {"seed_node": np.array([0.0])}, "seed_node must have dtype int64.",
                 id="seed-node-float"),
    pytest.param("timed", {"seed_time": np.array([[25]])}, "seed_time is not 1D.",
                 id="seed-time-2d"),
    pytest.param("timed", {"seed_time": np.array([25], dtype=np.uint64)},
                 "seed_time must have dtype int64.", id="seed-time-uint64"),
    pytest.param("timed", {"entity_table": "Paper"}, "Invalid entity table 'Paper'.",
                 id="entity-table"),
    pytest.param("timed", {"seed_time": np.array([25, 26])},
                 "'seed_node' and 'seed_time' size mismatch.", id="size-mismatch"),
    pytest.param("timed", {"num_neighbors": {WRITES: [1], CITES: [1]}},
                 BOTH + f"'{CITES}' appears in both.", id="in-both"),
    pytest.param("timed", {"num_neighbors": {WRITES: [1], CITES: EMPTY},
                           "sampling_time_offsets": {CITES: np.zeros((0, 2), dtype=np.int64)}},
                 BOTH + f"'{CITES}' appears in both.", id="in-both-empty"),
    pytest.param("timed", {"sampling_time_offsets": {CITES: [[None, 0, 1]]}},
                 f"'sampling_time_offsets' at '{CITES}' does not have shape (N, 2).",
                 id="n-by-3"),
    pytest.param("untimed", {"seed_time": np.array([25, 26, 27])},
                 f"'sampling_time_offsets' contains '{CITES}' but paper is not included in "
                 "'node_time'.", id="untimed-offsets"),
    pytest.param("untimed", {"sampling_time_offsets": {CITES: np.zeros((0, 2), np.int64)}},
                 f"'sampling_time_offsets' contains '{CITES}' but paper is not included in "
                 "'node_time'.", id="untimed-empty-offsets"),
])
def test_messages(request, sampler, changes, message):
    sampler = request.getfixturevalue(sampler)
    assert str(sample_error(sampler, timed_request(**changes))) == message


@pytest.mark.parametrize("counts, offsets, missing", [
    pytest.param({WRITES: [1]}, {}, CITES, id="after-writes-passed"),
    pytest.param({CITES: [1]}, {}, WRITES, id="writes-first"),
    pytest.param({}, {CITES: [[None, 0]]}, WRITES, id="offsets-for-cites-only"),
])
def test_edge_type_in_neither_dictionary(timed, counts, offsets, missing):
    request = timed_request(num_neighbors=counts, sampling_time_offsets=offsets)
    assert sample_error(timed, request, KeyError).args == (missing,)


@pytest.mark.parametrize("changes, exception, message", [
    pytest.param({"num_neighbors": {"bad": EMPTY}, "sampling_time_offsets": {"worse": EMPTY}},
                 RuntimeError, "Invalid type 'bad' found in num_neighbors.",
                 id="counts-before-offsets"),
    pytest.param({"num_neighbors": {WRITES: [0.5], "bad": EMPTY}}, RuntimeError,
                 f"Type '{WRITES}' in num_neighbors must have dtype int64.",
                 id="first-entry-first"),
    pytest.param({"num_neighbors": {"bad": [0.5]}}, RuntimeError,
                 "Invalid type 'bad' found in num_neighbors.", id="key-before-value"),
    pytest.param({"sampling_time_offsets": {CITES: EMPTY}, "seed_node": np.array([[0]])},
                 RuntimeError, f"Type '{CITES}' in sampling_time_offsets is not 2D.",
                 id="offsets-before-seed-node"),
    pytest.param({"seed_node": np.array([0.5]), "seed_time": np.array([0.5])}, RuntimeError,
                 "seed_node must have dtype int64.", id="seed-node-before-seed-time"),
    pytest.param({"seed_time": np.array([0.5]), "entity_table": "nope"}, RuntimeError,
                 "seed_time must have dtype int64.", id="seed-time-before-entity"),
    pytest.param({"entity_table": "nope", "seed_time": np.array([1, 2])}, RuntimeError,
                 "Invalid entity table 'nope'.", id="entity-before-sizes"),
    pytest.param({"seed_time": np.array([1, 2]), "num_neighbors": {CITES: EMPTY}}, RuntimeError,
                 "'seed_node' and 'seed_time' size mismatch.", id="sizes-before-edge-types"),
    # Edge types in edge type order, not in the dictionaries' order.
    pytest.param({"num_neighbors": {CITES: EMPTY}, "sampling_time_offsets": {CITES: [[0, 1]]}},
                 KeyError, WRITES, id="missing-writes-before-cites-in-both"),
    pytest.param({"sampling_time_offsets": {WRITES: [[0, 1]]}}, RuntimeError,
                 BOTH + f"'{WRITES}' appears in both.", id="writes-in-both-before-cites-missing"),
])
def test_check_order(timed, changes, exception, message):
    error = sample_error(timed, timed_request(**changes), exception)
    assert (error.args == (message,)) if exception is KeyError else (str(error) == message)


def test_node_times_are_tested_before_the_shape(paper_author):
    paper_author["node_time"] = {"author": np.array([5, 15])}
    sampler = NeighborSampler(**paper_author)
    bad_shape = np.zeros((1, 3), dtype=np.int64)
    # writes (timed source, bad shape) comes before cites (no times, bad shape).
    request = timed_request(num_neighbors={},
                            sampling_time_offsets={CITES: bad_shape, WRITES: bad_shape})
    assert str(sample_error(sampler, request)) == (
        f"'sampling_time_offsets' at '{WRITES}' does not have shape (N, 2).")
    request["sampling_time_offsets"][WRITES] = np.zeros((1, 2), dtype=np.int64)
    assert str(sample_error(sampler, request)) == (
        f"'sampling_time_offsets' contains '{CITES}' but paper is not included in 'node_time'.")


@pytest.mark.parametrize("seed_time", [np.array([7]), np.arange(5), np.array([], np.float64)],
                         ids=["shorter", "longer", "empty-float"])
def test_sampler_without_times_ignores_seed_times(untimed, paper_author, seed_time):
    expected = NeighborSampler(**paper_author).sample(**count_request())
    assert_same_result(untimed.sample(**count_request(seed_time=seed_time)), expected)


@pytest.mark.parametrize("dtype", [np.float64, np.int32, ">i8"],
                         ids=["float", "int32", "big-endian"])
def test_empty_seed_time_of_any_dtype_uses_node_times(timed, dtype):
    # Two examples of paper 0 at its own time 10: the most recent author is
    # author 0 (time 5); of the citing papers only paper 1 (20) is within 10 + 10.
    request = timed_request(sampling_time_offsets={CITES: [[None, 10]]},
                            seed_node=np.array([0, 0]), seed_time=np.array([], dtype=dtype))
    result = timed.sample(**request)
    assert list(result[2]["author"]) == [0, 0]
    assert list(result[2]["paper"]) == [0, 0, 1, 1]


@pytest.mark.parametrize("counts, offsets, hops", [
    pytest.param({WRITES: EMPTY, CITES: EMPTY, QUOTES: EMPTY}, {}, 0, id="all-empty"),
    pytest.param({WRITES: np.array([], np.float64), CITES: np.array([], np.int32),
                  QUOTES: EMPTY}, {}, 0, id="all-empty-other-dtypes"),
    pytest.param({WRITES: EMPTY, QUOTES: EMPTY}, {CITES: np.zeros((0, 2), np.int64)}, 0,
                 id="empty-offsets"),
    pytest.param({WRITES: [-1] * 3, CITES: [-1] * 3, QUOTES: [2] * 3}, {}, 3, id="counts"),
    pytest.param({WRITES: [-1] * 4, QUOTES: [0] * 4}, {CITES: [[None, 0]] * 4}, 4,
                 id="offset-rows"),
])
def test_number_of_hops_in_the_result(paper_author_timed, counts, offsets, hops):
    sampler = NeighborSampler(**with_quotes(paper_author_timed))
    result = sampler.sample(**timed_request(num_neighbors=counts, sampling_time_offsets=offsets,
                                            seed_node=np.array([0, 1]),
                                            seed_time=np.array([25, 35])))
    assert [len(result[4][t]) for t in ("paper", "author")] == [hops + 1] * 2
    assert [len(result[5][k]) for k in (WRITES, CITES, QUOTES)] == [hops] * 3


def test_counts_handed_out_later_are_checked_again(timed):
    # The whole-dictionary check sees int64 counts; the hop's own lookup of
    # the same key is handed float counts, which it refuses in the same words.
    class Swap(dict):
        seen = 0

        def __getitem__(self, key):
            Swap.seen += 1
            value = super().__getitem__(key)
            return value if Swap.seen == 1 else value.astype(np.float64)

    request = timed_request(num_neighbors=Swap({WRITES: np.array([1])}))
    assert str(sample_error(timed, request)) == (
        f"Type '{WRITES}' in num_neighbors must have dtype int64.")


@pytest.mark.parametrize("counts, offsets, short, length, hops", [
    pytest.param({WRITES: [1] * 2, CITES: [1] * 3, QUOTES: [1] * 3}, {}, WRITES, 2, 3,
                 id="lengths-2-3"),
    pytest.param({WRITES: [1] * 3, CITES: [1] * 3, QUOTES: [1] * 2}, {}, QUOTES, 2, 3,
                 id="lengths-3-2"),
    pytest.param({WRITES: [1] * 3, QUOTES: [1] * 2}, {CITES: [[None, 0]] * 4}, WRITES, 3, 4,
                 id="offset-rows-4"),
    pytest.param({WRITES: EMPTY, QUOTES: [1]}, {CITES: [[None, 0]]}, WRITES, 0, 1,
                 id="empty-counts"),
])
def test_counts_shorter_than_the_hops(paper_author_timed, counts, offsets, short, length, hops):
    sampler = NeighborSampler(**with_quotes(paper_author_timed))
    request = timed_request(num_neighbors=counts, sampling_time_offsets=offsets)
    assert str(sample_error(sampler, request)) == (
        f"'num_neighbors' at '{short}' has {length} entries but the request has {hops} hops.")


def test_short_counts_are_rejected_before_any_draw(fan):
    sampler = NeighborSampler(**fan)
    seeds = np.zeros(4, dtype=np.int64)
    short = {"leaf__to__hub": np.array([1, 1]), "leaf__via__hub": np.array([1])}
    with pytest.raises(RuntimeError):
        sampler.sample(short, {}, "hub", seeds, EMPTY)
    # The next call draws the engine's first outputs under seed 123, one per seed.
    good = {"leaf__to__hub": np.array([1]), "leaf__via__hub": np.array([0])}
    result = sampler.sample(good, {}, "hub", seeds, EMPTY)
    assert_same_result(result, NeighborSampler(**fan).sample(good, {}, "hub", seeds, EMPTY))
    engine = np.random.RandomState(123).randint(0, 2**32, size=4, dtype=np.uint32)
    assert list(result[2]["leaf"]) == list(engine.astype(np.int64) % len(fan["row"][
        "leaf__to__hub"]))


@pytest.mark.parametrize("offsets, bad_value", [
    pytest.param([[None, 0.5]], 0.5, id="float-end"),
    pytest.param(np.array([[0.0, 1.0]]), np.float64(0.0), id="float-array"),
    pytest.param([[0, None]], None, id="none-end"),
    pytest.param([[0, 2**63]], 2**63, id="beyond-int64"),
])
def test_unreadable_offsets_bound(timed, offsets, bad_value):
    error = sample_error(timed, timed_request(sampling_time_offsets={CITES: offsets}))
    assert str(error).startswith(f"Unable to cast Python instance of type {type(bad_value)}")


ROWS = [[None, 0], [-15, 15], [-100, -5]]


@pytest.mark.parametrize("rows", [
    pytest.param(ROWS, id="lists"),
    pytest.param(np.array(ROWS, dtype=object), id="object-array"),
    pytest.param([[None, False], (np.int64(-15), np.int32(15)), [-100, -5]], id="integer-like"),
])
def test_offsets_rows_of_python_values(paper_author_timed, rows):
    # A start of None means no lower bound, as a start far below every time does.
    int64_rows = np.array([[-(2**40), 0], [-15, 15], [-100, -5]], dtype=np.int64)
    request = timed_request(num_neighbors={WRITES: np.array([-1, -1, -1])},
                            seed_node=np.array([0, 1, 0]), seed_time=np.array([25, 35, 40]))
    expected = NeighborSampler(**paper_author_timed).sample(
        **dict(request, sampling_time_offsets={CITES: int64_rows}))
    result = NeighborSampler(**paper_author_timed).sample(
        **dict(request, sampling_time_offsets={CITES: rows}))
    assert_same_result(result, expected)


@pytest.mark.parametrize("rows", [[[0, 1], [0, 1]], np.array([[0, 1], [0, 1]])],
                         ids=["list", "array"])
def test_missing_offsets_row_fails_in_its_hop(timed, rows):
    with pytest.raises(IndexError) as expected:
        rows[2]
    # No seeds, so every frontier is empty; the row is fetched all the same.
    request = timed_request(num_neighbors={WRITES: np.array([-1, -1, -1])},
                            sampling_time_offsets={CITES: rows}, seed_node=EMPTY,
                            seed_time=EMPTY)
    assert str(sample_error(timed, request, IndexError)) == str(expected.value)


# Request values in other layouts are read as the values they hold: two
# samplers built alike answer alike.

LAYOUTS = ARRAY_LAYOUTS


@pytest.mark.parametrize("graph, base, field", [
    pytest.param("paper_author", count_request, "num_neighbors", id="counts"),
    pytest.param("paper_author", count_request, "seed_node", id="seed-node"),
    pytest.param("paper_author_timed", window_request, "seed_node", id="seed-node-timed"),
    pytest.param("paper_author_timed", window_request, "seed_time", id="seed-time"),
])
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_request_values_in_other_layouts(request, graph, base, field, layout):
    graph = request.getfixturevalue(graph)
    clean = base()
    value = clean[field]
    if field == "num_neighbors":
        value = {k: LAYOUTS[layout](v) for k, v in value.items()}
    else:
        value = LAYOUTS[layout](value)
    expected = NeighborSampler(**graph).sample(**clean)
    assert_same_result(NeighborSampler(**graph).sample(**base(**{field: value})), expected)


@pytest.mark.parametrize("entity_table", [b"paper", bytearray(b"paper")],
                         ids=["bytes", "bytearray"])
def test_entity_table_as_bytes(timed, paper_author_timed, entity_table):
    expected = NeighborSampler(**paper_author_timed).sample(**timed_request())
    assert_same_result(timed.sample(**timed_request(entity_table=entity_table)), expected)
