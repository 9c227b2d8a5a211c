"""Keys of rerozer_tables compare as SQLite compares them: names without
regard to case, a text that is an integer literal equal to the integer,
floats only where they are exact. Dangling keys are counted and named, or
read as null on request."""

import re
import sqlite3

import numpy as np
import pytest

from rerozer_tables import Table, build_graph, check_graph, load_graph, read_sqlite, save_graph

HINT = "; build_graph(..., dangling_keys='null') reads such values as null (no edge)"


def connect(tmp_path, script):
    connection = sqlite3.connect(tmp_path / "db.sqlite")
    connection.executescript(script)
    return connection


def parents(graph, child, column, parent):
    """The parent key of every child row (None for no edge), through the built edges."""
    key = f"{parent}__rev_{column}__{child}"
    colptr, row = graph.colptr[key], graph.row[key]
    found = []
    for r in range(graph.num_nodes[child]):
        ids = row[colptr[r] : colptr[r + 1]]
        found.append(graph.key(parent, ids).tolist()[0] if ids.size else None)
    return found


# --- SQL names -------------------------------------------------------------

def test_identifiers_and_time_columns_ignore_case(tmp_path):
    connection = connect(tmp_path, """
        CREATE TABLE Users (Id INTEGER PRIMARY KEY, HireDate TEXT);
        CREATE TABLE posts (id INTEGER PRIMARY KEY, author INTEGER REFERENCES USERS(ID),
                            FOREIGN KEY (AUTHOR) REFERENCES users);
        INSERT INTO Users VALUES (5, '2024-01-01'), (6, '2024-01-02');
        INSERT INTO posts VALUES (1, 6), (2, 5);
    """)
    tables = read_sqlite(connection, time_columns={"users": "hiredate"})
    assert tables["Users"].time_column == "HireDate"
    assert tables["posts"].foreign_keys == {"author": "Users"}
    assert tables["Users"].primary_key == "Id"
    graph = build_graph(tables)
    assert parents(graph, "posts", "author", "Users") == [6, 5]


def test_read_sqlite_reads_the_main_table_not_a_temp_one_of_the_same_name(tmp_path):
    connection = connect(tmp_path, """
        CREATE TABLE items (id INTEGER PRIMARY KEY);
        INSERT INTO items VALUES (1), (2), (3);
    """)
    connection.executescript("CREATE TEMP TABLE items (id INTEGER PRIMARY KEY); INSERT INTO temp.items VALUES (9);")
    tables = read_sqlite(connection)
    assert list(tables) == ["items"]
    assert build_graph(tables).key("items", [0, 1, 2]).tolist() == [1, 2, 3]


