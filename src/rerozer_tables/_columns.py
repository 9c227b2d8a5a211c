"""Turning the columns users hold into numpy arrays: nulls, keys and times.

A column may be anything with a length that numpy can read (a list, a numpy
array, anything with ``__array__``), a pandas Series or a pyarrow array.
pandas and pyarrow are never imported here: their objects are recognised by
the methods they have.
"""

from __future__ import annotations

import datetime as dt
import math
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]
AnyArray = npt.NDArray[Any]

# The units a time may be given in, as numpy names them.
TIME_UNITS = ("D", "h", "m", "s", "ms", "us", "ns")


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
    if kinds and kinds <= {str, np.str_}:
        array: AnyArray = np.array(present, dtype=np.str_)
    elif kinds and kinds <= {int, np.int64, np.int32}:
        array = np.array(present, dtype=np.int64)
    elif kinds and kinds <= {int, float, np.float64}:
        array = np.array(present, dtype=np.float64)
    else:
        array = np.empty(len(present), dtype=object)
        array[:] = present
        if kinds and not all(np.ndim(v) == 0 for v in present):
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
        elif array.dtype.kind == "M":
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


def key_array(values: AnyArray, what: str, rows: Int64Array | None = None) -> AnyArray:
    """Return key values as int64, or as numpy strings when they are strings.

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
        return values.astype(np.int64)
    if kind == "U":
        return values
    if kind == "S":
        return values.astype(np.str_)
    if kind == "O" and values.size:
        is_str = np.fromiter((isinstance(v, str) for v in values), dtype=bool, count=values.size)
        if is_str.all():
            return values.astype(np.str_)
        is_int = np.fromiter(
            (isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in values),
            dtype=bool,
            count=values.size,
        )
        if is_int.all():
            return key_array(np.array(values.tolist()), what, rows)
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


def time_array(values: AnyArray, unit: str, what: str, rows: Int64Array | None = None) -> Int64Array:
    """Return times as int64 counts of ``unit`` since 1970-01-01 UTC.

    Integers are taken to be in ``unit`` already. datetime64 of any unit and
    ISO-8601 strings (naive ones are taken as UTC) are converted exactly: a
    time finer than ``unit`` raises ValueError rather than being rounded, as
    rounding could put a row at or before a time it comes after.
    ``values`` holds no nulls; ``rows`` gives the row of each value.
    """
    if unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be one of {', '.join(TIME_UNITS)}, got {unit!r}")
    positions = np.arange(values.size, dtype=np.int64) if rows is None else rows
    kind = values.dtype.kind
    if kind in "iuf":
        return key_array(values, what, positions)
    if kind in "US" or (kind == "O" and values.size and all(isinstance(v, str) for v in values)):
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
    converted = values.astype(f"datetime64[{unit}]")
    lossy = np.flatnonzero(converted.astype(values.dtype) != values)
    if lossy.size:
        i = int(lossy[0])
        raise ValueError(
            f"{what} row {int(positions[i])}: {values[i]} is not a whole number of "
            f"time_unit {unit!r}; build with a finer time_unit"
        )
    return converted.view(np.int64)


def floor_time_array(values: AnyArray, unit: str, what: str) -> Int64Array:
    """Like ``time_array``, but a time finer than ``unit`` is rounded down.

    For the times of training examples: rounding down can only hide rows,
    never show one from after the example's time.
    """
    if values.dtype.kind == "M":
        return values.astype(f"datetime64[{unit}]").view(np.int64)
    if values.dtype.kind in "USO":
        try:
            return time_array(values, unit, what)
        except ValueError:
            parsed = _parse_iso(values.astype(np.str_), what, np.arange(values.size))
            return parsed.astype(f"datetime64[{unit}]").view(np.int64)
    return time_array(values, unit, what)
