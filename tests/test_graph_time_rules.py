"""Time rules of rerozer_tables that keep the future out of a sample: times
given to a graph without times are refused, INTEGER epoch columns are read as
times with their unit, tables without a time inherit their parents' times,
and example times are checked against the graph's unit."""

import re
import sqlite3

import numpy as np
import pytest

from rerozer_tables import Loader, Table, build_graph, check_graph, load_graph, read_sqlite, save_graph

EARLIEST = -(2**63)
DAY = 86_400
NAN = float("nan")


def connect(tmp_path, script):
    connection = sqlite3.connect(tmp_path / "db.sqlite")
    connection.executescript(script)
    return connection


# --- The loader never drops example times -----------------------------------

FLIGHTS = """
CREATE TABLE planes (tailnum TEXT PRIMARY KEY);
CREATE TABLE flights (id INTEGER PRIMARY KEY, tailnum TEXT REFERENCES planes, dep_time INTEGER);
INSERT INTO planes VALUES ('N1'), ('N2');
INSERT INTO flights VALUES (1, 'N1', 1357034400), (2, 'N1', 1357038000), (3, 'N2', 1360000000),
                           (4, 'N1', 1370000000);
"""


def test_times_for_a_graph_without_times_are_refused_with_what_to_do(tmp_path):
    graph = build_graph(read_sqlite(connect(tmp_path, FLIGHTS)))  # INTEGER times not declared
    assert graph.node_time == {}
    message = (
        "times were given, but the graph has no times (none of its tables planes, flights has a "
        "time column), so the sampler would ignore them and sample from every row, later ones "
        "included: declare time columns before building, with Table(..., time_column=..., "
        "time_unit=...) or read_sqlite(..., time_columns={table: column}) (for INTEGER epoch or "
        "TEXT columns, with their unit: {table: (column, 's')}); or pass times=None to sample "
        "without regard to time"
    )
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        Loader(graph, "planes", ["N1"], [1357036000], batch_size=1, num_neighbors=[5])
    # Without times the loader samples as before, at random.
    batch = next(iter(Loader(graph, "planes", ["N1"], None, batch_size=1, num_neighbors=[5])))
    assert batch.seed_time.size == 0


DEP_TIMES = [1357034400, 1357038000, 1360000000, 1370000000]


@pytest.mark.parametrize(
    "time_columns, time_unit, expected",
    [
        pytest.param({"flights": ("dep_time", "s")}, "s", DEP_TIMES, id="epoch-seconds"),
        pytest.param({"flights": ("dep_time", "s")}, "ms", [t * 1000 for t in DEP_TIMES],
                     id="epoch-seconds-in-a-ms-graph"),
        pytest.param({"FLIGHTS": ("Dep_Time", "s")}, "s", DEP_TIMES, id="names-ignore-case"),
        pytest.param({"flights": "dep_time"}, "ms", DEP_TIMES, id="plain-name-is-in-the-graph-unit"),
    ],
)
def test_read_sqlite_takes_integer_epoch_columns_with_their_unit(tmp_path, time_columns, time_unit, expected):
    tables = read_sqlite(connect(tmp_path, FLIGHTS), time_columns=time_columns)
    assert tables["flights"].time_column == "dep_time"
    assert build_graph(tables, time_unit=time_unit).node_time["flights"].tolist() == expected


def test_the_5_latest_flights_of_a_plane_are_not_in_the_future(tmp_path):
    graph = build_graph(read_sqlite(connect(tmp_path, FLIGHTS), time_columns={"flights": ("dep_time", "s")}))
    cutoff = np.datetime64("2013-01-01T11:15:00")  # after flights 1 and 2 only
    loader = Loader(graph, "planes", ["N1"], [cutoff], batch_size=1,
                    num_neighbors={("flights", "tailnum", "planes"): [5]})
    batch = next(iter(loader))
    assert graph.key("flights", batch.out_node["flights"]).tolist() == [1, 2]


