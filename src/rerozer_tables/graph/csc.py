"""Edges to compressed sparse columns: ``edges_to_csc`` and the stable orders
(by destination, then by source time) that ``build_graph`` sorts edges in.

Sorting by value is several times faster in numpy than ``argsort``, so orders
are found by sorting packed keys ``major * n + position`` whenever they fit in
63 bits.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from ..tables.columns import Int64Array


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


_INT63 = 2**63 - 1
