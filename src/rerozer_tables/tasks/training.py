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

import datetime as dt
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal, Protocol, TypeVar

import numpy as np
import numpy.typing as npt

from ..graph.graph import Graph, positions_of
from ..graph.resolve import Resolution, _Resolved, resolve_tables
from ..graph.reuse import GraphResolution, graph_resolution
from ..graph.time_rules import exists_at, first_late
from ..tables.columns import (
    AnyArray,
    BoolArray,
    Int64Array,
    column_array,
    offset_count,
    time_array,
)
from ..tables.progress import Progress, progress_bar
from ..tables.table import Table
from ..tables.time_sums import add_offset

Aggregate = Literal["count", "sum", "mean", "exists"]
Float64Array = npt.NDArray[np.float64]
_AGGREGATES = ("count", "sum", "mean", "exists")


@dataclass(frozen=True)
class TrainingTable:
    """Examples and their labels.

    ``keys`` are primary-key values of the entity table as the graph holds
    them (row positions for a table without one), ``times`` the cut-off
    times in ``time_unit``, and ``labels`` float64: a count, a sum, a mean (NaN when the window holds no
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


def _times(values: object, unit: str, what: str) -> Int64Array:
    array, null = column_array(values)
    if null is not None:
        raise ValueError(f"{what} at index {int(np.flatnonzero(null)[0])} is null")
    return np.ascontiguousarray(time_array(array, unit, what), dtype=np.int64)


def _examples(
    name: str, entity: _Resolved, keys: object | None, times: object, unit: str
) -> tuple[Int64Array, Int64Array]:
    """The examples as (entity row positions, cut-off times); each row must
    exist at its cut-off. Given keys are matched as ``Graph.position``
    matches them."""
    if keys is None:
        # Every row that exists at each cut-off, cut-off by cut-off.
        cutoffs = _times(times, unit, "times")
        everything = np.arange(entity.num_rows, dtype=np.int64)
        chosen = [
            everything if entity.times is None else np.flatnonzero(exists_at(entity.times, t))
            for t in cutoffs.tolist()
        ]
        rows = np.concatenate(chosen).astype(np.int64) if chosen else np.zeros(0, np.int64)
        return rows, np.repeat(cutoffs, [c.size for c in chosen])
    rows = positions_of(name, entity.key_map, entity.num_rows, keys)
    example_times = _times(times, unit, "times")
    if rows.size != example_times.size:
        raise ValueError(f"{example_times.size} times for {rows.size} keys")
    if entity.times is not None:
        late = first_late(entity.times[rows], example_times)
        if late is not None:
            key = rows[late] if entity.key_map is None else entity.key_map.keys[rows[late]]
            raise ValueError(
                f"{name} key at index {late}: row {key.item()!r} comes at "
                f"{entity.times[rows[late]]}, after its cut-off time {example_times[late]}; leave it out"
            )
    return rows, example_times


def target_child(
    tables: Mapping[str, Table], entity_table: str, child_name: str, foreign_key: str,
    horizon: object, time_unit: str,
) -> tuple[Table, int]:
    """The child table of a label target, checked to refer to ``entity_table``
    through ``foreign_key`` and to have times of its own, and the window's
    length in ``time_unit``."""
    if child_name not in tables:
        raise ValueError(f"target names the table {child_name!r}, which is not one of the tables")
    child = tables[child_name]
    if child.foreign_keys.get(foreign_key) != entity_table:
        raise ValueError(f"{child_name}.{foreign_key} is not a foreign key into {entity_table}")
    if child.time_column is None:
        raise ValueError(f"{child_name} has no time column of its own to find the rows after a cut-off")
    span = offset_count("horizon", horizon, time_unit)
    if span <= 0:
        raise ValueError(f"horizon must be positive, got {horizon!r}")
    return child, span


def graph_unit(graph: Graph | None, time_unit: str | None) -> str:
    """The time unit of a training table: the graph's, when one is given."""
    if graph is None:
        return "s" if time_unit is None else time_unit
    if time_unit is not None and time_unit != graph.time_unit:
        raise ValueError(f"time_unit {time_unit!r} differs from the graph's time unit {graph.time_unit!r}")
    return graph.time_unit