@pytest.mark.parametrize(
    "time_columns, error, message",
    [
        pytest.param({"flights": ("dep_time", "sec")}, ValueError,
                     "time_columns['flights']: the unit must be one of D, h, m, s, ms, us, ns, got 'sec'",
                     id="unknown-unit"),
        pytest.param({"flights": ("dep_time",)}, TypeError,
                     "time_columns['flights'] must be a column name, (column name, unit) or None, "
                     "got ('dep_time',)", id="tuple-without-unit"),
        pytest.param({"flights": ("departure", "s")}, ValueError,
                     "time_columns names flights.departure, which does not exist", id="unknown-column"),
    ],
)
def test_time_columns_with_a_unit_are_checked(tmp_path, time_columns, error, message):
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        read_sqlite(connect(tmp_path, FLIGHTS), time_columns=time_columns)


# --- Untimed children inherit their parents' time ---------------------------

def shop(**line_columns):
    """Orders with times, customers with times, order lines without."""
    return {
        "customers": Table({"id": ["a", "b"], "t": [50, 5]}, primary_key="id", time_column="t"),
        "orders": Table({"id": [1, 2, 3], "t": [10, 40, 30]}, primary_key="id", time_column="t"),
        "lines": Table(line_columns, foreign_keys={k: v for k, v in
                                                   {"order_id": "orders", "customer_id": "customers"}.items()
                                                   if k in line_columns}),
    }


@pytest.mark.parametrize(
    "line_columns, expected",
    [
        pytest.param({"order_id": [2, 1, 3, 1]}, [40, 10, 30, 10], id="one-timed-parent"),
        pytest.param({"order_id": [2, 1, 3, 1], "customer_id": ["a", "a", "b", "b"]}, [50, 50, 30, 10],
                     id="latest-of-several-parents"),
        pytest.param({"order_id": [2, None, None, 1], "customer_id": ["b", "a", None, None]},
                     [40, 50, EARLIEST, 10], id="all-timed-keys-null-keeps-the-earliest"),
    ],
)
def test_an_untimed_child_takes_the_latest_time_of_its_parents(line_columns, expected):
    graph = build_graph(shop(**line_columns))
    assert graph.node_time["lines"].tolist() == expected
    assert graph.inherited_times == {"lines": list(line_columns)}
    # Columns of the parents list their lines by the inherited times.
    colptr, row = graph.colptr["lines__order_id__orders"], graph.row["lines__order_id__orders"]
    for order in range(3):
        times = graph.node_time["lines"][row[colptr[order] : colptr[order + 1]]]
        assert np.all(np.diff(times) >= 0)


def test_inheritance_goes_down_chains_and_stops_without_a_timed_parent():
    graph = build_graph({
        "notes": Table({"line": [1, 0, 0]}, foreign_keys={"line": "lines"}),  # declared before its parent
        "orders": Table({"t": [10, 40]}, time_column="t"),
        "lines": Table({"order": [1, 0]}, foreign_keys={"order": "orders"}),
        "tags": Table({"id": [7]}, primary_key="id"),
        "tag_links": Table({"tag": [7, 7]}, foreign_keys={"tag": "tags"}),  # no timed parent
    })
    assert graph.node_time["lines"].tolist() == [40, 10]
    assert graph.node_time["notes"].tolist() == [10, 40, 40]
    assert graph.inherited_times == {"notes": ["line"], "lines": ["order"]}
    assert "tags" not in graph.node_time and "tag_links" not in graph.node_time


def test_inherit_times_false_leaves_children_untimed():
    graph = build_graph(shop(order_id=[2, 1, 3, 1]), inherit_times=False)
    assert sorted(graph.node_time) == ["customers", "orders"]
    assert graph.inherited_times == {}
    assert check_graph(graph) == []


def test_inherited_tables_are_reported_and_kept_when_saved(tmp_path):
    graph = build_graph(shop(order_id=[2, 1, 3, 1], customer_id=["a", None, "b", "b"]))
    report = [
        "lines has no time column: each row has the latest time of its parent rows "
        "(order_id -> orders, customer_id -> customers), or the earliest time when it has none"
    ]
    assert check_graph(graph) == report
    save_graph(graph, tmp_path / "g")
    loaded = load_graph(tmp_path / "g")
    assert loaded.inherited_times == graph.inherited_times
    assert check_graph(loaded) == report


