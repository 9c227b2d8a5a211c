"""Turning the columns users hold into numpy arrays: nulls, keys and times.

A column may be anything with a length that numpy can read (a list, a numpy
array, anything with ``__array__``), a pandas Series or a pyarrow array.
pandas and pyarrow are never imported here: their objects are recognised by
the methods they have.
"""

from __future__ import annotations

import datetime as dt
import math
import re
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]
AnyArray = npt.NDArray[Any]

# The units a time may be given in, as numpy names them.
TIME_UNITS = ("D", "h", "m", "s", "ms", "us", "ns")

# Floats hold every integer exactly only within this bound; beyond it two
# different keys can round to the same float.
FLOAT_EXACT = 2**53


def _is_null_object(value: object) -> bool:
    if value is None:
        return True
    if isinstance(value, float):
        return math.isnan(value)
    # pandas.NA and pandas.NaT, recognised without importing pandas.
    return type(value).__name__ in ("NAType", "NaTType")


def _from_pyarrow(values: Any) -> tuple[AnyArray, BoolArray | None]:
    null = None
    if values.null_count:
        null = np.asarray(values.is_null(), dtype=bool)
        values = values.drop_null()
    try:
        array = np.asarray(values.to_numpy(zero_copy_only=False))
    except TypeError:  # a ChunkedArray's to_numpy takes no such argument
        array = np.asarray(values.to_numpy())
    if null is None:
        return array, None
    full = np.zeros(null.size, dtype=array.dtype)
    full[~null] = array
    return full, null


def _from_sequence(values: list[Any] | tuple[Any, ...]) -> tuple[AnyArray, BoolArray | None]:
    """A list's values by their Python types, not numpy's conversions: numpy
    would turn ``["a", None]`` into ``["a", "None"]`` and ``[1, "x"]`` into
    strings."""
    null = np.fromiter(map(_is_null_object, values), dtype=bool, count=len(values))
    present = [v for v, n in zip(values, null.tolist()) if not n]
    kinds = {type(v) for v in present}
    if kinds and kinds <= {str, np.str_} and not any(v.endswith("\0") for v in present):
        array: AnyArray = np.array(present, dtype=np.str_)  # which drops trailing NULs
    elif kinds and kinds <= {int, np.int64, np.int32}:
        array = np.array(present, dtype=np.int64)
    elif kinds and kinds <= {int, float, np.float64} and all(
        abs(v) <= FLOAT_EXACT for v in present if isinstance(v, int)
    ):
        array = np.array(present, dtype=np.float64)
    elif kinds and kinds <= {np.datetime64}:
        array = np.array(present)  # numpy picks the finest unit of them
    else:
        array = np.empty(len(present), dtype=object)
        for i, value in enumerate(present):  # lists stay whole, one per row
            array[i] = value
        # Lists of values are a multi-category column's (see features); any
        # other nesting is not a column.
        lists = bool(kinds) and kinds <= {list, tuple}
        if kinds and not lists and not all(np.ndim(v) == 0 for v in present):
            raise ValueError("must be one-dimensional, got nested values")
    if not null.any():
        return array, None
    full = np.zeros(len(values), dtype=array.dtype)
    full[~null] = array
    return full, null


