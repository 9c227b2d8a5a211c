"""rerozer_tables.build_graph: key mapping, nulls, times and column order,
against brute-force constructions and through the sampler."""

import re

import numpy as np
import pytest

from rerozer_tables import Table, build_graph, check_graph, edges_to_csc

MISSING_TIME = (
    "events.t row 1: the time is missing: drop the rows without a time, or declare another time column "
    "(Table(..., time_column=...) or read_sqlite(..., time_columns={table: column}))"
)


def brute_force_columns(src, dst, num_dst, src_time):
    """Per destination, its sources: by source time, ties in input order."""
    columns = [[] for _ in range(num_dst)]
    for position, (s, d) in enumerate(zip(src, dst)):
        time = 0 if src_time is None else src_time[s]
        columns[d].append((time, position, s))
    return [[s for _, _, s in sorted(column)] for column in columns]


def columns_of(colptr, row):
    return [row[colptr[v] : colptr[v + 1]].tolist() for v in range(colptr.size - 1)]


@pytest.mark.parametrize(
    "seed, num_src, num_dst, num_edges, timed, time_range",
    [
        pytest.param(1, 30, 10, 200, False, 1, id="untimed-keeps-input-order"),
        pytest.param(2, 30, 10, 200, True, 1000, id="timed-distinct"),
        pytest.param(3, 30, 10, 200, True, 3, id="timed-many-ties"),
        pytest.param(4, 5, 50, 20, True, 10, id="mostly-empty-columns"),
        pytest.param(5, 5, 4, 0, True, 10, id="no-edges"),
        pytest.param(6, 7, 1, 40, True, 5, id="one-column-parallel-edges"),
        pytest.param(7, 30, 10, 200, True, 2**63 - 1, id="times-across-all-of-int64"),
    ],
)
def test_edges_to_csc_matches_brute_force(seed, num_src, num_dst, num_edges, timed, time_range):
    rng = np.random.default_rng(seed)
    src = rng.integers(0, num_src, size=num_edges)
    dst = rng.integers(0, num_dst, size=num_edges)
    src_time = rng.integers(-time_range, time_range, size=num_src) if timed else None
    colptr, row = edges_to_csc(src, dst, num_dst, src_time)
    assert colptr.shape == (num_dst + 1,)
    assert columns_of(colptr, row) == brute_force_columns(
        src.tolist(), dst.tolist(), num_dst, None if src_time is None else src_time.tolist()
    )
    # The sampler reads these arrays in place only in this layout.
    for array in (colptr, row):
        assert array.dtype == np.dtype(np.int64) and array.flags.c_contiguous


def shop(customer_keys, order_customers, order_times, item_orders):
    return {
        "customers": Table({"id": customer_keys, "t": [5, 1, 3]}, primary_key="id", time_column="t"),
        "orders": Table(
            {"id": [100, 101, 102, 103, 104, 105], "customer_id": order_customers, "t": order_times},
            primary_key="id", foreign_keys={"customer_id": "customers"}, time_column="t",
        ),
        "items": Table({"order_id": item_orders}, foreign_keys={"order_id": "orders"}),
    }


INT_SHOP = shop([30, 10, 20], [30, 20, 30, 30, None, 20], [9, 2, 7, 7, 4, 8], [103, 100, 100, 105, 101])
# Which customer (position) each order refers to, None for no customer.
ORDER_CUSTOMER = [0, 2, 0, 0, None, 2]
ITEM_ORDER = [3, 0, 0, 5, 1]


def expected_edges():
    """Edge lists of both directions of every foreign key, nulls left out."""
    orders = [(o, c) for o, c in enumerate(ORDER_CUSTOMER) if c is not None]
    items = list(enumerate(ITEM_ORDER))
    return {
        ("orders", "customer_id", "customers"): orders,
        ("customers", "rev_customer_id", "orders"): [(c, o) for o, c in orders],
        ("items", "order_id", "orders"): items,
        ("orders", "rev_order_id", "items"): [(o, i) for i, o in items],
    }


