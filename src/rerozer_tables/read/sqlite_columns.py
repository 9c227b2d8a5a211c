"""The columns of an SQLite table as typed numpy arrays, read a chunk of rows
at a time.

Only one chunk of rows exists as Python objects at any moment: each chunk is
turned into one array per column, and a column's chunks are joined at the
end, one column at a time, so the peak is about the returned arrays plus
their largest column. Integers become int64, reals float64, text fixed-width
numpy strings, and text in a time column (DATE, DATETIME, TIMESTAMP, or the
one named in ``time_columns``) datetime64 as it is read, so later stages
never parse it again. NULLs keep their column as Python objects, as
``Table`` takes them, except in a time column, where a NULL among parsed
times becomes NaT (a null to every later stage).
"""

from __future__ import annotations

import sqlite3
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np

from ..tables.columns import FLOAT_EXACT, AnyArray, _parse_iso

# Rows fetched and converted at a time.
CHUNK_ROWS = 1 << 16


class _Unparsed(Exception):
    """A time column whose text cannot be taken as datetime64 chunk by
    chunk: it is read again as it is stored, and later stages parse it (and
    name the row that fails)."""


def _dtype_of(column: tuple[Any, ...]) -> Any:
    """int64 for integers, float64 for numbers with a real, str for strings,
    object when mixed or with NULLs."""
    kinds = set(map(type, column))
    if kinds == {int}:
        return np.int64
    if kinds == {float} or (
        kinds == {int, float} and all(abs(v) <= FLOAT_EXACT for v in column if isinstance(v, int))
    ):
        return np.float64  # every integer in it is exact as a float
    if kinds == {str} and ("\0" not in "".join(column) or not any(v.endswith("\0") for v in column)):
        return np.str_  # which drops trailing NULs: such text stays Python strings
    return object


def _plain(column: tuple[Any, ...]) -> AnyArray:
    dtype = _dtype_of(column)
    if dtype is object:
        array = np.empty(len(column), dtype=object)
        array[:] = column
        return array
    return np.array(column, dtype=dtype)


def _times(column: tuple[Any, ...]) -> AnyArray:
    """A chunk of a time column: text (with or without NULLs) as datetime64,
    NaT for NULL; anything else as it is stored."""
    kinds = set(map(type, column))
    if not kinds or not kinds <= {str, type(None)} or kinds == {type(None)}:
        return _plain(column)
    if type(None) in kinds:
        present = np.fromiter((v is not None for v in column), dtype=bool, count=len(column))
        text = [v for v in column if v is not None]
    else:
        present, text = None, list(column)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            parsed = np.array(text, dtype="datetime64")
    except (ValueError, UserWarning, DeprecationWarning):
        # Offsets or 'Z' (converted to UTC), or text numpy does not read.
        try:
            parsed = _parse_iso(np.array(text, dtype=np.str_), "", np.zeros(len(text), np.int64))
        except ValueError:
            raise _Unparsed from None
    if present is None:
        return parsed
    full = np.full(len(column), "NaT", dtype=parsed.dtype)
    full[present] = parsed
    return full


def _joined(chunks: list[AnyArray]) -> AnyArray:
    """One column from its chunks, typed as if it had been read whole."""
    kinds = {chunk.dtype.kind for chunk in chunks}
    if len(kinds) == 1 and "O" not in kinds:
        return np.concatenate(chunks)
    if "M" in kinds:
        if kinds != {"M", "O"} or not all(
            chunk.dtype.kind == "M" or all(v is None for v in chunk.tolist()) for chunk in chunks
        ):
            raise _Unparsed
        # Chunks of NULLs beside parsed times: NaT.
        unit = np.result_type(*(c.dtype for c in chunks if c.dtype.kind == "M"))
        return np.concatenate([c if c.dtype.kind == "M" else np.full(c.size, "NaT", unit) for c in chunks])
    if kinds <= {"i", "f"}:
        if all(c.dtype.kind == "f" or not c.size or -FLOAT_EXACT <= c.min() and c.max() <= FLOAT_EXACT
               for c in chunks):
            return np.concatenate(chunks).astype(np.float64, copy=False)
    # Mixed Python types: every value as the Python object sqlite3 gave.
    joined = np.empty(sum(c.size for c in chunks), dtype=object)
    start = 0
    for chunk in chunks:
        joined[start : start + chunk.size] = chunk.tolist()
        start += chunk.size
    return joined


def read_columns(
    connection: sqlite3.Connection, table: str, names: list[str], time_names: set[str],
    step: Callable[[int], None] = lambda rows: None,
) -> dict[str, AnyArray]:
    """The named columns of every row, in rowid order (key order for a table
    without rowid); the columns in ``time_names`` hold datetime64 where
    their text parses. ``step`` is called with the rows of each chunk."""
    try:
        return _read(connection, table, names, time_names, step)
    except _Unparsed:
        return _read(connection, table, names, set(), step)


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _read(
    connection: sqlite3.Connection, table: str, names: list[str], time_names: set[str],
    step: Callable[[int], None],
) -> dict[str, AnyArray]:
    selected = ", ".join(_quote(name) for name in names)
    try:
        cursor = connection.execute(f"SELECT {selected} FROM main.{_quote(table)} ORDER BY rowid")
    except sqlite3.OperationalError:  # a WITHOUT ROWID table
        cursor = connection.execute(f"SELECT {selected} FROM main.{_quote(table)}")
    chunks: dict[str, list[AnyArray]] = {name: [] for name in names}
    timed = [name in time_names for name in names]
    rows_read = 0
    try:
        while rows := cursor.fetchmany(CHUNK_ROWS):
            for name, is_time, values in zip(names, timed, zip(*rows)):
                chunks[name].append(_times(values) if is_time else _plain(values))
            rows_read += len(rows)
            step(len(rows))
            del rows
    except sqlite3.OperationalError as error:
        # Text that is not UTF-8: sqlite3 names the column but not the table.
        raise ValueError(
            f"{table}: {error}: SQLite TEXT must be UTF-8 here; re-encode the column's text"
        ) from None
    finally:
        cursor.close()
    if not rows_read:
        return {name: np.zeros(0, dtype=np.int64) for name in names}
    columns = {}
    for name in names:
        columns[name] = _joined(chunks.pop(name))
    return columns
