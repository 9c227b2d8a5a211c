"""``read_sqlite``: the tables, keys and times of an SQLite database."""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from ._columns import _parse_iso
from .table import Table

# Declared column types that mark a time column (the first word, any case).
TIME_TYPES = ("DATE", "DATETIME", "TIMESTAMP")


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


@dataclass
class _Schema:
    columns: list[tuple[str, str]]  # (name, declared type), in table order
    primary_key: list[str]
    # (child columns, parent table, parent columns: empty when the key names
    # the parent's primary key implicitly)
    foreign_keys: list[tuple[list[str], str, list[str | None]]]


def _schema(connection: sqlite3.Connection, table: str) -> _Schema:
    info = connection.execute(f"PRAGMA table_info({_quote(table)})").fetchall()
    columns = [(str(row[1]), str(row[2] or "")) for row in info]
    primary_key = [str(row[1]) for row in sorted((r for r in info if r[5]), key=lambda r: r[5])]
    grouped: dict[int, list[Any]] = {}
    for row in connection.execute(f"PRAGMA foreign_key_list({_quote(table)})").fetchall():
        grouped.setdefault(int(row[0]), []).append(row)
    foreign_keys = []
    for rows in grouped.values():
        rows.sort(key=lambda r: r[1])
        foreign_keys.append(
            ([str(r[3]) for r in rows], str(rows[0][2]), [None if r[4] is None else str(r[4]) for r in rows])
        )
    return _Schema(columns, primary_key, foreign_keys)


def _is_time_type(declared: str) -> bool:
    words = declared.split("(")[0].split()
    return bool(words) and words[0].upper() in TIME_TYPES


def _timestamps(values: Any, what: str) -> Any:
    """A feature column declared as a time: text becomes datetime64 (NaT for
    NULL); a column holding only numbers stays numbers, in the time unit."""
    if values.dtype.kind in "iuf":
        return values
    present = np.array([v is not None for v in values.tolist()], dtype=bool)
    rows = np.flatnonzero(present).astype(np.int64)
    text = np.array([str(values[i]) for i in rows.tolist()], dtype=np.str_)
    parsed = _parse_iso(text, what, rows) if text.size else np.zeros(0, "datetime64[s]")
    full = np.full(present.size, "NaT", dtype=parsed.dtype)
    full[present] = parsed
    return full


def _time_column(table: str, schema: _Schema, time_columns: Mapping[str, str | None] | None) -> str | None:
    if time_columns is not None and table in time_columns:
        chosen = time_columns[table]
        if chosen is not None and chosen not in {name for name, _ in schema.columns}:
            raise ValueError(f"time_columns names {table}.{chosen}, which does not exist")
        return chosen
    timed = [name for name, declared in schema.columns if _is_time_type(declared)]
    if len(timed) > 1:
        raise ValueError(
            f"{table} has several time columns ({', '.join(timed)}): "
            f"choose one with time_columns={{{table!r}: ...}}"
        )
    return timed[0] if timed else None


def _read_columns(connection: sqlite3.Connection, table: str, names: list[str]) -> dict[str, Any]:
    """The named columns of every row, in rowid order (key order for a table without rowid)."""
    selected = ", ".join(_quote(name) for name in names)
    try:
        cursor = connection.execute(f"SELECT {selected} FROM {_quote(table)} ORDER BY rowid")
    except sqlite3.OperationalError:  # a WITHOUT ROWID table
        cursor = connection.execute(f"SELECT {selected} FROM {_quote(table)}")
    rows = cursor.fetchall()
    if not rows:
        return {name: np.zeros(0, dtype=np.int64) for name in names}
    values = list(zip(*rows))
    return {name: np.array(column, dtype=_dtype_of(column)) for name, column in zip(names, values)}


def _dtype_of(column: tuple[Any, ...]) -> Any:
    """int64 for integers, float64 for numbers with a real, str for strings,
    object when mixed or with NULLs."""
    kinds = {type(value) for value in column}
    if kinds == {int}:
        return np.int64
    if kinds in ({float}, {int, float}):
        return np.float64
    if kinds == {str}:
        return np.str_
    return object


