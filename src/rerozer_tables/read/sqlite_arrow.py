"""The columns of an SQLite table through the ADBC SQLite driver, which fills
Arrow arrays in C instead of making a Python object per value.

``sqlite_columns`` stays the reference: this path gives the same dtypes and
values, or gives up on the table (``None``), which is then read there.
SQLite keeps a type per value, not per column, and the driver converts
values quietly to the type it chose for a column from its first rows (an
integer among reals becomes a real, an integer among text its decimal text,
a blob among text a string). So a column arriving as reals, text or blobs
is taken only when SQLite confirms that every value of it is stored so
(``typeof``, one pass in C); integer columns need no such check, since the
driver refuses a value of another type in them. Time text is taken when
every value is ``YYYY-MM-DD`` or ``YYYY-MM-DD HH:MM:SS`` (or with a ``T``),
parsed by Arrow with the same calendar checks as numpy; any other form, a
NUL in text, text that is not UTF-8, a table without rowid (whose order a
narrower query may change) or any error of the driver sends the table back
to the reference path, which reads and reports it as it always has.
"""

from __future__ import annotations

import importlib
import sqlite3
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from ..tables.columns import AnyArray
from .arrow import _strings

# Rows the driver fills per Arrow batch (its default is 1024).
BATCH_ROWS = 1 << 16
# Time strings checked at a time: bounds the check's arrays to a few MiB.
_BLOCK = 1 << 16
_DATE, _DATETIME = 10, 19


class _Inexact(Exception):
    """A column this path cannot give exactly as the reference path does."""


def connect(path: Path) -> Any | None:
    """A read-only connection of the driver to the database file at
    ``path``; None without the driver or when it cannot open the file."""
    try:
        dbapi = importlib.import_module("adbc_driver_sqlite.dbapi")
    except ImportError:
        return None
    try:
        return dbapi.connect(f"{path.resolve().as_uri()}?mode=ro")
    except _driver_errors():
        return None


def _driver_errors() -> tuple[type[BaseException], ...]:
    manager = importlib.import_module("adbc_driver_manager")
    return (manager.Error, OSError)


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def read_columns(
    arrow: Any, connection: sqlite3.Connection, table: str, names: list[str], time_names: set[str],
    step: Callable[[int], None],
) -> dict[str, AnyArray] | None:
    """The named columns of every row in rowid order, as
    ``sqlite_columns.read_columns`` gives them, or None where this path
    cannot give them exactly. ``step`` is called with the rows of each
    batch (and, when it gives up, with minus the rows it had counted).

    Time text is parsed batch by batch as it arrives (8 bytes a value
    instead of about 24), other columns are kept as the driver's batches
    and joined one column at a time at the end."""
    pa = importlib.import_module("pyarrow")
    given_up: tuple[type[BaseException], ...] = (_Inexact, *_driver_errors())
    counted = 0
    cursor = arrow.cursor()
    try:
        cursor.adbc_statement.set_options(**{"adbc.sqlite.query.batch_rows": str(BATCH_ROWS)})
        selected = ", ".join(_quote(name) for name in names)
        cursor.execute(f"SELECT {selected} FROM main.{_quote(table)} ORDER BY rowid")
        reader = cursor.fetch_record_batch()
        kinds = [field.type for field in reader.schema]
        parsed = [name in time_names and _is_text(kind, pa) for name, kind in zip(names, kinds)]
        parts: list[list[Any]] = [[] for _ in names]
        nulls = [0] * len(names)
        with_clock = [False] * len(names)
        for batch in reader:
            for i in range(len(names)):
                values = batch.column(i)
                nulls[i] += values.null_count
                if parsed[i] and values.null_count < len(values):
                    values, clock = _times(values, pa)
                    with_clock[i] |= clock
                parts[i].append(values)
            counted += batch.num_rows
            step(batch.num_rows)
            del batch
        if not counted:
            return {name: np.zeros(0, dtype=np.int64) for name in names}
        _check_storage(connection, table, names, kinds, nulls, counted, pa)
        columns = {}
        for i, name in enumerate(names):
            chunks, parts[i] = parts[i], []
            if nulls[i] == counted:
                columns[name] = np.full(counted, None, dtype=object)
            elif parsed[i]:
                times = np.concatenate([_as_times(c, pa) for c in chunks])
                columns[name] = times if with_clock[i] else times.astype("datetime64[D]")
            else:
                columns[name] = _column(pa.chunked_array(chunks, kinds[i]).combine_chunks(), pa)
            del chunks
        return columns
    except given_up:
        step(-counted)
        return None
    finally:
        cursor.close()


def _is_text(kind: Any, pa: Any) -> bool:
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind))


def _as_times(chunk: Any, pa: Any) -> AnyArray:
    """A parsed batch of a time column, or NaT for a batch of NULLs only."""
    if isinstance(chunk, np.ndarray):
        return chunk
    return np.full(len(chunk), "NaT", dtype="datetime64[s]")


