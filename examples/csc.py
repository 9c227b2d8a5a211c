"""Turn the foreign keys of relational tables into the sampler's graph dictionaries.

Every table becomes a node type whose node ids are the table's row numbers.
Every foreign-key column becomes two edge types:

* ``(child, column, parent)``: the column of a parent row lists the child rows
  that refer to it. Sampling from a parent walks to its children.
* ``(parent, "rev_" + column, child)``: the column of a child row lists the one
  parent row it refers to. Sampling from a child walks to its parent.

Within each column the sources are ordered by their own time (stable: sources
with equal times, and sources of a table without times, keep row order), which
is the order the sampler's most-recent and time-window selections rely on.
All arrays are fresh C-contiguous native int64 arrays, so the sampler reads them
in place.

Example: orders 0, 1, 2 at times [30, 10, 20], all placed by customer 0::

    >>> tables = {
    ...     "customers": Table(num_rows=1),
    ...     "orders": Table(num_rows=3, time=[30, 10, 20],
    ...                     foreign_keys={"customer_id": ("customers", [0, 0, 0])}),
    ... }
    >>> graph = tables_to_graph(tables)
    >>> graph.colptr["orders__customer_id__customers"].tolist()
    [0, 3]
    >>> graph.row["orders__customer_id__customers"].tolist()
    [1, 2, 0]
    >>> graph.row["customers__rev_customer_id__orders"].tolist()
    [0, 0, 0]
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]

# A foreign-key value that refers to no row (SQL NULL).
NULL_KEY = -1


def _int64(values: npt.ArrayLike, what: str) -> Int64Array:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    if array.size and not np.issubdtype(array.dtype, np.integer):
        raise ValueError(f"{what} must hold integers, got dtype {array.dtype}")
    return np.ascontiguousarray(array, dtype=np.int64)


def edges_to_csc(
    src: npt.ArrayLike,
    dst: npt.ArrayLike,
    num_dst: int,
    src_time: npt.ArrayLike | None = None,
) -> tuple[Int64Array, Int64Array]:
    """Return ``(colptr, row)`` of the edges ``src[i] -> dst[i]``.

    The column of destination node v is ``row[colptr[v]:colptr[v + 1]]``: the
    sources of the edges entering v. With ``src_time`` (the time of every
    source node, indexed by source id) each column is ordered by source time;
    ties, and every column when ``src_time`` is None, keep the input order.
    Raises ValueError for mismatched lengths or destination ids outside
    ``[0, num_dst)``, and for source ids outside ``src_time``.
    """
    src_ids = _int64(src, "src")
    dst_ids = _int64(dst, "dst")
    if src_ids.shape != dst_ids.shape:
        raise ValueError(f"src and dst differ in length: {src_ids.size} != {dst_ids.size}")
    if num_dst < 0:
        raise ValueError(f"num_dst must not be negative, got {num_dst}")
    if dst_ids.size and (dst_ids.min() < 0 or dst_ids.max() >= num_dst):
        raise ValueError(f"dst ids must lie in [0, {num_dst})")
    if src_time is None:
        order = np.argsort(dst_ids, kind="stable")
    else:
        times = _int64(src_time, "src_time")
        if src_ids.size and (src_ids.min() < 0 or src_ids.max() >= times.size):
            raise ValueError(f"src ids must lie in [0, {times.size}) to have a time")
        # lexsort is stable and sorts by its last key first: by column, then by time.
        order = np.lexsort((times[src_ids], dst_ids))
    row = np.ascontiguousarray(src_ids[order])
    colptr = np.zeros(num_dst + 1, dtype=np.int64)
    np.cumsum(np.bincount(dst_ids, minlength=num_dst), out=colptr[1:])
    return colptr, row


@dataclass(frozen=True)
class Table:
    """One table: its row count, optionally a time per row, and its foreign keys.

    ``foreign_keys`` maps a column name to ``(parent table, parent row per row)``;
    a value of ``NULL_KEY`` refers to no row and gives no edge.
    """

    num_rows: int
    time: npt.ArrayLike | None = None
    foreign_keys: Mapping[str, tuple[str, npt.ArrayLike]] = field(default_factory=dict)


@dataclass
class Graph:
    """The sampler's constructor arguments, ready to pass on."""

    node_types: list[str]
    edge_types: list[tuple[str, str, str]]
    colptr: dict[str, Int64Array]
    row: dict[str, Int64Array]
    node_time: dict[str, Int64Array]

    def arguments(self) -> dict[str, Any]:
        """Keyword arguments for ``NeighborSampler(**graph.arguments(), seed=...)``."""
        return {
            "node_types": self.node_types,
            "edge_types": self.edge_types,
            "colptr": self.colptr,
            "row": self.row,
            "node_time": self.node_time,
        }

    def num_edges(self) -> dict[str, int]:
        return {key: int(row.size) for key, row in self.row.items()}


def edge_type_key(edge_type: Sequence[str]) -> str:
    src, rel, dst = edge_type
    return f"{src}__{rel}__{dst}"


def tables_to_graph(tables: Mapping[str, Table]) -> Graph:
    """Build both edge directions of every foreign key, in table and column order."""
    node_time: dict[str, Int64Array] = {}
    for name, table in tables.items():
        if table.time is not None:
            times = _int64(table.time, f"{name}.time")
            if times.size != table.num_rows:
                raise ValueError(f"{name}.time has {times.size} values for {table.num_rows} rows")
            node_time[name] = times

    edge_types: list[tuple[str, str, str]] = []
    colptr: dict[str, Int64Array] = {}
    row: dict[str, Int64Array] = {}

    def add(src: str, rel: str, dst: str, src_ids: Int64Array, dst_ids: Int64Array) -> None:
        edge_type = (src, rel, dst)
        key = edge_type_key(edge_type)
        if key in colptr:
            raise ValueError(f"edge type key {key!r} is built twice")
        edge_types.append(edge_type)
        colptr[key], row[key] = edges_to_csc(
            src_ids, dst_ids, tables[dst].num_rows, node_time.get(src)
        )

    for child, table in tables.items():
        for column, (parent, values) in table.foreign_keys.items():
            if parent not in tables:
                raise ValueError(f"{child}.{column} refers to the unknown table {parent!r}")
            parent_ids = _int64(values, f"{child}.{column}")
            if parent_ids.size != table.num_rows:
                raise ValueError(
                    f"{child}.{column} has {parent_ids.size} values for {table.num_rows} rows"
                )
            present = parent_ids != NULL_KEY
            child_ids = np.flatnonzero(present).astype(np.int64)
            parent_ids = parent_ids[present]
            num_parents = tables[parent].num_rows
            if parent_ids.size and (parent_ids.min() < 0 or parent_ids.max() >= num_parents):
                raise ValueError(
                    f"{child}.{column} refers to rows outside {parent} (which has {num_parents})"
                )
            add(child, column, parent, child_ids, parent_ids)
            add(parent, "rev_" + column, child, parent_ids, child_ids)

    return Graph(
        node_types=list(tables),
        edge_types=edge_types,
        colptr=colptr,
        row=row,
        node_time=node_time,
    )
