"""Tables resolved for a graph: each table's rows, key map and times, every
foreign key as parent positions, and times inherited from timed parents.

``build_graph`` and the training tables both start from ``resolve_tables``,
so that keys and times are matched by one rule.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass

import numpy as np

from ..tables.columns import AnyArray, BoolArray, Int64Array, key_array, time_array
from ..tables.table import Table
from .csc import time_order
from .graph import KeyMap


@dataclass
class _Resolved:
    """One table after conversion: row count, key map, times."""

    num_rows: int
    key_name: str | None
    key_map: KeyMap | None
    times: Int64Array | None
    order: Int64Array | None = None  # rows by time, computed on first use

    def rows_by_time(self) -> Int64Array | None:
        if self.times is None:
            return None
        if self.order is None:
            self.order = time_order(self.times)
        return self.order


def _without_nulls(table: Table, column: str, what: str, fault: str) -> AnyArray:
    """The values of a column that may hold no null; the first null is named."""
    values, null = table.column(column)
    if null is not None:
        raise ValueError(f"{what} row {int(np.flatnonzero(null)[0])}: {fault}")
    return values


def _resolve_table(name: str, table: Table, time_unit: str) -> _Resolved:
    key_map = None
    if table.primary_key is not None:
        what = f"{name}.{table.primary_key}"
        values = _without_nulls(table, table.primary_key, what, "the primary key is null")
        keys = key_array(values, what) if values.size else np.zeros(0, np.int64)
        # A copy: the graph must not change when the caller's column does.
        key_map = KeyMap.from_keys(np.array(keys), what)
    times = None
    if table.time_column is not None:
        what = f"{name}.{table.time_column}"
        values = _without_nulls(
            table, table.time_column, what,
            "the time is missing: drop the rows without a time, or declare another time "
            "column (Table(..., time_column=...) or read_sqlite(..., time_columns={table: column}))",
        )
        converted = time_array(values, time_unit, what, source_unit=table.time_unit)
        times = np.array(converted, dtype=np.int64, order="C")
    return _Resolved(table.num_rows, table.primary_key, key_map, times)


# Dangling values a message shows before it says "...".
_SHOWN = 5


def _dangling_message(
    what: str, target: str, keys: AnyArray, bad: Int64Array, rows: Int64Array | None,
    child: str, child_resolved: _Resolved,
) -> str:
    """Name the count of dangling values and the first few, with their rows' keys."""
    distinct = np.unique(keys[bad]).size
    shown = []
    for i in bad[:_SHOWN].tolist():
        row = i if rows is None else int(rows[i])
        if child_resolved.key_map is not None:
            where = f"row with {child_resolved.key_name} {child_resolved.key_map.keys[row].item()!r}"
        else:
            where = f"row {row}"
        shown.append(f"{keys[i].item()!r} ({where})")
    listed = ", ".join(shown) + (", ..." if bad.size > _SHOWN else "")
    if bad.size == 1:
        counted = "1 row holds a value that matches"
    else:
        counted = f"{bad.size} rows hold {distinct} distinct values that match"
    return (
        f"{what}: {counted} no {target}: {listed}; "
        "build_graph(..., dangling_keys='null') reads such values as null (no edge)"
    )


@dataclass
class _Link:
    """One foreign key resolved: each child row's parent position (-1 for
    none), the mask of rows without a parent, and how many of those held a
    value that matched no parent row."""

    parent_of: Int64Array
    null: BoolArray | None
    dangling: int


def _parent_positions(
    child: str, column: str, table: Table, parent: str, resolved: dict[str, _Resolved],
    dangling_keys: str,
) -> _Link:
    what = f"{child}.{column}"
    parent_resolved = resolved[parent]
    values, null = table.column(column)
    rows = None
    if null is not None:
        rows = np.flatnonzero(~null).astype(np.int64)
        values = values[rows]
    keys = key_array(values, what, rows) if values.size else np.zeros(0, np.int64)

    if parent_resolved.key_map is None:
        if keys.dtype.kind != "i":
            raise ValueError(
                f"{what} holds {keys.dtype} values, but {parent} has no primary key: "
                "give its row positions"
            )
        missing = np.flatnonzero((keys < 0) | (keys >= parent_resolved.num_rows))
        target = f"row of {parent} (no primary key, {parent_resolved.num_rows} rows)"
        positions = np.array(keys, dtype=np.int64)
    else:
        positions, missing = parent_resolved.key_map.lookup(keys)
        target = f"{parent}.{parent_resolved.key_name}"
    if missing.size:
        if dangling_keys != "null":
            raise ValueError(
                _dangling_message(what, target, keys, missing, rows, child, resolved[child])
            )
        gone = missing if rows is None else rows[missing]
        null = np.zeros(table.num_rows, dtype=bool) if null is None else null.copy()
        null[gone] = True
        keep = np.ones(positions.size, dtype=bool)
        keep[missing] = False
        positions = positions[keep]
    if null is None:
        return _Link(positions, None, 0)
    full = np.full(table.num_rows, -1, dtype=np.int64)
    full[~null] = positions
    return _Link(full, null, int(missing.size))


