"""read_postgres, read_duckdb and read_parquet against a real PostgreSQL
server (started here), real DuckDB files and Parquet folders, checked
against read_sqlite on the demo's shop."""

import dataclasses
import os
import re
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import database  # noqa: E402
from postgres_server import ServerUnavailable, postgres_server  # noqa: E402

from rerozer_tables import Loader, build_graph, read_duckdb, read_parquet, read_postgres, read_sqlite  # noqa: E402

adbc = pytest.importorskip("adbc_driver_postgresql.dbapi")
duckdb = pytest.importorskip("duckdb")


@pytest.fixture(scope="session")
def server():
    try:
        with postgres_server() as started:
            yield started
    except ServerUnavailable as error:
        if os.environ.get("CI") == "true":
            raise
        pytest.skip(str(error))


def run_sql(target, script):
    """Run ;-separated statements on a PostgreSQL URI or a DuckDB connection."""
    statements = [s for s in script.split(";") if s.strip()]
    if isinstance(target, str):
        with adbc.connect(target) as connection, connection.cursor() as cursor:
            for statement in statements:
                cursor.execute(statement)
            connection.commit()
    else:
        for statement in statements:
            target.execute(statement)


@pytest.fixture(scope="module")
def shop(server, tmp_path_factory):
    """The demo's shop (small) in SQLite, PostgreSQL, DuckDB and Parquet."""
    tables = database.make_tables(database.Sizes().scaled(0.02))
    folder = tmp_path_factory.mktemp("shop")
    chunk, database.CHUNK_ROWS = database.CHUNK_ROWS, 97  # the writers stream rows in many chunks
    try:
        database.write_sqlite(tables, folder / "shop.sqlite")
        database.write_parquet(tables, folder / "parquet")
        database.write_parquet(tables, folder / "parts", rows_per_part=300)  # folders of part files
    finally:
        database.CHUNK_ROWS = chunk
    database.write_duckdb(tables, folder / "shop.duckdb")
    database.write_postgres(tables, server.uri())
    # A DuckDB file and a folder keep no creation order: tables= gives it.
    order = list(tables)
    keys = {name: table.primary_key for name, table in tables.items()}
    links = {name: table.foreign_keys for name, table in tables.items()}
    return {
        "sqlite": lambda **o: read_sqlite(folder / "shop.sqlite", **o),
        "postgres": lambda **o: read_postgres(server.uri(), **o),
        "duckdb": lambda **o: read_duckdb(folder / "shop.duckdb", tables=order, **o),
        "parquet": lambda **o: read_parquet(folder / "parquet", tables=order, primary_keys=keys,
                                            foreign_keys=links, **o),
        "parquet-parts": lambda **o: read_parquet(folder / "parts", tables=order, primary_keys=keys,
                                                  foreign_keys=links, **o),
    }


@pytest.mark.parametrize(
    "progress_option, terminal, shown",
    [
        pytest.param(None, True, True, id="default-in-a-terminal"),
        pytest.param(None, False, False, id="default-in-a-log"),
        pytest.param(False, True, False, id="off-in-a-terminal"),
    ],
)
@pytest.mark.parametrize("reader", ["postgres", "duckdb", "parquet"])
def test_readers_show_progress_as_read_sqlite_does(shop, capsys, monkeypatch, reader, progress_option,
                                                  terminal, shown):
    from rerozer_tables.tables import progress

    monkeypatch.setattr(progress, "interactive", lambda: terminal)
    monkeypatch.setattr(progress, "DELAY", 0.0)
    shop[reader](progress=progress_option)
    err = capsys.readouterr().err
    assert (f"read_{reader}" in err) == shown, err
    assert bool(err) == shown, err


def assert_same(a, b, where="graph"):
    """Equal structures of dicts, lists, dataclasses and arrays (NaN = NaN)."""
    if isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and np.array_equal(a, b, equal_nan=a.dtype.kind in "fc"), where
    elif isinstance(a, dict):
        assert list(a) == list(b), where
        for key in a:
            assert_same(a[key], b[key], f"{where}[{key!r}]")
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b), where
        for i, (x, y) in enumerate(zip(a, b)):
            assert_same(x, y, f"{where}[{i}]")
    elif dataclasses.is_dataclass(a) or hasattr(a, "__dict__"):
        assert_same(vars(a), vars(b), where)
    else:
        assert a == b, where


