"""Training tables against an oracle: labels count only rows in (t, t + horizon],
features (the sampled rows) only rows at or before t, and splits by time."""

import datetime as dt
import sqlite3

import numpy as np
import pytest

from rerozer_tables import (
    Loader, Table, build_graph, load_graph, read_sqlite, save_graph, split_by_time, training_table,
)

HORIZON = 7


def random_shop(seed, string_keys):
    rng = np.random.default_rng(seed)
    users, posts = 12, 150
    ids = np.array([f"u{i}" for i in range(users)]) if string_keys else np.arange(100, 100 + users)
    joined = rng.integers(0, 20, size=users)
    by = rng.integers(0, users, size=posts)
    # Ties with cut-offs and window ends are likely: times on a small grid.
    at = joined[by] + rng.integers(0, 30, size=posts)
    likes = rng.integers(0, 9, size=posts).astype(float)
    likes[rng.random(posts) < 0.2] = np.nan
    by_key = ids[by].astype(object)
    by_key[rng.random(posts) < 0.1] = None  # posts by nobody
    tables = {
        "users": Table({"id": ids, "joined": joined}, primary_key="id", time_column="joined"),
        "posts": Table({"by": list(by_key), "at": at, "likes": likes},
                       foreign_keys={"by": "users"}, time_column="at"),
    }
    return tables, ids, joined, by_key, at, likes


def graph_of(tables, via, tmp_path):
    """Nothing (the tables are resolved again), the built graph, or the
    graph saved and memory-mapped, for ``graph=``."""
    if via == "tables":
        return {}
    graph = build_graph(tables, dangling_keys="null")
    if via == "loaded-graph":
        save_graph(graph, tmp_path / "g")
        graph = load_graph(tmp_path / "g")
    return {"graph": graph}


VIA = ["tables", "graph", "loaded-graph"]


def oracle(key, t, by_key, at, likes, aggregate):
    """The label of one example, row by row."""
    window = [i for i in range(at.size) if by_key[i] == key and t < at[i] <= t + HORIZON]
    values = [likes[i] for i in window if not np.isnan(likes[i])]
    return {
        "count": float(len(window)),
        "exists": float(bool(window)),
        "sum": float(sum(values)),
        "mean": float(np.mean(values)) if values else np.nan,
    }[aggregate]


@pytest.mark.parametrize("string_keys", [False, True], ids=["int-keys", "str-keys"])
@pytest.mark.parametrize("aggregate", ["count", "exists", "sum", "mean"])
@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("via", VIA)
def test_labels_match_the_oracle(seed, aggregate, string_keys, via, tmp_path):
    tables, ids, joined, by_key, at, likes = random_shop(seed, string_keys)
    cutoffs = np.array([10, 19, 25, 30])
    column = "likes" if aggregate in ("sum", "mean") else None
    table = training_table(tables, "users", cutoffs, target=("posts", "by"), horizon=HORIZON,
                           aggregate=aggregate, column=column, **graph_of(tables, via, tmp_path))
    # Every user that exists at each cut-off, cut-off by cut-off.
    expected_keys = [k for t in cutoffs for k, j in zip(ids.tolist(), joined) if j <= t]
    assert table.keys.tolist() == expected_keys
    assert table.times.tolist() == [t for t in cutoffs for j in joined if j <= t]
    expected = [oracle(k, t, by_key, at, likes, aggregate) for k, t in zip(table.keys, table.times)]
    np.testing.assert_allclose(table.labels, expected, rtol=1e-12, equal_nan=True)
    if aggregate == "count":
        assert table.labels.sum() > 0  # the oracle compared something


