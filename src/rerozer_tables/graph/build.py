"""``build_graph``: from tables with primary and foreign keys to a ``Graph``.

Every table becomes a node type whose nodes are the table's rows, numbered by
position. Every foreign-key column becomes two edge types:

* ``(child, column, parent)``: the column of a parent row lists the child rows
  that refer to it. Sampling from a parent walks to its children.
* ``(parent, "rev_" + column, child)``: the column of a child row lists the one
  parent row it refers to. Sampling from a child walks to its parent.

Within each column the sources are ordered by their time, stably: sources
with equal times, and all sources of a table without times, keep row order.

The work is a few sorts and gathers over whole arrays. Sorting by value is
several times faster in numpy than ``argsort``, so orders are found by sorting
packed keys ``major * n + position`` whenever they fit in 63 bits.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from ._columns import AnyArray, BoolArray, Int64Array, key_array, time_array
from ._progress import progress_bar
from .features import TextEmbedder, encode_features
from .graph import EdgeType, Graph, KeyMap, edge_type_key
from .table import Table

_INT63 = 2**63 - 1


def _int64(values: npt.ArrayLike, what: str) -> Int64Array:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    if array.size and not np.issubdtype(array.dtype, np.integer):
        raise ValueError(f"{what} must hold integers, got dtype {array.dtype}")
    return np.ascontiguousarray(array, dtype=np.int64)


def stable_order(major: Int64Array, bound: int) -> Int64Array:
    """The positions of ``major`` sorted by value, equal values in position order.

    ``major`` holds values in ``[0, bound)``. Equivalent to
    ``np.argsort(major, kind="stable")``.
    """
    n = major.size
    if n == 0:
        return np.zeros(0, dtype=np.int64)
    if bound <= _INT63 // max(n, 1):
        packed = major * n  # a fresh array, sorted in place below
        packed += np.arange(n, dtype=np.int64)
        packed.sort()
        packed %= n
        return packed
    return np.argsort(major, kind="stable").astype(np.int64, copy=False)


def time_order(times: Int64Array) -> Int64Array:
    """Row positions sorted by time, ties in row order."""
    if times.size == 0:
        return np.zeros(0, dtype=np.int64)
    low = int(times.min())
    span = int(times.max()) - low + 1
    if span <= _INT63 // times.size:
        return stable_order(times - low, span)
    # Times spread too wide to pack (``times - low`` might not even fit).
    return np.argsort(times, kind="stable").astype(np.int64, copy=False)


def _columns_by(src_in_order: Int64Array, dst: Int64Array, num_dst: int) -> tuple[Int64Array, Int64Array]:
    """CSC of edges ``src_in_order[i] -> dst[i]``, each column keeping input order."""
    order = stable_order(dst, num_dst)
    row = np.take(src_in_order, order)
    colptr = np.zeros(num_dst + 1, dtype=np.int64)
    np.cumsum(np.bincount(dst, minlength=num_dst), out=colptr[1:])
    return colptr, row


def edges_to_csc(
    src: npt.ArrayLike,
    dst: npt.ArrayLike,
    num_dst: int,
    src_time: npt.ArrayLike | None = None,
) -> tuple[Int64Array, Int64Array]:
    """Return ``(colptr, row)`` of the edges ``src[i] -> dst[i]``.

    For graphs made by hand. The column of destination node v is
    ``row[colptr[v]:colptr[v + 1]]``: the sources of the edges entering v.
    With ``src_time`` (the time of every source node, indexed by source id)
    each column is ordered by source time; ties, and every column when
    ``src_time`` is None, keep the input order. Raises ValueError for
    mismatched lengths, destination ids outside ``[0, num_dst)`` and source
    ids outside ``src_time``.

    Examples
    --------
    >>> colptr, row = edges_to_csc([0, 1, 2], [1, 1, 0], 2, src_time=[30, 10, 20])
    >>> colptr.tolist(), row.tolist()
    ([0, 1, 3], [2, 1, 0])
    """
    src_ids = _int64(src, "src")
    dst_ids = _int64(dst, "dst")
    if src_ids.shape != dst_ids.shape:
        raise ValueError(f"src and dst differ in length: {src_ids.size} != {dst_ids.size}")
    if num_dst < 0:
        raise ValueError(f"num_dst must not be negative, got {num_dst}")
    if dst_ids.size and (dst_ids.min() < 0 or dst_ids.max() >= num_dst):
        raise ValueError(f"dst ids must lie in [0, {num_dst})")
    if src_time is not None:
        times = _int64(src_time, "src_time")
        if src_ids.size and (src_ids.min() < 0 or src_ids.max() >= times.size):
            raise ValueError(f"src ids must lie in [0, {times.size}) to have a time")
        by_time = time_order(times[src_ids])
        return _columns_by(src_ids[by_time], dst_ids[by_time], num_dst)
    return _columns_by(src_ids, dst_ids, num_dst)


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


def build_graph(
    tables: Mapping[str, Table],
    *,
    time_unit: str = "s",
    inherit_times: bool = True,
    dangling_keys: str = "error",
    progress: bool = False,
    text_embedder: TextEmbedder | None = None,
) -> Graph:
    """Build the sampler's graph from tables linked by foreign keys.

    Parameters
    ----------
    tables
        Table name -> ``Table``. Node types follow this order; edge types
        follow the tables and, within a table, the order of its foreign
        keys: for each, ``(child, column, parent)`` and then
        ``(parent, "rev_" + column, child)``.
    time_unit
        The numpy unit every time is converted to (``"s"``, ``"ms"``, ...,
        ``"D"``), counted from 1970-01-01 UTC. Integer times are taken to be
        in this unit already unless their table gives its own ``time_unit``.
    inherit_times
        Give a table without a time column that has foreign keys into timed
        tables the time of its parent row: with several timed parents, the
        latest of them, as a row cannot predate what it refers to; a row
        whose timed foreign keys are all null gets the earliest time,
        -2**63, and stays visible to every example. This applies down
        chains of such tables, and ``Graph.inherited_times`` lists the
        tables that inherited. Without it, such a table has no times and is
        sampled at random, so a request through it can reach rows from after
        the example time. False turns it off.
    dangling_keys
        What a foreign-key value that matches no parent row is: ``"error"``
        (ValueError naming how many there are and the first few, with their
        rows' keys) or ``"null"`` (no edge, as a null; the count per column
        is kept in ``Graph.dangling_keys``).
    progress
        Show a progress bar over the tables and foreign keys.
    text_embedder
        A callable from a list of strings to a float matrix with one row per
        string (a sentence encoder's ``encode``, say): it embeds the text
        feature columns, once per distinct value of each, and the vectors
        are kept (and saved) with the graph. With it, string columns that
        have rare values are inferred to be text (see
        ``rerozer_tables.inference``); without it, a column declared text
        is an error.

    Each table's feature columns are encoded into ``graph.features[name]``
    (see ``rerozer_tables.features``), rows in the table's row order.

    Keys compare as SQLite compares them: a text key that is an integer
    literal ('7', ' 7', '7.0') matches the integer key 7, and an integer
    matches the text key of its decimal form. Float keys must be whole
    numbers within ±2**53, where floats hold integers exactly.

    Returns
    -------
    Graph
        Every array is fresh (none shares memory with the tables), C-contiguous
        and native int64. The result always passes ``check_graph``.

    Raises
    ------
    ValueError
        For a foreign key into an unknown table, a null or repeated primary
        key, foreign-key values that match no parent row (unless
        ``dangling_keys="null"``), a missing time, a time out of the unit's
        range, and values of the wrong kind, naming the table, column, row
        and value.

    Examples
    --------
    >>> from rerozer_tables import Table, build_graph
    >>> graph = build_graph({
    ...     "customers": Table({"id": [7]}, primary_key="id"),
    ...     "orders": Table({"customer_id": [7, 7, 7], "t": [30, 10, 20]},
    ...                     foreign_keys={"customer_id": "customers"}, time_column="t"),
    ... })
    >>> graph.edge_types
    [('orders', 'customer_id', 'customers'), ('customers', 'rev_customer_id', 'orders')]
    >>> graph.row["orders__customer_id__customers"].tolist()
    [1, 2, 0]

    An order line without a time of its own takes its order's:

    >>> graph = build_graph({
    ...     "orders": Table({"id": [1, 2], "t": [50, 40]}, primary_key="id", time_column="t"),
    ...     "lines": Table({"order_id": [2, 1, None]}, foreign_keys={"order_id": "orders"}),
    ... })
    >>> graph.node_time["lines"].tolist()[:2], graph.inherited_times
    ([40, 50], {'lines': ['order_id']})
    """
    steps = 2 * len(tables) + sum(len(t.foreign_keys) for t in tables.values())
    edge_types: list[EdgeType] = []
    colptr: dict[str, Int64Array] = {}
    row: dict[str, Int64Array] = {}

    def add(edge_type: EdgeType, arrays: tuple[Int64Array, Int64Array]) -> None:
        key = edge_type_key(edge_type)
        if key in colptr:
            raise ValueError(f"edge type key {key!r} is built twice")
        edge_types.append(edge_type)
        colptr[key], row[key] = arrays

    with progress_bar(steps, "build", "step", progress) as bar:
        resolution = resolve_tables(
            tables, time_unit, inherit_times=inherit_times, dangling_keys=dangling_keys,
            step=lambda: bar.update(1),
        )
        resolved = resolution.resolved
        for child, table in tables.items():
            for column, parent in table.foreign_keys.items():
                found = resolution.take_link(child, column)  # released once its edges are built
                parent_of, null = found.parent_of, found.null
                num_parents = resolved[parent].num_rows
                # child -> parent: children in time order, then grouped by parent.
                by_time = resolved[child].rows_by_time()
                if by_time is not None and null is not None:
                    children = by_time[~null[by_time]]
                elif by_time is not None:
                    children = by_time
                elif null is not None:
                    children = np.flatnonzero(~null).astype(np.int64)
                else:
                    children = np.arange(table.num_rows, dtype=np.int64)
                add((child, column, parent), _columns_by(children, parent_of[children], num_parents))
                # parent -> child: a column of at most one entry per child row.
                if null is None:
                    rev_colptr = np.arange(table.num_rows + 1, dtype=np.int64)
                    rev_row = parent_of
                else:
                    rev_colptr = np.zeros(table.num_rows + 1, dtype=np.int64)
                    np.cumsum(~null, out=rev_colptr[1:])
                    rev_row = parent_of[~null]
                add((parent, "rev_" + column, child), (rev_colptr, rev_row))
                del parent_of, children, found
                bar.update(1)
        features = {}
        for name, table in tables.items():
            features[name] = encode_features(name, table, time_unit, text_embedder)
            bar.update(1)

    return Graph(
        node_types=list(tables),
        edge_types=edge_types,
        colptr=colptr,
        row=row,
        node_time={n: r.times for n, r in resolved.items() if r.times is not None},
        num_nodes={n: r.num_rows for n, r in resolved.items()},
        keys={n: r.key_map for n, r in resolved.items() if r.key_map is not None},
        time_unit=time_unit,
        features=features,
        inherited_times=resolution.inherited,
        dangling_keys=resolution.dangling,
    )