def column_array(values: object) -> tuple[AnyArray, BoolArray | None]:
    """Return a column as a one-dimensional array and its null mask.

    The mask is None when the column has no nulls. The values at null
    positions are placeholders. None, NaN, NaT and pandas' NA are nulls.
    Raises ValueError for a column that is not one-dimensional.
    """
    if hasattr(values, "is_null") and hasattr(values, "null_count"):
        array, null = _from_pyarrow(values)
    elif hasattr(values, "isna") and hasattr(values, "to_numpy"):
        series: Any = values
        # A timezone-aware pandas column: to UTC, then plain datetime64.
        if getattr(getattr(series, "dt", None), "tz", None) is not None:
            series = series.dt.tz_convert("UTC").dt.tz_localize(None)
        null = np.asarray(series.isna(), dtype=bool)
        kind = getattr(series.dtype, "kind", "")
        if kind in ("i", "u") and null.any():
            # A nullable integer column: its integers and null mask, as an
            # Arrow integer column with nulls gives them, not floats with NaN.
            wide = np.uint64 if kind == "u" and series.dtype.itemsize == 8 else np.int64
            array = series.to_numpy(dtype=wide, na_value=0)
        else:
            array = np.asarray(series.to_numpy())
        if not null.any():
            null = None
    elif isinstance(values, (list, tuple)):
        array, null = _from_sequence(values)
    else:
        array = np.asarray(values)
        null = None
        if array.dtype.kind == "f":
            null = np.isnan(array)
        elif array.dtype.kind in "mM":
            null = np.isnat(array)
        elif array.dtype == object:
            null = np.fromiter(map(_is_null_object, array.ravel()), dtype=bool, count=array.size)
            null = null.reshape(array.shape)
        if null is not None and not null.any():
            null = None
    if array.ndim != 1:
        raise ValueError(f"must be one-dimensional, got shape {array.shape}")
    return array, null


def _describe(value: object) -> str:
    if isinstance(value, np.generic):
        value = value.item()
    return repr(value)


def text_keys(strings: list[str] | AnyArray) -> AnyArray:
    """Text keys exactly: numpy strings, or, when one ends in NUL (which
    numpy's fixed-width strings drop, making 'a' and 'a\\0' one key), an
    object array of the Python strings."""
    if any(str(s).endswith("\0") for s in (strings.tolist() if isinstance(strings, np.ndarray) else strings)):
        exact = np.empty(len(strings), dtype=object)
        exact[:] = [str(s) for s in strings]
        return exact
    return np.asarray(strings, dtype=np.str_)


def key_kind(keys: AnyArray) -> str:
    """The kind of a key array: "i" for integers, "U" for text (numpy or
    Python strings alike)."""
    return "U" if keys.dtype.kind in "UO" else keys.dtype.kind


def key_array(values: AnyArray, what: str, rows: Int64Array | None = None) -> AnyArray:
    """Return key values as int64, or as text keys (``text_keys``) when
    they are strings.

    ``values`` holds no nulls; ``rows`` gives the row of each value, for the
    messages (by default its position). Raises ValueError naming ``what``, the
    row and the value for a value that is neither an integer nor a string.
    """

    def row_of(index: int) -> int:
        return index if rows is None else int(rows[index])

    kind = values.dtype.kind
    if kind == "i":
        return values.astype(np.int64, copy=False)
    if kind == "u":
        too_big = np.flatnonzero(values > np.iinfo(np.int64).max)
        if too_big.size:
            i = int(too_big[0])
            raise ValueError(f"{what} row {row_of(i)}: {_describe(values[i])} exceeds int64")
        return values.astype(np.int64)
    if kind == "f":
        whole = np.isfinite(values) & (values == np.floor(values))
        bad = np.flatnonzero(~whole)
        if bad.size:
            i = int(bad[0])
            raise ValueError(f"{what} row {row_of(i)}: {_describe(values[i])} is not an integer")
        inexact = np.flatnonzero(np.abs(values) > FLOAT_EXACT)
        if inexact.size:
            i = int(inexact[0])
            raise ValueError(
                f"{what} row {row_of(i)}: {_describe(values[i])} is a float beyond ±2**53, "
                "where floats do not hold every integer: store the keys as integers or strings"
            )
        return values.astype(np.int64)
    if kind == "U":
        return values
    if kind == "S":
        return values.astype(np.str_)
    if kind == "O" and values.size:
        is_str = np.fromiter((isinstance(v, str) for v in values), dtype=bool, count=values.size)
        if is_str.all():
            return text_keys(values)
        is_int = np.fromiter(
            (isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in values),
            dtype=bool,
            count=values.size,
        )
        if is_int.all():
            return key_array(np.array(values.tolist()), what, rows)
        is_float = np.fromiter((isinstance(v, float) for v in values), dtype=bool, count=values.size)
        if (is_int | is_float).all():
            # Integers beside floats: each float is checked as a float key,
            # and the integers stay exact (a float64 column would round them).
            floats = np.flatnonzero(is_float)
            key_array(values[floats].astype(np.float64), what, floats if rows is None else rows[floats])
            integers = [int(v) for v in values.tolist()]
            outside = [i for i, v in enumerate(integers) if not -(2**63) <= v < 2**63]
            if outside:
                i = outside[0]
                raise ValueError(f"{what} row {row_of(i)}: {integers[i]!r} exceeds int64")
            return np.array(integers, dtype=np.int64)
        # The first value that does not match the kind of the first value.
        first_kind = is_str if is_str[0] else is_int
        i = int(np.flatnonzero(~first_kind)[0]) if first_kind[0] else 0
        raise ValueError(f"{what} row {row_of(i)}: {_describe(values[i])} is not an integer or a string")
    if kind == "O":
        return np.zeros(0, dtype=np.int64)
    raise ValueError(f"{what} must hold integers or strings, got dtype {values.dtype}")


