"""Reads of the caller's graph and seed arrays are bounds-checked where they
happen: an id or a column outside its array raises IndexError naming the
dictionary, the key, the value and the array's length, and a valid graph
gives exactly the results it always gave.

The graph is the small paper/author graph of the worked examples:

    author__writes__paper  colptr [0, 2, 3, 3]  row [0, 1, 1]
    paper__cites__paper    colptr [0, 2, 3, 3]  row [1, 2, 2]
    node_time  paper [10, 20, 30]  author [5, 15]

Every test runs in each selection mode where the read happens: uniform (no
node times), most-recent (times and counts) and time-window (times and
offsets).
"""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import rerozer
from rerozer_tables import _temporal
from rerozer_tables import _temporal

NODE_TYPES = ["paper", "author"]
EDGE_TYPES = [("author", "writes", "paper"), ("paper", "cites", "paper")]
W = "author__writes__paper"
C = "paper__cites__paper"
INT64_MIN = np.iinfo(np.int64).min
INT64_MAX = np.iinfo(np.int64).max
# recent_uniform: counts on temporal edge types drawn among every edge up
# to the example time, by the sampler of rerozer_tables._temporal.
MODES = ["uniform", "most_recent", "recent_uniform", "time_window"]
TEMPORAL_MODES = ["most_recent", "recent_uniform", "time_window"]
SAMPLER_CLASS = {"recent_uniform": _temporal.NeighborSampler}
REPO = Path(__file__).resolve().parents[1]


def i64(*values):
    return np.array(values, dtype=np.int64)


def graph(colptr=None, row=None, node_time=None):
    """The worked-example graph with some arrays replaced."""
    g_colptr = {W: i64(0, 2, 3, 3), C: i64(0, 2, 3, 3)}
    g_row = {W: i64(0, 1, 1), C: i64(1, 2, 2)}
    g_time = {"paper": i64(10, 20, 30), "author": i64(5, 15)}
    g_colptr.update(colptr or {})
    g_row.update(row or {})
    g_time.update(node_time or {})
    return g_colptr, g_row, g_time


def run(mode, seed_node, colptr=None, row=None, node_time=None, hops=1, count=-1,
        seed_time="given"):
    """One call in `mode` over every edge type. Temporal modes pass the seed
    time 100 for every seed unless `seed_time` is None (then the seed's own
    node time is used)."""
    g_colptr, g_row, g_time = graph(colptr, row, node_time)
    seeds = i64(*seed_node)
    if mode == "uniform":
        sampler = rerozer.NeighborSampler(NODE_TYPES, EDGE_TYPES, g_colptr, g_row, {})
        return sampler.sample({W: i64(*[count] * hops), C: i64(*[count] * hops)}, {}, "paper",
                              seeds, i64())
    sampler_class = SAMPLER_CLASS.get(mode, rerozer.NeighborSampler)
    sampler = sampler_class(NODE_TYPES, EDGE_TYPES, g_colptr, g_row, g_time)
    times = i64() if seed_time is None else np.full(len(seeds), 100, dtype=np.int64)
    if mode in ("most_recent", "recent_uniform"):
        return sampler.sample({W: i64(*[count] * hops), C: i64(*[count] * hops)}, {}, "paper",
                              seeds, times)
    window = [[None, 0]] * hops if hops else np.empty((0, 2), dtype=np.int64)
    return sampler.sample({}, {W: window, C: window}, "paper", seeds, times)


def plain(result):
    """The six dictionaries as lists of (key, list) pairs, keeping key order."""
    for table in result:
        for value in table.values():
            assert value.dtype == np.int64 and value.ndim == 1
    return tuple([(key, value.tolist()) for key, value in table.items()] for table in result)


def expected(out_row, out_col, out_node, out_batch, nsn, nse):
    return (
        [(W, out_row[0]), (C, out_row[1])],
        [(W, out_col[0]), (C, out_col[1])],
        [("paper", out_node[0]), ("author", out_node[1])],
        [("paper", out_batch[0]), ("author", out_batch[1])],
        [("paper", nsn[0]), ("author", nsn[1])],
        [(W, nse[0]), (C, nse[1])],
    )


def outside_colptr(node, key=W, length=4):
    return (f"Node id {node} of type 'paper' is out of range for colptr['{key}'] "
            f"of length {length}.")


# --- Frontier and seed ids outside colptr -----------------------------------

