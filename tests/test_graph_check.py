"""rerozer_tables.check_graph: every fault found, with a message that names it."""

import re

import numpy as np
import pytest

from rerozer_tables import Graph, check_graph, edges_to_csc

WRITES = "author__writes__paper"
CITES = "paper__cites__paper"


def i64(*values):
    return np.array(values, dtype=np.int64)


def graph_with(paper_author_timed, change):
    """The timed paper/author graph (papers at 10, 20, 30; authors at 5, 15)
    after ``change`` edits its keyword arguments."""
    arguments = dict(paper_author_timed)
    change(arguments)
    return Graph(**arguments)


def put(name, key, value):
    def change(arguments):
        arguments[name] = {**arguments[name], key: value}
    return change


def drop(name, key):
    def change(arguments):
        arguments[name] = {k: v for k, v in arguments[name].items() if k != key}
    return change


def with_counts(counts, then=None):
    def change(arguments):
        arguments["num_nodes"] = counts
        if then is not None:
            then(arguments)
    return change


def add_edge_type(edge_type):
    def change(arguments):
        arguments["edge_types"] = [*arguments["edge_types"], edge_type]
    return change


FAULTS = [
    pytest.param(put("colptr", WRITES, i64(1, 2, 3, 3)),
                 f"colptr['{WRITES}'] starts at 1, not 0", id="colptr-not-from-zero"),
    pytest.param(put("colptr", WRITES, i64(0, 2, 1, 3)),
                 f"colptr['{WRITES}'] decreases at position 2: 2 then 1", id="colptr-decreasing"),
    pytest.param(put("colptr", WRITES, i64(0, 1, 2, 2)),
                 f"colptr['{WRITES}'] ends at 2, but row['{WRITES}'] has 3 entries", id="colptr-short-of-row"),
    pytest.param(put("colptr", CITES, i64(0, 2, 3)),
                 f"colptr['{CITES}'] has 3 entries, but paper has 3 nodes (the length of "
                 f"colptr['{WRITES}'] minus one), so it needs 4", id="colptr-wrong-length"),
    pytest.param(put("colptr", CITES, i64()),
                 f"colptr['{CITES}'] has 0 entries, but paper has 3 nodes (the length of "
                 f"colptr['{WRITES}'] minus one), so it needs 4", id="colptr-empty"),
    pytest.param(put("row", WRITES, i64(0, 1, 2)),
                 f"row['{WRITES}'] position 2 holds node 2, outside author (2 nodes)", id="row-past-source"),
    pytest.param(put("row", WRITES, i64(0, -1, 1)),
                 f"row['{WRITES}'] position 1 holds node -1, outside author (2 nodes)", id="row-negative"),
    pytest.param(put("row", CITES, i64(2, 1, 2)),
                 f"row['{CITES}'] is not ordered by source time in column 0: position 0 (paper 2, "
                 "time 30) comes before position 1 (paper 1, time 20)", id="column-unsorted"),
    pytest.param(put("node_time", "paper", i64(10, 20)),
                 f"node_time['paper'] has 2 entries, but paper has 3 nodes (the length of "
                 f"colptr['{WRITES}'] minus one)", id="node-time-short"),
    pytest.param(with_counts({"paper": 3, "author": 2}, put("node_time", "author", i64(5))),
                 "node_time['author'] has 1 entries, but author has 2 nodes (num_nodes)",
                 id="node-time-against-num-nodes"),
    pytest.param(put("row", WRITES, np.array([0.0, 1.0, 1.0])),
                 f"row['{WRITES}'] must be a one-dimensional int64 array, got dtype float64 and "
                 "shape (3,)", id="row-float"),
    pytest.param(put("colptr", WRITES, i64(0, 2, 3, 3).reshape(2, 2)),
                 f"colptr['{WRITES}'] must be a one-dimensional int64 array, got dtype int64 and "
                 "shape (2, 2)", id="colptr-two-dimensional"),
    pytest.param(put("row", "paper__by__author", i64()),
                 "row has the key 'paper__by__author', which is no edge type's", id="extra-key"),
    pytest.param(drop("row", CITES),
                 f"row has no entry for the edge type '{CITES}'", id="missing-key"),
    pytest.param(put("node_time", "venue", i64(1)),
                 "node_time has the key 'venue', which is not a node type", id="unknown-timed-type"),
    pytest.param(add_edge_type(("venue", "hosts", "paper")),
                 "edge type 'venue__hosts__paper': the source 'venue' is not a node type",
                 id="unknown-source-type"),
]