# The time of a row whose timed parents are all null: before every other
# time, so that it stays visible to every example, as an untimed row is.
EARLIEST = np.iinfo(np.int64).min


def _inherit_times(
    tables: Mapping[str, Table], resolved: dict[str, _Resolved], link: Callable[[str, str], _Link]
) -> dict[str, list[str]]:
    """Give each table without a time column that refers to timed tables the
    latest time of its parent rows; return the tables given times, with the
    foreign-key columns they took them through.

    Tables are done parents first, so a child of a table that inherited
    inherits in turn. Within a cycle of untimed tables a table takes times
    only from the parents done before it (a reference to its own table is
    never followed).
    """
    pending = [
        name for name, table in tables.items()
        if table.time_column is None and any(p != name for p in table.foreign_keys.values())
    ]
    done = set(tables) - set(pending)
    inherited: dict[str, list[str]] = {}
    while pending:
        ready = [
            name for name in pending
            if all(p in done or p == name for p in tables[name].foreign_keys.values())
        ]
        name = ready[0] if ready else pending[0]
        pending.remove(name)
        done.add(name)
        columns = [
            column for column, parent in tables[name].foreign_keys.items()
            if parent != name and resolved[parent].times is not None
        ]
        if not columns:
            continue
        times = np.full(resolved[name].num_rows, EARLIEST, dtype=np.int64)
        for column in columns:
            parent_times = resolved[tables[name].foreign_keys[column]].times
            assert parent_times is not None
            found = link(name, column)
            if found.null is None:
                np.maximum(times, parent_times[found.parent_of], out=times)
            else:
                has = ~found.null
                times[has] = np.maximum(times[has], parent_times[found.parent_of[has]])
        resolved[name].times = times
        inherited[name] = columns
    return inherited


@dataclass
class Resolution:
    """The tables' keys, times and foreign keys as the graph sees them.

    ``build_graph`` builds its edges from it and ``training_table`` matches
    label rows to entities and decides when a row exists through it, so the
    two never compare keys or times differently. ``link(child, column)``
    resolves a foreign key once; ``take_link`` hands it over and forgets it.
    """

    tables: Mapping[str, Table]
    resolved: dict[str, _Resolved]
    dangling_keys: str
    links: dict[tuple[str, str], _Link]
    dangling: dict[str, int]
    inherited: dict[str, list[str]]

    def link(self, child: str, column: str) -> _Link:
        if (child, column) not in self.links:
            table = self.tables[child]
            found = _parent_positions(
                child, column, table, table.foreign_keys[column], self.resolved, self.dangling_keys
            )
            if found.dangling:
                self.dangling[f"{child}.{column}"] = found.dangling
            self.links[child, column] = found
        return self.links[child, column]

    def take_link(self, child: str, column: str) -> _Link:
        self.link(child, column)
        return self.links.pop((child, column))


def resolve_tables(
    tables: Mapping[str, Table],
    time_unit: str,
    *,
    inherit_times: bool = True,
    dangling_keys: str = "error",
    step: Callable[[], None] = lambda: None,
) -> Resolution:
    """Every table's key map and times (inherited ones included), as
    ``build_graph`` takes them; ``step`` is called after each table."""
    if dangling_keys not in ("error", "null"):
        raise ValueError(f"dangling_keys must be 'error' or 'null', got {dangling_keys!r}")
    for child, table in tables.items():
        for column, parent in table.foreign_keys.items():
            if parent not in tables:
                raise ValueError(f"{child}.{column} refers to the unknown table {parent!r}")
    resolution = Resolution(tables, {}, dangling_keys, {}, {}, {})
    for name, table in tables.items():
        resolution.resolved[name] = _resolve_table(name, table, time_unit)
        step()
    if inherit_times:
        resolution.inherited = _inherit_times(tables, resolution.resolved, resolution.link)
    return resolution
