"""What the PostgreSQL, DuckDB and Parquet readers share: their optional
imports, Arrow columns into numpy, and tables from a catalogue.

Arrow columns become numpy arrays without a Python object per value:

==========================  ============================================
Arrow type                  numpy
==========================  ============================================
integers                    int64 (uint64 stays uint64)
whole decimals (scale 0)    int64, exact; beyond int64, their exact text
other decimals, floats      float64, NaN for null
booleans                    bool; with nulls, float64 1.0/0.0/NaN
timestamps (any time zone)  datetime64 of the same unit, in UTC; NaT
dates                       datetime64[D] (date64: [ms]); NaT
durations                   timedelta64; NaT
strings, dictionaries       fixed-width str (``<U``), decoded in one pass,
                            or Python strings where a few long values
                            would make fixed-width rows far larger than
                            the text itself
lists of strings            one Python list per row (multi-category)
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

from ..tables.progress import progress_bar
from ..tables.table import Table
from .names import NameRule
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
# Fixed-width rows may take this many times the column's characters (plus
# _SLACK_CHARACTERS) before its strings are kept as Python strings instead.
_WIDTH_FACTOR = 4
_SLACK_CHARACTERS = 1 << 16


def _strings(array: Any, pa: Any, fixed: bool = False) -> np.ndarray[Any, Any]:
    """A string array without nulls as numpy ``<U``, block by block: one
    UTF-8 decode of each block's bytes, its code points scattered into rows
    as wide as the widest string of the column; or, where rows that wide
    would take far more memory than the text (one long value among many
    short ones), as an object array of Python strings, unless ``fixed``.
    UnicodeDecodeError for bytes that are not UTF-8."""
    if not pa.types.is_string(array.type):  # 32-bit offsets are read as they are
        array = array.cast(pa.large_string())
    n = len(array)
    offset_type = np.int32 if pa.types.is_string(array.type) else np.int64
    offsets = np.frombuffer(array.buffers()[1], dtype=offset_type, count=n + 1,
                            offset=array.offset * np.dtype(offset_type).itemsize)
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
    if not fixed and n * width > _WIDTH_FACTOR * int(widths.sum()) + _SLACK_CHARACTERS:
        return np.asarray(array.to_numpy(zero_copy_only=False), dtype=object)
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


def whole_numbers(values: Any) -> Any:
    """Whole numbers of any width (decimals of scale 0, or their text, as in
    NUMERIC(20, 0), a key beyond 2**53) exactly: as an Arrow int64 array
    when every value fits, else as their decimal text, which keys compare
    exactly too; never through float64, which rounds beyond 2**53."""
    pa = require("pyarrow", "parquet", "reading Arrow columns")
    try:
        target = values.cast(pa.int64())  # a checked cast: it refuses to overflow
    except pa.ArrowInvalid:
        target = values.cast(pa.string())
    return target


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
    if pa.types.is_decimal(kind) and kind.scale == 0:
        return numpy_column(whole_numbers(values), what)
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
    if (pa.types.is_list(kind) or pa.types.is_large_list(kind)) and (
        pa.types.is_string(kind.value_type) or pa.types.is_large_string(kind.value_type)
    ):
        # A multi-category column, as Table takes a pyarrow list column.
        return values
    raise ValueError(
        f"{what} has the type {kind}, which rerozer_tables cannot read: "
        "convert it to numbers, text or times first"
    )


def infinities_to_null(
    values: Any, what: str, sentinels: Mapping[str, tuple[int, ...]], is_time: bool,
    wrapped: Mapping[str, tuple[int, int]] | None = None,
) -> Any:
    """A datetime64 column with the database's 'infinity' and '-infinity'
    (``sentinels``: their encodings, by dtype) read as null (NaT): a feature
    such as ``valid_to`` may hold them. In the time column (``is_time``)
    they are refused: a row needs a real time. ``wrapped`` gives, by dtype,
    the range [low, high) of encodings that a driver wrapped around from
    times too late for the dtype; such a time is refused in any column.
    Messages name ``what`` and the row."""
    dtype = str(getattr(values, "dtype", ""))
    encodings = sentinels.get(dtype)
    if encodings is None:
        return values
    counts = values.view(np.int64)
    if wrapped and dtype in wrapped:
        low, high = wrapped[dtype]
        late = np.flatnonzero((counts >= low) & (counts < high) & ~np.isin(counts, encodings))
        if late.size:
            raise ValueError(
                f"{what} row {int(late[0])}: the time lies beyond the latest that "
                f"{dtype} holds (about the year 294000): store an earlier time, or 'infinity'"
            )
    found = np.isin(counts, encodings)
    if not found.any():
        return values
    if is_time:
        raise ValueError(
            f"{what} row {int(np.flatnonzero(found)[0])}: 'infinity' or '-infinity' is not a time: "
            "store null or a real time instead"
        )
    values = values.copy()
    values[found] = np.datetime64("NaT", str(np.datetime_data(values.dtype)[0]))  # type: ignore[call-overload]
    return values


def chosen_tables(
    where: str, present: list[str], wanted: Iterable[str] | None, rule: NameRule
) -> list[str]:
    """The tables to read: every one ``present`` in the schema, or those
    ``wanted``, in their order, found by the database's name ``rule``;
    raises ValueError naming ``where`` for a wanted table that is not there."""
    if wanted is None:
        return present
    names = []
    for written in wanted:
        found = rule.find(str(written), present, f"{where}: tables= names the table")
        if found is None:
            raise ValueError(f"{where}: no table {written!r} (the schema has {', '.join(present) or 'none'})")
        names.append(found)
    return names


def missing_schema(where: str, schema: str, schemas: list[str]) -> ValueError:
    """The error for a schema that the database does not have."""
    return ValueError(
        f"{where}: no schema {schema!r} (the database has {', '.join(map(repr, schemas)) or 'none'})"
    )


def left_out(
    where: str, table: str, column: str, parent: str, wanted: Iterable[str] | None
) -> ValueError:
    """The error for a foreign key into a table that is not read: one that
    ``tables=`` leaves out, or (without ``tables=``) one the schema does not
    list as a table of its own."""
    if wanted is None:
        return ValueError(
            f"{where}: {table}.{column} refers to {parent}, which is not a table of the schema"
        )
    return ValueError(
        f"{where}: {table}.{column} refers to {parent}, which tables= leaves out: add it to tables"
    )


def arrow_columns(
    data: Any, prefix: str, infinities: Mapping[str, tuple[int, ...]], time_column: str | None,
    wrapped: Mapping[str, tuple[int, int]] | None = None,
) -> dict[str, Any]:
    """The columns of an Arrow table as numpy (``numpy_column``), each Arrow
    column freed once it is converted, so that a table is never held twice
    whole; the database's ``infinities`` are refused in ``time_column`` and
    read as null elsewhere (``infinities_to_null``). ``prefix`` names the
    table in messages."""
    result = {}
    for column in data.column_names:
        what = f"{prefix}.{column}"
        result[column] = numpy_column(data.column(column), what)
        data = data.drop_columns([column])
        result[column] = infinities_to_null(
            result[column], what, infinities, column == time_column, wrapped
        )
    return result


# read(table, schema, primary key, time column) -> the table's columns
Reader = Callable[[str, _Schema, "str | None", "str | None"], dict[str, Any]]


def build_tables(
    where: str,
    names: list[str],
    schemas: Mapping[str, _Schema],
    time_columns: Mapping[str, TimeColumn] | None,
    read: Reader,
    rule: NameRule,
    progress: bool | None = None,
    reader: str = "reading",
) -> dict[str, Table]:
    """``Table`` objects from a catalogue: keys, foreign keys and times as
    ``read_sqlite`` finds them, names compared by ``rule``;
    ``read(name, schema, primary_key, time_column)`` returns a table's
    columns (every column of the schema, in its order). A ValueError
    that does not yet name ``where`` (the database and schema) is raised
    again with it in front. ``progress`` shows a bar named ``reader`` over
    the tables read, with the one being read, as ``read_sqlite`` does."""
    try:
        return _build_tables(names, schemas, time_columns, read, rule, progress, reader)
    except ValueError as error:
        if str(error).startswith(where):
            raise
        raise ValueError(f"{where}: {error}") from None


def _build_tables(
    names: list[str],
    schemas: Mapping[str, _Schema],
    time_columns: Mapping[str, TimeColumn] | None,
    read: Reader,
    rule: NameRule,
    progress: bool | None,
    reader: str,
) -> dict[str, Table]:
    chosen_times = _checked_time_columns(names, time_columns, rule)
    key_of, links = _link_keys(names, schemas, rule)
    tables = {}
    with progress_bar(len(names), reader, "table", progress) as bar:
        for name in names:
            bar.set_postfix_str(name)
            time_column, time_unit = _time_column(name, schemas[name], chosen_times)
            tables[name] = Table(
                read(name, schemas[name], key_of[name], time_column), primary_key=key_of[name],
                foreign_keys=links[name], time_column=time_column, time_unit=time_unit,
            )
            bar.update(1)
    return tables
