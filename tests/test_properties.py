"""Random graphs and requests: the extension must return exactly what the
plain-Python model in reference.py returns, and every result must satisfy
the result invariants on its own."""

import random

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import SAMPLER_ENTRIES, build_sampler, model_strategy
from reference import ORDER_ERROR, MT19937, ReferenceSampler, saturate64, wrap64

INT64_MIN = -(1 << 63)
INT64_MAX = (1 << 63) - 1

def property_settings(max_examples):
    """Seeded, reproducible runs without a deadline or an example database."""
    return settings(
        max_examples=max_examples,
        derandomize=True,
        database=None,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


def ints(values):
    return np.array(values, dtype=np.int64)


# The model's engine, against the published check values.


@pytest.mark.parametrize(
    ("seed", "skip", "expected"),
    [
        pytest.param(5489, 0, [3499211612], id="5489_first"),
        pytest.param(5489, 9999, [4123659995], id="5489_10000th"),
        pytest.param(123, 0, [2991312382, 3062119789, 1228959102, 1840268610, 974319580], id="123_first_five"),
        pytest.param(-1, 0, [419326371], id="minus_one_first"),
    ],
)
def test_model_engine_check_values(seed, skip, expected):
    engine = MT19937(seed)
    for _ in range(skip):
        engine.draw()
    assert [engine.draw() for _ in expected] == expected


# Strategies.

SMALL_TIME = st.integers(-3, 12)
EXTREME = st.sampled_from([INT64_MIN, INT64_MIN + 1, INT64_MAX - 1, INT64_MAX])
TIME = st.one_of(SMALL_TIME, SMALL_TIME, SMALL_TIME, EXTREME)
OFFSET = st.one_of(st.integers(-6, 6), st.integers(-6, 6), st.integers(-6, 6), EXTREME)
COUNT = st.one_of(st.sampled_from([1, 2, -1, 3, 0, 50, INT64_MIN, INT64_MAX]), st.integers(-4, 7))
# How an int64 vector of the request is laid out in memory.
LAYOUT = st.sampled_from(["plain", "plain", "strided", "byteswapped"])


def in_layout(values, layout):
    """values as a one-dimensional int64 array: plain, as a view with a
    stride of two elements, or stored big-endian."""
    if layout == "strided":
        wide = np.zeros(2 * len(values), dtype=np.int64)
        wide[::2] = values
        return wide[::2]
    if layout == "byteswapped":
        return np.array(values, dtype=">i8")
    return ints(values)


@st.composite
def graphs(draw, sorted_columns=True, duplicates=False):
    """A graph description as the constructor takes it. With sorted_columns
    every column of a timed source type is ordered by source time (ties in
    any order); otherwise columns keep whatever order was drawn. With
    duplicates a node type or an edge type may be listed twice. The column
    contents come from one drawn seed, which keeps generation fast."""
    names = draw(st.permutations(["paper", "author", "venue"]))[: draw(st.sampled_from([3, 2, 1]))]
    sizes = {t: draw(st.integers(1, 5)) for t in names}
    temporal = draw(st.sampled_from([True, True, False]))
    timed = [t for t in names if draw(st.sampled_from([True, True, False]))] if temporal else []
    node_time = {t: draw(st.lists(TIME, min_size=sizes[t], max_size=sizes[t])) for t in timed}
    fill = random.Random(draw(st.integers(0, (1 << 32) - 1)))
    edge_types = []
    colptr = {}
    row = {}
    for j in range(draw(st.sampled_from([3, 2, 4, 1, 0]))):
        src = draw(st.sampled_from(names))
        dst = draw(st.sampled_from(names))
        edge_types.append((src, f"r{j}", dst))
        key = f"{src}__r{j}__{dst}"
        pointers = [0]
        sources = []
        for _ in range(sizes[dst]):
            column = [fill.randrange(sizes[src]) for _ in range(fill.randint(0, 6))]
            if src in node_time and sorted_columns:
                # Python's sort is stable, so equal times keep the drawn order.
                column.sort(key=lambda u: node_time[src][u])
            sources.extend(column)
            pointers.append(len(sources))
        colptr[key] = pointers
        row[key] = sources
    if duplicates and draw(st.booleans()):
        names = names + [draw(st.sampled_from(names))]
    if duplicates and edge_types and draw(st.booleans()):
        edge_types.append(draw(st.sampled_from(edge_types)))
    seed = draw(st.integers(-(1 << 31), (1 << 31) - 1))
    return {
        "node_types": names,
        "edge_types": edge_types,
        "colptr": colptr,
        "row": row,
        "node_time": node_time,
        "seed": seed,
        "sizes": sizes,
    }


def window_rows(draw, num_hops):
    rows = []
    for _ in range(num_hops):
        lo = draw(st.one_of(st.none(), OFFSET))
        rows.append([lo, draw(OFFSET)])
    form = draw(st.sampled_from(["list", "object_array", "int64_array"]))
    if form == "list":
        return rows
    if form == "object_array" or any(r[0] is None for r in rows):
        return np.array(rows, dtype=object).reshape(num_hops, 2)
    return ints(rows).reshape(num_hops, 2)


@st.composite
def requests(draw, graph, num_hops=None):
    """A valid request for `graph`: every edge type in exactly one of the two
    dictionaries, each with num_hops entries, inserted in a drawn order."""
    if num_hops is None:
        num_hops = draw(st.sampled_from([2, 1, 3, 0]))
    if not graph["edge_types"]:
        num_hops = 0  # nothing to give the hops a length
    node_time = graph["node_time"]
    num_neighbors = {}
    offsets = {}
    for src, rel, dst in draw(st.permutations(list(dict.fromkeys(graph["edge_types"])))):
        key = f"{src}__{rel}__{dst}"
        if src in node_time and draw(st.sampled_from([True, False])):
            offsets[key] = window_rows(draw, num_hops) if num_hops else np.empty((0, 2), np.int64)
        else:
            counts = draw(st.lists(COUNT, min_size=num_hops, max_size=num_hops))
            num_neighbors[key] = in_layout(counts, draw(LAYOUT))
    entity = draw(st.sampled_from(graph["node_types"]))
    seed_id = st.integers(0, graph["sizes"][entity] - 1)
    num_seeds = draw(st.sampled_from([2, 3, 1, 4, 5, 0]))
    seed_node = draw(st.lists(seed_id, min_size=num_seeds, max_size=num_seeds))
    if node_time and draw(st.sampled_from([True, True, False])):
        seed_time = draw(st.lists(TIME, min_size=len(seed_node), max_size=len(seed_node)))
    elif not node_time:
        # A sampler without times ignores seed_time, whatever its length.
        seed_time = draw(st.lists(TIME, max_size=3))
    else:
        seed_time = []
    return {
        "num_neighbors": num_neighbors,
        "sampling_time_offsets": offsets,
        "entity_table": entity,
        "seed_node": in_layout(seed_node, draw(LAYOUT)),
        "seed_time": in_layout(seed_time, draw(LAYOUT)),
        "num_hops": num_hops,
    }


# Running both.


def build(graph, entry="NeighborSampler"):
    """The sampler built through `entry` (see helpers.SAMPLER_ENTRIES), and
    the model of that entry's strategy."""
    sampler = build_sampler(
        entry,
        graph["node_types"],
        graph["edge_types"],
        {k: ints(v) for k, v in graph["colptr"].items()},
        {k: ints(v) for k, v in graph["row"].items()},
        {t: ints(v) for t, v in graph["node_time"].items()},
        graph["seed"],
    )
    reference = ReferenceSampler(
        graph["node_types"], graph["edge_types"], graph["colptr"], graph["row"], graph["node_time"],
        graph["seed"], model_strategy(entry),
    )
    return sampler, reference


def call(target, request):
    """The result as a list of six (key, values) lists, or the error."""
    try:
        result = target.sample(
            request["num_neighbors"],
            request["sampling_time_offsets"],
            request["entity_table"],
            request["seed_node"],
            request["seed_time"],
        )
    except (RuntimeError, IndexError) as error:
        return (type(error), str(error))
    return [[(key, list(np.asarray(values).tolist())) for key, values in d.items()] for d in result]


def check_result_types(result):
    for d in result:
        for values in d.values():
            assert isinstance(values, np.ndarray)
            assert values.dtype == np.int64
            assert values.ndim == 1


def check_invariants(graph, request, result, add=wrap64):
    """The result rules that hold for every valid request, checked without
    the model."""
    out_row, out_col, out_node, out_batch, num_nodes, num_edges = (dict(d) for d in result)
    node_types = graph["node_types"]
    keys = [f"{s}__{r}__{d}" for s, r, d in graph["edge_types"]]
    hops = request["num_hops"]
    seeds = request["seed_node"].tolist()
    n = len(seeds)
    entity = request["entity_table"]
    assert [[k for k, _ in d] for d in result] == [keys, keys, node_types, node_types, node_types, keys]

    block_starts = {}
    for t in node_types:
        counts = num_nodes[t]
        assert len(counts) == hops + 1
        assert counts[0] == (n if t == entity else 0)
        assert len(out_node[t]) == len(out_batch[t]) == sum(counts)
        assert all(0 <= x < n for x in out_batch[t])
        pairs = list(zip(out_batch[t], out_node[t]))
        assert len(set(pairs)) == len(pairs), "an (example, node) pair registered twice"
        block_starts[t] = np.concatenate([[0], np.cumsum(counts)]).tolist()
    assert out_node[entity][:n] == seeds
    assert out_batch[entity][:n] == list(range(n))

    times = {t: graph["node_time"][t] for t in graph["node_time"]}
    if graph["node_time"] and request["seed_time"].size:
        example_times = request["seed_time"].tolist()
    elif entity in times:
        example_times = [times[entity][v] for v in seeds]
    else:
        example_times = []

    for (src, _, dst), k in zip(graph["edge_types"], keys):
        counts = num_edges[k]
        assert len(counts) == hops
        assert len(out_row[k]) == len(out_col[k]) == sum(counts)
        assert out_col[k] == sorted(out_col[k]), "out_col decreases"
        edge_starts = np.concatenate([[0], np.cumsum(counts)]).tolist()
        temporal = bool(graph["node_time"]) and src in times and bool(example_times)
        colptr, row = graph["colptr"][k], graph["row"][k]
        for h in range(hops):
            per_frontier = {}
            for j in range(edge_starts[h], edge_starts[h + 1]):
                r, c = out_row[k][j], out_col[k][j]
                # The frontier of hop h is block h of dst; the neighbour was
                # registered no later than hop h.
                assert block_starts[dst][h] <= c < block_starts[dst][h + 1]
                assert 0 <= r < block_starts[src][h + 2]
                x = out_batch[dst][c]
                assert out_batch[src][r] == x, "an edge joins two examples"
                v, u = out_node[dst][c], out_node[src][r]
                column = row[colptr[v] : colptr[v + 1]]
                assert u in column, "an edge that is not in the graph"
                per_frontier.setdefault(c, []).append(u)
                if temporal:
                    check_time(request, k, h, times[src][u], example_times[x], add)
            if not temporal and k in request["sampling_time_offsets"]:
                assert counts[h] == 0, "a time window sampled without example times"
            elif not temporal:
                count = int(request["num_neighbors"][k][h])
                for c in range(block_starts[dst][h], block_starts[dst][h + 1]):
                    v = out_node[dst][c]
                    degree = colptr[v + 1] - colptr[v]
                    expected = degree if count < 0 else min(count, degree)
                    assert len(per_frontier.get(c, [])) == expected


def check_time(request, key, hop, time, example_time, add):
    """``add`` forms t + offset: wrapping in rerozer, saturating in the data layer's module."""
    if key in request["num_neighbors"]:
        assert time <= example_time
        return
    lo, hi = request["sampling_time_offsets"][key][hop]
    assert time <= add(example_time + int(hi))
    if lo is not None:
        assert time > add(example_time + int(lo))


# "last" through Graph.sampler is NeighborSampler itself: fewer examples
# show that the entry hands over the graph and the seed.
@pytest.mark.parametrize("entry, examples", [
    ("NeighborSampler", 2500), ("last", 300), ("uniform", 1500),
], ids=SAMPLER_ENTRIES)
def test_matches_model_and_invariants(entry, examples):
    @property_settings(examples)
    @given(st.data())
    def check(data):
        graph = data.draw(graphs())
        request = data.draw(requests(graph))
        sampler, reference = build(graph, entry)
        result = sampler.sample(
            request["num_neighbors"],
            request["sampling_time_offsets"],
            request["entity_table"],
            request["seed_node"],
            request["seed_time"],
        )
        check_result_types(result)
        as_lists = [[(key, values.tolist()) for key, values in d.items()] for d in result]
        assert as_lists == call(reference, request)
        check_invariants(graph, request, as_lists, saturate64 if entry == "uniform" else wrap64)

    check()


@pytest.mark.parametrize("entry", SAMPLER_ENTRIES)
@property_settings(300)
@given(st.data())
def test_call_sequence_continues_the_stream(entry, data):
    # Also with node types or edge types listed twice, which share their
    # entries and count lists.
    graph = data.draw(graphs(duplicates=True))
    sampler, reference = build(graph, entry)
    for _ in range(data.draw(st.integers(2, 4))):
        request = data.draw(requests(graph))
        assert call(sampler, request) == call(reference, request)


@pytest.mark.parametrize("entry", SAMPLER_ENTRIES)
@property_settings(400)
@given(st.data())
def test_unordered_columns_match_model(entry, data):
    # Columns out of time order: the halving search and the end check decide
    # what is taken or whether the call fails; both must agree, and a failed
    # call must leave the stream where the model leaves it.
    graph = data.draw(graphs(sorted_columns=False))
    sampler, reference = build(graph, entry)
    for _ in range(2):
        request = data.draw(requests(graph))
        outcome = call(sampler, request)
        assert outcome == call(reference, request)
        if isinstance(outcome, tuple):
            assert outcome == (RuntimeError, ORDER_ERROR)


@pytest.mark.parametrize("entry", SAMPLER_ENTRIES)
@property_settings(200)
@given(st.data())
def test_missing_offsets_row_matches_model(entry, data):
    # An offsets value with fewer rows than hops fails in the hop that needs
    # the row, with the interpreter's IndexError, after that hop's draws.
    graph = data.draw(graphs())
    timed_keys = [f"{s}__{r}__{d}" for s, r, d in graph["edge_types"] if s in graph["node_time"]]
    if not timed_keys:
        return
    request = data.draw(requests(graph, num_hops=data.draw(st.integers(2, 3))))
    key = data.draw(st.sampled_from(timed_keys))
    request["num_neighbors"].pop(key, None)
    request["sampling_time_offsets"][key] = [[None, 0]]
    sampler, reference = build(graph, entry)
    outcome = call(sampler, request)
    assert outcome == call(reference, request)
    if len(request["sampling_time_offsets"]) + len(request["num_neighbors"]) > 1:
        # Another edge type keeps the hop count at two or more.
        assert outcome[0] is IndexError
    follow_up = data.draw(requests(graph))
    assert call(sampler, follow_up) == call(reference, follow_up)


@pytest.mark.parametrize("count", [1, 7, 400], ids=lambda k: f"k{k}")
def test_large_column_matches_model(count):
    # Columns of 100000 candidates and more keep their chosen set in another
    # form; the picks must not change.
    sizes = [100003, 3, 150000]
    pointers = np.concatenate([[0], np.cumsum(sizes)])
    rng = np.random.default_rng(7)
    graph = {
        "node_types": ["item", "user"],
        "edge_types": [("user", "buys", "item")],
        "colptr": {"user__buys__item": pointers.tolist()},
        "row": {"user__buys__item": rng.integers(0, 5000, size=pointers[-1]).tolist()},
        "node_time": {},
        "seed": 99,
        "sizes": {"item": 3, "user": 5000},
    }
    sampler, reference = build(graph)
    request = {
        "num_neighbors": {"user__buys__item": ints([count])},
        "sampling_time_offsets": {},
        "entity_table": "item",
        "seed_node": ints([0, 1, 2, 0, 2]),
        "seed_time": ints([]),
        "num_hops": 1,
    }
    for _ in range(2):
        assert call(sampler, request) == call(reference, request)


@pytest.mark.parametrize(
    "count",
    [
        pytest.param(32, id="k32-scan"),
        pytest.param(33, id="k33-flags-and-hash"),
        pytest.param(40, id="k40-flags-and-hash"),
        pytest.param(99, id="k99-flags-and-hash"),
    ],
)
def test_floyd_over_columns_at_row_offsets_matches_model(count):
    # The chosen set of a Floyd selection takes one of three forms: up to 32
    # picks, a scan of the picks so far; more picks from fewer than 100000
    # candidates, a flag per candidate offset; more candidates, a hash set.
    # Columns start at row offsets 50, 150, 250 and 100249 (none at 0), so
    # that a flag indexed by row position instead of column offset shows up,
    # and each column is read by two examples in turn, so that a flag left
    # set by one changes the picks of the next.
    sizes = [50, 100, 100, 99999, 100000]
    pointers = np.concatenate([[0], np.cumsum(sizes)])
    graph = {
        "node_types": ["item", "user"],
        "edge_types": [("user", "buys", "item")],
        "colptr": {"user__buys__item": pointers.tolist()},
        "row": {"user__buys__item": np.random.default_rng(11).permutation(pointers[-1]).tolist()},
        "node_time": {},
        "seed": 5,
        "sizes": {"item": len(sizes), "user": int(pointers[-1])},
    }
    sampler, reference = build(graph)
    request = {
        "num_neighbors": {"user__buys__item": ints([count])},
        "sampling_time_offsets": {},
        "entity_table": "item",
        "seed_node": ints([1, 2, 1, 2, 3, 4, 3, 4]),
        "seed_time": ints([]),
        "num_hops": 1,
    }
    for _ in range(2):
        got = call(sampler, request)
        assert got == call(reference, request)
        assert got[5] == [("user__buys__item", [8 * count])]
