"""The foreign-key to CSC helper of examples/csc.py, against a brute-force
construction and through the sampler."""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

from csc import NULL_KEY, Table, edges_to_csc, tables_to_graph  # noqa: E402
from rerozer import NeighborSampler  # noqa: E402


def brute_force_columns(src, dst, num_dst, src_time):
    """Per destination, its sources: by source time, ties in input order."""
    columns = [[] for _ in range(num_dst)]
    for position, (s, d) in enumerate(zip(src, dst)):
        time = 0 if src_time is None else src_time[s]
        columns[d].append((time, position, s))
    return [[s for _, _, s in sorted(column)] for column in columns]


def random_edges(seed, num_src, num_dst, num_edges, timed, time_range):
    rng = np.random.default_rng(seed)
    src = rng.integers(0, num_src, size=num_edges)
    dst = rng.integers(0, num_dst, size=num_edges)
    src_time = rng.integers(0, time_range, size=num_src) if timed else None
    return src, dst, src_time


@pytest.mark.parametrize(
    "seed, num_src, num_dst, num_edges, timed, time_range",
    [
        pytest.param(1, 30, 10, 200, False, 1, id="untimed-keeps-input-order"),
        pytest.param(2, 30, 10, 200, True, 1000, id="timed-distinct"),
        pytest.param(3, 30, 10, 200, True, 3, id="timed-many-ties"),
        pytest.param(4, 5, 50, 20, True, 10, id="mostly-empty-columns"),
        pytest.param(5, 5, 4, 0, True, 10, id="no-edges"),
        pytest.param(6, 7, 1, 40, True, 5, id="one-column-parallel-edges"),
    ],
)
def test_edges_to_csc_matches_brute_force(seed, num_src, num_dst, num_edges, timed, time_range):
    src, dst, src_time = random_edges(seed, num_src, num_dst, num_edges, timed, time_range)
    colptr, row = edges_to_csc(src, dst, num_dst, src_time)
    expected = brute_force_columns(src.tolist(), dst.tolist(), num_dst, src_time)
    assert colptr.shape == (num_dst + 1,)
    assert [row[colptr[v] : colptr[v + 1]].tolist() for v in range(num_dst)] == expected
    # The sampler reads these arrays in place only in this layout.
    for array in (colptr, row):
        assert array.dtype == np.dtype(np.int64) and array.flags.c_contiguous


def brute_force_graph(tables):
    """Edge lists of both directions of every foreign key, null keys left out."""
    edges = {}
    for child, table in tables.items():
        for column, (parent, values) in table.foreign_keys.items():
            pairs = [(c, int(p)) for c, p in enumerate(values) if p != NULL_KEY]
            edges[(child, column, parent)] = pairs
            edges[(parent, "rev_" + column, child)] = [(p, c) for c, p in pairs]
    return edges


SHOP = {
    "customers": Table(num_rows=3, time=[5, 1, 3]),
    "products": Table(num_rows=2),
    "orders": Table(
        num_rows=6,
        time=[9, 2, 7, 7, 4, 8],
        foreign_keys={"customer_id": ("customers", [0, 2, 0, 0, NULL_KEY, 2])},
    ),
    "items": Table(
        num_rows=5,
        foreign_keys={
            "order_id": ("orders", [3, 0, 0, 5, 1]),
            "product_id": ("products", [1, 1, 0, NULL_KEY, 1]),
        },
    ),
}


def test_tables_to_graph_builds_both_directions_in_source_time_order():
    graph = tables_to_graph(SHOP)
    expected = brute_force_graph(SHOP)
    assert graph.node_types == ["customers", "products", "orders", "items"]
    assert graph.edge_types == list(expected)
    # Only tables with times have node times; the others sample uniformly.
    assert sorted(graph.node_time) == ["customers", "orders"]
    for (src, rel, dst), pairs in expected.items():
        key = f"{src}__{rel}__{dst}"
        src_time = SHOP[src].time
        columns = brute_force_columns(
            [s for s, _ in pairs], [d for _, d in pairs], SHOP[dst].num_rows, src_time
        )
        colptr, row = graph.colptr[key], graph.row[key]
        assert [row[colptr[v] : colptr[v + 1]].tolist() for v in range(len(columns))] == columns


def latest_at_or_before(times, candidates, t, k):
    """The k candidates with the latest times <= t; of equal times the later listed."""
    eligible = [(times[c], position, c) for position, c in enumerate(candidates) if times[c] <= t]
    return sorted(c for _, _, c in sorted(eligible)[-k:])


@pytest.mark.parametrize("t", [1, 2, 5, 8, 100])
@pytest.mark.parametrize("k", [1, 2, -1])
def test_most_recent_through_sample_takes_latest_orders(k, t):
    graph = tables_to_graph(SHOP)
    sampler = NeighborSampler(**graph.arguments())
    num_neighbors = {edge_type: [0] for edge_type in graph.colptr}
    num_neighbors["orders__customer_id__customers"] = [k]
    seeds = np.array([0, 1, 2], dtype=np.int64)
    times = np.full(3, t, dtype=np.int64)
    _, _, out_node, out_batch, _, _ = sampler.sample(num_neighbors, {}, "customers", seeds, times)

    order_time = SHOP["orders"].time
    customer_of = SHOP["orders"].foreign_keys["customer_id"][1]
    for example, customer in enumerate(seeds.tolist()):
        mine = [o for o, c in enumerate(customer_of) if c == customer]
        sampled = out_node["orders"][out_batch["orders"] == example]
        expected = latest_at_or_before(order_time, mine, t, len(mine) if k < 0 else k)
        assert sorted(sampled.tolist()) == expected


def test_untimed_sources_sampled_whole_column_through_sample():
    # items have no times, so this edge type is sampled uniformly even in a
    # temporal sampler; k = -1 takes the whole column.
    graph = tables_to_graph(SHOP)
    sampler = NeighborSampler(**graph.arguments())
    num_neighbors = {edge_type: [0] for edge_type in graph.colptr}
    num_neighbors["items__product_id__products"] = [-1]
    seeds = np.array([0, 1], dtype=np.int64)
    empty = np.array([], dtype=np.int64)
    _, _, out_node, out_batch, _, _ = sampler.sample(
        num_neighbors, {}, "products", seeds, empty
    )
    product_of = SHOP["items"].foreign_keys["product_id"][1]
    for example, product in enumerate(seeds.tolist()):
        sampled = out_node["items"][out_batch["items"] == example].tolist()
        assert sampled == [i for i, p in enumerate(product_of) if p == product]


@pytest.mark.parametrize(
    "tables, message",
    [
        pytest.param(
            {"a": Table(1, foreign_keys={"b_id": ("b", [0])})},
            "a.b_id refers to the unknown table 'b'",
            id="unknown-parent",
        ),
        pytest.param(
            {"a": Table(2, foreign_keys={"a_id": ("a", [0, 2])})},
            "a.a_id refers to rows outside a (which has 2)",
            id="key-outside-parent",
        ),
    ],
)
def test_tables_to_graph_rejects_inconsistent_tables(tables, message):
    with pytest.raises(ValueError) as excinfo:
        tables_to_graph(tables)
    assert str(excinfo.value) == message
