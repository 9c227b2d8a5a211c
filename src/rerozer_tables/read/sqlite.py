"""``read_sqlite``: the tables, keys and times of an SQLite database."""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from ..tables.columns import _parse_iso
from ..tables.progress import progress_bar
from ..tables.table import Table
from .names import SQLITE
from .schema import (
    TimeColumn,
    _checked_time_columns,
    _is_time_type,
    _link_keys,
    _Schema,
    _time_column,
)
from . import sqlite_arrow
from .sqlite_columns import read_columns


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _schema(connection: sqlite3.Connection, table: str) -> _Schema:
    # The main schema only: a TEMP table of the same name would shadow it.
    info = connection.execute(f"PRAGMA main.table_info({_quote(table)})").fetchall()
    columns = [(str(row[1]), str(row[2] or "")) for row in info]
    primary_key = [str(row[1]) for row in sorted((r for r in info if r[5]), key=lambda r: r[5])]
    grouped: dict[int, list[Any]] = {}
    for row in connection.execute(f"PRAGMA main.foreign_key_list({_quote(table)})").fetchall():
        grouped.setdefault(int(row[0]), []).append(row)
    foreign_keys = []
    # SQLite numbers a table's foreign keys from the last declared to the first.
    for _, rows in sorted(grouped.items(), reverse=True):
        rows.sort(key=lambda r: r[1])
        foreign_keys.append(
            ([str(r[3]) for r in rows], str(rows[0][2]), [None if r[4] is None else str(r[4]) for r in rows])
        )
    return _Schema(columns, primary_key, foreign_keys)


def _timestamps(values: Any, what: str) -> Any:
    """A feature column declared as a time: text becomes datetime64 (NaT for
    NULL); a column holding only numbers stays numbers, in the time unit."""
    if values.dtype.kind in "iufM":
        return values
    present = np.array([v is not None for v in values.tolist()], dtype=bool)
    rows = np.flatnonzero(present).astype(np.int64)
    text = np.array([str(values[i]) for i in rows.tolist()], dtype=np.str_)
    parsed = _parse_iso(text, what, rows) if text.size else np.zeros(0, "datetime64[s]")
    full = np.full(present.size, "NaT", dtype=parsed.dtype)
    full[present] = parsed
    return full


def read_sqlite(
    path_or_connection: str | os.PathLike[str] | sqlite3.Connection,
    *,
    time_columns: Mapping[str, TimeColumn] | None = None,
    categorical: Mapping[str, Sequence[str]] | None = None,
    numerical: Mapping[str, Sequence[str]] | None = None,
    text: Mapping[str, Sequence[str]] | None = None,
    features: Mapping[str, Sequence[str]] | None = None,
    progress: bool | None = None,
) -> dict[str, Table]:
    """Read the tables of an SQLite database as ``Table`` objects.

    Tables of the main schema (not TEMP ones), their primary keys
    (``PRAGMA table_info``) and their foreign keys (``PRAGMA
    foreign_key_list``, in the order they were declared) are discovered
    from the schema. Names compare as SQLite compares them, ignoring case:
    ``REFERENCES Users(ID)`` refers to the column ``Id`` of ``users``. Every
    column is read, in rowid order (key order for a table without rowid);
    those that are not keys or the time column become the table's
    features, and other columns declared DATE, DATETIME or TIMESTAMP
    become datetime64 features (numbers in the graph's time unit). Such a
    column (a shipping date, a last login) may hold values later than the
    row's time: ``check_graph`` reports it, and the loader hides, per
    batch, its values later than each example's time.

    A table's time column is its column declared DATE, DATETIME or
    TIMESTAMP. ``time_columns`` maps a table name to another column, to
    ``(column, unit)`` for a column of integer epoch times in ``unit``
    (``{"flights": ("dep_time", "s")}`` for seconds since 1970; ``"ms"``,
    ``"D"``, ... as numpy names them), or to None for no time. ISO-8601
    text is parsed; numbers are in ``unit`` when one is given and in the
    graph's time unit otherwise. A table without a time column takes its
    parents' times in ``build_graph``.

    Composite keys: a table whose primary key has several columns is read
    without a primary key (its rows are numbered by position), and a foreign
    key of several columns raises ValueError (give the parent a
    single-column surrogate key and refer to that). A foreign key must refer to its
    parent's primary key (or, for a parent without one, to one column, which
    then serves as its key).

    ``categorical``, ``numerical``, ``text`` and ``features`` map a table
    name to the columns it declares so, or keeps as features, as ``Table``
    takes them: they override the feature types that ``build_graph``
    infers (``rerozer_tables.inference``).

    Columns are read a chunk of rows at a time into numpy arrays: INTEGER
    values as int64, REAL as float64, TEXT as numpy strings, and the text of
    time columns as datetime64 (NaT for NULL), which ``build_graph`` and the
    training tables take without parsing again. A column holding NULLs or
    values of several types keeps Python objects. Time text that does not
    parse is kept as text, and ``build_graph`` names its table, column and
    row.

    A path is opened read-only and closed again; a connection is used as it
    is (its uncommitted changes, text factory and converters included) and
    left open. From a path, the ADBC SQLite driver, when installed (``pip
    install "rerozer[sqlite]"``), reads the columns into Arrow arrays
    several times faster, with the same types and values: a table it
    cannot give exactly so (values of several types in a column, time text
    of other forms) is read as from a connection. ``progress`` shows a bar over the rows read: None (the
    default) shows it when reading takes more than a couple of seconds and
    stderr is a terminal outside CI, False never, True always.

    Raises
    ------
    ValueError
        For a composite foreign key, a key to a missing column or to another
        column than the parent's key, a table with several undeclared time
        columns, and an unknown table, column or unit in ``time_columns``.

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
    >>> _ = db.execute("CREATE TABLE likes (post_id INTEGER REFERENCES posts, at INTEGER)")
    >>> read_sqlite(db, time_columns={"Likes": ("AT", "s")})["likes"].time_unit
    's'
    """
    declared = {"categorical": categorical, "numerical": numerical, "text": text,
                "features": features}
    if isinstance(path_or_connection, sqlite3.Connection):
        return _declared(_read(path_or_connection, time_columns, progress), declared)
    path = Path(path_or_connection)
    if not path.is_file():
        raise FileNotFoundError(f"no SQLite database at {path}")
    connection = sqlite3.connect(f"{path.resolve().as_uri()}?mode=ro", uri=True)
    arrow = sqlite_arrow.connect(path)
    try:
        return _declared(_read(connection, time_columns, progress, arrow), declared)
    finally:
        connection.close()
        if arrow is not None:
            arrow.close()


