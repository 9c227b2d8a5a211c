"""Malformed graphs and requests never crash the sampler: every call ends
either in a result that satisfies the result invariants or in one of the
exceptions the module raises.

Two property tests, both derandomized and bounded:
- arbitrary graph descriptions (wrong dtypes, shapes, layouts, keys, ids)
  followed by arbitrary requests;
- well-formed random graphs (times sorted or not) with arbitrary requests,
  so that most calls succeed and their results are checked.
Arrays stay small, so even INT64_MAX counts touch only a few edges.
"""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import rerozer
from rerozer_tables import _temporal

# Both modules built from the same sources: rerozer, and the one whose
# counts on temporal edge types draw among every edge up to the example time.
SAMPLERS = {"rerozer": rerozer.NeighborSampler, "_temporal": _temporal.NeighborSampler}

INT64_MIN = int(np.iinfo(np.int64).min)
INT64_MAX = int(np.iinfo(np.int64).max)
RAISED = (RuntimeError, IndexError, KeyError, TypeError, ValueError, UnicodeDecodeError)
FUZZ = settings(
    max_examples=400,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# --- Values ------------------------------------------------------------------

EXTREMES = [INT64_MIN, INT64_MIN + 1, -(2**31), 2**31, INT64_MAX - 1, INT64_MAX]
small_or_extreme = st.one_of(st.integers(-3, 8), st.integers(-3, 8), st.sampled_from(EXTREMES))
LAYOUTS = ["plain", "plain", "plain", "strided", "reversed", "byteswapped", "readonly",
           "broadcast", "subclass", "list"]
# The seed arrays must be numpy arrays: anything else is refused with
# pybind11's TypeError before the sampler runs.
ARRAY_LAYOUTS = [layout for layout in LAYOUTS if layout != "list"]
ODD_DTYPES = ["int32", "uint64", "float64", "bool", "object"]


class Tagged(np.ndarray):
    """An ndarray subclass, which the sampler must read like an ndarray."""


def lay_out(values, layout, dtype="int64", ndim=1):
    """`values` as an array of the given layout, dtype and dimensions. Casts
    wrap silently (integers) or are exact (floats of small ints)."""
    if layout == "list" and dtype == "int64" and ndim == 1:
        return list(values)
    base = np.array(values, dtype=np.int64)
    if dtype != "int64":
        base = base.astype(dtype)
    if ndim == 0:
        return base[:1].reshape(()) if len(base) else np.array(0, dtype=base.dtype)
    if ndim == 2:
        base = base.reshape(1, -1)
    if layout == "strided":
        doubled = np.repeat(base, 2, axis=-1)
        doubled[..., 1::2] = 0
        return doubled[..., ::2]
    if layout == "reversed":
        return np.ascontiguousarray(base[..., ::-1])[..., ::-1]
    if layout == "byteswapped":
        return base.astype(base.dtype.newbyteorder())
    if layout == "readonly":
        base.setflags(write=False)
        return base
    if layout == "broadcast" and len(set(base.ravel().tolist())) <= 1 and base.size:
        return np.broadcast_to(base.ravel()[:1], base.shape)
    if layout == "subclass":
        return base.view(Tagged)
    return base


def sometimes(draw, one_in):
    """True about once in `one_in` draws; False in the simplest example, so
    that shrinking leads towards well-formed input."""
    return draw(st.integers(0, one_in - 1)) == one_in - 1


def mostly(common, rare, one_in):
    """Draws from `rare` about once in `one_in` draws, else from `common`."""
    return st.integers(0, one_in - 1).flatmap(lambda i: rare if i == one_in - 1 else common)


@st.composite
def arrays(draw, values, weird=True, layouts=LAYOUTS):
    """A one-dimensional int64 array in any of `layouts`, or (when `weird`),
    now and then, another dtype or number of dimensions."""
    data = draw(values)
    layout = draw(st.sampled_from(layouts))
    dtype = draw(st.sampled_from(ODD_DTYPES)) if weird and sometimes(draw, 6) else "int64"
    ndim = draw(st.sampled_from([0, 2])) if weird and sometimes(draw, 10) else 1
    return lay_out(data, layout, dtype, ndim)


# --- Graphs ------------------------------------------------------------------

NAMES = ["p", "q", "é"]
ODD_NAMES = [b"p", b"\xff", "\ud800", "", 7]


def key_of(edge_type):
    return "__".join(edge_type)


@st.composite
def keyed(draw, keys, value_strategy):
    """A dictionary over `keys` with, now and then, an entry missing or a key
    that is not allowed (unknown names, tuples, ints)."""
    result = {}
    for key in keys:
        if not sometimes(draw, 20):
            result[key] = draw(value_strategy(key))
    if sometimes(draw, 20):
        extra = draw(st.sampled_from(["zz__r__zz", ("p", "r", "q"), 5]))
        result[extra] = draw(value_strategy(keys[0] if keys else "zz"))
    return result


def ids_below(size):
    return st.integers(0, max(size - 1, 0))


@st.composite
def malformed_graphs(draw):
    """A graph description of 1 to 3 node types whose arrays are mostly
    consistent; each array, key, name and argument goes wrong now and then."""
    node_types = draw(st.lists(st.sampled_from(NAMES), min_size=1, max_size=3))
    if sometimes(draw, 10):
        node_types.append(draw(st.sampled_from(ODD_NAMES)))
    names = [n for n in node_types if isinstance(n, str)]
    sizes = {n: draw(st.integers(1, 4)) for n in names}
    endpoint = mostly(st.sampled_from(names), st.just("zz"), 12)
    edge_types = draw(st.lists(st.tuples(endpoint, st.sampled_from(["r", "s"]), endpoint),
                               max_size=3))
    if sometimes(draw, 20):
        edge_types.append((1, "r", "p"))
    keys = [key_of(e) for e in edge_types if all(isinstance(part, str) for part in e)]
    ends = {key_of(e): e for e in edge_types if all(isinstance(part, str) for part in e)}

    def size_of(key, end):
        return sizes.get(ends.get(key, ("zz", "r", "zz"))[end], 2)
    noise = st.lists(small_or_extreme, max_size=6)
    weird = not sometimes(draw, 2)

    def colptr_values(key):
        steps = st.lists(st.integers(0, 3), min_size=size_of(key, 2), max_size=size_of(key, 2))
        consistent = steps.map(lambda s: np.cumsum([0] + s).tolist())
        return arrays(mostly(consistent, noise, 6), weird)

    colptr = draw(keyed(keys, colptr_values))

    def row_values(key):
        total = int(np.asarray(colptr.get(key, [0])).ravel()[-1:].sum()) if key in colptr else 0
        total = total if 0 <= total <= 12 else 3
        consistent = st.lists(ids_below(size_of(key, 0)), min_size=total, max_size=total)
        return arrays(mostly(consistent, noise, 6), weird)

    row = draw(keyed(keys, row_values))

    def time_values(name):
        consistent = st.lists(st.integers(-5, 30), min_size=sizes.get(name, 2),
                              max_size=sizes.get(name, 2))
        return arrays(mostly(consistent, noise, 6), weird)

    timed = draw(st.lists(st.sampled_from(names), unique=True))
    node_time = draw(keyed(timed, time_values))
    node_time = draw(st.sampled_from(
        [node_time] * 9 + [list(node_time.items()), [], None]))
    seed = 123 if not sometimes(draw, 10) else draw(
        st.sampled_from([-1, 2**31 - 1, 2**31, -(2**31) - 1, 1.5]))
    return (node_types, edge_types, colptr, row, node_time, seed), sizes


@st.composite
def valid_graphs(draw):
    """A well-formed CSC graph with 1 to 3 edge types; node times present for
    some types, each column sorted by source time unless `shuffled`."""
    node_types = draw(st.sampled_from([["p", "q"], ["p"], ["q", "p"]]))
    sizes = {t: draw(st.integers(1, 5)) for t in node_types}
    pairs = [(s, d) for s in node_types for d in node_types]
    edge_types = draw(st.lists(st.sampled_from(pairs), min_size=1, max_size=3, unique=True))
    edge_types = [(s, "r", d) for s, d in edge_types]
    times = {t: draw(st.lists(st.integers(-5, 30), min_size=sizes[t], max_size=sizes[t]))
             for t in node_types}
    timed = draw(st.lists(st.sampled_from(node_types), unique=True))
    shuffled = sometimes(draw, 4)
    colptr, row = {}, {}
    for s, _, d in edge_types:
        column = mostly(st.lists(ids_below(sizes[s]), min_size=1, max_size=4), st.just([]), 4)
        columns = [draw(column) for _ in range(sizes[d])]
        if not shuffled:
            columns = [sorted(c, key=lambda u: times[s][u]) for c in columns]
        colptr[key_of((s, "r", d))] = np.cumsum([0] + [len(c) for c in columns]).astype(np.int64)
        row[key_of((s, "r", d))] = np.array([u for c in columns for u in c], dtype=np.int64)
    node_time = {t: np.array(times[t], dtype=np.int64) for t in timed}
    seed = draw(st.integers(0, 2**31 - 1))
    return (node_types, edge_types, colptr, row, node_time, seed), sizes


# --- Requests ----------------------------------------------------------------

ODD_BOUNDS = EXTREMES + [None, 1.5, 2**70, "7"]


@st.composite
def offsets_values(draw, hops, weird):
    def bound(low, high):
        if weird and sometimes(draw, 10):
            return draw(st.sampled_from(ODD_BOUNDS))
        return draw(st.integers(low, high))

    count = hops if not (weird and sometimes(draw, 8)) else draw(st.integers(0, 3))
    rows = [[None if sometimes(draw, 3) else bound(-30, 5), bound(-5, 30)]
            for _ in range(count)]
    form = draw(st.sampled_from(["list", "list", "int64", "object"]))
    if weird and sometimes(draw, 10):
        form = draw(st.sampled_from(["n-by-3", "1d", "empty"]))
    if not rows and form != "object":
        form = "empty"
    if form == "int64" and all(isinstance(b, int) and INT64_MIN <= b <= INT64_MAX
                               for r in rows for b in r):
        return np.array(rows, dtype=np.int64).reshape(-1, 2)
    if form == "object":
        return np.array(rows, dtype=object).reshape(-1, 2)
    if form == "n-by-3":
        return [r + [0] for r in rows]
    if form == "1d":
        return [b for r in rows for b in r]
    if form == "empty":
        return np.empty((0, 2), dtype=np.int64)
    return rows


@st.composite
def requests(draw, graph, sizes, weird=True):
    """A request over the graph's edge types with mostly valid ids, counts
    and windows; when `weird`, any part may be malformed now and then."""
    node_types, edge_types, node_time = graph[0], graph[1], graph[4]
    timed = set(node_time) if isinstance(node_time, dict) else set()
    hops = draw(mostly(st.integers(1, 3), st.just(0), 6))
    counts_values = mostly(st.integers(-1, 3), st.sampled_from(EXTREMES), 8)
    num_neighbors, offsets = {}, {}
    for edge_type in edge_types:
        if not all(isinstance(part, str) for part in edge_type):
            continue
        key = key_of(edge_type)
        where = "offsets" if edge_type[0] in timed and draw(st.booleans()) else "counts"
        if weird and sometimes(draw, 10):
            where = draw(st.sampled_from(["counts", "offsets", "both", "neither"]))
        if where in ("counts", "both"):
            length = hops if not (weird and sometimes(draw, 8)) else draw(st.integers(0, 3))
            num_neighbors[key] = draw(arrays(st.lists(counts_values, min_size=length,
                                                      max_size=length), weird))
        if where in ("offsets", "both"):
            offsets[key] = draw(offsets_values(hops, weird))
    if weird and sometimes(draw, 10):
        num_neighbors["zz__r__zz"] = np.zeros(hops, dtype=np.int64)
    # Seeds mostly of a type that edges lead to, so that something is found.
    names = [n for n in node_types if isinstance(n, str)]
    targets = [e[2] for e in edge_types if e[2] in names] or names or ["zz"]
    entity = draw(mostly(st.sampled_from(targets), st.sampled_from(names + ["zz"]), 6))
    ids = ids_below(sizes.get(entity, 3))
    if weird and sometimes(draw, 5):
        ids = st.one_of(ids, small_or_extreme)
    n = draw(mostly(st.integers(1, 4), st.just(0), 6))
    seed_layouts = LAYOUTS if weird and sometimes(draw, 10) else ARRAY_LAYOUTS
    seed_node = draw(arrays(st.lists(ids, min_size=n, max_size=n), weird, seed_layouts))
    time_length = draw(st.sampled_from([0, n])) if not sometimes(draw, 8) else draw(
        st.integers(0, 5))
    seed_time = draw(arrays(st.lists(st.integers(-40, 40), min_size=time_length,
                                     max_size=time_length), weird, seed_layouts))
    return num_neighbors, offsets, entity, seed_node, seed_time


# --- Invariants --------------------------------------------------------------

def text(name):
    return name.decode() if isinstance(name, bytes) else name


def expected_hops(graph, request):
    num_neighbors, offsets = request[0], request[1]
    hops = 0
    for edge_type in graph[1]:
        key = key_of(edge_type)
        value = np.asarray(num_neighbors[key] if key in num_neighbors else offsets[key])
        hops = max(hops, value.size if key in num_neighbors else value.shape[0])
    return hops


def check_invariants(graph, request, result):
    listed = [text(n) for n in graph[0]]
    node_types = list(dict.fromkeys(listed))
    edge_types = [tuple(text(p) for p in e) for e in graph[1]]
    keys = list(dict.fromkeys(key_of(e) for e in edge_types))
    out_row, out_col, out_node, out_batch, nsn, nse = result
    for table, table_keys in zip(result, [keys, keys, node_types, node_types, node_types, keys]):
        assert list(table) == table_keys
        for value in table.values():
            assert isinstance(value, np.ndarray) and value.dtype == np.int64
            assert value.ndim == 1 and value.flags.c_contiguous and value.flags.owndata

    hops = expected_hops(graph, request)
    seeds = np.asarray(request[3]).astype(np.int64)
    n, entity = len(seeds), request[2]
    per_hop = {}
    for t in node_types:
        # A node type listed m times closes each hop m times, so it has m
        # counts per hop (all but the first 0).
        m = listed.count(t)
        assert len(nsn[t]) == 1 + hops * m
        per_hop[t] = [nsn[t][0]] + [nsn[t][1 + h * m:1 + (h + 1) * m].sum() for h in range(hops)]
        assert nsn[t][0] == (n if t == entity else 0)
        assert len(out_node[t]) == len(out_batch[t]) == nsn[t].sum()
        assert np.all((out_batch[t] >= 0) & (out_batch[t] < n))
        assert len(set(zip(out_batch[t].tolist(), out_node[t].tolist()))) == len(out_node[t])
    assert out_node[entity][:n].tolist() == seeds.tolist()
    assert out_batch[entity][:n].tolist() == list(range(n))

    rows = {key_of(e): np.asarray(graph[3][key_of(e)]).astype(np.int64) for e in graph[1]}
    listed_keys = [key_of(e) for e in edge_types]
    for (s, _, d), key in ((e, key_of(e)) for e in edge_types):
        # Likewise an edge type listed m times is visited m times per hop.
        m = listed_keys.count(key)
        assert len(nse[key]) == hops * m
        edges_per_hop = [nse[key][h * m:(h + 1) * m].sum() for h in range(hops)]
        assert len(out_row[key]) == len(out_col[key]) == nse[key].sum()
        if s not in node_types or d not in node_types:
            # Such an edge type fails every call that has a hop.
            assert hops == 0
            continue
        assert np.all((out_row[key] >= 0) & (out_row[key] < len(out_node[s])))
        assert np.all((out_col[key] >= 0) & (out_col[key] < len(out_node[d])))
        assert np.array_equal(out_batch[s][out_row[key]], out_batch[d][out_col[key]])
        assert np.isin(out_node[s][out_row[key]], rows[key]).all()
        # Edges of hop h leave the frontier of hop h (block h of the
        # destination's nodes) and reach nodes registered by the end of hop h.
        src_ends = np.cumsum(per_hop[s])
        dst_starts = np.concatenate([[0], np.cumsum(per_hop[d])])
        edge_ends = np.cumsum(edges_per_hop)
        for h in range(hops):
            block = slice(edge_ends[h] - edges_per_hop[h], edge_ends[h])
            assert np.all(out_row[key][block] < src_ends[h + 1])
            assert np.all((out_col[key][block] >= dst_starts[h])
                          & (out_col[key][block] < dst_starts[h + 1]))
        if len(keys) == len(edge_types):
            assert np.all(np.diff(out_col[key]) >= 0)


def sample_and_check(sampler, graph, request):
    try:
        result = sampler.sample(*request)
    except RAISED:
        return False
    check_invariants(graph, request, result)
    return True


# --- Tests -------------------------------------------------------------------

@pytest.mark.parametrize("module", SAMPLERS)
@FUZZ
@given(data=st.data())
def test_malformed_graphs_and_requests(module, data):
    graph, sizes = data.draw(malformed_graphs(), label="graph")
    try:
        sampler = SAMPLERS[module](*graph)
    except RAISED:
        return
    for _ in range(2):
        sample_and_check(sampler, graph, data.draw(requests(graph, sizes), label="request"))


@pytest.mark.parametrize("module", SAMPLERS)
@FUZZ
@given(data=st.data())
def test_malformed_requests_on_valid_graphs(module, data):
    graph, sizes = data.draw(valid_graphs(), label="graph")
    sampler = SAMPLERS[module](*graph)
    for _ in range(3):
        sample_and_check(sampler, graph, data.draw(requests(graph, sizes), label="request"))


@pytest.mark.parametrize("graph_strategy, minimum", [
    pytest.param(malformed_graphs(), 0.04, id="malformed-graphs"),
    pytest.param(valid_graphs(), 0.15, id="valid-graphs"),
])
def test_fuzzing_reaches_results_with_edges(graph_strategy, minimum):
    # The properties above hold trivially if every call fails or samples
    # nothing; make sure a fair share of generated calls records edges and so
    # gets through every invariant check.
    outcomes = []

    @settings(FUZZ, max_examples=FUZZ.max_examples // 2)
    @given(data=st.data())
    def run(data):
        graph, sizes = data.draw(graph_strategy)
        try:
            sampler = rerozer.NeighborSampler(*graph)
            result = sampler.sample(*data.draw(requests(graph, sizes, weird=False)))
        except RAISED:
            outcomes.append(False)
            return
        outcomes.append(any(len(edges) for edges in result[0].values()))

    run()
    assert sum(outcomes) >= minimum * len(outcomes), (sum(outcomes), len(outcomes))