@pytest.mark.parametrize("reader", ["postgres", "duckdb", "parquet", "parquet-parts"])
def test_readers_give_the_tables_graph_and_batches_of_read_sqlite(shop, reader):
    expected, got = shop["sqlite"](), shop[reader]()
    assert list(got) == list(expected)
    for name, table in expected.items():
        other = got[name]
        assert (other.primary_key, other.foreign_keys, other.time_column, list(other.columns)) == (
            table.primary_key, table.foreign_keys, table.time_column, list(table.columns))
        for column in table.columns:
            if column != table.time_column:  # times differ in unit (seconds, microseconds)
                assert_same(table.column(column), other.column(column), f"{name}.{column}")
    graphs = [build_graph(tables) for tables in (expected, got)]
    assert_same(*graphs)
    batches = [
        list(Loader(graph, "customers", graph.key("customers", np.arange(40)), np.full(40, database.START + database.SPAN),
                    batch_size=16, num_neighbors=[4, 3], shuffle=True, seed=7))
        for graph in graphs
    ]
    assert_same(*batches, where="batches")


# One table of every kind of column, in SQL that PostgreSQL and DuckDB both take.
TYPES = """
CREATE TYPE mood AS ENUM ('sad', 'ok');
CREATE TABLE things (id UUID PRIMARY KEY, n INTEGER, big BIGINT, price NUMERIC(10, 2), seen TIMESTAMPTZ,
                     happy BOOLEAN, feeling mood, note VARCHAR);
INSERT INTO things VALUES
  ('a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', 1, 9007199254740993, 2.5, '2024-01-01 10:00:00+02', true, 'ok', 'héllo'),
  ('b0eebc99-9c0b-4ef8-bb6d-6bb9bd380a12', NULL, NULL, NULL, '2024-01-02 00:00:00+00', NULL, NULL, '日本語')
"""


@pytest.mark.parametrize("engine", ["postgres", "duckdb"])
def test_types_map_to_numpy_as_users_expect(server, tmp_path, engine):
    if engine == "postgres":
        run_sql(server.uri(), "CREATE SCHEMA types; SET search_path TO types;" + TYPES)
        with adbc.connect(server.uri()) as connection:  # a connection is used and left open
            table = read_postgres(connection, schema="types")["things"]
            with connection.cursor() as cursor:
                assert cursor.execute("SELECT 1").fetchall() == [(1,)]
    else:
        connection = duckdb.connect(str(tmp_path / "types.duckdb"))
        run_sql(connection, TYPES)
        table = read_duckdb(connection)["things"]
    columns = {name: table.column(name) for name in table.columns}
    assert (table.primary_key, table.time_column) == ("id", "seen")
    assert columns["id"][0].tolist() == ["a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11", "b0eebc99-9c0b-4ef8-bb6d-6bb9bd380a12"]
    # Integers with a null: int64 and Table's null mask, as read_sqlite gives them, never rounded.
    for name, value in (("n", 1), ("big", 9007199254740993)):
        assert columns[name][0].dtype == np.int64 and columns[name][0][0] == value
        assert columns[name][1].tolist() == [False, True]
    assert table.columns["price"].dtype == np.float64 and table.columns["price"][0] == 2.5
    assert table.columns["seen"].astype("datetime64[s]").astype(str).tolist() == ["2024-01-01T08:00:00", "2024-01-02T00:00:00"]
    assert [columns[c][0][0] for c in ("happy", "feeling")] == [1.0, "ok"]
    assert table.columns["note"].dtype == "<U5" and table.columns["note"].tolist() == ["héllo", "日本語"]
    graph = build_graph({"things": table})
    assert graph.features["things"].vocabularies["feeling"].tolist() == ["ok"]


def server_name(server):
    return f"rerozer@{server.socket_dir}:{server.port}/shop"