@pytest.mark.parametrize(
    "tables",
    [
        pytest.param(INT_SHOP, id="integer-keys"),
        pytest.param(
            shop(["c", "a", "b"], ["c", "b", "c", "c", np.nan, "b"], [9, 2, 7, 7, 4, 8],
                 [103, 100, 100, 105, 101]),
            id="string-keys-nan-null",
        ),
        pytest.param(
            shop(np.array([30, 10, 20], dtype=np.uint16), [30.0, 20.0, 30.0, 30.0, np.nan, 20.0],
                 np.array([9, 2, 7, 7, 4, 8], dtype=np.int32), [103, 100, 100, 105, 101]),
            id="narrow-int-keys-float-foreign-key",
        ),
    ],
)
def test_build_graph_builds_both_directions_in_source_time_order(tables):
    graph = build_graph(tables)
    # Items have no time column: each takes its order's time.
    times = {"customers": [5, 1, 3], "orders": [9, 2, 7, 7, 4, 8], "items": [7, 9, 9, 8, 2]}
    num_nodes = {"customers": 3, "orders": 6, "items": 5}
    assert graph.node_types == ["customers", "orders", "items"]
    assert graph.edge_types == list(expected_edges())
    assert {t: a.tolist() for t, a in graph.node_time.items()} == times
    assert graph.inherited_times == {"items": ["order_id"]}
    assert graph.num_nodes == num_nodes
    for (src, rel, dst), pairs in expected_edges().items():
        key = f"{src}__{rel}__{dst}"
        expected = brute_force_columns(
            [s for s, _ in pairs], [d for _, d in pairs], num_nodes[dst], times[src]
        )
        assert columns_of(graph.colptr[key], graph.row[key]) == expected, key
    check_graph(graph)


def test_graph_arrays_share_no_memory_with_the_tables():
    # Native int64 columns, which the build could use without a copy.
    keys = np.array([30, 10, 20], dtype=np.int64)
    positions = np.array([0, 1], dtype=np.int64)
    times = np.array([4, 5], dtype=np.int64)
    graph = build_graph({
        "a": Table({"id": keys}, primary_key="id"),
        "b": Table({"t": times}, time_column="t"),
        "c": Table({"b_pos": positions}, foreign_keys={"b_pos": "b"}),
    })
    arrays = [*graph.colptr.values(), *graph.row.values(), *graph.node_time.values(), graph.keys["a"].keys]
    for array in arrays:
        for given in (keys, positions, times):
            assert not np.shares_memory(array, given)


@pytest.mark.parametrize(
    "times, expected",
    [
        pytest.param([3, 1, 3, 1, 3], [1, 3, 0, 2, 4], id="ties-keep-row-order"),
        pytest.param([7, 7, 7, 7, 7], [0, 1, 2, 3, 4], id="all-equal"),
        pytest.param([-5, 2**40, -5, 0, 2**40], [0, 2, 3, 1, 4], id="negative-and-large"),
        pytest.param(None, [0, 1, 2, 3, 4], id="untimed-row-order"),
    ],
)
def test_children_of_one_parent_are_ordered_stably_by_time(times, expected):
    columns = {"p": [0] * 5} | ({} if times is None else {"t": times})
    graph = build_graph({
        "parent": Table({"id": ["only"]}, primary_key="id"),
        "child": Table(columns | {"p": ["only"] * 5}, foreign_keys={"p": "parent"},
                       time_column=None if times is None else "t"),
    })
    assert graph.row["child__p__parent"].tolist() == expected


@pytest.mark.parametrize(
    "values, unit, expected",
    [
        pytest.param([0, 90], "s", [0, 90], id="int64-taken-as-unit"),
        pytest.param(np.array([0, 90_000], dtype="datetime64[ms]"), "s", [0, 90], id="ms-to-s"),
        pytest.param(np.array([1, 2], dtype="datetime64[D]"), "s", [86_400, 172_800], id="days-to-s"),
        pytest.param(np.array([1, 2], dtype="datetime64[D]"), "D", [1, 2], id="days-kept"),
        pytest.param(np.array([5, 6], dtype="datetime64[ns]"), "ns", [5, 6], id="ns-kept"),
        pytest.param(np.array([3_000_000, 0], dtype="datetime64[us]"), "ms", [3_000, 0], id="us-to-ms"),
        pytest.param(["1970-01-01 00:01:00", "1970-01-02T00:00:00"], "s", [60, 86_400], id="iso-space-and-T"),
        pytest.param(["1970-01-01T01:00:00+01:00", "1970-01-01T00:00:10Z"], "s", [0, 10], id="iso-offsets-to-utc"),
        pytest.param(["1969-12-31", "1970-01-01T00:00:00.250"], "ms", [-86_400_000, 250], id="iso-dates-and-fractions"),
    ],
)
def test_times_are_converted_exactly_to_the_unit(values, unit, expected):
    graph = build_graph({"e": Table({"t": values}, time_column="t")}, time_unit=unit)
    assert graph.node_time["e"].tolist() == expected
    assert graph.time_unit == unit


def build_error(tables, **options):
    with pytest.raises(ValueError) as excinfo:
        build_graph(tables, **options)
    return str(excinfo.value)


DANGLING_HINT = "; build_graph(..., dangling_keys='null') reads such values as null (no edge)"