def test_given_keys_and_times_and_their_checks():
    tables, ids, joined, by_key, at, likes = random_shop(3, True)
    late = int(np.argmax(joined))
    keys, times = ids[[0, 1, 0]], np.array([25, 26, 40])
    table = training_table(tables, "users", times, keys=keys, target=("posts", "by"),
                           horizon=np.timedelta64(HORIZON, "s"))
    assert table.labels.tolist() == [oracle(k, t, by_key, at, likes, "count") for k, t in zip(keys, times)]
    with pytest.raises(ValueError, match=rf"users key at index 0: row '{ids[late]}' comes at "
                                         rf"{joined[late]}, after its cut-off time {joined[late] - 1}"):
        training_table(tables, "users", [joined[late] - 1], keys=[ids[late]], target=("posts", "by"),
                       horizon=1)
    with pytest.raises(ValueError, match="users key at index 1: 'zz' matches no row"):
        training_table(tables, "users", [30, 30], keys=["u1", "zz"], target=("posts", "by"), horizon=1)


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"aggregate": "sum"}, "aggregate 'sum' needs a column"),
        ({"column": "likes"}, "aggregate 'count' takes no column"),
        ({"aggregate": "max", "column": "likes"}, "aggregate must be one of count, sum, mean, exists"),
        ({"target": ("users", "id")}, "users.id is not a foreign key into users"),
        ({"horizon": 0}, "horizon must be positive, got 0"),
        ({"horizon": "10s"}, "horizon: '10s' is neither an integer"),
        ({"horizon": dt.timedelta(milliseconds=1500)}, "horizon: datetime.timedelta.* is not a whole number"),
        ({"graph": build_graph({"users": Table({"id": [1]}, primary_key="id")})},
         "the graph has 1 nodes for users, which has 12 rows: give the graph built from these tables"),
        ({"graph": build_graph({"users": Table({"id": np.arange(12)}, primary_key="id")})},
         "the graph has no such node type for posts, which has 150 rows"),
        ({"graph": build_graph(random_shop(0, False)[0], time_unit="ms"), "time_unit": "s"},
         "time_unit 's' differs from the graph's time unit 'ms'"),
    ],
    ids=["sum-without-column", "count-with-column", "unknown-aggregate", "not-a-foreign-key",
         "empty-window", "horizon-text", "horizon-not-whole", "graph-of-other-rows",
         "graph-without-the-child", "graph-in-another-unit"],
)
def test_wrong_requests_are_refused(options, message):
    tables = random_shop(0, False)[0]
    arguments = {"target": ("posts", "by"), "horizon": HORIZON, **options}
    with pytest.raises((ValueError, TypeError), match=message):
        training_table(tables, "users", [30], **arguments)


def sqlite_tables(tmp_path, script):
    connection = sqlite3.connect(tmp_path / "db.sqlite")
    connection.executescript(script)
    connection.commit()
    connection.close()
    return read_sqlite(tmp_path / "db.sqlite")


def test_labels_link_child_rows_as_the_graph_does(tmp_path):
    """Text keys that SQLite matches with INTEGER keys ('1', ' 2', '1.0'):
    each label counts exactly the rows the graph's edges link to its entity."""
    tables = sqlite_tables(tmp_path, """
        CREATE TABLE users (id INTEGER PRIMARY KEY, joined INTEGER);
        CREATE TABLE posts (by REFERENCES users (id), at INTEGER);
        INSERT INTO users VALUES (1, 0), (2, 0);
        INSERT INTO posts VALUES ('1', 5), (' 2', 6), ('1.0', 7), ('2', 8), ('1', 30), (NULL, 6);
    """)
    tables = {name: Table(t.columns, primary_key=t.primary_key, foreign_keys=t.foreign_keys,
                          time_column="joined" if name == "users" else "at")
              for name, t in tables.items()}
    table = training_table(tables, "users", [0, 0], keys=["1", " 2"], target=("posts", "by"), horizon=10)
    graph = build_graph(tables)
    colptr, row = graph.colptr["posts__by__users"], graph.row["posts__by__users"]
    at = graph.node_time["posts"]
    linked = [int(np.sum(at[row[colptr[p]:colptr[p + 1]]] <= 10)) for p in graph.position("users", [1, 2])]
    assert table.keys.tolist() == [1, 2]
    assert table.labels.tolist() == linked == [2.0, 2.0]


@pytest.mark.parametrize(
    ("likes", "aggregate", "expected"),
    [
        ([1e17, 1.0, 1.0], "sum", [1e17, 2.0]),
        ([np.inf, 1.0, 1.0], "sum", [np.inf, 2.0]),
        ([np.nan, 1.0, 3.0], "mean", [np.nan, 2.0]),
        ([-np.inf, 1.0, np.inf], "sum", [-np.inf, np.inf]),
    ],
    ids=["huge-beside-small", "inf-stays-in-its-entity", "null-left-out", "infinities-apart"],
)
def test_each_label_comes_from_its_own_entitys_rows(likes, aggregate, expected):
    tables = {
        "users": Table({"id": [1, 2]}, primary_key="id"),
        "posts": Table({"by": [1, 2, 2], "at": [5, 6, 7], "likes": likes},
                       foreign_keys={"by": "users"}, time_column="at"),
    }
    table = training_table(tables, "users", [0, 0], keys=[1, 2], target=("posts", "by"),
                           horizon=10, aggregate=aggregate, column="likes")
    np.testing.assert_array_equal(table.labels, expected)


def test_windows_that_reach_past_the_last_time_end_there():
    last = 2**63 - 1
    tables = {
        "users": Table({"id": [1, 2]}, primary_key="id"),
        "posts": Table({"by": [1, 1, 2, 1], "at": [5, last - 10, last, last]},
                       foreign_keys={"by": "users"}, time_column="at"),
    }
    table = training_table(tables, "users", [last - 20] * 2, keys=[1, 2], target=("posts", "by"), horizon=100)
    assert table.labels.tolist() == [2.0, 1.0]
    # Their windows cross test_start, so the examples belong to no part.
    assert [len(part) for part in split_by_time(table, val_start=10, test_start=last - 15)] == [0, 0, 0]


