"""``read_duckdb``: the tables, keys and times of a DuckDB database."""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

import numpy as np

from ..tables.progress import check_progress
from ..tables.table import Table
from .arrow import arrow_columns, build_tables, chosen_tables, left_out, missing_schema, require
from .names import DUCKDB
from .schema import TimeColumn, _Schema

READER = "read_duckdb"

# Types read as they are; decimals become DOUBLE (whole DECIMAL(p, 0) stay
# decimals, read as exact integers) and every other type (UUID, ENUM,
# HUGEINT, lists, ...) VARCHAR, in the query itself.
_AS_IS = {
    "BOOLEAN", "TINYINT", "SMALLINT", "INTEGER", "BIGINT", "UTINYINT", "USMALLINT", "UINTEGER",
    "UBIGINT", "FLOAT", "DOUBLE", "DATE", "TIMESTAMP", "TIMESTAMP WITH TIME ZONE", "TIMESTAMP_S",
    "TIMESTAMP_MS", "TIMESTAMP_NS", "VARCHAR",
}
_TIME_TYPES = ("DATE", "TIMESTAMP")
# 'infinity' and '-infinity' of DuckDB's dates and timestamps, as they come out.
_INFINITY = {
    **{f"datetime64[{unit}]": (2**63 - 1, -(2**63) + 1) for unit in ("s", "ms", "us", "ns")},
    "datetime64[D]": (2**31 - 1, -(2**31) + 1),
}


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _target(type_name: str) -> str:
    if type_name in _AS_IS or re.fullmatch(r"DECIMAL\(\d+,0\)", type_name):
        return type_name
    return "DOUBLE" if type_name.startswith("DECIMAL") else "VARCHAR"


def read_duckdb(
    path_or_connection: str | os.PathLike[str] | Any,
    schema: str = "main",
    tables: Iterable[str] | None = None,
    time_columns: Mapping[str, TimeColumn] | None = None,
    progress: bool | None = None,
) -> dict[str, Table]:
    """Read the tables of a DuckDB database as ``Table`` objects.

    The same contract as ``read_postgres``: the tables of ``schema`` in the
    catalogue's order (a DuckDB file keeps no creation order: it lists
    parents before their children), or those named in ``tables``, in that
    order (which is the order of the graph's edge types); their primary keys and foreign keys (in the
    order they were declared) from DuckDB's catalogue, checked as
    ``read_sqlite`` checks them; the time column is the table's one column
    of type DATE or TIMESTAMP (any precision, with or without time zone),
    or the one ``time_columns`` names. Rows come in insertion (rowid) order,
    through DuckDB's Arrow output into numpy; DECIMAL becomes float64,
    TIMESTAMP WITH TIME ZONE UTC datetime64, and UUID, ENUM and other types
    strings.

    A path is opened read-only and closed again; a ``duckdb`` connection is
    used as it is and left open. ``progress`` shows a bar over
    the tables read: None (the default) shows it when reading takes more
    than a couple of seconds and stderr is a terminal outside CI, False
    never, True always.
    Needs ``pip install "rerozer[duckdb]"``.

    Raises
    ------
    FileNotFoundError
        For a path with no file.
    ValueError
        For a missing table, and the errors of ``read_sqlite``; each message
        names the database, the schema, the table and the column.

    Examples
    --------
    >>> import duckdb
    >>> db = duckdb.connect()
    >>> _ = db.execute("CREATE TABLE users (id VARCHAR PRIMARY KEY, joined TIMESTAMP)")
    >>> _ = db.execute("CREATE TABLE posts (id BIGINT PRIMARY KEY, user_id VARCHAR REFERENCES users (id))")
    >>> _ = db.execute("INSERT INTO users VALUES ('a', '2024-01-01 09:00:00')")
    >>> tables = read_duckdb(db)
    >>> tables["posts"].foreign_keys, tables["users"].time_column
    ({'user_id': 'users'}, 'joined')
    """
    check_progress(progress)
    duckdb = require("duckdb", "duckdb", READER)
    require("pyarrow", "duckdb", READER)
    if isinstance(path_or_connection, duckdb.DuckDBPyConnection):
        return _read(path_or_connection, "DuckDB database (given connection)", schema, tables, time_columns,
                     progress)
    path = Path(path_or_connection)
    if not path.is_file():
        raise FileNotFoundError(f"no DuckDB database at {path}")
    try:
        connection = duckdb.connect(str(path), read_only=True)
    except duckdb.Error as error:
        raise RuntimeError(f"DuckDB database {path}: opening failed: {error}") from None
    try:
        return _read(connection, f"DuckDB database {path}", schema, tables, time_columns, progress)
    finally:
        connection.close()