@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "seed, colptr, message",
    [
        pytest.param(3, None, outside_colptr(3), id="one-past-end"),
        pytest.param(-1, None, outside_colptr(-1), id="negative"),
        pytest.param(INT64_MAX, None, outside_colptr(INT64_MAX), id="int64-max"),
        pytest.param(INT64_MIN, None, outside_colptr(INT64_MIN), id="int64-min"),
        pytest.param(1, {W: i64(0, 2)}, outside_colptr(1, length=2), id="colptr-of-fewer-nodes"),
        pytest.param(0, {W: i64()}, outside_colptr(0, length=0), id="empty-colptr"),
        pytest.param(3, {W: i64(0, 99, 2, 99, 3, 99, 3, 99)[::2]}, outside_colptr(3),
                     id="strided-colptr"),
        pytest.param(3, {W: i64(0, 2, 3, 3).astype(">i8")}, outside_colptr(3),
                     id="byte-swapped-colptr"),
    ],
)
def test_seed_outside_colptr(mode, seed, colptr, message):
    with pytest.raises(IndexError) as excinfo:
        run(mode, [seed], colptr=colptr)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("mode", MODES)
def test_frontier_node_outside_colptr_in_second_hop(mode):
    # paper 1 cites paper 3, which has no column: the failure comes when
    # paper 3 is expanded in hop 1, through the first edge type ending at it.
    with pytest.raises(IndexError) as excinfo:
        run(mode, [1], row={C: i64(1, 2, 3)}, node_time={"paper": i64(10, 20, 30, 40)}, hops=2)
    assert str(excinfo.value) == outside_colptr(3)


# --- Columns outside row ----------------------------------------------------

@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "seed, colptr, row, message",
    [
        pytest.param(1, {W: i64(0, 2, 5, 6)}, None,
                     "Column 1 of colptr['author__writes__paper'] spans [2, 5), outside "
                     "row['author__writes__paper'] of length 3.", id="colptr-of-more-edges"),
        pytest.param(0, {W: i64(-1, 2, 3, 3)}, None,
                     "Column 0 of colptr['author__writes__paper'] spans [-1, 2), outside "
                     "row['author__writes__paper'] of length 3.", id="negative-start"),
        pytest.param(0, {W: i64(INT64_MIN, INT64_MAX, 3, 3)}, None,
                     f"Column 0 of colptr['author__writes__paper'] spans [{INT64_MIN}, "
                     f"{INT64_MAX}), outside row['author__writes__paper'] of length 3.",
                     id="int64-extremes"),
        pytest.param(0, None, {W: i64()},
                     "Column 0 of colptr['author__writes__paper'] spans [0, 2), outside "
                     "row['author__writes__paper'] of length 0.", id="empty-row"),
        pytest.param(1, None, {W: i64(0, 1, 1)[::-1][1:]},
                     "Column 1 of colptr['author__writes__paper'] spans [2, 3), outside "
                     "row['author__writes__paper'] of length 2.", id="reversed-view-row"),
    ],
)
def test_column_outside_row(mode, seed, colptr, row, message):
    with pytest.raises(IndexError) as excinfo:
        run(mode, [seed], colptr=colptr, row=row)
    assert str(excinfo.value) == message


# --- Source ids outside node_time --------------------------------------------

@pytest.mark.parametrize("mode", TEMPORAL_MODES)
@pytest.mark.parametrize(
    "row, node_time, message",
    [
        pytest.param(None, {"author": i64(5)},
                     "Node id 1 in row['author__writes__paper'] is out of range for "
                     "node_time['author'] of length 1.", id="time-array-one-short"),
        pytest.param({W: i64(0, -1, 1)}, None,
                     "Node id -1 in row['author__writes__paper'] is out of range for "
                     "node_time['author'] of length 2.", id="negative-source"),
        pytest.param({W: i64(0, INT64_MAX, 1)}, None,
                     f"Node id {INT64_MAX} in row['author__writes__paper'] is out of range for "
                     "node_time['author'] of length 2.", id="int64-max-source"),
        pytest.param(None, {"author": i64()},
                     "Node id 1 in row['author__writes__paper'] is out of range for "
                     "node_time['author'] of length 0.", id="empty-time-array"),
    ],
)
def test_source_outside_node_time(mode, row, node_time, message):
    with pytest.raises(IndexError) as excinfo:
        run(mode, [0], row=row, node_time=node_time)
    assert str(excinfo.value) == message