# Reader errors name the database and schema; the last two come from build_graph.
BROKEN = {
    "composite-foreign-key": (
        "CREATE TABLE a (x INTEGER, y INTEGER, PRIMARY KEY (x, y));"
        "CREATE TABLE b (x INTEGER, y INTEGER, FOREIGN KEY (x, y) REFERENCES a (x, y))",
        {}, ValueError,
        "b: the foreign key (x, y) -> a has several columns; composite keys are not supported: give a a "
        "single-column surrogate key (an INTEGER PRIMARY KEY) and refer to it from one column of b",
    ),
    "missing-table": ("CREATE TABLE a (id INTEGER PRIMARY KEY)", {"tables": ["a", "nope"]}, ValueError,
                      "no table 'nope' (the schema has a)"),
    "parent-left-out": ("CREATE TABLE a (id INTEGER PRIMARY KEY); CREATE TABLE b (a_id INTEGER REFERENCES a (id))",
                        {"tables": ["b"]}, ValueError,
                        "b.a_id refers to a, which tables= leaves out: add it to tables"),
    "null-time": ("CREATE TABLE a (id INTEGER PRIMARY KEY, t TIMESTAMP); INSERT INTO a VALUES (1, NULL)",
                  {}, ValueError, "a.t row 0: the time is missing"),
    "infinity": ("CREATE TABLE a (id INTEGER PRIMARY KEY, t INTEGER, u TIMESTAMP);"
                 "INSERT INTO a VALUES (1, 5, '2024-01-01'), (2, 5, '-infinity')",
                 {}, ValueError, "{schema}.a.u row 1: 'infinity' or '-infinity' is not a time"),
    "plus-infinity": ("CREATE TABLE a (id INTEGER PRIMARY KEY, u TIMESTAMP);"
                      "INSERT INTO a VALUES (1, '2024-01-01'), (2, '2024-01-02'), (3, 'infinity')",
                      {}, ValueError, "{schema}.a.u row 2: 'infinity' or '-infinity' is not a time"),
    "beyond-ns": ("CREATE TABLE a (id INTEGER PRIMARY KEY, t DATE); INSERT INTO a VALUES (1, '3000-01-01')",
                  {}, ValueError, "a.t row 0: 3000-01-01 lies outside the range of time_unit 'ns'"),
}


@pytest.mark.parametrize("engine", ["postgres", "duckdb"])
@pytest.mark.parametrize("case", list(BROKEN))
def test_schemas_and_values_it_cannot_take_raise_a_clear_error(server, tmp_path, engine, case):
    script, options, error, message = BROKEN[case]
    if engine == "postgres":
        schema = case.replace("-", "_")
        run_sql(server.uri(), f"CREATE SCHEMA {schema}; SET search_path TO {schema};" + script)
        where = f"PostgreSQL server {server_name(server)}, schema {schema}: "
        read = lambda: read_postgres(server.uri(), schema=schema, **options)  # noqa: E731
    else:
        run_sql(duckdb.connect(str(tmp_path / "x.duckdb")), script)
        where, schema = f"DuckDB database {tmp_path / 'x.duckdb'}, schema main: ", "main"
        read = lambda: read_duckdb(tmp_path / "x.duckdb", **options)  # noqa: E731
    if case in ("null-time", "beyond-ns"):
        where = ""
    with pytest.raises(error, match="^" + re.escape(where + message.format(schema=schema))):
        build_graph(read(), time_unit="ns")


# PostgreSQL's own row order changes with updates, so rows come in key order;
# DuckDB keeps insertion order, which it gives.
@pytest.mark.parametrize("engine, people, gifts", [
    ("postgres", [1, 2, 3], [10, 20]), ("duckdb", [3, 1, 2], [20, 10]),
], ids=["postgres", "duckdb"])
def test_rows_come_in_a_stable_order_and_foreign_keys_in_declaration_order(server, tmp_path, engine, people,
                                                                            gifts):
    """Rows inserted out of key order, and constraints whose names sort
    against the order they were declared in."""
    script = """
        CREATE TABLE people (id INTEGER PRIMARY KEY, name VARCHAR);
        CREATE TABLE gifts (id INTEGER PRIMARY KEY, t DATE,
                            giver INTEGER, receiver INTEGER,
                            CONSTRAINT z_giver FOREIGN KEY (giver) REFERENCES people (id),
                            CONSTRAINT a_receiver FOREIGN KEY (receiver) REFERENCES people (id));
        INSERT INTO people VALUES (3, 'c'), (1, 'a'), (2, 'b');
        INSERT INTO gifts VALUES (20, '2024-01-02', 3, 1), (10, '2024-01-01', 1, 2)
    """
    if engine == "postgres":
        run_sql(server.uri(), "CREATE SCHEMA ordered; SET search_path TO ordered;" + script)
        tables = read_postgres(server.uri(), schema="ordered")
    else:
        run_sql(duckdb.connect(str(tmp_path / "x.duckdb")), script)
        tables = read_duckdb(tmp_path / "x.duckdb")
    assert tables["people"].columns["id"].tolist() == people
    assert tables["people"].columns["name"].tolist() == [{1: "a", 2: "b", 3: "c"}[k] for k in people]
    assert tables["gifts"].columns["id"].tolist() == gifts
    assert list(tables["gifts"].foreign_keys) == ["giver", "receiver"]
    assert [e for e in build_graph(tables).edge_types if e[0] == "gifts"] == [
        ("gifts", "giver", "people"), ("gifts", "receiver", "people")]


