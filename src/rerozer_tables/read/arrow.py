"""What the PostgreSQL, DuckDB and Parquet readers share: their optional
imports, Arrow columns into numpy, and tables from a catalogue.

Arrow columns become numpy arrays without a Python object per value:

==========================  ============================================
Arrow type                  numpy
==========================  ============================================
integers                    int64 (uint64 stays uint64)
floats, decimals            float64, NaN for null
booleans                    bool; with nulls, float64 1.0/0.0/NaN
timestamps (any time zone)  datetime64 of the same unit, in UTC; NaT
dates                       datetime64[D] (date64: [ms]); NaT
durations                   timedelta64; NaT
strings, dictionaries       fixed-width str (``<U``), decoded in one pass
==========================  ============================================

A column whose nulls numpy cannot hold (strings or integers with nulls)
stays a pyarrow array (integers as int64 or uint64): ``Table`` reads its
null mask.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import numpy as np

from ..tables.table import Table
from .schema import TimeColumn, _checked_time_columns, _link_keys, _Schema, _time_column


def require(module: str, extra: str, reader: str) -> Any:
    """Import an optional dependency, or raise ImportError naming its extra."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f'{reader} needs the package {error.name or module}: pip install "rerozer[{extra}]"'
        ) from error


# Rows of text decoded at a time: bounds the decoder's own arrays to a few MiB.
_STRING_BLOCK = 1 << 16


def _strings(array: Any, pa: Any) -> np.ndarray[Any, Any]:
    """A string array without nulls as numpy ``<U``, block by block: one
    UTF-8 decode of each block's bytes, its code points scattered into rows
    as wide as the widest string of the column."""
    array = array.cast(pa.large_string())
    n = len(array)
    offsets = np.frombuffer(array.buffers()[1], dtype=np.int64, count=n + 1, offset=array.offset * 8)
    data = array.buffers()[2]
    raw = np.frombuffer(data, dtype=np.uint8) if data else np.zeros(0, np.uint8)
    ascii_only = not raw.size or int(raw[offsets[0] : offsets[-1]].max(initial=0)) < 0x80
    widths = np.diff(offsets)
    if not ascii_only:  # characters per string: the bytes that do not continue one
        for first in range(0, n, _STRING_BLOCK):
            last = min(first + _STRING_BLOCK, n)
            block = raw[offsets[first] : offsets[last]]
            starts = np.concatenate(([0], np.cumsum((block & 0xC0) != 0x80)))
            widths[first:last] = np.diff(starts[offsets[first : last + 1] - offsets[first]])
    width = max(int(widths.max(initial=0)), 1)
    out = np.zeros((n, width), dtype=np.uint32)
    columns = np.arange(width)
    for first in range(0, n, _STRING_BLOCK):
        last = min(first + _STRING_BLOCK, n)
        block = raw[offsets[first] : offsets[last]]
        if ascii_only:
            codes = block
        else:
            codes = np.frombuffer(block.tobytes().decode("utf-8").encode("utf-32-le"), dtype=np.uint32)
        out[first:last][columns < widths[first:last, None]] = codes
    return out.view(f"<U{width}").reshape(n)


def _ends_in_nul(values: Any) -> bool:
    """Whether any string of an Arrow string array ends in a NUL character."""
    compute = require("pyarrow.compute", "parquet", "reading Arrow columns")
    return bool(compute.any(compute.ends_with(values, pattern="\0")).as_py())


def numpy_column(values: Any, what: str) -> Any:
    """One Arrow column (Array or ChunkedArray) as the table takes it (see the
    module's docstring). Raises ValueError naming ``what`` for a type it
    cannot read."""
    pa = require("pyarrow", "parquet", "reading Arrow columns")
    if isinstance(values, pa.ChunkedArray):
        values = values.combine_chunks() if values.num_chunks != 1 else values.chunk(0)
    kind = values.type
    if pa.types.is_dictionary(kind):
        values = values.dictionary_decode()
        kind = values.type
    nulls = values.null_count
    if pa.types.is_null(kind):
        return np.full(len(values), np.nan)
    if pa.types.is_integer(kind):
        if nulls:
            # Integers with nulls stay integers, which Table reads with their
            # null mask, so that a column is inferred alike with and without
            # nulls, and alike from every reader.
            return values if pa.types.is_uint64(kind) else values.cast(pa.int64())
        array = values.to_numpy()
        return array if array.dtype == np.uint64 else array.astype(np.int64, copy=False)
    if pa.types.is_floating(kind) or pa.types.is_decimal(kind):
        return values.cast(pa.float64()).to_numpy(zero_copy_only=False)
    if pa.types.is_boolean(kind):
        if not nulls:
            return values.to_numpy(zero_copy_only=False)
        return values.cast(pa.float64()).to_numpy(zero_copy_only=False)
    if pa.types.is_timestamp(kind):
        return values.cast(pa.timestamp(kind.unit)).to_numpy(zero_copy_only=False)
    if pa.types.is_date(kind) or pa.types.is_duration(kind):
        return values.to_numpy(zero_copy_only=False)
    if pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_string_view(kind):
        # numpy's strings drop trailing NULs: a column with such strings, like
        # one with nulls, stays an Arrow array, which Table reads exactly.
        if nulls or _ends_in_nul(values):
            return values
        return _strings(values, pa)
    raise ValueError(
        f"{what} has the type {kind}, which rerozer_tables cannot read: "
        "convert it to numbers, text or times first"
    )