def test_uniform_mode_reads_no_source_time():
    # Only author has times, so without seed times no example has a time and
    # every edge type is sampled uniformly: the one-short author times and
    # the negative source are never looked up.
    g_colptr, g_row, _ = graph(row={W: i64(0, -1, 1)})
    sampler = rerozer.NeighborSampler(NODE_TYPES, EDGE_TYPES, g_colptr, g_row,
                                      {"author": i64(5)})
    result = sampler.sample({W: i64(-1), C: i64(0)}, {}, "paper", i64(0), i64())
    assert plain(result) == expected(
        out_row=([0, 1], []), out_col=([0, 0], []), out_node=([0], [0, -1]),
        out_batch=([0], [0, 0]), nsn=([1, 0], [0, 2]), nse=([2], [0]))


@pytest.mark.parametrize("hops", [0, 1], ids=["no-hops", "one-hop"])
@pytest.mark.parametrize(
    "seed, message",
    [
        pytest.param(3, "Seed node id 3 is out of range for node_time['paper'] of length 3.",
                     id="one-past-end"),
        pytest.param(-1, "Seed node id -1 is out of range for node_time['paper'] of length 3.",
                     id="negative"),
        pytest.param(INT64_MIN, f"Seed node id {INT64_MIN} is out of range for "
                     "node_time['paper'] of length 3.", id="int64-min"),
    ],
)
@pytest.mark.parametrize("mode", TEMPORAL_MODES)
def test_seed_outside_its_own_node_time(mode, seed, message, hops):
    with pytest.raises(IndexError) as excinfo:
        run(mode, [0, seed], hops=hops, seed_time=None)
    assert str(excinfo.value) == message


# --- Valid descriptions keep their results -----------------------------------

@pytest.mark.parametrize(
    "seed_time, want",
    [
        pytest.param(i64(25), expected(
            out_row=([0], [1]), out_col=([0], [0]), out_node=([0, 1], [1]),
            out_batch=([0, 0], [0]), nsn=([1, 1], [0, 1]), nse=([1], [1])), id="seed-time"),
        pytest.param(i64(), expected(
            out_row=([0], []), out_col=([0], []), out_node=([0], [0]),
            out_batch=([0], [0]), nsn=([1, 0], [0, 1]), nse=([1], [0])), id="own-time"),
    ],
)
def test_worked_example_with_times(seed_time, want):
    sampler = rerozer.NeighborSampler(NODE_TYPES, EDGE_TYPES, *graph())
    result = sampler.sample({W: i64(1)}, {C: [[None, 0]]}, "paper", i64(0), seed_time)
    assert plain(result) == want


@pytest.mark.parametrize("mode", MODES)
def test_last_valid_ids_and_column_ending_at_row_end(mode):
    # Paper 2 is the last column (empty, ending at len(row)); paper 1's
    # column [2, 3) ends at the end of row; paper 2 and author 1 are the last
    # entries of their time arrays.
    result = run(mode, [1, 2])
    assert plain(result) == expected(
        out_row=([0], [2]), out_col=([0], [0]), out_node=([1, 2, 2], [1]),
        out_batch=([0, 1, 0], [0]), nsn=([2, 1], [0, 1]), nse=([1], [1]))


@pytest.mark.parametrize("mode", MODES)
def test_reversed_column_yields_nothing(mode):
    # colptr [0, 2, 1, 3]: column 1 is [2, 1), column 2 is [1, 3).
    result = run(mode, [1, 2], colptr={W: i64(0, 2, 1, 3)})
    assert plain(result) == expected(
        out_row=([0, 0], [2]), out_col=([1, 1], [0]), out_node=([1, 2, 2], [1]),
        out_batch=([0, 1, 0], [1]), nsn=([2, 1], [0, 1]), nse=([2], [1]))


@pytest.mark.parametrize("mode", MODES)
def test_reversed_column_far_outside_row_yields_nothing(mode):
    # Column 1 is [9, -5): both ends lie outside row, but it is empty.
    result = run(mode, [1], colptr={W: i64(0, 9, -5, 3)})
    assert plain(result) == expected(
        out_row=([], [1]), out_col=([], [0]), out_node=([1, 2], []),
        out_batch=([0, 0], []), nsn=([1, 1], [0, 0]), nse=([0], [1]))


@pytest.mark.parametrize("seed", [99, -5, INT64_MAX], ids=["past-end", "negative", "int64-max"])
@pytest.mark.parametrize("mode", ["uniform", "most_recent", "recent_uniform"])
def test_count_zero_reads_no_column(mode, seed):
    result = run(mode, [seed], count=0, hops=2)
    assert plain(result) == expected(
        out_row=([], []), out_col=([], []), out_node=([seed], []), out_batch=([0], []),
        nsn=([1, 0, 0], [0, 0, 0]), nse=([0, 0], [0, 0]))


# --- Other reads of memory the caller gave -----------------------------------