MUSIC_STORE = """
CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT);
CREATE TABLE invoices (id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES customers,
                       invoice_date TIMESTAMP NOT NULL);
CREATE TABLE tracks (id INTEGER PRIMARY KEY, title TEXT);
CREATE TABLE invoice_lines (id INTEGER PRIMARY KEY, invoice_id INTEGER REFERENCES invoices,
                            track_id INTEGER REFERENCES tracks);
"""

# customer -> 3 latest invoices -> their lines -> the track -> 5 lines of that track
STORE_REQUEST = {
    ("invoices", "customer_id", "customers"): [3, 0, 0, 0],
    ("invoice_lines", "invoice_id", "invoices"): [0, -1, 0, 0],
    ("tracks", "rev_track_id", "invoice_lines"): [0, 0, 1, 0],
    ("invoice_lines", "track_id", "tracks"): [0, 0, 0, 5],
}


@pytest.fixture(scope="module")
def music_store(tmp_path_factory):
    """A store whose invoice lines have no date of their own, and an oracle:
    each line's date taken from its invoice by SQL."""
    rng = np.random.default_rng(20)
    connection = sqlite3.connect(tmp_path_factory.mktemp("store") / "store.sqlite")
    connection.executescript(MUSIC_STORE)
    start = np.datetime64("2021-01-01T00:00:00")
    connection.executemany("INSERT INTO customers VALUES (?, ?)", [(c, f"c{c}") for c in range(1, 21)])
    connection.executemany("INSERT INTO tracks VALUES (?, ?)", [(t, f"t{t}") for t in range(1, 13)])
    connection.executemany("INSERT INTO invoices VALUES (?, ?, ?)", [
        (i, int(rng.integers(1, 21)), str(start + np.timedelta64(int(rng.integers(0, 730)), "D")))
        for i in range(1, 301)
    ])
    connection.executemany("INSERT INTO invoice_lines VALUES (?, ?, ?)", [
        (line, int(rng.integers(1, 301)), int(rng.integers(1, 13))) for line in range(1, 1201)
    ])
    connection.commit()
    oracle = dict(connection.execute(
        "SELECT l.id, i.invoice_date FROM invoice_lines l JOIN invoices i ON i.id = l.invoice_id"
    ).fetchall())
    invoice_dates = dict(connection.execute("SELECT id, invoice_date FROM invoices").fetchall())
    tables = read_sqlite(connection)
    connection.close()
    return tables, oracle, invoice_dates


def count_later(graph, batches, oracle, invoice_dates):
    """Sampled lines and invoices whose date (by the SQL oracle) is after their example's time."""
    later = sampled = 0
    for batch in batches:
        for table, dates in (("invoice_lines", oracle), ("invoices", invoice_dates)):
            keys = graph.key(table, batch.out_node[table]).tolist()
            times = np.array([dates[k] for k in keys], dtype="datetime64[s]").astype(np.int64)
            later += int(np.count_nonzero(times > batch.seed_time[batch.out_batch[table]]))
            sampled += len(keys)
    return later, sampled


@pytest.mark.parametrize("inherit", [True, False], ids=["inherited-no-leak", "untimed-leaks"])
def test_a_four_hop_request_through_untimed_lines_sees_no_future_only_with_inheritance(music_store, inherit):
    tables, oracle, invoice_dates = music_store
    graph = build_graph(tables, inherit_times=inherit)
    customers = list(range(1, 21)) * 2
    cutoffs = [np.datetime64("2021-09-01")] * 20 + [np.datetime64("2022-03-01")] * 20  # a list of datetime64
    loader = Loader(graph, "customers", customers, cutoffs, batch_size=8, num_neighbors=STORE_REQUEST)
    later, sampled = count_later(graph, loader, oracle, invoice_dates)
    assert sampled > 100
    if inherit:
        assert later == 0
    else:
        assert later > 0  # what the lines' inherited times prevent


# --- Example times against the graph's unit ---------------------------------

@pytest.fixture
def timed_graph():
    return build_graph({
        "users": Table({"id": [1, 2], "t": [1_700_000_000, 1_700_100_000]}, primary_key="id", time_column="t"),
        "posts": Table({"by": [1, 2, 2], "t": [1_700_000_100, 1_700_100_100, 1_700_200_000]},
                       foreign_keys={"by": "users"}, time_column="t"),
    })


