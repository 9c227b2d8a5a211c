"""rerozer_tables.read_sqlite on database files made here, with real
FOREIGN KEY clauses and time columns."""

import re
import sqlite3

import numpy as np
import pytest

from rerozer_tables import build_graph, check_graph, read_sqlite

SHOP = """
PRAGMA foreign_keys = ON;
CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT, signed_up TIMESTAMP NOT NULL);
CREATE TABLE products (sku TEXT PRIMARY KEY, price REAL) WITHOUT ROWID;
CREATE TABLE orders (
  id INTEGER PRIMARY KEY,
  customer_id INTEGER REFERENCES customers,
  placed_at DATETIME,
  FOREIGN KEY (customer_id) REFERENCES customers (id)
);
CREATE TABLE order_items (
  order_id INTEGER NOT NULL,
  line INTEGER NOT NULL,
  product_sku TEXT,
  PRIMARY KEY (order_id, line),
  FOREIGN KEY (order_id) REFERENCES orders (id),
  FOREIGN KEY (product_sku) REFERENCES products (sku)
);
INSERT INTO customers VALUES (7, 'ann', '2024-01-01 00:00:00'), (3, 'bo', '2024-01-02 12:00:00');
INSERT INTO products VALUES ('p-b', 2.5), ('p-a', 1.0);
INSERT INTO orders VALUES (10, 3, '2024-01-03T00:00:00Z'), (11, NULL, '2024-01-03 06:00:00'),
                          (12, 7, '2024-01-02');
INSERT INTO order_items VALUES (12, 1, 'p-a'), (10, 1, 'p-b'), (10, 2, NULL), (11, 1, 'p-a');
"""


@pytest.fixture
def shop_file(tmp_path):
    path = tmp_path / "shop.sqlite"
    connection = sqlite3.connect(path)
    connection.executescript(SHOP)
    connection.commit()
    connection.close()
    return path