def _parse_iso(values: AnyArray, what: str, rows: Int64Array) -> AnyArray:
    """ISO-8601 strings to datetime64; an offset or 'Z' converts to UTC."""
    try:
        with warnings.catch_warnings():
            # numpy warns about (and ignores) time zone suffixes: such
            # strings go the slower way below, which honours them.
            warnings.simplefilter("error")
            return np.array(values, dtype="datetime64")
    except (ValueError, UserWarning, DeprecationWarning):
        pass
    parsed = np.empty(values.size, dtype="datetime64[us]")
    for i, text in enumerate(values.tolist()):
        try:
            moment = dt.datetime.fromisoformat(str(text))
        except ValueError:
            raise ValueError(
                f"{what} row {int(rows[i])}: {text!r} is not an ISO-8601 date or time"
            ) from None
        if moment.tzinfo is not None:
            moment = moment.astimezone(dt.timezone.utc).replace(tzinfo=None)
        parsed[i] = np.datetime64(moment, "us")
    return parsed


def _check_unit(unit: str, name: str = "time_unit") -> None:
    if unit not in TIME_UNITS:
        raise ValueError(f"{name} must be one of {', '.join(TIME_UNITS)}, got {unit!r}")


def _to_unit(values: AnyArray, unit: str, what: str, positions: Int64Array) -> AnyArray:
    """datetime64 values in ``unit``; a value out of its range is named."""
    try:
        return values.astype(f"datetime64[{unit}]")
    except OverflowError:
        pass
    for i, value in enumerate(values):
        try:
            value.astype(f"datetime64[{unit}]")
        except OverflowError:
            raise ValueError(
                f"{what} row {int(positions[i])}: {value} lies outside the range of "
                f"time_unit {unit!r} (int64 counts since 1970); build with a coarser time_unit"
            ) from None
    raise AssertionError("unreachable: the whole array overflowed but no value did")


def time_array(
    values: AnyArray,
    unit: str,
    what: str,
    rows: Int64Array | None = None,
    *,
    source_unit: str | None = None,
) -> Int64Array:
    """Return times as int64 counts of ``unit`` since 1970-01-01 UTC.

    Integers are counts of ``source_unit`` since 1970 (epoch seconds for
    ``"s"``), by default of ``unit`` itself. datetime64 of any unit and
    ISO-8601 strings (naive ones are taken as UTC) are converted exactly: a
    time finer than ``unit`` raises ValueError rather than being rounded, as
    rounding could put a row at or before a time it comes after, and so
    does a time outside the range of ``unit``.
    ``values`` holds no nulls; ``rows`` gives the row of each value.
    """
    _check_unit(unit)
    if source_unit is not None:
        _check_unit(source_unit, "the unit of integer times")
    positions = np.arange(values.size, dtype=np.int64) if rows is None else rows
    kind = values.dtype.kind
    if kind in "iuf":
        counts = key_array(values, what, positions)
        if source_unit is None or source_unit == unit:
            return counts
        values = counts.astype(f"datetime64[{source_unit}]")
        kind = "M"
    elif kind in "US" or (kind == "O" and values.size and all(isinstance(v, str) for v in values)):
        values = _parse_iso(values.astype(np.str_), what, positions)
        kind = "M"
    elif kind == "O":
        # datetime objects (or a mix): through their ISO form.
        try:
            text = np.array([v.isoformat() for v in values.tolist()], dtype=np.str_)
        except AttributeError:
            raise ValueError(
                f"{what} must hold integers, datetime64 or ISO-8601 strings"
            ) from None
        values = _parse_iso(text, what, positions)
        kind = "M"
    if kind != "M":
        raise ValueError(
            f"{what} must hold integers, datetime64 or ISO-8601 strings, got dtype {values.dtype}"
        )
    converted = _to_unit(values, unit, what, positions)
    lossy = np.flatnonzero(converted.astype(values.dtype) != values)
    if lossy.size:
        i = int(lossy[0])
        raise ValueError(
            f"{what} row {int(positions[i])}: {values[i]} is not a whole number of "
            f"time_unit {unit!r}; build with a finer time_unit"
        )
    return converted.view(np.int64)