def test_a_foreign_key_outside_the_schema_is_refused(server):
    run_sql(server.uri(), "CREATE SCHEMA other; CREATE TABLE other.p (id INTEGER PRIMARY KEY);"
            "CREATE SCHEMA mine; CREATE TABLE mine.c (p_id INTEGER REFERENCES other.p)")
    with pytest.raises(ValueError, match=re.escape("mine: c.p_id refers to other.p, outside the schema mine")):
        read_postgres(server.uri(), schema="mine")


def test_server_failures_are_one_clear_error_without_the_password(server):
    wrong = server.uri(password="not-the-password")
    with pytest.raises(ConnectionError, match="password authentication failed") as excinfo:
        read_postgres(wrong)
    assert "not-the-password" not in str(excinfo.value) and server_name(server) in str(excinfo.value)
    with pytest.raises(ConnectionError, match="^PostgreSQL server rerozer@/nowhere:5432/shop: connecting failed"):
        read_postgres(f"host=/nowhere port=5432 user=rerozer password={server.uri()} dbname=shop")
    # A reader without the right to read, and a server process that goes away
    # (row-level security, which applies to nosy, as not to superusers)
    # in the middle of a table's rows (it ends itself at the second row, and dies
    # at its next check for interrupts, in the sleep).
    run_sql(server.uri(), """
        CREATE SCHEMA guarded; CREATE TABLE guarded.secret (id INTEGER PRIMARY KEY);
        CREATE ROLE nosy LOGIN PASSWORD 'nosy'; GRANT USAGE ON SCHEMA guarded TO nosy;
        CREATE SCHEMA fragile; CREATE TABLE fragile.rows (id INTEGER PRIMARY KEY);
        INSERT INTO fragile.rows SELECT generate_series(1, 3);
        CREATE FUNCTION fragile.gone(id INTEGER) RETURNS BOOLEAN LANGUAGE sql
          AS 'SELECT id <> 2 OR (pg_terminate_backend(pg_backend_pid()) AND pg_sleep(5) IS NULL)';
        ALTER TABLE fragile.rows ENABLE ROW LEVEL SECURITY; CREATE POLICY everyone ON fragile.rows USING (fragile.gone(id));
        GRANT USAGE ON SCHEMA fragile TO nosy; GRANT SELECT ON fragile.rows TO nosy
    """)
    with pytest.raises(PermissionError, match=re.escape("reading guarded.secret failed: permission denied for table secret")):
        read_postgres(server.uri(user="nosy", password="nosy"), schema="guarded")
    with pytest.raises(ConnectionError, match=re.escape("/shop: reading fragile.rows failed: terminating connection")):
        read_postgres(server.uri(user="nosy", password="nosy"), schema="fragile")


SECRET = "zq1#xv2/kw3?jp4@mm5%00nn6"