def refuse_infinity(values: Any, what: str, sentinels: Mapping[str, tuple[int, ...]]) -> None:
    """Raise ValueError naming ``what`` and the row for a time that is one of
    the database's infinities (``sentinels``: its encodings, by dtype)."""
    encodings = sentinels.get(str(getattr(values, "dtype", "")))
    if encodings is None:
        return
    found = np.flatnonzero(np.isin(values.view(np.int64), encodings))
    if found.size:
        raise ValueError(
            f"{what} row {int(found[0])}: 'infinity' or '-infinity' is not a time: "
            "store null or a real time instead"
        )


def chosen_tables(where: str, present: list[str], wanted: Iterable[str] | None) -> list[str]:
    """The tables to read: every one ``present`` in the schema, or those
    ``wanted``, in their order; raises ValueError naming ``where`` for a
    wanted table that is not there."""
    if wanted is None:
        return present
    names = list(wanted)
    missing = [name for name in names if name not in present]
    if missing:
        raise ValueError(f"{where}: no table {missing[0]!r} (the schema has {', '.join(present) or 'none'})")
    return names


def left_out(where: str, table: str, column: str, parent: str) -> ValueError:
    """The error for a foreign key into a table that ``tables=`` leaves out."""
    return ValueError(
        f"{where}: {table}.{column} refers to {parent}, which tables= leaves out: add it to tables"
    )


def arrow_columns(
    data: Any, prefix: str, infinities: Mapping[str, tuple[int, ...]], timed: Callable[[str], bool],
) -> dict[str, Any]:
    """The columns of an Arrow table as numpy (``numpy_column``), each Arrow
    column freed once it is converted, so that a table is never held twice
    whole; a column for which ``timed`` is true is refused if it holds one of
    the database's ``infinities``. ``prefix`` names the table in messages."""
    result = {}
    for column in data.column_names:
        what = f"{prefix}.{column}"
        result[column] = numpy_column(data.column(column), what)
        data = data.drop_columns([column])
        if timed(column):
            refuse_infinity(result[column], what, infinities)
    return result


def build_tables(
    where: str,
    names: list[str],
    schemas: Mapping[str, _Schema],
    time_columns: Mapping[str, TimeColumn] | None,
    read: Callable[[str, _Schema, str | None], dict[str, Any]],
) -> dict[str, Table]:
    """``Table`` objects from a catalogue: keys, foreign keys and times as
    ``read_sqlite`` finds them; ``read(name, schema, primary_key)`` returns a
    table's columns (every column of the schema, in its order). A ValueError
    that does not yet name ``where`` (the database and schema) is raised
    again with it in front."""
    try:
        return _build_tables(names, schemas, time_columns, read)
    except ValueError as error:
        if str(error).startswith(where):
            raise
        raise ValueError(f"{where}: {error}") from None


def _build_tables(
    names: list[str],
    schemas: Mapping[str, _Schema],
    time_columns: Mapping[str, TimeColumn] | None,
    read: Callable[[str, _Schema, str | None], dict[str, Any]],
) -> dict[str, Table]:
    chosen_times = _checked_time_columns(names, time_columns)
    key_of, links = _link_keys(names, schemas)
    tables = {}
    for name in names:
        time_column, time_unit = _time_column(name, schemas[name], chosen_times)
        tables[name] = Table(
            read(name, schemas[name], key_of[name]), primary_key=key_of[name],
            foreign_keys=links[name], time_column=time_column, time_unit=time_unit,
        )
    return tables