_INTEGER_TEXT = re.compile(r"\s*[+-]?\d+\s*")
_REAL_TEXT = re.compile(r"\s*[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\s*")


def _text_as_integer(text: str) -> int | None:
    """The integer SQLite's INTEGER affinity makes of a text, or None.

    A well-formed integer literal, or a real literal whose value is a whole
    number within ±2**53, surrounding spaces allowed: '7', ' 7 ', '7.0', '7e0'.
    """
    if _INTEGER_TEXT.fullmatch(text):
        value = int(text)
        return value if -(2**63) <= value < 2**63 else None
    if _REAL_TEXT.fullmatch(text):
        real = float(text)
        if real.is_integer() and abs(real) <= FLOAT_EXACT:
            return int(real)
    return None


def affinity_keys(values: AnyArray, kind: str) -> tuple[AnyArray, BoolArray]:
    """Key values converted to key kind ``kind`` as SQLite's column affinity
    converts them, and the mask of those that convert.

    Integer keys ("i") take texts that are integer literals: '1' is the key
    1. Text keys ("U") take integers in their decimal form: 1 is the key '1'.
    """
    if kind == "U" and values.dtype.kind == "i":
        return values.astype(np.str_), np.ones(values.size, dtype=bool)
    if kind == "U" and values.dtype.kind == "O":  # text keys ending in NUL
        return values, np.ones(values.size, dtype=bool)
    if kind == "i" and values.dtype.kind == "U":
        parsed = [_text_as_integer(text) for text in values.tolist()]
        ok = np.fromiter((v is not None for v in parsed), dtype=bool, count=len(parsed))
        return np.array([v if v is not None else 0 for v in parsed], dtype=np.int64), ok
    return values, np.zeros(values.size, dtype=bool)


def _is_count(value: object) -> bool:
    # numpy's timedelta64 is an integer type to numpy; here it is a duration.
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_, np.timedelta64))


def offset_count(name: str, value: object, unit: str) -> int:
    """An offset as an int count of the graph's ``unit``.

    Integers are taken to be in ``unit``; ``np.timedelta64`` and
    ``datetime.timedelta`` (pandas' Timedelta included) are converted
    exactly, and refused when they are not a whole number of ``unit``.
    """
    delta: Any = value
    if _is_count(delta):
        return int(delta)
    if hasattr(delta, "to_timedelta64"):  # pandas.Timedelta, in nanoseconds
        delta = delta.to_timedelta64()
    elif isinstance(delta, dt.timedelta):
        delta = np.timedelta64(delta)
    if not isinstance(delta, np.timedelta64):
        raise TypeError(
            f"{name}: {value!r} is neither an integer (in the graph's unit {unit!r}) "
            "nor a timedelta"
        )
    if np.isnat(delta) or np.datetime_data(delta.dtype)[0] == "generic":
        raise ValueError(f"{name}: {value!r} is not a timedelta with a unit")
    try:
        converted = delta.astype(f"timedelta64[{unit}]")
        exact = converted.astype(delta.dtype) == delta
    except OverflowError:
        exact = False
    if not exact:
        raise ValueError(f"{name}: {value!r} is not a whole number of the graph's unit {unit!r}")
    return int(converted.astype(np.int64))
