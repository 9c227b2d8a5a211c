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

from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from ._columns import AnyArray, BoolArray, Int64Array, key_array, time_array
from ._progress import progress_bar
from .features import encode_features
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
        values = _without_nulls(table, table.time_column, what, "the time is missing")
        times = np.array(time_array(values, time_unit, what), dtype=np.int64, order="C")
    return _Resolved(table.num_rows, table.primary_key, key_map, times)


def _parent_positions(
    child: str, column: str, table: Table, parent: str, resolved: _Resolved
) -> tuple[Int64Array, BoolArray | None]:
    """The parent position of every child row, and the null mask (rows with no parent)."""
    what = f"{child}.{column}"
    values, null = table.column(column)
    rows = None
    if null is not None:
        rows = np.flatnonzero(~null).astype(np.int64)
        values = values[rows]
    keys = key_array(values, what, rows) if values.size else np.zeros(0, np.int64)

    def row_of(index: int) -> int:
        return index if rows is None else int(rows[index])

    if resolved.key_map is None:
        if keys.dtype.kind != "i":
            raise ValueError(
                f"{what} holds {keys.dtype} values, but {parent} has no primary key: "
                "give its row positions"
            )
        bad = np.flatnonzero((keys < 0) | (keys >= resolved.num_rows))
        if bad.size:
            i = int(bad[0])
            raise ValueError(
                f"{what} row {row_of(i)}: {keys[i].item()!r} matches no row of {parent} "
                f"(no primary key, {resolved.num_rows} rows)"
            )
        positions = np.array(keys, dtype=np.int64)
    else:
        positions, missing = resolved.key_map.lookup(keys)
        if missing.size:
            i = int(missing[0])
            raise ValueError(
                f"{what} row {row_of(i)}: {keys[i].item()!r} matches no {parent}.{resolved.key_name}"
            )
    if null is None:
        return positions, None
    full = np.full(table.num_rows, -1, dtype=np.int64)
    full[~null] = positions
    return full, null


def build_graph(
    tables: Mapping[str, Table], *, time_unit: str = "s", progress: bool = False
) -> Graph:
    """Build the sampler's graph from tables linked by foreign keys.

    Parameters
    ----------
    tables
        Table name -> ``Table``. Node types follow this order; edge types
        follow the tables and, within a table, its foreign keys.
    time_unit
        The numpy unit every time is converted to (``"s"``, ``"ms"``, ...,
        ``"D"``), counted from 1970-01-01 UTC. Integer times are taken to be
        in this unit already.
    progress
        Show a progress bar over the tables and foreign keys.

    Each table's feature columns are encoded into ``graph.features[name]``
    (see ``rerozer_tables.features``), rows in the table's row order.

    Returns
    -------
    Graph
        Every array is fresh (none shares memory with the tables), C-contiguous
        and native int64. The result always passes ``check_graph``.

    Raises
    ------
    ValueError
        For a foreign key into an unknown table, a null or repeated primary
        key, a foreign-key value that matches no parent row, a missing time,
        and values of the wrong kind, naming the table, column, row and value.

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
    """
    for child, table in tables.items():
        for column, parent in table.foreign_keys.items():
            if parent not in tables:
                raise ValueError(f"{child}.{column} refers to the unknown table {parent!r}")
    steps = 2 * len(tables) + sum(len(t.foreign_keys) for t in tables.values())
    edge_types: list[EdgeType] = []
    colptr: dict[str, Int64Array] = {}
    row: dict[str, Int64Array] = {}
    resolved: dict[str, _Resolved] = {}

    def add(edge_type: EdgeType, arrays: tuple[Int64Array, Int64Array]) -> None:
        key = edge_type_key(edge_type)
        if key in colptr:
            raise ValueError(f"edge type key {key!r} is built twice")
        edge_types.append(edge_type)
        colptr[key], row[key] = arrays

    with progress_bar(steps, "build", "step", progress) as bar:
        for name, table in tables.items():
            resolved[name] = _resolve_table(name, table, time_unit)
            bar.update(1)
        for child, table in tables.items():
            for column, parent in table.foreign_keys.items():
                parent_of, null = _parent_positions(child, column, table, parent, resolved[parent])
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
                del parent_of, children
                bar.update(1)
        features = {}
        for name, table in tables.items():
            features[name] = encode_features(name, table, time_unit)
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
    )