@pytest.mark.parametrize("form", [
    "postgresql://rerozer:{pw}@/shop?host={dir}&port={port}",
    " postgresql://rerozer:{pw}@/shop?host={dir}&port={port}",
    "POSTGRES://rerozer:{pw}@/shop?host={dir}&port={port}",
    "postgresql+psycopg://rerozer:{pw}@/shop?host={dir}&port={port}",
    "postgresql:///shop?host={dir}&port={port}&user=rerozer&password={pw}",
], ids=["plain", "leading-space", "upper-case-scheme", "driver-in-scheme", "in-the-query"])
def test_no_message_holds_any_part_of_the_password(server, form):
    dsn = form.format(pw=SECRET, dir=server.socket_dir, port=server.port)
    with pytest.raises(ConnectionError) as excinfo:
        read_postgres(dsn)
    for part in re.split(r"[#/?@]|%00", SECRET):
        assert part not in str(excinfo.value), str(excinfo.value)


def test_parquet_keys_are_declared_and_checked(tmp_path):
    pa, parquet = pytest.importorskip("pyarrow"), pytest.importorskip("pyarrow.parquet")
    parquet.write_table(pa.table({"id": [7, 8]}), tmp_path / "users.parquet")
    parquet.write_table(pa.table({"user_id": ["7", "x"]}), tmp_path / "posts.parquet")
    with pytest.raises(ValueError, match=re.escape("primary_keys names the table 'people', which is not read")):
        read_parquet(tmp_path, primary_keys={"people": "id"})
    with pytest.raises(ValueError, match=re.escape("posts.parquet: foreign_keys names the column 'uid'")):
        read_parquet(tmp_path, primary_keys={"users": "id"}, foreign_keys={"posts": {"uid": "users"}})
    # A text key against integer keys: '7' is the key 7, 'x' matches none.
    tables = read_parquet(tmp_path, primary_keys={"users": "id"}, foreign_keys={"posts": {"user_id": "users"}})
    with pytest.raises(ValueError, match=re.escape("posts.user_id: 1 row holds a value that matches no users.id: 'x' (row 1)")):
        build_graph(tables)


@pytest.mark.parametrize("layout, parts, columns", [
    pytest.param("posts", ["part-00000.parquet", "part-00001.parquet"], {}, id="parts"),
    pytest.param("posts.parquet", ["part-0.snappy.parquet", "part-1.snappy.parquet"], {}, id="named-folder"),
    pytest.param("posts", ["year=2024/part-0.parquet", "year=2025/part-0.parquet"],
                 {"year": [2024, 2024, 2025]}, id="hive-integers"),
    pytest.param("posts", ["lang=en/day=1/data_0.parquet", "lang=nb/day=1/data_0.parquet"],
                 {"lang": ["en", "en", "nb"], "day": [1, 1, 1]}, id="hive-nested"),
])
def test_parquet_tables_stored_as_folders_of_parts(tmp_path, layout, parts, columns):
    pa, parquet = pytest.importorskip("pyarrow"), pytest.importorskip("pyarrow.parquet")
    parquet.write_table(pa.table({"id": [7, 8]}), tmp_path / "users.parquet")
    pieces = [{"id": [1, 2], "user_id": [8, 7]}, {"id": [3], "user_id": [8]}]
    for part, piece in zip(parts, pieces):
        (tmp_path / layout / part).parent.mkdir(parents=True, exist_ok=True)
        parquet.write_table(pa.table(piece), tmp_path / layout / part)
    # What writers leave beside the parts is not read.
    (tmp_path / layout / "_SUCCESS").write_bytes(b"")
    (tmp_path / layout / ".part-00000.parquet.crc").write_bytes(b"x")
    (tmp_path / layout / "_temporary" / "0").mkdir(parents=True)
    (tmp_path / layout / "_temporary" / "0" / "part-00002.parquet").write_bytes(b"unfinished")
    tables = read_parquet(tmp_path, primary_keys={"users": "id", "posts": "id"},
                          foreign_keys={"posts": {"user_id": "users"}})
    assert list(tables) == ["posts", "users"]
    posts = tables["posts"]
    assert {name: posts.column(name)[0].tolist() for name in posts.columns} == {
        "id": [1, 2, 3], "user_id": [8, 7, 8], **columns}
    graph = build_graph(tables)
    assert graph.row["posts__user_id__users"].tolist() == [1, 0, 2]


@pytest.mark.parametrize("reader, module, extra", [
    (read_postgres, "adbc_driver_postgresql.dbapi", "postgres"),
    (read_duckdb, "duckdb", "duckdb"),
    (read_parquet, "pyarrow.parquet", "parquet"),
], ids=["postgres", "duckdb", "parquet"])
def test_a_missing_extra_names_it(monkeypatch, tmp_path, reader, module, extra):
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=re.escape(f'pip install "rerozer[{extra}]"')):
        reader(str(tmp_path))