def test_nullable_real_columns_from_sqlite_leave_nulls_out(tmp_path):
    tables = sqlite_tables(tmp_path, """
        CREATE TABLE users (id INTEGER PRIMARY KEY);
        CREATE TABLE posts (by INTEGER REFERENCES users (id), at TIMESTAMP, likes REAL);
        INSERT INTO users VALUES (1);
        INSERT INTO posts VALUES (1, '1970-01-01 00:00:05', 2.5), (1, '1970-01-01 00:00:06', NULL);
    """)
    table = training_table(tables, "users", [0], keys=[1], target=("posts", "by"),
                           horizon=dt.timedelta(seconds=10), aggregate="mean", column="likes")
    assert table.labels.tolist() == [2.5]


def test_rows_that_inherit_their_time_exist_only_from_it():
    tables = {
        "orders": Table({"id": [1, 2], "t": [0, 50]}, primary_key="id", time_column="t"),
        "lines": Table({"id": [10, 20], "order_id": [1, 2]}, primary_key="id",
                       foreign_keys={"order_id": "orders"}),
        "returns": Table({"line_id": [10, 20, 20], "t": [5, 60, 70]},
                         foreign_keys={"line_id": "lines"}, time_column="t"),
    }
    every = training_table(tables, "lines", [10, 55], target=("returns", "line_id"), horizon=20)
    assert list(zip(every.keys.tolist(), every.times.tolist(), every.labels.tolist())) == [
        (10, 10, 0.0), (10, 55, 0.0), (20, 55, 2.0)]
    with pytest.raises(ValueError, match="lines key at index 0: row 20 comes at 50, after its cut-off time 10"):
        training_table(tables, "lines", [10], keys=[20], target=("returns", "line_id"), horizon=5)
    untimed = training_table(tables, "lines", [10], target=("returns", "line_id"), horizon=5,
                             inherit_times=False)
    assert untimed.keys.tolist() == [10, 20]


def test_features_see_no_row_of_the_label_window():
    """The loader's subgraph of an example holds posts at or before its cut-off
    only; the label counts posts after it: the two never share a row."""
    tables, ids, joined, by_key, at, likes = random_shop(4, False)
    graph = build_graph(tables)
    table = training_table(tables, "users", [12, 20, 28], target=("posts", "by"), horizon=HORIZON)
    loader = Loader(graph, "users", table.keys, table.times, batch_size=5,
                    num_neighbors={("posts", "by", "users"): [-1, 0],
                                   ("users", "rev_by", "posts"): [0, 1]})
    seen = 0
    for batch in loader:
        posts, owner = batch.out_node["posts"], batch.out_batch["posts"]
        users, user_owner = batch.out_node["users"], batch.out_batch["users"]
        for j, example in enumerate(batch.example_index.tolist()):
            t = int(table.times[example])
            sampled = set(posts[owner == j].tolist())
            labelled = {i for i in range(at.size)
                        if by_key[i] == table.keys[example] and t < at[i] <= t + HORIZON}
            assert not sampled & labelled
            assert all(at[i] <= t for i in sampled)
            assert all(joined[u] <= t for u in users[user_owner == j].tolist())
            seen += len(sampled)
    assert seen > 0


def test_split_by_time_keeps_every_label_window_inside_its_part():
    tables = random_shop(5, False)[0]
    table = training_table(tables, "users", np.arange(0, 60, 3), target=("posts", "by"),
                           horizon=HORIZON)
    train, val, test = split_by_time(table, 30, 45)
    assert len(train) and len(val) and len(test)
    assert (train.times + HORIZON <= 30).all()
    assert ((val.times >= 30) & (val.times + HORIZON <= 45)).all()
    assert (test.times >= 45).all()
    # Exactly the examples whose window crosses a boundary are left out.
    crossing = ((table.times < 30) & (table.times + HORIZON > 30)) | (
        (table.times < 45) & (table.times + HORIZON > 45))
    assert len(train) + len(val) + len(test) == len(table) - int(crossing.sum())
    for part in (train, val, test):
        assert part.labels.size == part.keys.size == part.times.size
    with pytest.raises(ValueError, match="val_start 45 comes after test_start 30"):
        split_by_time(table, 45, 30)


@pytest.mark.parametrize("times, horizon, parts", [
    ([0, 10, 20], 2**63 - 1, [[], [], [20]]),  # every window ends at the end of time
    ([-(2**63), 0, 30], 5, [[-(2**63), 0], [], [30]]),
    ([2**63 - 3, 2**63 - 2], 2, [[], [], [2**63 - 3, 2**63 - 2]]),
], ids=["horizon-to-the-end", "earliest-time", "latest-times"])
def test_split_by_time_never_wraps_a_window_around(times, horizon, parts):
    from rerozer_tables import TrainingTable
    table = TrainingTable("users", np.arange(len(times)), np.array(times, np.int64), np.zeros(len(times)),
                          horizon=horizon, time_unit="s")
    assert [part.times.tolist() for part in split_by_time(table, 5, 15)] == parts