def test_example_times_finer_than_the_unit_are_refused(timed_graph):
    times = np.array(["2023-11-15T00:00:00", "2023-11-15T00:00:00.250"], dtype="datetime64[ms]")
    message = ("times row 1: 2023-11-15T00:00:00.250 is not a whole number of time_unit 's'; "
               "build with a finer time_unit")
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        Loader(timed_graph, "users", [1, 1], times, batch_size=2, num_neighbors=[1])
    # Whole seconds in a finer dtype are fine.
    Loader(timed_graph, "users", [1, 1], times.astype("datetime64[s]").astype("datetime64[ms]"),
           batch_size=2, num_neighbors=[1])


@pytest.mark.parametrize(
    "times, warns",
    [
        pytest.param([1_700_150_000_000, 1_700_050_000_000], True, id="milliseconds-for-seconds"),
        pytest.param([1_700_150, 1_700_050], True, id="kiloseconds-for-seconds"),
        pytest.param([0, 0], True, id="all-at-1970"),
        pytest.param([1_700_150_000, 1_700_050_000_000], False, id="one-in-range"),
        pytest.param([1_600_000_000, 1_800_000_000], False, id="outside-but-same-unit"),
    ],
)
def test_example_times_far_outside_the_graph_warn_of_a_unit_mixup(timed_graph, times, warns):
    def make():
        try:
            Loader(timed_graph, "users", [1, 2], times, batch_size=2, num_neighbors=[1])
        except ValueError as error:  # refused after the warning: a user that does not exist yet
            assert "exists from" in str(error) and min(times) < 1_700_100_000

    if warns:
        with pytest.warns(UserWarning, match=r"lies more than a factor of 100 outside the graph's times "
                                             r"\(1700000000 to 1700200000, in time_unit 's'\): are the times "
                                             r"in another unit than the graph's\?"):
            make()
    else:
        make()


# --- Time values ------------------------------------------------------------