def _check_storage(
    connection: sqlite3.Connection, table: str, names: list[str], kinds: list[Any], nulls: list[int],
    rows: int, pa: Any,
) -> None:
    """_Inexact unless every value of each real, text or blob column is
    stored as that type (or NULL): the driver converts the others quietly."""
    wanted = []
    for name, kind, null_count in zip(names, kinds, nulls):
        if null_count == rows or pa.types.is_int64(kind):
            continue  # all NULL (read as such), or integers the driver checks itself
        storage = _storage(kind, pa)
        allowed = f"('{storage}', 'null')" if null_count else f"('{storage}')"
        wanted.append(f"typeof({_quote(name)}) IN {allowed}")
    if not wanted:
        return
    query = f"SELECT count(*) FROM main.{_quote(table)} WHERE NOT ({' AND '.join(wanted)})"
    if connection.execute(query).fetchone()[0]:
        raise _Inexact


def _storage(kind: Any, pa: Any) -> str:
    """SQLite's storage class of the values in a column of the driver's type."""
    if pa.types.is_float64(kind):
        return "real"
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return "text"
    if pa.types.is_binary(kind) or pa.types.is_large_binary(kind):
        return "blob"
    raise _Inexact


def _column(values: Any, pa: Any) -> AnyArray:
    """One column (not all NULL, not time text) as the reference path types
    it: int64, float64 or ``<U`` text without NULLs; Python objects with
    them, and for blobs."""
    kind = values.type
    text = _is_text(kind, pa)
    if text:
        try:
            values.validate(full=True)  # UTF-8, as Python's sqlite3 requires
        except pa.ArrowInvalid:
            raise _Inexact from None
    if values.null_count or pa.types.is_binary(kind) or pa.types.is_large_binary(kind):
        objects = np.empty(len(values), dtype=object)
        objects[:] = values.to_pylist()
        return objects
    if pa.types.is_int64(kind) or pa.types.is_float64(kind):
        numbers: AnyArray = values.to_numpy()
        return numbers
    if not text:
        raise _Inexact
    compute = importlib.import_module("pyarrow.compute")
    if compute.any(compute.match_substring(values, pattern="\0")).as_py():
        raise _Inexact  # a NUL, which fixed-width text would drop at the end
    try:
        return _strings(values, pa, fixed=True)
    except (UnicodeDecodeError, ValueError):
        raise _Inexact from None


def _times(values: Any, pa: Any) -> tuple[AnyArray, bool]:
    """Time text, not all NULL, as datetime64[s] (NULL: NaT), and whether any
    value has a time of day: numpy parses a column of dates alone in days."""
    present = values.drop_null().cast(pa.large_string())
    n = len(present)
    offsets = np.frombuffer(present.buffers()[1], dtype=np.int64, count=n + 1, offset=present.offset * 8)
    data = present.buffers()[2]
    raw = np.frombuffer(data, dtype=np.uint8) if data is not None else np.zeros(0, np.uint8)
    widths = np.diff(offsets)
    long = widths == _DATETIME
    if not np.all(long | (widths == _DATE)) or not _well_formed(raw, offsets, long):
        raise _Inexact
    try:
        parsed = present.cast(pa.timestamp("s")).to_numpy()
    except pa.ArrowInvalid:  # a day or an hour out of range
        raise _Inexact from None
    if n == len(values):
        return parsed, bool(long.any())
    full = np.full(len(values), "NaT", dtype=parsed.dtype)
    full[values.is_valid().to_numpy(zero_copy_only=False)] = parsed
    return full, bool(long.any())


def _well_formed(raw: Any, offsets: Any, long: Any) -> bool:
    """Whether every string (between ``offsets``) is ``YYYY-MM-DD``, and
    those marked ``long`` ``YYYY-MM-DD HH:MM:SS`` (or ``T`` between)."""
    if long.all() or not long.any():  # one width: the text is an (n, width) matrix
        width = _DATETIME if long.all() else _DATE
        text = raw[offsets[0] : offsets[-1]].reshape(-1, width)
        return all(_matches(text[first : first + _BLOCK]) for first in range(0, len(text), _BLOCK))
    positions = np.arange(_DATETIME)
    last = raw.size - 1
    for first in range(0, long.size, _BLOCK):
        chars = raw[np.minimum(offsets[:-1][first : first + _BLOCK, None] + positions, last)]
        block = long[first : first + _BLOCK]
        if not (_matches(chars[block]) and _matches(chars[~block, :_DATE])):
            return False
    return True


# Per byte of ``YYYY-MM-DD HH:MM:SS``: the least byte allowed and how far above it.
_LEAST = np.frombuffer(b"0000-00-00 00:00:00", dtype=np.uint8)
_SPAN = np.array([9, 9, 9, 9, 0, 9, 9, 0, 9, 9, 0, 9, 9, 0, 9, 9, 0, 9, 9], dtype=np.uint8)


def _matches(text: Any) -> bool:
    """Whether each row of bytes is a date or time of the form above."""
    width = text.shape[1]
    if width == _DATETIME:
        separator = text[:, _DATE]
        if not np.all((separator == ord(" ")) | (separator == ord("T"))):
            return False
    # Bytes below the least wrap around to large numbers.
    offset = text - _LEAST[:width]
    if width == _DATETIME:
        offset[:, _DATE] = 0
    return bool(np.all(offset <= _SPAN[:width]))