@pytest.mark.parametrize(
    "tables, options, message",
    [
        pytest.param(
            {"customers": Table({"id": ["c-1", "c-2"]}, primary_key="id"),
             "orders": Table({"customer_id": ["c-1", None, "c-zzz"]}, foreign_keys={"customer_id": "customers"})},
            {}, "orders.customer_id: 1 row holds a value that matches no customers.id: 'c-zzz' (row 2)"
                + DANGLING_HINT, id="dangling-string-key",
        ),
        pytest.param(
            {"customers": Table({"id": [10, 11]}, primary_key="id"),
             "orders": Table({"customer_id": [10, np.nan, 12.0]}, foreign_keys={"customer_id": "customers"})},
            {}, "orders.customer_id: 1 row holds a value that matches no customers.id: 12 (row 2)"
                + DANGLING_HINT, id="dangling-int-key-after-null",
        ),
        pytest.param(
            {"customers": Table({"id": [10, 11]}, primary_key="id"),
             "orders": Table({"customer_id": ["x10"]}, foreign_keys={"customer_id": "customers"})},
            {}, "orders.customer_id: 1 row holds a value that matches no customers.id: 'x10' (row 0)"
                + DANGLING_HINT, id="non-integer-text-into-int-keys",
        ),
        pytest.param(
            {"a": Table({"x": [0, 1]}),
             "b": Table({"a_pos": [1, 2]}, foreign_keys={"a_pos": "a"})},
            {}, "b.a_pos: 1 row holds a value that matches no row of a (no primary key, 2 rows): 2 (row 1)"
                + DANGLING_HINT, id="position-outside-keyless-parent",
        ),
        pytest.param(
            {"a": Table({"a_id": [0]}, foreign_keys={"a_id": "b"})},
            {}, "a.a_id refers to the unknown table 'b'", id="unknown-parent",
        ),
        pytest.param(
            {"a": Table({"id": [3, 1, 3]}, primary_key="id")},
            {}, "a.id row 2: 3 repeats the key of row 0", id="repeated-primary-key",
        ),
        pytest.param(
            {"a": Table({"id": ["x", None]}, primary_key="id")},
            {}, "a.id row 1: the primary key is null", id="null-primary-key",
        ),
        pytest.param(
            {"a": Table({"id": [1.5]}, primary_key="id")},
            {}, "a.id row 0: 1.5 is not an integer", id="fractional-key",
        ),
        pytest.param(
            {"a": Table({"id": [1, "x"]}, primary_key="id")},
            {}, "a.id row 1: 'x' is not an integer or a string", id="mixed-key-kinds",
        ),
        pytest.param(
            {"events": Table({"t": ["2024-01-01", None, "2024-01-03"]}, time_column="t")},
            {}, MISSING_TIME, id="missing-iso-time",
        ),
        pytest.param(
            {"events": Table({"t": np.array(["2024-01-01", "NaT"], dtype="datetime64[s]")}, time_column="t")},
            {}, MISSING_TIME, id="missing-datetime64",
        ),
        pytest.param(
            {"events": Table({"t": ["2024-01-01", "soon"]}, time_column="t")},
            {}, "events.t row 1: 'soon' is not an ISO-8601 date or time", id="not-iso",
        ),
        pytest.param(
            {"events": Table({"t": np.array([0, 1500], dtype="datetime64[ms]")}, time_column="t")},
            {}, "events.t row 1: 1970-01-01T00:00:01.500 is not a whole number of time_unit 's'; "
                "build with a finer time_unit", id="lossy-unit",
        ),
        pytest.param(
            {"events": Table({"t": [1]}, time_column="t")},
            {"time_unit": "week"}, "time_unit must be one of D, h, m, s, ms, us, ns, got 'week'", id="unknown-unit",
        ),
    ],
)
def test_build_graph_rejects_bad_rows_naming_table_column_row_and_value(tables, options, message):
    assert build_error(tables, **options) == message