def _declared(
    tables: dict[str, Table], declared: Mapping[str, Mapping[str, Sequence[str]] | None]
) -> dict[str, Table]:
    """``tables`` with the feature declarations per table applied (table
    names compare ignoring case); ValueError for an unknown table."""
    options: dict[str, dict[str, list[str]]] = {}
    for role, per_table in declared.items():
        for written, columns in (per_table or {}).items():
            name = SQLITE.find(written, tables)
            if name is None:
                raise ValueError(f"{role} names the table {written!r}, which the database does not have")
            options.setdefault(name, {})[role] = list(columns)
    for name, chosen in options.items():
        table = tables[name]
        tables[name] = Table(
            table.columns, primary_key=table.primary_key, foreign_keys=table.foreign_keys,
            time_column=table.time_column, time_unit=table.time_unit, **chosen,
        )
    return tables


def _read(
    connection: sqlite3.Connection, time_columns: Mapping[str, TimeColumn] | None,
    progress: bool | None, arrow: Any = None,
) -> dict[str, Table]:
    names = [
        str(row[0])
        for row in connection.execute(
            "SELECT name FROM main.sqlite_master WHERE type = 'table' "
            "AND name NOT LIKE 'sqlite!_%' ESCAPE '!'"
        )
    ]
    chosen_times = _checked_time_columns(names, time_columns)
    schemas = {name: _schema(connection, name) for name in names}
    key_of, links = _link_keys(names, schemas)

    counts = {
        name: int(connection.execute(f"SELECT count(*) FROM main.{_quote(name)}").fetchone()[0])
        for name in names
    }
    tables = {}
    with progress_bar(sum(counts.values()), "read_sqlite", "row", progress) as bar:
        for name, schema in schemas.items():
            foreign_keys = links[name]
            time_column, time_unit = _time_column(name, schema, chosen_times)
            read = [column for column, _ in schema.columns]
            if not read:  # nothing to read but the row count
                columns: dict[str, Any] = {"rowid": np.arange(counts[name], dtype=np.int64)}
            else:
                timed = {c for c, sql_type in schema.columns if _is_time_type(sql_type)}
                if time_column is not None:
                    timed.add(time_column)
                bar.set_postfix_str(name)
                fast = None if arrow is None else sqlite_arrow.read_columns(
                    arrow, connection, name, read, timed, step=bar.update)
                columns = read_columns(connection, name, read, timed, step=bar.update) if fast is None else fast
                for read_name, sql_type in schema.columns:
                    if read_name != time_column and _is_time_type(sql_type):
                        columns[read_name] = _timestamps(columns[read_name], f"{name}.{read_name}")
            tables[name] = Table(
                columns, primary_key=key_of[name], foreign_keys=foreign_keys,
                time_column=time_column, time_unit=time_unit,
            )
    return tables
