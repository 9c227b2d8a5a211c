"""Training tables: examples (entity, cut-off time) with labels from the future.

``training_table`` labels each example with an aggregate over the rows of a
child table that refer to the entity and whose time lies in the window
``(t, t + horizon]`` after the example's cut-off time t: rows at or before t
are never counted. The features of an example are what the loader samples at
or before t, so a label and the features of its example never see the same
row. ``split_by_time`` divides a training table into training, validation
and test examples by cut-off time.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal, Protocol, TypeVar

import numpy as np
import numpy.typing as npt

from ._columns import AnyArray, Int64Array, column_array, key_array, time_array
from .graph import KeyMap
from .table import Table

Aggregate = Literal["count", "sum", "mean", "exists"]
Float64Array = npt.NDArray[np.float64]
_AGGREGATES = ("count", "sum", "mean", "exists")


@dataclass(frozen=True)
class TrainingTable:
    """Examples and their labels.

    ``keys`` are primary-key values of the entity table (row positions for a
    table without one), ``times`` the cut-off times in ``time_unit``, and
    ``labels`` float64: a count, a sum, a mean (NaN when the window holds no
    value) or 1.0/0.0 for whether a row exists. ``horizon`` is the length of
    the label window, in ``time_unit``.
    """

    entity_table: str
    keys: AnyArray
    times: Int64Array
    labels: Float64Array
    horizon: int
    time_unit: str

    def __len__(self) -> int:
        return int(self.times.size)

    def take(self, index: npt.ArrayLike) -> TrainingTable:
        """The examples at ``index`` (positions or a boolean mask)."""
        chosen = np.asarray(index)
        return TrainingTable(
            self.entity_table, self.keys[chosen], self.times[chosen], self.labels[chosen],
            self.horizon, self.time_unit,
        )


def _times(values: object, unit: str, what: str, source_unit: str | None = None) -> Int64Array:
    array, null = column_array(values)
    if null is not None:
        raise ValueError(f"{what} at index {int(np.flatnonzero(null)[0])} is null")
    return np.ascontiguousarray(time_array(array, unit, what, source_unit=source_unit), dtype=np.int64)


def _keys(values: object, what: str) -> AnyArray:
    array, null = column_array(values)
    if null is not None:
        raise ValueError(f"{what} at index {int(np.flatnonzero(null)[0])} is null")
    return key_array(array, what) if array.size else np.zeros(0, np.int64)


def _entity_rows(name: str, table: Table) -> AnyArray:
    """The key of every row of the entity table (positions without a primary key)."""
    if table.primary_key is None:
        return np.arange(table.num_rows, dtype=np.int64)
    return _keys(table.columns[table.primary_key], f"{name}.{table.primary_key}")


def _examples(
    name: str, table: Table, keys: object | None, times: object, unit: str
) -> tuple[AnyArray, Int64Array]:
    """The examples as (keys, cut-off times); each entity row must exist at its cut-off."""
    entity_keys = _entity_rows(name, table)
    entity_time = None
    if table.time_column is not None:
        entity_time = _times(table.columns[table.time_column], unit, f"{name}.{table.time_column}",
                             table.time_unit)
    if keys is None:
        # Every row that exists at each cut-off, cut-off by cut-off.
        cutoffs = _times(times, unit, "times")
        chosen = [
            np.arange(entity_keys.size) if entity_time is None else np.flatnonzero(entity_time <= t)
            for t in cutoffs.tolist()
        ]
        rows = np.concatenate(chosen).astype(np.int64) if chosen else np.zeros(0, np.int64)
        example_times = np.repeat(cutoffs, [c.size for c in chosen])
        return entity_keys[rows], example_times
    example_keys = _keys(keys, f"{name} keys")
    example_times = _times(times, unit, "times")
    if example_keys.size != example_times.size:
        raise ValueError(f"{example_times.size} times for {example_keys.size} keys")
    key_map = KeyMap.from_keys(entity_keys, f"{name} key")
    rows, missing = key_map.lookup(example_keys)
    if missing.size:
        i = int(missing[0])
        raise ValueError(f"{name} keys at index {i}: {example_keys[i].item()!r} matches no row")
    if entity_time is not None:
        early = np.flatnonzero(entity_time[rows] > example_times)
        if early.size:
            i = int(early[0])
            raise ValueError(
                f"{name} keys at index {i}: row {example_keys[i].item()!r} comes at "
                f"{entity_time[rows[i]]}, after its cut-off time {example_times[i]}; leave it out"
            )
    return example_keys, example_times


def training_table(
    tables: Mapping[str, Table],
    entity_table: str,
    times: object,
    *,
    keys: object | None = None,
    target: tuple[str, str],
    horizon: int | np.timedelta64,
    aggregate: Aggregate = "count",
    column: str | None = None,
    time_unit: str = "s",
) -> TrainingTable:
    """Label examples with an aggregate over a child table's next rows.

    Parameters
    ----------
    tables
        The database's tables (as ``read_sqlite`` returns them).
    entity_table
        The table the examples are rows of.
    times
        The examples' cut-off times (int64 in ``time_unit``, datetime64 or
        ISO-8601 strings), one per key; or, with ``keys=None``, the cut-off
        times at which every row of ``entity_table`` that exists then (whose
        time is at or before the cut-off) becomes an example.
    keys
        The examples' primary-key values of ``entity_table`` (row positions
        when it has none). Each row must exist at its cut-off time.
    target
        ``(child table, foreign-key column)``: the rows counted for an
        example are those of the child table whose column refers to the
        example's row and whose time lies in ``(t, t + horizon]``.
    horizon
        The label window's length, in ``time_unit`` or as a timedelta64.
    aggregate
        ``"count"`` of those rows, ``"sum"`` or ``"mean"`` of their
        ``column`` (nulls left out; the mean of no value is NaN), or
        ``"exists"``: 1.0 when there is such a row, else 0.0.
    time_unit
        The graph's time unit, in which ``times`` of the result are given.

    Examples
    --------
    >>> from rerozer_tables import Table
    >>> tables = {
    ...     "users": Table({"id": ["a", "b"], "joined": [0, 5]}, primary_key="id", time_column="joined"),
    ...     "posts": Table({"by": ["a", "a", "b", "a"], "at": [3, 10, 12, 25], "likes": [1, 2, 3, 4]},
    ...                    foreign_keys={"by": "users"}, time_column="at"),
    ... }
    >>> table = training_table(tables, "users", [10, 10], keys=["a", "b"],
    ...                        target=("posts", "by"), horizon=10)
    >>> table.labels.tolist()   # a: post at 25 is after 10 + 10; b: post at 12
    [0.0, 1.0]
    >>> every = training_table(tables, "users", [0, 5], target=("posts", "by"), horizon=30,
    ...                        aggregate="sum", column="likes")
    >>> every.keys.tolist(), every.times.tolist(), every.labels.tolist()  # b joined at 5
    (['a', 'a', 'b'], [0, 5, 5], [7.0, 6.0, 3.0])
    """
    if aggregate not in _AGGREGATES:
        raise ValueError(f"aggregate must be one of {', '.join(_AGGREGATES)}, got {aggregate!r}")
    if (column is None) != (aggregate in ("count", "exists")):
        raise ValueError(f"aggregate {aggregate!r} " + ("takes no column" if column else "needs a column"))
    if entity_table not in tables:
        raise ValueError(f"{entity_table!r} is not one of the tables")
    child_name, foreign_key = target
    if child_name not in tables:
        raise ValueError(f"target names the table {child_name!r}, which is not one of the tables")
    child = tables[child_name]
    if child.foreign_keys.get(foreign_key) != entity_table:
        raise ValueError(f"{child_name}.{foreign_key} is not a foreign key into {entity_table}")
    if child.time_column is None:
        raise ValueError(f"{child_name} has no time column of its own to find the rows after a cut-off")
    if isinstance(horizon, np.timedelta64):
        span = int(horizon.astype(f"timedelta64[{time_unit}]").astype(np.int64))
    else:
        span = int(horizon)
    if span <= 0:
        raise ValueError(f"horizon must be positive, got {horizon!r}")

    example_keys, example_times = _examples(
        entity_table, tables[entity_table], keys, times, time_unit
    )
    # The child rows that refer to some row, with their times and values.
    referred, null = child.column(foreign_key)
    rows = np.arange(child.num_rows, dtype=np.int64) if null is None else np.flatnonzero(~null)
    child_keys = key_array(referred[rows], f"{child_name}.{foreign_key}", rows) if rows.size else \
        np.zeros(0, example_keys.dtype)
    child_time = _times(child.columns[child.time_column], time_unit,
                        f"{child_name}.{child.time_column}", child.time_unit)[rows]
    weight = np.ones(rows.size, dtype=np.float64)
    present = np.ones(rows.size, dtype=np.float64)
    if column is not None:
        values, value_null = child.column(column)
        if values.dtype.kind not in "iufb":
            raise ValueError(f"{child_name}.{column} holds {values.dtype} values, not numbers")
        weight = values[rows].astype(np.float64)
        if value_null is not None:
            missing = value_null[rows]
            weight[missing] = 0.0
            present[missing] = 0.0
    labels = _window_totals(child_keys, child_time, weight, example_keys, example_times, span)
    if aggregate == "mean":
        count = _window_totals(child_keys, child_time, present, example_keys, example_times, span)
        with np.errstate(invalid="ignore", divide="ignore"):
            labels = np.where(count > 0, labels / np.maximum(count, 1), np.nan)
    elif aggregate == "exists":
        labels = (labels > 0).astype(np.float64)
    return TrainingTable(entity_table, example_keys, example_times, labels, span, time_unit)


def _window_totals(
    child_keys: AnyArray, child_time: Int64Array, weight: Float64Array,
    example_keys: AnyArray, example_times: Int64Array, span: int,
) -> Float64Array:
    """Per example (k, t): the sum of ``weight`` over child rows with key k and
    time in (t, t + span].

    Child rows and both ends of every window are sorted together by (key,
    time), each end after the child rows of its own time. The running total
    of the weights at the window's end minus that at its start counts the
    rows of key k in (t, t + span]: rows of smaller keys cancel out.
    """
    if child_keys.dtype.kind != example_keys.dtype.kind:
        return np.zeros(example_keys.size)  # no child row can match
    n, m = child_keys.size, example_keys.size
    _, codes = np.unique(np.concatenate([child_keys, example_keys]), return_inverse=True)
    codes = codes.reshape(-1).astype(np.int64)
    ends = np.minimum(example_times, np.int64(2**63 - 1 - span)) + span  # saturating
    key_all = np.concatenate([codes[:n], codes[n:], codes[n:]])
    time_all = np.concatenate([child_time, example_times, ends])
    is_end = np.concatenate([np.zeros(n, np.int8), np.ones(2 * m, np.int8)])
    order = np.lexsort((is_end, time_all, key_all))
    running = np.cumsum(np.where(is_end[order] == 0, np.concatenate([weight, np.zeros(2 * m)])[order], 0.0))
    at = np.empty(n + 2 * m, dtype=np.float64)
    at[order] = running
    return at[n + m :] - at[n : n + m]


class _TimedExamples(Protocol):
    """What ``split_by_time`` reads of a table: ``TrainingTable`` and
    ``LinkTrainingTable`` are both such tables."""

    @property
    def times(self) -> Int64Array: ...
    @property
    def horizon(self) -> int: ...
    @property
    def time_unit(self) -> str: ...
    def take(self: _Examples, index: npt.ArrayLike) -> _Examples: ...


_Examples = TypeVar("_Examples", bound=_TimedExamples)


def split_by_time(
    table: _Examples, val_start: object, test_start: object
) -> tuple[_Examples, _Examples, _Examples]:
    """Split examples by cut-off time into training, validation and test.

    Training examples have their whole label window before ``val_start``
    (``t + horizon <= val_start``), validation examples start at or after it
    and end by ``test_start``, and test examples start at or after
    ``test_start``. An example whose label window crosses ``val_start`` or
    ``test_start`` belongs to no part: its label would see rows of the next
    part's period. Times are in the table's unit, datetime64 or ISO-8601.

    Examples
    --------
    >>> import numpy as np
    >>> table = TrainingTable("users", np.arange(5), np.array([0, 10, 20, 30, 40]),
    ...                       np.zeros(5), horizon=10, time_unit="s")
    >>> [part.times.tolist() for part in split_by_time(table, 20, 35)]
    [[0, 10], [20], [40]]
    """
    val, test = _times([val_start, test_start], table.time_unit, "val_start, test_start").tolist()
    if val > test:
        raise ValueError(f"val_start {val} comes after test_start {test}")
    t, end = table.times, table.times + table.horizon
    return (
        table.take(end <= val),
        table.take((t >= val) & (end <= test)),
        table.take(t >= test),
    )