@pytest.mark.parametrize("cls, method, args", [
    pytest.param(rerozer.NeighborSampler, "sample", ({}, {}, "paper", i64(0), i64()), id="sample"),
    pytest.param(_temporal.NeighborSampler, "sample", ({}, {}, "paper", i64(0), i64()),
                 id="temporal-sample"),
    pytest.param(_temporal.NeighborSampler, "reseed", (5,), id="temporal-reseed"),
])
def test_call_on_instance_without_init(cls, method, args):
    sampler = cls.__new__(cls)
    with pytest.raises(TypeError) as excinfo:
        getattr(sampler, method)(*args)
    assert str(excinfo.value) == (
        f"NeighborSampler.{method}() called on an instance whose __init__ has not run")


UNALIGNED_CHILD = textwrap.dedent("""
    import numpy as np
    import rerozer

    def unaligned(*values):
        # int64 values starting one byte into a buffer: contiguous, native
        # order, but not 8-byte aligned.
        buffer = bytearray(8 * len(values) + 1)
        array = np.frombuffer(buffer, dtype=np.int64, offset=1, count=len(values))
        array[:] = values
        assert not array.flags.aligned and array.flags.c_contiguous
        return array

    W, C = "author__writes__paper", "paper__cites__paper"
    sampler = rerozer.NeighborSampler(
        ["paper", "author"], [("author", "writes", "paper"), ("paper", "cites", "paper")],
        {W: unaligned(0, 2, 3, 3), C: unaligned(0, 2, 3, 3)},
        {W: unaligned(0, 1, 1), C: unaligned(1, 2, 2)},
        {"paper": unaligned(10, 20, 30), "author": unaligned(5, 15)})
    for seed_time, want in [(unaligned(25), [0, 1]), (np.array([], np.int64), [0])]:
        result = sampler.sample({W: unaligned(1)}, {C: [[None, 0]]}, "paper", unaligned(0),
                                seed_time)
        assert result[2]["paper"].tolist() == want, result
    print("ok")
""")


def test_unaligned_arrays_are_read_without_undefined_behaviour():
    # Run in a child process: under the sanitizer build a misaligned load
    # aborts the process, which must show as this test's failure rather
    # than end the whole run. The child inherits the environment, so it
    # imports the same build with the same sanitizer runtime.
    child = subprocess.run([sys.executable, "-c", UNALIGNED_CHILD], capture_output=True,
                           text=True, timeout=300, env=dict(os.environ), cwd=REPO)
    assert (child.returncode, child.stdout.strip()) == (0, "ok"), child.stderr
    assert "runtime error" not in child.stderr, child.stderr


@pytest.mark.parametrize("module, build_dir", [
    (rerozer, ""), (_temporal, "rerozer_tables"),
], ids=["rerozer", "_temporal"])
def test_imported_build_matches_the_run(module, build_dir):
    # The sanitizer run must exercise the instrumented build of both
    # modules, with its runtime loaded; any other run must not pick that
    # build up.
    module = Path(module.__file__).resolve()
    sanitizer_build = REPO / "build" / "asan"
    if os.environ.get("REROZER_SANITIZER_BUILD") == "1":
        assert module.parent == sanitizer_build / build_dir, module
        with open("/proc/self/maps") as maps:
            assert "libasan" in maps.read()
    else:
        assert not module.is_relative_to(sanitizer_build), module


# --- The first failing entry of a frontier decides ----------------------------------

# The time searches of neighbouring frontier entries run side by side, in
# groups; whichever entry fails, the call must raise the failure of the
# first failing entry in frontier order, as entry-by-entry searching would.
FRONTIER = 40
LOOP = "n__to__n"


def frontier_call(mode, bad):
    """Seeds 0 .. FRONTIER-1 over one timed type whose node v has the
    sources v+1, v+2, v+3 in time order, except where `bad` says: "time"
    puts the source 1000 + v (outside node_time) in the middle, where the
    search probes first; "order" reverses the column."""
    time = np.arange(FRONTIER, dtype=np.int64) * 10
    columns = []
    for v in range(FRONTIER):
        sources = sorted(((v + d) % FRONTIER for d in (1, 2, 3)), key=lambda u: time[u])
        if bad.get(v) == "time":
            sources[1] = 1000 + v
        elif bad.get(v) == "order":
            sources.reverse()
        columns.append(sources)
    colptr = i64(*np.cumsum([0] + [len(c) for c in columns]))
    row = i64(*[u for c in columns for u in c])
    sampler_class = SAMPLER_CLASS.get(mode, rerozer.NeighborSampler)
    sampler = sampler_class(["n"], [("n", "to", "n")], {LOOP: colptr}, {LOOP: row}, {"n": time})
    seeds = np.arange(FRONTIER, dtype=np.int64)
    seed_time = np.full(FRONTIER, 10**6, dtype=np.int64)
    if mode in ("most_recent", "recent_uniform"):
        return sampler.sample({LOOP: i64(-1)}, {}, "n", seeds, seed_time)
    return sampler.sample({}, {LOOP: i64(-(10**9), 0).reshape(1, 2)}, "n", seeds, seed_time)