def test_reads_keys_foreign_keys_and_times_of_a_file(shop_file):
    tables = read_sqlite(shop_file)
    assert list(tables) == ["customers", "products", "orders", "order_items"]
    described = {
        name: (t.primary_key, t.foreign_keys, t.time_column, sorted(t.columns), t.num_rows)
        for name, t in tables.items()
    }
    assert described == {
        "customers": ("id", {}, "signed_up", ["id", "name", "signed_up"], 2),
        "products": ("sku", {}, None, ["price", "sku"], 2),
        "orders": ("id", {"customer_id": "customers"}, "placed_at", ["customer_id", "id", "placed_at"], 3),
        # A composite primary key: rows are numbered by position.
        "order_items": (None, {"order_id": "orders", "product_sku": "products"}, None,
                        ["line", "order_id", "product_sku"], 4),
    }

    graph = build_graph(tables)
    check_graph(graph)
    day = 86_400
    start = 1_704_067_200  # 2024-01-01 UTC
    # Rows come in rowid order: customer 3 first, although inserted second.
    assert graph.key("customers", [0, 1]).tolist() == [3, 7]
    assert graph.node_time["customers"].tolist() == [start + day + day // 2, start]
    assert graph.node_time["orders"].tolist() == [start + 2 * day, start + 2 * day + day // 4, start + day]
    # Order 11 has no customer; customer 3 placed order 10, customer 7 order 12.
    assert graph.row["orders__customer_id__customers"].tolist() == [0, 2]
    assert graph.colptr["orders__customer_id__customers"].tolist() == [0, 1, 2]
    # Items by product, keyed by text: p-a (items 0 and 3), p-b (item 1); item 2 has none.
    products = graph.position("products", ["p-a", "p-b"]).tolist()
    colptr = graph.colptr["order_items__product_sku__products"]
    row = graph.row["order_items__product_sku__products"]
    assert [row[colptr[p] : colptr[p + 1]].tolist() for p in products] == [[0, 3], [1]]


def test_time_columns_choose_or_drop_a_time_column(shop_file):
    tables = read_sqlite(shop_file, time_columns={"orders": None, "order_items": "line"})
    assert tables["orders"].time_column is None
    assert tables["order_items"].time_column == "line"
    assert tables["customers"].time_column == "signed_up"
    assert build_graph(tables).node_time["order_items"].tolist() == [1, 1, 2, 1]


def test_an_open_connection_is_used_and_left_open(shop_file):
    connection = sqlite3.connect(shop_file)
    tables = read_sqlite(connection)
    assert tables["orders"].num_rows == 3
    assert connection.execute("SELECT count(*) FROM products").fetchone() == (2,)
    connection.close()


@pytest.mark.parametrize(
    "script, message",
    [
        pytest.param(
            "CREATE TABLE a (x INTEGER, y INTEGER, PRIMARY KEY (x, y));"
            "CREATE TABLE b (x INTEGER, y INTEGER, FOREIGN KEY (x, y) REFERENCES a (x, y));",
            "b: the foreign key (x, y) -> a has several columns; composite keys are not supported: "
            "give a a single-column surrogate key (an INTEGER PRIMARY KEY) and refer to it from one "
            "column of b",
            id="composite-foreign-key",
        ),
        pytest.param(
            "CREATE TABLE a (id INTEGER PRIMARY KEY, code TEXT UNIQUE);"
            "CREATE TABLE b (code TEXT REFERENCES a (code));",
            "b.code refers to a.code, but the key of a is id",
            id="key-to-another-column",
        ),
        pytest.param(
            "CREATE TABLE a (id INTEGER PRIMARY KEY, created DATE, updated TIMESTAMP);",
            "a has several time columns (created, updated): choose one with time_columns={'a': ...}",
            id="several-time-columns",
        ),
        pytest.param(
            "CREATE TABLE b (a_id INTEGER REFERENCES missing (id));",
            "b.a_id refers to the unknown table 'missing'",
            id="unknown-parent",
        ),
    ],
)
def test_schemas_it_cannot_read_raise_a_clear_error(tmp_path, script, message):
    connection = sqlite3.connect(tmp_path / "x.sqlite")
    connection.executescript(script)
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        read_sqlite(connection)
    connection.close()


def test_a_keyless_parent_is_keyed_by_the_column_its_children_name(tmp_path):
    connection = sqlite3.connect(tmp_path / "x.sqlite")
    connection.executescript(
        "CREATE TABLE a (code TEXT UNIQUE, t TIMESTAMP);"
        "CREATE TABLE b (code TEXT REFERENCES a (code));"
        "INSERT INTO a VALUES ('x', 5), ('y', 6);"
        "INSERT INTO b VALUES ('y'), ('y'), ('x');"
    )
    tables = read_sqlite(connection)
    assert tables["a"].primary_key == "code"
    graph = build_graph(tables)
    # Numbers in a TIMESTAMP column are taken as times in the graph's unit.
    assert graph.node_time["a"].tolist() == [5, 6]
    assert graph.row["b__code__a"].tolist() == [2, 0, 1]
    connection.close()


def test_missing_file_is_not_created(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_sqlite(tmp_path / "nothing.sqlite")
    assert not (tmp_path / "nothing.sqlite").exists()


# Values as SQLite holds them, read two rows at a time so that every case
# crosses chunk boundaries: the column's dtype and values are those of the
# whole column read at once. From a file, the Arrow path gives the same, or
# leaves the table to the row-by-row path (which a connection always takes).
ARROW_READS = {"integers", "integers-then-null", "reals-then-null", "blobs", "time-numbers", "times-then-null",
               "named-text-time-null-first", "times-and-dates-then-null"}


@pytest.mark.parametrize("via", ["connection", "file"])
@pytest.mark.parametrize(
    "declared, values, dtype, expected",
    [
        pytest.param("INTEGER", [1, 2, 3], "int64", [1, 2, 3], id="integers"),
        pytest.param("", [1, 2, 2.5], "float64", [1.0, 2.0, 2.5], id="integers-then-a-real"),
        pytest.param("", [2**53 + 1, 2, 2.5], "object", [2**53 + 1, 2, 2.5], id="inexact-integer-then-a-real"),
        pytest.param("", [-(2**63), 2, 2.5], "object", [-(2**63), 2, 2.5], id="least-integer-then-a-real"),
        pytest.param("TEXT", ["a", "bb", "ccc"], "<U3", ["a", "bb", "ccc"], id="text-widths"),
        pytest.param("TEXT", ["a", "b", "c\0"], "object", ["a", "b", "c\0"], id="trailing-nul-later"),
        pytest.param("", [1, 2, "x"], "object", [1, 2, "x"], id="integers-then-text"),
        pytest.param("INTEGER", [1, 2, None], "object", [1, 2, None], id="integers-then-null"),
        pytest.param("TIMESTAMP", ["2024-01-02", "2024-01-02 03:04:05", "2024-01-02T00:00:01Z"],
                     "datetime64[us]", ["2024-01-02T00:00:00.000000", "2024-01-02T03:04:05.000000",
                                        "2024-01-02T00:00:01.000000"],
                     id="times-of-several-forms"),
        pytest.param("TIMESTAMP", ["2024-01-02", "2024-01-03", None], "datetime64[D]",
                     ["2024-01-02", "2024-01-03", "NaT"], id="times-then-null"),
        pytest.param("TIMESTAMP", [None, None, "2024-01-03 10:00:00+02:00"], "datetime64[us]",
                     ["NaT", "NaT", "2024-01-03T08:00:00.000000"], id="nulls-then-a-time"),
        pytest.param("TEXT", [None, "2024-01-02", "2024-01-03"], "datetime64[D]",
                     ["NaT", "2024-01-02", "2024-01-03"], id="named-text-time-null-first"),
        pytest.param("TIMESTAMP", [5, 6, 7], "int64", [5, 6, 7], id="time-numbers"),
        pytest.param("TIMESTAMP", ["2024-01-02", "2024-01-03", 7], "object", ["2024-01-02", "2024-01-03", 7],
                     id="times-then-a-number-as-stored"),
        pytest.param("TIMESTAMP", ["2024-01-02", "2024-01-03", "soon"], "<U10",
                     ["2024-01-02", "2024-01-03", "soon"], id="unparsed-text-as-stored"),
        pytest.param("", [2.5, 1.5, 3], "float64", [2.5, 1.5, 3.0], id="reals-then-an-integer"),
        pytest.param("REAL", [2.5, 1.5, None], "object", [2.5, 1.5, None], id="reals-then-null"),
        pytest.param("TEXT", ["a", "b", b"c"], "object", ["a", "b", b"c"], id="text-then-a-blob"),
        pytest.param("BLOB", [b"a", b"", b"c"], "object", [b"a", b"", b"c"], id="blobs"),
        pytest.param("TIMESTAMP", ["2024-01-02T03:04:05", "2024-01-02 03:04:06", "2024-01-02", None],
                     "datetime64[s]", ["2024-01-02T03:04:05", "2024-01-02T03:04:06", "2024-01-02T00:00:00", "NaT"],
                     id="times-and-dates-then-null"),
        pytest.param("TIMESTAMP", ["2024-01-02 03:04", "2024-01-02 05:06", None], "datetime64[m]",
                     ["2024-01-02T03:04", "2024-01-02T05:06", "NaT"], id="times-in-minutes-then-null"),
        pytest.param("TIMESTAMP", ["2024-01-02 00:00:00", "2023-02-29 00:00:00", "2024-01-03 00:00:00"],
                     "<U19", ["2024-01-02 00:00:00", "2023-02-29 00:00:00", "2024-01-03 00:00:00"],
                     id="no-such-day-as-stored"),
        pytest.param("TIMESTAMP", [b"2024-01-02", "2024-01-03", "2024-01-04"], "object",
                     [b"2024-01-02", "2024-01-03", "2024-01-04"], id="a-time-as-a-blob-as-stored"),
    ],
)
def test_columns_are_typed_as_read_whole(request, tmp_path, monkeypatch, via, declared, values, dtype,
                                         expected):
    from rerozer_tables.read import sqlite_arrow, sqlite_columns

    monkeypatch.setattr(sqlite_columns, "CHUNK_ROWS", 2)
    monkeypatch.setattr(sqlite_arrow, "BATCH_ROWS", 2)
    taken = []
    arrow_read = sqlite_arrow.read_columns
    monkeypatch.setattr(sqlite_arrow, "read_columns",
                        lambda *args, **kw: taken.append(arrow_read(*args, **kw)) or taken[-1])
    connection = sqlite3.connect(tmp_path / "db.sqlite")
    connection.execute(f"CREATE TABLE t (k INTEGER PRIMARY KEY, v {declared})")
    connection.executemany("INSERT INTO t VALUES (?, ?)", enumerate(values))
    if via == "file":
        connection.commit()
        connection.close()
        pytest.importorskip("adbc_driver_sqlite")
    source = connection if via == "connection" else tmp_path / "db.sqlite"
    column = read_sqlite(source, time_columns={"t": "v"})["t"].columns["v"]
    connection.close()
    case = request.node.callspec.id.rsplit("-", 1)[0]
    assert [t is not None for t in taken] == ([case in ARROW_READS] if via == "file" else [])
    assert column.dtype == np.dtype(dtype)
    shown = np.datetime_as_string(column).tolist() if column.dtype.kind == "M" else column.tolist()
    assert shown == expected


@pytest.mark.parametrize(
    "values, message",
    [
        pytest.param(["2024-01-02", "2024-01-03", None], "t.v row 2: the time is missing", id="null"),
        pytest.param(["2024-01-02", "2024-01-03", "soon"],
                     "t.v row 2: 'soon' is not an ISO-8601 date or time", id="not-a-time"),
        pytest.param(["2024-01-02", "2024-01-03", 7],
                     "t.v must hold integers, datetime64 or ISO-8601 strings", id="mixed"),
    ],
)
def test_a_time_column_read_in_chunks_is_refused_naming_the_row(tmp_path, monkeypatch, values, message):
    from rerozer_tables.read import sqlite_columns

    monkeypatch.setattr(sqlite_columns, "CHUNK_ROWS", 2)
    connection = sqlite3.connect(tmp_path / "db.sqlite")
    connection.execute("CREATE TABLE t (k INTEGER PRIMARY KEY, v TIMESTAMP)")
    connection.executemany("INSERT INTO t VALUES (?, ?)", enumerate(values))
    tables = read_sqlite(connection)
    connection.close()
    with pytest.raises(ValueError, match="^" + re.escape(message)):
        build_graph(tables)


# Databases whose columns SQLite types value by value (an untyped column
# keeps each value's own type, where TEXT would store 7 as '7'): read from a file
# (through Arrow where the driver is installed), every table has the same
# columns, dtypes and values as read through a connection, row by row.
@pytest.mark.parametrize(
    "script",
    [
        pytest.param(SHOP, id="shop"),
        pytest.param("CREATE TABLE t (id TEXT PRIMARY KEY, n REAL, b BLOB, s TEXT, e TEXT) WITHOUT ROWID;"
                     "INSERT INTO t VALUES ('x', 1.5, x'00ff', 'é', ''), ('y', NULL, NULL, 'ab', '');",
                     id="without-rowid"),
        pytest.param("CREATE TABLE t (k INTEGER PRIMARY KEY, big, s TEXT, n NUMERIC, b BLOB, z);"
                     "INSERT INTO t VALUES (1, '18446744073709551616', 'é€𝄞', 1, x'00', NULL),"
                     "(2, 1.8446744073709552e19, 'a', 2.5, x'', NULL);",
                     id="mixed-and-beyond-int64"),
        pytest.param("CREATE TABLE t (k INTEGER PRIMARY KEY, s TEXT, u TEXT, t TIMESTAMP);"
                     "INSERT INTO t VALUES (1, 'a' || char(0), 'x' || char(0) || 'y', '2024-01-01 00:00:00'),"
                     "(2, 'c', 'y', '2024-01-01 00:00:00');",
                     id="nul-in-text"),
        pytest.param("CREATE TABLE t (k INTEGER PRIMARY KEY, s, t TIMESTAMP);"
                     "INSERT INTO t VALUES (1, 'a', '2024-01-01 00:00:00'), (2, 7, '2024-01-01 00:00:00'),"
                     "(3, 'c', '2024-01-01 00:00:00');",
                     id="an-integer-in-text"),
        pytest.param("CREATE TABLE t (k INTEGER PRIMARY KEY, n, r);"
                     "INSERT INTO t VALUES (1, 'a', 1.5), (2, NULL, NULL), (3, 8, 3);",
                     id="an-integer-in-text-with-nulls"),
        pytest.param("CREATE TABLE t (k INTEGER PRIMARY KEY, s TEXT);"
                     "INSERT INTO t VALUES (1, 'a'), (2, CAST(x'ff' AS TEXT));",
                     id="text-not-utf-8"),
        pytest.param('CREATE TABLE "we""ird" ("c""ol" TEXT, "Ti me" DATE);'
                     "INSERT INTO \"we\"\"ird\" VALUES ('a', '2024-01-01'), (NULL, NULL), ('b', '0000-12-31');",
                     id="quoted-names-dates-and-nulls"),
        pytest.param("CREATE TABLE t (k INTEGER PRIMARY KEY, v TEXT);", id="empty"),
    ],
)
def test_a_file_reads_as_a_connection_does(tmp_path, script):
    path = tmp_path / "db.sqlite"
    connection = sqlite3.connect(path)
    connection.executescript(script)
    connection.commit()

    def read(source):
        try:
            tables = read_sqlite(source)
        except ValueError as error:
            return str(error)
        return {name: (table.primary_key, table.foreign_keys, table.time_column,
                       {c: (str(np.asarray(v).dtype), repr(np.asarray(v).tolist())) for c, v in table.columns.items()})
                for name, table in tables.items()}

    assert read(path) == read(connection)
    connection.close()