@pytest.mark.parametrize(
    "make, message",
    [
        pytest.param(lambda: Table({"a": [1, 2], "b": [1]}), "columns differ in length: a 2, b 1", id="ragged"),
        pytest.param(lambda: Table({"a": [1]}, primary_key="id"),
                     "primary_key names the column 'id', which is not one of 'a'", id="missing-key-column"),
        pytest.param(lambda: Table({"a": [1]}, foreign_keys={"b": "t"}),
                     "foreign_keys names the column 'b', which is not one of 'a'", id="missing-fk-column"),
    ],
)
def test_table_rejects_inconsistent_columns(make, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        make()


def test_positions_and_keys_map_both_ways():
    graph = build_graph(INT_SHOP)
    assert graph.position("customers", [20, 30, 10]).tolist() == [2, 0, 1]
    assert graph.key("customers", [2, 0, 1]).tolist() == [20, 30, 10]
    # Without a primary key, positions are the keys.
    assert graph.position("items", np.array([4, 0])).tolist() == [4, 0]
    with pytest.raises(ValueError, match=re.escape("customers key at index 1: 99 matches no row")):
        graph.position("customers", [10, 99])
    with pytest.raises(ValueError, match=re.escape("items key at index 0: position 5 is outside items (5 rows)")):
        graph.position("items", [5])


def latest_at_or_before(times, candidates, t, k):
    """The k candidates with the latest times <= t; of equal times the later listed."""
    eligible = [(times[c], position, c) for position, c in enumerate(candidates) if times[c] <= t]
    return sorted(c for _, _, c in sorted(eligible)[-k:])


@pytest.mark.parametrize("t", [1, 2, 5, 8, 100])
@pytest.mark.parametrize("k", [1, 2, -1])
def test_most_recent_through_sample_takes_latest_orders(k, t):
    graph = build_graph(INT_SHOP)
    num_neighbors = {key: [0] for key in graph.colptr}
    num_neighbors["orders__customer_id__customers"] = [k]
    seeds = np.array([0, 1, 2], dtype=np.int64)
    times = np.full(3, t, dtype=np.int64)
    _, _, out_node, out_batch, _, _ = graph.sampler().sample(num_neighbors, {}, "customers", seeds, times)
    order_time = [9, 2, 7, 7, 4, 8]
    for example, customer in enumerate(seeds.tolist()):
        mine = [o for o, c in enumerate(ORDER_CUSTOMER) if c == customer]
        sampled = out_node["orders"][out_batch["orders"] == example]
        expected = latest_at_or_before(order_time, mine, t, len(mine) if k < 0 else k)
        assert sorted(sampled.tolist()) == expected


def test_untimed_sources_sampled_whole_column_through_sample():
    # items have no times, so this edge type is sampled uniformly even in a
    # temporal sampler; k = -1 takes the whole column.
    graph = build_graph(INT_SHOP)
    num_neighbors = {key: [0] for key in graph.colptr}
    num_neighbors["items__order_id__orders"] = [-1]
    seeds = np.array([0, 3], dtype=np.int64)
    empty = np.array([], dtype=np.int64)
    _, _, out_node, out_batch, _, _ = graph.sampler().sample(num_neighbors, {}, "orders", seeds, empty)
    for example, order in enumerate(seeds.tolist()):
        sampled = out_node["items"][out_batch["items"] == example].tolist()
        assert sampled == [i for i, o in enumerate(ITEM_ORDER) if o == order]


class TestPandasAndArrow:
    """The optional inputs: a DataFrame (keys in its index, nullable columns,
    time zones) and a pyarrow Table with nulls."""

    def test_dataframe_with_index_key_nullable_ints_and_time_zones(self):
        pd = pytest.importorskip("pandas")
        users = pd.DataFrame(
            {"joined": pd.to_datetime(["2024-01-01 01:00", "2024-01-01 00:00"]).tz_localize("Europe/Berlin")},
            index=pd.Index(["u1", "u2"], name="id"),
        )
        posts = pd.DataFrame({
            "user_id": pd.array([None, "u1", "u2", "u1"], dtype="string"),
            "reply_to": pd.array([pd.NA, 0, 0, 1], dtype="Int64"),
            "at": pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-01", "2024-01-02"]),
        })
        graph = build_graph({
            "users": Table(users, primary_key="id", time_column="joined"),
            "posts": Table(posts, foreign_keys={"user_id": "users", "reply_to": "posts"}, time_column="at"),
        })
        # Berlin is UTC+1 in January.
        assert graph.node_time["users"].tolist() == [1_704_067_200 - 0, 1_704_063_600]
        assert columns_of(graph.colptr["posts__user_id__users"], graph.row["posts__user_id__users"]) == [
            [3, 1], [2]]
        assert columns_of(graph.colptr["posts__reply_to__posts"], graph.row["posts__reply_to__posts"]) == [
            [2, 1], [3], [], []]
        assert graph.key("users", [1]).tolist() == ["u2"]

    def test_pyarrow_table_with_null_foreign_key(self):
        pa = pytest.importorskip("pyarrow")
        customers = pa.table({"id": pa.array([7, 8], pa.int64())})
        orders = pa.table({
            "customer_id": pa.array([8, None, 7], pa.int64()),
            "t": pa.array([3, 2, 1], pa.timestamp("s")),
        })
        graph = build_graph({
            "customers": Table(customers, primary_key="id"),
            "orders": Table(orders, foreign_keys={"customer_id": "customers"}, time_column="t"),
        })
        assert graph.node_time["orders"].tolist() == [3, 2, 1]
        assert graph.row["orders__customer_id__customers"].tolist() == [2, 0]
        assert graph.colptr["customers__rev_customer_id__orders"].tolist() == [0, 1, 1, 2]
