"""``read_parquet``: a folder of Parquet files, one table per file."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

from ..tables.progress import check_progress
from ..tables.table import Table
from .arrow import build_tables, numpy_column, require
from .names import PARQUET
from .parquet_parts import read_source, source_schema, table_sources
from .schema import TimeColumn, _Schema

READER = "read_parquet"


def read_parquet(
    folder: str | os.PathLike[str],
    *,
    tables: Iterable[str] | None = None,
    primary_keys: Mapping[str, str] | None = None,
    foreign_keys: Mapping[str, Mapping[str, str]] | None = None,
    time_columns: Mapping[str, TimeColumn] | None = None,
    progress: bool | None = None,
) -> dict[str, Table]:
    """Read a folder of Parquet files as ``Table`` objects, one per file.

    Each ``NAME.parquet`` directly in ``folder`` is the table ``NAME``, and
    so is a folder ``NAME`` (or ``NAME.parquet``) of part files, partitioned
    into ``column=value`` folders or not, as tools that write tables in
    pieces lay them out (``rerozer_tables.read.parquet_parts``), in
    the order of the names, or only those named in ``tables``, in that
    order (which is the order of the graph's edge types). Parquet holds no keys, so they are declared
    here: ``primary_keys`` maps a table to its key column, ``foreign_keys``
    a table to ``{child column: parent table}`` (a value refers to the
    parent's primary key). They are checked as ``read_sqlite`` checks keys
    read from a schema, and then as ``Table`` checks its columns. A table's
    time column is its one date or timestamp column (by the file's types),
    or the one ``time_columns`` names, as in ``read_sqlite``. Columns become
    numpy arrays as in ``read_postgres``. ``progress`` shows a bar over
    the tables read: None (the default) shows it when reading takes more
    than a couple of seconds and stderr is a terminal outside CI, False
    never, True always. Needs ``pip
    install "rerozer[parquet]"``.

    Raises
    ------
    FileNotFoundError
        When ``folder`` is not a folder or holds no Parquet file.
    ValueError
        For a key naming a table or column that does not exist, a foreign
        key into a table without a primary key, and the errors of
        ``read_sqlite``; each message names the file and the column.

    Examples
    --------
    >>> import pyarrow as pa, pyarrow.parquet as pq, shutil, tempfile
    >>> folder = tempfile.mkdtemp()
    >>> pq.write_table(pa.table({"id": ["a"], "joined": [1]}), f"{folder}/users.parquet")
    >>> pq.write_table(pa.table({"id": [1, 2], "user_id": ["a", None]}), f"{folder}/posts.parquet")
    >>> tables = read_parquet(folder, primary_keys={"users": "id", "posts": "id"},
    ...                       foreign_keys={"posts": {"user_id": "users"}},
    ...                       time_columns={"users": ("joined", "s")})
    >>> tables["posts"].foreign_keys, tables["users"].time_unit
    ({'user_id': 'users'}, 's')
    >>> shutil.rmtree(folder)
    """
    check_progress(progress)
    require("pyarrow.parquet", "parquet", READER)
    root = Path(folder)
    if not root.is_dir():
        raise FileNotFoundError(f"no folder at {root}")
    files = table_sources(root)
    if not files:
        raise FileNotFoundError(f"{root} holds no .parquet file")
    names = list(files)
    if tables is not None:
        names = []
        for written in tables:
            found = PARQUET.find(written, files, f"{root}: tables= names the table")
            if found is None:
                raise ValueError(f"{root} has no file {written}.parquet")
            names.append(found)
    declared_keys = dict(primary_keys or {})
    declared_links = {table: dict(links) for table, links in (foreign_keys or {}).items()}
    for argument, mapping in (("primary_keys", declared_keys), ("foreign_keys", declared_links)):
        for table in mapping:
            if table not in names:
                raise ValueError(
                    f"{argument} names the table {table!r}, which is not read: no file "
                    f"{table}.parquet in {root}, or left out of tables"
                )

    schemas = {}
    for name in names:
        path = files[name]
        arrow_schema = source_schema(path)
        columns = [(field.name, _declared(field.type)) for field in arrow_schema]
        key = declared_keys.get(name)
        links: list[tuple[list[str], str, list[str | None]]] = [
            ([column], parent, [None]) for column, parent in declared_links.get(name, {}).items()
        ]
        for role, column in [("primary_keys", key)] + [("foreign_keys", c[0]) for c, _, _ in links]:
            if column is not None and column not in arrow_schema.names:
                raise ValueError(
                    f"{path}: {role} names the column {column!r}, which is not one "
                    f"of {', '.join(map(repr, arrow_schema.names))}"
                )
        schemas[name] = _Schema(columns, [] if key is None else [key], links, PARQUET)

    def read(name: str, schema: _Schema, key: str | None, time_column: str | None) -> dict[str, Any]:
        data = read_source(files[name])
        result = {}
        for column in data.column_names:
            result[column] = numpy_column(data.column(column), f"{files[name]}: column {column!r}")
            data = data.drop_columns([column])  # frees the Arrow column once it is converted
        return result

    return build_tables(str(root), names, schemas, time_columns, read, PARQUET, progress, READER)


def _declared(kind: Any) -> str:
    """A column's type as ``read_sqlite``'s time rule reads declared types."""
    pa = require("pyarrow", "parquet", READER)
    if pa.types.is_timestamp(kind):
        return "TIMESTAMP"
    if pa.types.is_date(kind):
        return "DATE"
    return str(kind)