@pytest.mark.parametrize("change, message", FAULTS)
def test_check_graph_names_each_fault(paper_author_timed, change, message):
    graph = graph_with(paper_author_timed, change)
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        check_graph(graph)


@pytest.mark.parametrize(
    "colptr, row",
    [
        pytest.param(i64(0, 1, 2, 3), i64(2, 1, 0), id="falls-only-between-columns"),
        pytest.param(i64(0, 1, 1, 2), i64(2, 0), id="empty-column-between"),
        pytest.param(i64(0, 0, 0, 0), i64(), id="no-edges"),
        pytest.param(i64(0, 3, 3, 3), i64(0, 0, 2), id="equal-times-in-a-column"),
    ],
)
def test_check_graph_accepts_columns_sorted_within_themselves(paper_author_timed, colptr, row):
    check_graph(graph_with(paper_author_timed, lambda a: (put("colptr", CITES, colptr)(a), put("row", CITES, row)(a))))


def test_check_graph_finds_one_swapped_pair_in_a_large_graph():
    rng = np.random.default_rng(5)
    num_nodes, num_edges = 500, 20_000
    times = rng.permutation(num_nodes).astype(np.int64)  # distinct: any swap is a fault
    colptr, row = edges_to_csc(
        rng.integers(0, num_nodes, num_edges), rng.integers(0, num_nodes, num_edges), num_nodes, times
    )
    graph = Graph(["n"], [("n", "to", "n")], {"n__to__n": colptr}, {"n__to__n": row}, {"n": times})
    check_graph(graph)
    # Swap two neighbours inside the longest column.
    column = int(np.argmax(np.diff(colptr)))
    p = int(colptr[column]) + 3
    row[p], row[p + 1] = row[p + 1], row[p]
    with pytest.raises(ValueError, match=re.escape(f"in column {column}: position {p} ")):
        check_graph(graph)


def _set_writable(graph, flag):
    from rerozer_tables.graph.arrays import named_arrays

    for _, _, array in named_arrays(graph):
        array.setflags(write=flag)


def _writable_and_changed(graph):
    """Arrays made writable again after the check, and one changed in place."""
    _set_writable(graph, True)
    next(iter(graph.row.values()))[0] = 10**6


def _row_replaced(graph):
    """A new read-only row array in place of the loaded one, pointing outside."""
    key = next(iter(graph.row))
    bad = np.array(graph.row[key])
    bad[0] = 10**6
    bad.setflags(write=False)
    graph.row[key] = bad


@pytest.mark.parametrize(
    "loaded, before, between, checks, fails",
    [
        pytest.param(True, None, None, 1, False, id="memory-mapped-once"),
        pytest.param(True, check_graph, None, 0, False, id="memory-mapped-checked-before"),
        pytest.param(False, check_graph, None, 2, False, id="writable-every-time"),
        pytest.param(True, None, _row_replaced, 2, True, id="array-replaced"),
        pytest.param(True, None, lambda g: g.num_nodes.update(users=5), 2, True, id="counts-changed"),
        pytest.param(False, lambda g: _set_writable(g, False), _writable_and_changed, 2, True,
                     id="made-writable-again"),
    ],
)
def test_loaders_check_a_read_only_graph_once(tmp_path, monkeypatch, loaded, before, between, checks, fails):
    from rerozer_tables import Loader, Table, build_graph, load_graph, save_graph
    from rerozer_tables.graph import check

    graph = build_graph({
        "users": Table({"id": [1, 2]}, primary_key="id"),
        "posts": Table({"by": [1, 2, 2], "at": [5, 6, 7]}, foreign_keys={"by": "users"}, time_column="at"),
    })
    if loaded:
        save_graph(graph, tmp_path / "g")
        graph = load_graph(tmp_path / "g")
    if before is not None:
        before(graph)
    calls = []
    monkeypatch.setattr(check, "check_graph", lambda g: calls.append(1) or check_graph(g))
    Loader(graph, "users", [1], [10], batch_size=1, num_neighbors=[1])
    if between is not None:
        between(graph)
    if fails:
        with pytest.raises(ValueError):
            Loader(graph, "users", [1], [10], batch_size=1, num_neighbors=[1])
    else:
        Loader(graph, "users", [1], [10], batch_size=1, num_neighbors=[1])
    assert len(calls) == checks