@pytest.mark.parametrize("mode", TEMPORAL_MODES)
@pytest.mark.parametrize("bad", [
    {3: "time"}, {35: "time", 20: "time"}, {15: "order", 16: "time"},
    {31: "time", 17: "order"}, {0: "time", 1: "order"}, {12: "time", 9: "order"},
], ids=["one", "two-groups", "group-edge", "order-first", "first-entries", "same-group"])
def test_first_failing_entry_of_the_frontier_decides(mode, bad):
    first = min(bad)
    if bad[first] == "time":
        with pytest.raises(IndexError) as excinfo:
            frontier_call(mode, bad)
        assert str(excinfo.value) == (
            f"Node id {1000 + first} in row['{LOOP}'] is out of range for "
            f"node_time['n'] of length {FRONTIER}.")
    else:
        with pytest.raises(RuntimeError, match="^Found invalid non-sorted temporal neighborhood$"):
            frontier_call(mode, bad)


@pytest.mark.parametrize("mode", TEMPORAL_MODES)
def test_frontier_without_failures_takes_every_column(mode):
    out_row, out_col, out_node, out_batch, _, num_edges = frontier_call(mode, {})
    assert num_edges[LOOP].tolist() == [3 * FRONTIER]
    assert out_col[LOOP].tolist() == [i for i in range(FRONTIER) for _ in range(3)]
    sources = out_node["n"][out_row[LOOP]]
    assert sorted(sources.tolist()) == sorted((v + d) % FRONTIER for v in range(FRONTIER) for d in (1, 2, 3))


@pytest.mark.parametrize("mode", TEMPORAL_MODES)
@pytest.mark.parametrize("colptr", [(INT64_MIN, 1), (0, INT64_MAX), (INT64_MAX, INT64_MIN)],
                         ids=["min-start", "max-end", "max-start"])
def test_extreme_column_pointers_ahead_of_the_walk(mode, colptr):
    # Frontier entries ahead of the one being selected are looked at early
    # (to fetch their memory in time); their column pointers are the
    # caller's values and must be checked before any arithmetic on them.
    # A column that ends before it starts is empty; one reaching outside
    # row fails.
    seeds = [0] * 40
    colptr = {W: i64(colptr[0], colptr[1], 3, 3)}
    if colptr[W][1] <= colptr[W][0]:
        out_row = run(mode, seeds, colptr=colptr)[0]
        assert len(out_row[W]) == 0
    else:
        with pytest.raises(IndexError, match=r"^Column 0 of colptr\['author__writes__paper'\] spans .*"
                                             r"outside row\['author__writes__paper'\] of length 3\.$"):
            run(mode, seeds, colptr=colptr)


@pytest.mark.parametrize("mode", TEMPORAL_MODES)
@pytest.mark.parametrize("begin, end", [
    (2, 3), (2, 2**20), (2, 2**40), (2, 2**62), (2, INT64_MAX),
    (-1, 2), (-(2**40), 2), (-(2**62), 1), (INT64_MIN, 2), (INT64_MIN, INT64_MAX),
], ids=["one-past-end", "end-2^20", "end-2^40", "end-2^62", "end-int64-max",
        "start-minus-1", "start-minus-2^40", "start-minus-2^62", "start-int64-min", "int64-extremes"])
def test_column_outside_row_ahead_of_the_walk(mode, begin, end):
    # Twenty seeds, the one at position 17 paper 1, whose column [begin, end)
    # reaches outside a row of length 2: the walk looks at entry 17's column
    # while it selects for the first sixteen, and must not read row there.
    # Ends far outside row land in unmapped memory, wherever the pointer
    # arithmetic wraps to.
    seeds = [0] * 17 + [1] + [0] * 2
    colptr = {W: i64(0, begin, end, end)}
    with pytest.raises(IndexError) as excinfo:
        run(mode, seeds, colptr=colptr, row={W: i64(0, 1)})
    assert str(excinfo.value) == (
        f"Column 1 of colptr['{W}'] spans [{begin}, {end}), outside row['{W}'] of length 2.")