def _read(
    connection: Any,
    database: str,
    schema: str,
    wanted: Iterable[str] | None,
    time_columns: Mapping[str, TimeColumn] | None,
    progress: bool | None,
) -> dict[str, Table]:
    where = f"{database}, schema {schema}"
    catalogue = "database_name = current_database() AND schema_name = $schema"
    known = [
        str(name) for (name,) in connection.execute(
            "SELECT schema_name FROM duckdb_schemas() WHERE database_name = current_database() "
            "ORDER BY schema_name"
        ).fetchall()
    ]
    found = DUCKDB.find(schema, known, "schema")
    if found is None:
        raise missing_schema(where, schema, known)
    schema = found  # as the catalogue writes it: DuckDB names ignore case

    def rows(sql: str) -> list[tuple[Any, ...]]:
        return list(connection.execute(sql, {"schema": schema}).fetchall())

    present = [
        str(name)
        for (name,) in rows(f"SELECT table_name FROM duckdb_tables() WHERE {catalogue} ORDER BY table_oid")
    ]
    wanted = None if wanted is None else list(wanted)
    names = chosen_tables(where, present, wanted, DUCKDB)
    types: dict[str, dict[str, str]] = {name: {} for name in names}
    for table, column, type_name in rows(
        "SELECT table_name, column_name, data_type FROM duckdb_columns() "
        f"WHERE {catalogue} ORDER BY table_oid, column_index"
    ):
        if table in types:
            types[table][column] = type_name
    schemas = {
        name: _Schema(
            [(c, next((k for k in _TIME_TYPES if t.startswith(k)), t)) for c, t in types[name].items()],
            [], [], DUCKDB,
        )
        for name in names
    }
    for table, kind, child, parent, referred in rows(
        "SELECT table_name, constraint_type, constraint_column_names, referenced_table, "
        f"referenced_column_names FROM duckdb_constraints() WHERE {catalogue} "
        "AND constraint_type IN ('PRIMARY KEY', 'FOREIGN KEY') ORDER BY table_oid, constraint_index"
    ):
        if table not in schemas:
            continue
        if kind == "PRIMARY KEY":
            schemas[table].primary_key = list(child)
            continue
        # REFERENCES USERS (ID) names the table users: DuckDB names ignore case.
        found_parent = DUCKDB.find(parent, names)
        if found_parent is None:
            raise left_out(where, table, child[0], parent, wanted)
        schemas[table].foreign_keys.append((list(child), found_parent, list(referred)))

    ((keeps_order,),) = connection.execute("SELECT current_setting('preserve_insertion_order')").fetchall()

    def read(name: str, table_schema: _Schema, key: str | None, time_column: str | None) -> dict[str, Any]:
        source = f"{_quote(schema)}.{_quote(name)}"
        selected = [
            f"{_quote(column)}::{_target(type_name)} AS {_quote(column)}"
            for column, type_name in types[name].items()
        ]
        if not selected:  # nothing to read but the row count
            ((count,),) = connection.execute(f"SELECT count(*) FROM {source}").fetchall()
            return {"rowid": np.arange(count, dtype=np.int64)}
        # A scan keeps insertion order where DuckDB is told to (its default);
        # otherwise the rows are sorted, at the cost of a copy in DuckDB.
        order = "" if keeps_order else " ORDER BY rowid"
        data = connection.sql(f"SELECT {', '.join(selected)} FROM {source}{order}").to_arrow_table()
        return arrow_columns(data, f"{schema}.{name}", _INFINITY, time_column)

    return build_tables(where, names, schemas, time_columns, read, DUCKDB, progress, READER)