def resolved_examples(
    tables: Mapping[str, Table], entity_table: str, keys: object | None, times: object,
    time_unit: str, inherit_times: bool, graph: Graph | None = None, used: tuple[str, ...] = (),
    bar: Progress | None = None,
) -> tuple[Resolution | GraphResolution, Int64Array, Int64Array, AnyArray]:
    """The tables' keys, times and links exactly as ``build_graph`` resolves
    them (dangling keys link nothing), and the examples as entity row
    positions, cut-off times and the keys the graph holds for them.

    With ``graph``, the graph built from ``tables`` gives them (of the
    entity table and the tables in ``used``), and nothing is resolved again.
    """
    resolution: Resolution | GraphResolution
    if graph is None:
        resolution = resolve_tables(
            tables, time_unit, inherit_times=inherit_times, dangling_keys="null",
            step=(lambda: None) if bar is None else (lambda: bar.update(1)),
        )
    else:
        resolution = graph_resolution(graph, tables, [entity_table, *used])
        if bar is not None:
            bar.update(len(tables))
    entity = resolution.resolved[entity_table]
    rows, example_times = _examples(entity_table, entity, keys, times, time_unit)
    example_keys = rows if entity.key_map is None else entity.key_map.keys[rows]
    return resolution, rows, example_times, example_keys


def _numbers(values: AnyArray, null: BoolArray | None, what: str) -> Float64Array:
    """A value column as float64, NaN where it is null."""
    present = values if null is None else values[~null]
    if present.dtype == object:
        present = np.array(present.tolist()) if present.size else np.zeros(0)
    if present.dtype.kind not in "iufb":
        raise ValueError(f"{what} holds {present.dtype} values, not numbers")
    if null is None:
        return present.astype(np.float64)
    full = np.full(null.size, np.nan)
    full[~null] = present
    return full


def training_table(
    tables: Mapping[str, Table],
    entity_table: str,
    times: object,
    *,
    keys: object | None = None,
    target: tuple[str, str],
    horizon: int | np.timedelta64 | dt.timedelta,
    aggregate: Aggregate = "count",
    column: str | None = None,
    time_unit: str | None = None,
    inherit_times: bool = True,
    graph: Graph | None = None,
    progress: bool | None = None,
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
        times at which every row of ``entity_table`` that exists then
        becomes an example. A row exists from its time, its own or the one
        ``build_graph`` gives it from its parent rows (``inherit_times``).
    keys
        The examples' primary-key values of ``entity_table`` (row positions
        when it has none), matched as ``build_graph`` matches foreign keys
        ('7' is the integer key 7). Each row must exist at its cut-off time.
    target
        ``(child table, foreign-key column)``: the rows counted for an
        example are those of the child table whose column refers to the
        example's row, as the graph links them, and whose time lies in
        ``(t, t + horizon]``.
    horizon
        The label window's length: an int in ``time_unit``, or a
        ``np.timedelta64`` or ``datetime.timedelta`` that is a whole number
        of it.
    aggregate
        ``"count"`` of those rows, ``"sum"`` or ``"mean"`` of their
        ``column`` (nulls left out; the mean of no value is NaN), or
        ``"exists"``: 1.0 when there is such a row, else 0.0. Each label is
        summed in float64 from its own entity's rows alone.
    time_unit
        The graph's time unit, in which ``times`` of the result are given:
        by default the unit of ``graph``, or ``"s"`` without one.
    inherit_times
        As for ``build_graph``: whether an entity table without a time
        column takes its rows' times from their parents. Give the value the
        graph was built with (with ``graph``, its times are taken as built).
    graph
        The graph ``build_graph`` (or ``load_graph``) made of ``tables``: its
        key maps, times and edges are used as they are, instead of resolving
        the tables again, which costs about as much as the build.
    progress
        A progress bar over the steps: None shows it when the call runs
        longer than a couple of seconds in an interactive terminal outside
        CI, True always, False never.

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
    time_unit = graph_unit(graph, time_unit)
    child, span = target_child(tables, entity_table, child_name, foreign_key, horizon, time_unit)
    with progress_bar(len(tables) + 3, "training_table", "step", progress) as bar:
        resolution, rows, example_times, example_keys = resolved_examples(
            tables, entity_table, keys, times, time_unit, inherit_times, graph, (child_name,), bar
        )
        parent_of = resolution.link(child_name, foreign_key).parent_of
        child_time = resolution.resolved[child_name].times
        assert child_time is not None
        bar.update(1)
        counted = parent_of >= 0
        values = None
        if column is not None:
            values = _numbers(*child.column(column), f"{child_name}.{column}")
            counted &= ~np.isnan(values)  # nulls are left out
        chosen = np.flatnonzero(counted)
        bar.update(1)
        order, low, high = _windows(parent_of[chosen], child_time[chosen], rows, example_times, span)
        bar.update(1)
    count = (high - low).astype(np.float64)
    if aggregate == "count":
        labels = count
    elif aggregate == "exists":
        labels = (count > 0).astype(np.float64)
    else:
        assert values is not None
        labels = _range_sums(values[chosen][order], low, high)
        if aggregate == "mean":
            with np.errstate(invalid="ignore", divide="ignore"):
                labels = np.where(count > 0, labels / np.maximum(count, 1), np.nan)
    return TrainingTable(entity_table, example_keys, example_times, labels, span, time_unit)