def read_sqlite(
    path_or_connection: str | os.PathLike[str] | sqlite3.Connection,
    *,
    time_columns: Mapping[str, str | None] | None = None,
) -> dict[str, Table]:
    """Read the tables of an SQLite database as ``Table`` objects.

    Tables, their primary keys (``PRAGMA table_info``) and their foreign keys
    (``PRAGMA foreign_key_list``) are discovered from the schema. Every column
    is read, in rowid order (key order for a table without rowid); those that
    are not keys or the time column become the table's features. Other
    columns declared DATE, DATETIME or TIMESTAMP become datetime64 features
    (numbers in the graph's time unit). A table's time column is its column declared DATE, DATETIME or TIMESTAMP;
    ``time_columns`` maps a table name to another column, or to None for no
    time. SQLite stores such values as ISO-8601 text or as numbers; text is
    parsed, numbers are taken to be in the graph's time unit already.

    Composite keys: a table whose primary key has several columns is read
    without a primary key (its rows are numbered by position), and a foreign
    key of several columns raises ValueError. A foreign key must refer to its
    parent's primary key (or, for a parent without one, to one column, which
    then serves as its key).

    A path is opened read-only and closed again; a connection is used as it
    is and left open.

    Raises
    ------
    ValueError
        For a composite foreign key, a key to another column than the
        parent's key, a table with several undeclared time columns, and an
        unknown table or column in ``time_columns``.

    Examples
    --------
    >>> import sqlite3
    >>> db = sqlite3.connect(":memory:")
    >>> _ = db.executescript('''
    ...     CREATE TABLE users (id TEXT PRIMARY KEY, joined TIMESTAMP);
    ...     CREATE TABLE posts (id INTEGER PRIMARY KEY, user_id TEXT REFERENCES users(id));
    ...     INSERT INTO users VALUES ('a', '2024-01-01 09:00:00');
    ...     INSERT INTO posts VALUES (1, 'a'), (2, NULL);
    ... ''')
    >>> tables = read_sqlite(db)
    >>> tables["posts"].foreign_keys, tables["users"].time_column
    ({'user_id': 'users'}, 'joined')
    """
    if isinstance(path_or_connection, sqlite3.Connection):
        return _read(path_or_connection, time_columns)
    path = Path(path_or_connection)
    if not path.is_file():
        raise FileNotFoundError(f"no SQLite database at {path}")
    connection = sqlite3.connect(f"{path.resolve().as_uri()}?mode=ro", uri=True)
    try:
        return _read(connection, time_columns)
    finally:
        connection.close()


def _read(connection: sqlite3.Connection, time_columns: Mapping[str, str | None] | None) -> dict[str, Table]:
    names = [
        str(row[0])
        for row in connection.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite!_%' ESCAPE '!'"
        )
    ]
    for table in time_columns or {}:
        if table not in names:
            raise ValueError(f"time_columns names the table {table!r}, which does not exist")
    schemas = {name: _schema(connection, name) for name in names}
    # The key column of each table: its one primary-key column, or for a
    # table without one, the column that foreign keys refer to.
    key_of = {name: s.primary_key[0] if len(s.primary_key) == 1 else None for name, s in schemas.items()}
    for child, schema in schemas.items():
        for child_columns, parent, referred in schema.foreign_keys:
            column = child_columns[0]
            if len(child_columns) > 1:
                raise ValueError(
                    f"{child}: the foreign key ({', '.join(child_columns)}) -> {parent} has several "
                    "columns; composite keys are not supported"
                )
            if parent not in schemas:
                raise ValueError(f"{child}.{column} refers to the unknown table {parent!r}")
            target = referred[0] or key_of[parent]
            if target is None:
                raise ValueError(f"{child}.{column} refers to {parent}, which has no single-column key")
            if key_of[parent] is None and not schemas[parent].primary_key:
                key_of[parent] = target
            if target != key_of[parent]:
                raise ValueError(
                    f"{child}.{column} refers to {parent}.{target}, but the key of {parent} "
                    f"is {key_of[parent]}"
                )

    tables = {}
    for name, schema in schemas.items():
        foreign_keys = {child_columns[0]: parent for child_columns, parent, _ in schema.foreign_keys}
        time_column = _time_column(name, schema, time_columns)
        read = [column for column, _ in schema.columns]
        if not read:  # nothing to read but the row count
            count = int(connection.execute(f"SELECT count(*) FROM {_quote(name)}").fetchone()[0])
            columns: dict[str, Any] = {"rowid": np.arange(count, dtype=np.int64)}
        else:
            columns = _read_columns(connection, name, read)
            for column, declared in schema.columns:
                if column != time_column and _is_time_type(declared):
                    columns[column] = _timestamps(columns[column], f"{name}.{column}")
        tables[name] = Table(
            columns, primary_key=key_of[name], foreign_keys=foreign_keys, time_column=time_column
        )
    return tables