@pytest.mark.parametrize(
    "script, message",
    [
        pytest.param(
            "CREATE TABLE a (code TEXT, t TIMESTAMP);"
            "CREATE TABLE b (code TEXT REFERENCES a (kode));",
            "b.code refers to a.kode, which is not a column of a", id="keyless-parent",
        ),
        pytest.param(
            "CREATE TABLE a (id INTEGER PRIMARY KEY);"
            "CREATE TABLE b (a_id INTEGER REFERENCES a (ident));",
            "b.a_id refers to a.ident, which is not a column of a", id="keyed-parent",
        ),
    ],
)
def test_a_foreign_key_to_a_missing_column_is_named(tmp_path, script, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        read_sqlite(connect(tmp_path, script))


def test_edge_types_follow_the_declared_order_of_foreign_keys(tmp_path):
    connection = connect(tmp_path, """
        CREATE TABLE airports (faa TEXT PRIMARY KEY);
        CREATE TABLE planes (tailnum TEXT PRIMARY KEY);
        CREATE TABLE flights (origin TEXT REFERENCES airports, tailnum TEXT,
                              dest TEXT REFERENCES airports,
                              FOREIGN KEY (tailnum) REFERENCES planes);
    """)
    tables = read_sqlite(connection)
    # Column constraints come before table constraints, each in written order.
    assert list(tables["flights"].foreign_keys) == ["origin", "dest", "tailnum"]
    assert build_graph(tables).edge_types == [
        ("flights", "origin", "airports"), ("airports", "rev_origin", "flights"),
        ("flights", "dest", "airports"), ("airports", "rev_dest", "flights"),
        ("flights", "tailnum", "planes"), ("planes", "rev_tailnum", "flights"),
    ]


# --- Key values ------------------------------------------------------------

def test_text_and_integer_keys_match_as_sqlite_affinity_makes_them(tmp_path):
    connection = connect(tmp_path, """
        PRAGMA foreign_keys = ON;
        CREATE TABLE users (id INTEGER PRIMARY KEY);
        CREATE TABLE codes (code TEXT PRIMARY KEY);
        CREATE TABLE posts (user_ref TEXT REFERENCES users, code_ref INTEGER REFERENCES codes);
        INSERT INTO users VALUES (1), (2);
        INSERT INTO codes VALUES ('7'), ('x');
        INSERT INTO posts VALUES ('2', 7), ('1', NULL), (' 1', NULL), ('2.0', 7);
    """)
    # SQLite itself accepted every row above, foreign keys on.
    graph = build_graph(read_sqlite(connection))
    assert parents(graph, "posts", "user_ref", "users") == [2, 1, 1, 2]
    assert parents(graph, "posts", "code_ref", "codes") == ["7", None, None, "7"]


@pytest.mark.parametrize(
    "values, found",
    [
        pytest.param(["10", "+11", "1e1"], [10, 11, 10], id="integer-literals"),
        pytest.param(np.array(["11", "10"]), [11, 10], id="numpy-strings"),
        # A fraction is no integer key: it dangles rather than links to row 10.
        pytest.param([" 10", "11.0", "11e0", "10.5"], [10, 11, 11, None], id="real-literals"),
    ],
)
def test_text_keys_match_integer_keys_in_tables_too(values, found):
    graph = build_graph({
        "customers": Table({"id": [10, 11]}, primary_key="id"),
        "orders": Table({"customer_id": values}, foreign_keys={"customer_id": "customers"}),
    }, dangling_keys="null")
    assert parents(graph, "orders", "customer_id", "customers") == found
    assert graph.position("customers", ["11"]).tolist() == [1]


@pytest.mark.parametrize("hashed", [True, False], ids=["hashed", "without-pyarrow"])
@pytest.mark.parametrize(
    "keys, values, found",
    [
        pytest.param(["b", "a", "ccc"], ["ccc", "a", "zz", "b", "cc"], ["ccc", "a", None, "b", None],
                     id="unsorted-keys-of-other-widths"),
        pytest.param(["é", "", "ñx"], ["", "ñx", "é", "e"], ["", "ñx", "é", None], id="non-ascii-and-empty"),
        pytest.param(["7", "x"], [8, 7], [None, "7"], id="integers-against-text-keys"),
        pytest.param(["abc", "b"], ["ab", "b"], [None, "b"], id="values-narrower-than-keys"),
    ],
)
def test_text_keys_match_alike_by_hashing_or_by_sorting(monkeypatch, keys, values, found, hashed):
    from rerozer_tables.tables import text_hash

    calls = []
    if hashed:
        pytest.importorskip("pyarrow")
        monkeypatch.setattr(text_hash, "_arrow", lambda real=text_hash._arrow: calls.append(1) or real())
    else:
        monkeypatch.setattr(text_hash, "_arrow", lambda: None)
    graph = build_graph({
        "codes": Table({"code": keys}, primary_key="code"),
        "uses": Table({"code_ref": values}, foreign_keys={"code_ref": "codes"}),
    }, dangling_keys="null")
    assert parents(graph, "uses", "code_ref", "codes") == found
    assert graph.dangling_keys == ({"uses.code_ref": found.count(None)} if None in found else {})
    assert bool(calls) == hashed


@pytest.mark.parametrize(
    "values, message",
    [
        pytest.param([1.0, 2.0**53 + 2], "b.a_id row 1: 9007199254740994.0 is a float beyond ±2**53, where floats "
                     "do not hold every integer: store the keys as integers or strings", id="float-beyond-2-53"),
        pytest.param([1.0, 1e19], "b.a_id row 1: 1e+19 is a float beyond ±2**53, where floats do not hold every "
                     "integer: store the keys as integers or strings", id="float-beyond-int64"),
        pytest.param([1.0, np.nan, 2.5], "b.a_id row 2: 2.5 is not an integer", id="fraction-after-null"),
        pytest.param(np.array([1, 2.0**60], dtype=object),
                     "b.a_id row 1: 1.152921504606847e+18 is a float beyond ±2**53, where floats do not hold "
                     "every integer: store the keys as integers or strings", id="object-float-beside-int"),
    ],
)
def test_float_keys_that_are_not_exact_integers_are_refused(values, message):
    tables = {"a": Table({"id": [1, 2]}, primary_key="id"), "b": Table({"a_id": values}, foreign_keys={"a_id": "a"})}
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        build_graph(tables)


def test_large_integer_keys_stay_exact_beside_reals_in_sqlite(tmp_path):
    big = 2**62 + 1  # rounds to 2**62 as a float
    connection = connect(tmp_path, f"""
        CREATE TABLE a (id INTEGER PRIMARY KEY);
        CREATE TABLE b (a_id REFERENCES a);
        INSERT INTO a VALUES ({big}), ({2**62}), (3);
        INSERT INTO b VALUES ({big}), (3.0), ({2**62});
    """)
    graph = build_graph(read_sqlite(connection))
    assert parents(graph, "b", "a_id", "a") == [big, 3, 2**62]


# --- Dangling keys ---------------------------------------------------------

FLIGHTS = {
    "airports": Table({"faa": ["EWR", "JFK"]}, primary_key="faa"),
    "flights": Table({"id": [101, 102, 103, 104, 105, 106, 107, 108],
                      "dest": ["BQN", "JFK", "PSE", "BQN", None, "SJU", "STT", "ABQ"]},
                     primary_key="id", foreign_keys={"dest": "airports"}),
}


def test_dangling_keys_are_counted_and_named_with_their_rows_keys():
    message = (
        "flights.dest: 6 rows hold 5 distinct values that match no airports.faa: 'BQN' (row with id 101), "
        "'PSE' (row with id 103), 'BQN' (row with id 104), 'SJU' (row with id 106), 'STT' (row with id 107), ..."
        + HINT
    )
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        build_graph(FLIGHTS)


def test_dangling_keys_null_gives_no_edge_and_reports_the_count(tmp_path):
    graph = build_graph(FLIGHTS, dangling_keys="null")
    assert parents(graph, "flights", "dest", "airports") == [None, "JFK", None, None, None, None, None, None]
    assert graph.dangling_keys == {"flights.dest": 6}
    report = ["flights.dest: 6 values matched no parent row and were read as null"]
    assert check_graph(graph) == report
    save_graph(graph, tmp_path / "g")
    assert check_graph(load_graph(tmp_path / "g")) == report
    with pytest.raises(ValueError, match=r"^dangling_keys must be 'error' or 'null', got 'drop'$"):
        build_graph(FLIGHTS, dangling_keys="drop")


def test_text_keys_ending_in_nul_stay_apart_through_save_and_load(tmp_path):
    graph = build_graph({"a": Table({"id": ["a\0", "a"]}, primary_key="id"),
                         "b": Table({"a_id": ["a", "a\0", "a"]}, foreign_keys={"a_id": "a"})})
    save_graph(graph, tmp_path / "g")
    for built in (graph, load_graph(tmp_path / "g")):
        assert built.key("a", [0, 1]).tolist() == ["a\0", "a"]
        assert built.position("a", ["a", "a\0"]).tolist() == [1, 0]
        assert parents(built, "b", "a_id", "a") == ["a", "a\0", "a"]