@pytest.mark.parametrize(
    "table, options, message",
    [
        pytest.param(Table({"t": ["2024-01-01", "9999-01-01"]}, time_column="t"), {"time_unit": "ns"},
                     "events.t row 1: 9999-01-01 lies outside the range of time_unit 'ns' (int64 counts "
                     "since 1970); build with a coarser time_unit", id="iso-beyond-ns"),
        pytest.param(Table({"t": [0, 2**62]}, time_column="t", time_unit="s"), {"time_unit": "ns"},
                     "events.t row 1: 146138514283-06-19T07:45:04 lies outside the range of time_unit 'ns' "
                     "(int64 counts since 1970); build with a coarser time_unit", id="epoch-seconds-beyond-ns"),
        pytest.param(Table({"t": [1500, 2000]}, time_column="t", time_unit="ms"), {},
                     "events.t row 0: 1970-01-01T00:00:01.500 is not a whole number of time_unit 's'; "
                     "build with a finer time_unit", id="epoch-ms-finer-than-graph"),
    ],
)
def test_time_errors_name_table_column_and_row(table, options, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        build_graph({"events": table}, **options)


def test_integer_times_convert_from_their_table_unit_and_lists_of_datetime64_are_read():
    graph = build_graph({
        "a": Table({"t": [2, 3]}, time_column="t", time_unit="D"),
        "b": Table({"t": [np.datetime64("1970-01-02"), np.datetime64("1970-01-01T00:00:05")]},
                   time_column="t"),
    })
    assert graph.node_time["a"].tolist() == [2 * DAY, 3 * DAY]
    assert graph.node_time["b"].tolist() == [DAY, 5]
    with pytest.raises(ValueError, match=r"^time_unit 's' is given without a time_column$"):
        Table({"t": [1]}, time_unit="s")


# --- No seed before it exists, no future window, no future feature value ----

def delivery_shop(offset=0, delivered=(300, 160, 500), total_first=False):
    """Orders with a delivery date that is later than the order itself; lines
    that inherit their order's time. Every time is ``offset`` later;
    ``total_first`` puts the total before the delivery date among the orders'
    numerical columns."""
    orders = {"id": [7, 8, 9], "customer_id": [1, 1, 2], "placed": np.add(offset, [100, 150, 120]),
              "delivered": np.add(offset, delivered).astype("datetime64[s]"), "total": [1.0, 2.0, 3.0]}
    if total_first:
        orders = {name: orders[name] for name in ("id", "customer_id", "placed", "total", "delivered")}
    return build_graph({
        "customers": Table({"id": [1, 2], "t": np.add(offset, [0, 40])}, primary_key="id", time_column="t"),
        "orders": Table(orders, primary_key="id", foreign_keys={"customer_id": "customers"},
                        time_column="placed"),
        "lines": Table({"order_id": [7, 9]}, foreign_keys={"order_id": "orders"}),
    })


TO_CUSTOMERS = {("orders", "customer_id", "customers"): [-1]}


@pytest.mark.parametrize(
    "entity, keys, times, options, message",
    [
        pytest.param("customers", [1, 2], [10, 30], {},
                     "example 1: customers key 2 exists from 40, after the example's time 30: leave the "
                     "example out, or give it a time at or after 40", id="seed-before-its-row"),
        pytest.param("lines", [0, 1], [200, 110], {"num_neighbors": {("lines", "order_id", "orders"): [1]}},
                     "example 1: lines key 1 exists from 120 (the time it inherits from its parent rows), "
                     "after the example's time 110", id="seed-before-its-inherited-time"),
        pytest.param("customers", [1], [200], {"sampling_time_offsets": {"orders__customer_id__customers": [[None, 500]]}},
                     "sampling_time_offsets['orders__customer_id__customers'] hop 0: the window (None, 500] ends "
                     "500 after the example time, so it samples rows from the future", id="open-window-into-the-future"),
        pytest.param("customers", [1], [200],
                     {"sampling_time_offsets": {"orders__customer_id__customers": [[-np.timedelta64(30, "D"),
                                                                                    np.timedelta64(30, "D")]]}},
                     f"the window ({-30 * DAY}, {30 * DAY}] ends {30 * DAY} after", id="window-sign-slip"),
        pytest.param("customers", [1], [200],
                     {"sampling_time_offsets": {"orders__customer_id__customers": [[None, 0], [-50, 20]]}},
                     "sampling_time_offsets['orders__customer_id__customers'] hop 1: the window (-50, 20] ends "
                     "20 after the example time", id="second-hop-window-into-the-future"),
        pytest.param("customers", [1], [200], {"future_values": "hide"},
                     "future_values must be 'mask' or 'keep', got 'hide'", id="unknown-future-values"),
    ],
)
def test_the_loader_refuses_seeds_and_windows_from_the_future(entity, keys, times, options, message):
    options = {"num_neighbors": TO_CUSTOMERS, **options} if "sampling_time_offsets" not in options else options
    with pytest.raises(ValueError, match=re.escape(message)):
        Loader(delivery_shop(), entity, keys, times, batch_size=2, **options)


def test_a_future_window_is_sampled_only_when_allowed():
    windows = {"orders__customer_id__customers": [[None, 100]]}
    loader = Loader(delivery_shop(), "customers", [1], [60], batch_size=1, sampling_time_offsets=windows,
                    future_windows="allow")
    assert next(iter(loader)).out_node["orders"].tolist() == [0, 1]  # placed at 100 and 150, after 60


# Epoch seconds: float32 holds them only to within 128 s, so a delivery 30 s
# after the example time rounds to the same float32 as that time.
EPOCH = 1_700_000_000


@pytest.mark.parametrize(
    "shop, times, expected",
    [
        pytest.param({}, [200, 200], [NAN, 160, NAN], id="later-values"),
        pytest.param({}, [160, 500], [NAN, 160, 500], id="values-at-the-example-time-stay"),
        pytest.param({"offset": EPOCH, "delivered": (230, 160, 500)}, [200, 200], [NAN, 160, NAN],
                     id="epoch-seconds-30s-later"),
        pytest.param({"total_first": True}, [200, 200], [NAN, 160, NAN], id="timestamp-second-column"),
    ],
)
@pytest.mark.parametrize("future_values", ["mask", "keep"])
@pytest.mark.parametrize("workers, kind", [(0, "thread"), (2, "process")], ids=["in-turn", "processes"])
def test_timestamp_features_later_than_the_example_are_masked(shop, times, expected, future_values, workers,
                                                              kind):
    graph = delivery_shop(**shop)
    offset = shop.get("offset", 0)
    if not offset:  # (in epoch seconds, float32 cannot tell 160 from 150)
        assert "orders.delivered: 3 of 3 timestamps are later than their own row's time" in check_graph(graph)[1]
    loader = Loader(graph, "customers", [1, 2], np.add(offset, times), batch_size=2, num_neighbors=TO_CUSTOMERS,
                    future_values=future_values, workers=workers, worker_kind=kind)
    batch = next(iter(loader))
    assert batch.out_node["orders"].tolist() == [0, 1, 2]
    delivered = batch.x["orders"][:, graph.features["orders"].numerical.index("delivered")]
    if future_values == "keep":
        expected = shop.get("delivered", [300, 160, 500])
    np.testing.assert_array_equal(delivered, np.add(offset, expected).astype(np.float32))
    assert batch.x["orders"][:, graph.features["orders"].numerical.index("total")].tolist() == [1, 2, 3]


# --- Times at the ends of int64, and in float32 ------------------------------

def floor_shop():
    """lines[1] has no order, so it takes the earliest time; its notes come later."""
    return build_graph({
        "orders": Table({"id": [1], "t": [100]}, primary_key="id", time_column="t"),
        "lines": Table({"id": [10, 11], "order_id": [1, None]}, primary_key="id", foreign_keys={"order_id": "orders"}),
        "notes": Table({"line_id": [11, 11, 10], "t": [5, 500, 50]}, foreign_keys={"line_id": "lines"}, time_column="t"),
    })


@pytest.mark.parametrize("window", [[None, -1], [-10, -1], [None, -(2**62)]], ids=["open-start", "closed", "far"])
@pytest.mark.parametrize("strategy", ["last", "uniform"])
def test_a_window_before_the_earliest_time_stays_before_it(window, strategy):
    graph = floor_shop()
    assert graph.node_time["lines"].tolist() == [100, EARLIEST]
    loader = Loader(graph, "lines", [11, 10], None, batch_size=2, temporal_strategy=strategy,
                    sampling_time_offsets={("notes", "line_id", "lines"): [window]})
    batch = next(iter(loader))
    # Not one note of line 11 (whose time is the earliest): a wrapped window would take them all.
    assert batch.out_batch["notes"].tolist() == ([1] if window == [None, -1] else [])


@pytest.mark.parametrize("times, value, later", [
    (2**24, 2**24 + 1, True),   # float32 rounds 2**24 + 1 to 2**24
    (2**24, 2**24, True),       # equal once rounded: may be later
    (2**24 - 1, 2**24 - 1, False),  # exact below 2**24
    (2**24 - 1, 2**24, True),
    (1_700_000_000, 1_700_000_030, True),  # half a minute later, one float32 step
    (1_700_000_000, NAN, False),
], ids=["2**24+1", "2**24", "exact", "exact-later", "epoch-seconds", "null"])
def test_timestamps_too_close_for_float32_count_as_later(times, value, later):
    from rerozer_tables.graph.time_rules import later_than
    assert later_than(np.array([value], np.float32), np.array([times], np.int64)).tolist() == [later]
    if value == value and value > times:  # a later value, which the report must count too
        graph = build_graph({"a": Table({"t": [times], "v": np.array([value], "datetime64[s]")}, time_column="t")})
        assert check_graph(graph) and check_graph(graph)[0].startswith("a.v: 1 of 1 timestamps are later")


def test_child_rows_older_than_their_parent_are_counted_per_foreign_key():
    graph = build_graph({
        "films": Table({"id": [1, 2], "released": [100, 200]}, primary_key="id", time_column="released"),
        "ratings": Table({"film": [1, 2, 2, 1], "at": [150, 150, 250, 90]}, foreign_keys={"film": "films"},
                         time_column="at"),
    })
    assert check_graph(graph) == [
        "ratings.film -> films: 2 of 4 ratings rows are older than the films row they refer to; a sample "
        "at such a row's time leaves that films row out, as it does not exist yet"
    ]