def parents_of(tables, child, column, parent):
    """The parent key of each child row through the built graph's edges (None: no edge)."""
    graph = build_graph(tables)
    key = f"{parent}__rev_{column}__{child}"
    colptr, row = graph.colptr[key], graph.row[key]
    return [graph.key(parent, row[colptr[r] : colptr[r + 1]]).tolist()[0] if colptr[r + 1] > colptr[r] else None
            for r in range(graph.num_nodes[child])]


def parquet_folder(folder, **tables):
    import pyarrow as pa
    import pyarrow.parquet as pq
    for name, columns in tables.items():
        pq.write_table(pa.table(columns), folder / f"{name}.parquet")
    return folder


BIG = 2**53 + 1  # the first integer float64 cannot hold
# Each case: engine -> (script, or the Parquet files and read_parquet's options), read options,
# and a check of the tables read (or the error's message, where refusing is right).
EXACT = {
    "quoted-table-names": {
        "postgres": ('CREATE TABLE "Users" (id INTEGER PRIMARY KEY); CREATE TABLE users (id INTEGER PRIMARY KEY);'
                     'CREATE TABLE posts (uid INTEGER REFERENCES "Users" (id));'
                     'INSERT INTO "Users" VALUES (1); INSERT INTO users VALUES (2); INSERT INTO posts VALUES (1)', {}),
        "parquet": (dict(Users={"id": [1]}, users={"id": [2]}, posts={"uid": [1]}),
                    dict(primary_keys={"Users": "id", "users": "id"}, foreign_keys={"posts": {"uid": "Users"}})),
        "check": lambda t: t["posts"].foreign_keys == {"uid": "Users"} and parents_of(t, "posts", "uid", "Users") == [1],
    },
    "a-name-that-could-be-either": {
        "postgres": ('CREATE TABLE "Users" (id INTEGER PRIMARY KEY, t DATE); CREATE TABLE users (id INTEGER PRIMARY KEY, t DATE)',
                     {"time_columns": {"USERS": None}}),
        "check": "time_columns names the table 'USERS', which matches no name exactly, but 'Users', 'users' alike",
    },
    "quoted-column-names": {
        "postgres": ('CREATE TABLE p (id INTEGER PRIMARY KEY); CREATE TABLE c ("UID" INTEGER, uid INTEGER REFERENCES p);'
                     "INSERT INTO p VALUES (1), (2); INSERT INTO c VALUES (2, 1)", {}),
        "check": lambda t: t["c"].foreign_keys == {"uid": "p"} and parents_of(t, "c", "uid", "p") == [1],
    },
    "names-ignore-case": {
        "duckdb": ("CREATE TABLE users (id INTEGER PRIMARY KEY); CREATE TABLE posts (uid INTEGER REFERENCES USERS (ID));"
                   "INSERT INTO users VALUES (4); INSERT INTO posts VALUES (4)", {"schema": "MAIN"}),
        "check": lambda t: t["posts"].foreign_keys == {"uid": "users"} and parents_of(t, "posts", "uid", "users") == [4],
    },
    "whole-decimal-keys": {
        engine: (f"CREATE TABLE a (id {kind}(20, 0) PRIMARY KEY); CREATE TABLE b (a_id {kind}(20, 0) REFERENCES a (id));"
                 f"INSERT INTO a VALUES ({BIG - 1}), ({BIG}); INSERT INTO b VALUES ({BIG})", {})
        for engine, kind in (("postgres", "NUMERIC"), ("duckdb", "DECIMAL"))
    } | {"check": lambda t: parents_of(t, "b", "a_id", "a") == [BIG]
                            and build_graph(t).key("a", [0, 1]).tolist() == [BIG - 1, BIG]},
    "keys-ending-in-nul": {
        "duckdb": ("CREATE TABLE a (id VARCHAR PRIMARY KEY); CREATE TABLE b (a_id VARCHAR REFERENCES a (id));"
                   "INSERT INTO a VALUES ('a' || chr(0)), ('a'); INSERT INTO b VALUES ('a')", {}),
        "parquet": (dict(a={"id": ["a\0", "a"]}, b={"a_id": ["a"]}),
                    dict(primary_keys={"a": "id"}, foreign_keys={"b": {"a_id": "a"}})),
        "check": lambda t: parents_of(t, "b", "a_id", "a") == ["a"],
    },
    "infinity-in-a-feature": {
        engine: ("CREATE TABLE a (id INTEGER PRIMARY KEY, t TIMESTAMP, valid_to TIMESTAMP);"
                 "INSERT INTO a VALUES (1, '2024-01-01', 'infinity'), (2, '2024-01-02', '2025-01-01')",
                 {"time_columns": {"a": "t"}})
        for engine in ("postgres", "duckdb")
    } | {"check": lambda t: np.isnat(t["a"].columns["valid_to"]).tolist() == [True, False]},
    "infinity-at-any-precision": {
        "duckdb": ("CREATE TABLE a (id INTEGER PRIMARY KEY, t TIMESTAMP_S); INSERT INTO a VALUES (1, 'infinity')", {}),
        "check": "a.t row 0: 'infinity' or '-infinity' is not a time",
    },
    "time-beyond-datetime64": {
        "postgres": ("CREATE TABLE a (id INTEGER PRIMARY KEY, t TIMESTAMP); INSERT INTO a VALUES (1, '294276-12-31')", {}),
        "check": "a.t row 0: the time lies beyond the latest that datetime64[us] holds",
    },
    "list-of-strings": {
        "parquet": (dict(films={"genres": [["drama", "war"], None]}), {}),
        "check": lambda t: build_graph(t).features["films"].multicategorical == ["genres"],
    },
    "one-long-text-among-short": {
        "duckdb": ("CREATE TABLE a (id INTEGER PRIMARY KEY, note VARCHAR);"
                   "INSERT INTO a SELECT i, CASE WHEN i = 0 THEN repeat('x', 4000) ELSE 'y' END FROM range(4000) t(i)", {}),
        "parquet": (dict(a={"id": range(4000), "note": ["x" * 4000] + ["y"] * 3999}), {}),
        # Fixed-width rows would take 4000 x 4000 x 4 bytes for 8 KB of text.
        "check": lambda t: t["a"].columns["note"].nbytes < 2**20 and t["a"].columns["note"][:2].tolist() == ["x" * 4000, "y"],
    },
    "no-such-schema": {
        engine: ("CREATE TABLE a (id INTEGER PRIMARY KEY)", {"schema": "Public"}) for engine in ("postgres", "duckdb")
    } | {"check": "no schema 'Public' (the database has "},
    "key-into-a-partitioned-table": {
        "postgres": ("CREATE TABLE p (id INTEGER PRIMARY KEY) PARTITION BY RANGE (id);"
                     "CREATE TABLE p1 PARTITION OF p FOR VALUES FROM (0) TO (10);"
                     "CREATE TABLE c (p_id INTEGER REFERENCES p); INSERT INTO p VALUES (3); INSERT INTO c VALUES (3)", {}),
        "check": lambda t: list(t) == ["p", "c"] and parents_of(t, "c", "p_id", "p") == [3],
    },
}


@pytest.mark.parametrize("engine, case", [(e, c) for c, cases in EXACT.items() for e in cases if e != "check"])
def test_keys_and_names_are_kept_exactly_by_the_databases_rules(server, tmp_path, engine, case):
    source, options = EXACT[case][engine]
    if engine == "postgres":
        schema = "x_" + case.replace("-", "_")
        run_sql(server.uri(), f"CREATE SCHEMA {schema}; SET search_path TO {schema};" + source)
        read = lambda: read_postgres(server.uri(), **({"schema": schema} | options))  # noqa: E731
    elif engine == "duckdb":
        run_sql(duckdb.connect(str(tmp_path / "x.duckdb")), source)
        read = lambda: read_duckdb(tmp_path / "x.duckdb", **options)  # noqa: E731
    else:
        folder = parquet_folder(tmp_path, **source)
        read = lambda: read_parquet(folder, **options)  # noqa: E731
    check = EXACT[case]["check"]
    if isinstance(check, str):
        with pytest.raises(ValueError, match=re.escape(check)):
            read()
    else:
        assert check(read())