def _windows(
    entity_of: Int64Array, row_time: Int64Array, examples: Int64Array,
    example_times: Int64Array, span: int,
) -> tuple[Int64Array, Int64Array, Int64Array]:
    """The rows sorted by (entity, time), and for every example (p, t) the
    range [low, high) of that order holding entity p's rows with a time in
    (t, t + span]. Integer positions only: no sum crosses entities."""
    order = np.lexsort((row_time, entity_of)).astype(np.int64)
    by_entity, by_time = entity_of[order], row_time[order]
    ends = add_offset(example_times, span)
    return order, _rank(by_entity, by_time, examples, example_times), \
        _rank(by_entity, by_time, examples, ends)


def _rank(
    by_entity: Int64Array, by_time: Int64Array, entities: Int64Array, times: Int64Array
) -> Int64Array:
    """For each (entity, time) query, the number of sorted rows at or before it."""
    n, m = by_entity.size, entities.size
    is_query = np.concatenate([np.zeros(n, bool), np.ones(m, bool)])
    # A row at the query's own time sorts before it, so it is counted.
    merged = np.lexsort((is_query, np.concatenate([by_time, times]),
                         np.concatenate([by_entity, entities])))
    queries = is_query[merged]
    rows_so_far = np.cumsum(~queries)
    rank = np.empty(m, dtype=np.int64)
    rank[merged[queries] - n] = rows_so_far[queries]
    return rank


def _range_sums(values: Float64Array, low: Int64Array, high: Int64Array) -> Float64Array:
    """The sum of ``values[low[i]:high[i]]`` for each i, each from its own values."""
    if low.size == 0:
        return np.zeros(0)
    bounds = np.empty(2 * low.size, dtype=np.int64)
    bounds[0::2], bounds[1::2] = low, high
    sums = np.add.reduceat(np.append(values, 0.0), bounds)[0::2]
    sums[high == low] = 0.0  # reduceat gives values[low] for an empty range
    return sums


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
    t, end = table.times, add_offset(table.times, table.horizon)
    return (
        table.take(end <= val),
        table.take((t >= val) & (end <= test)),
        table.take(t >= test),
    )
