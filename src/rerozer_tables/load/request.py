"""What a ``Loader`` asks of the sampler: the request and the example times.

Both are checked here once, when the loader is made, and turned into the
sampler's own forms: dictionaries keyed by edge type key with plain int
values, and int64 example times in the graph's unit.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from ..graph.graph import Graph, edge_type_key
from ..tables.columns import (
    Int64Array,
    _is_count,
    column_array,
    offset_count,
    time_array,
)

# Per hop: a count per edge type; or one list of counts for every edge type.
Counts = Mapping[Any, Sequence[int]] | Sequence[int]
Windows = Mapping[Any, Sequence[Sequence[Any]]]

# Example times this many times further from 1970 than every graph time (or
# nearer), all of them, are most likely in another unit than the graph's.
_UNIT_MIXUP = 100


def _per_hop(name: str, value: object) -> list[Any]:
    """The per-hop list of one request entry; refuses a bare value or a text."""
    if isinstance(value, (str, bytes)) or not isinstance(value, (Sequence, np.ndarray)):
        raise TypeError(f"{name} must be a list with one entry per hop, got {value!r}")
    return list(value)


def _counts(name: str, value: object) -> list[int]:
    counts = []
    for hop, count in enumerate(_per_hop(name, value)):
        if not _is_count(count):
            raise TypeError(f"{name} hop {hop}: {count!r} is not an integer count")
        counts.append(int(count))
    return counts


def normalise_request(
    graph: Graph, num_neighbors: Counts | None, sampling_time_offsets: Windows | None,
    names: tuple[str, str] = ("num_neighbors", "sampling_time_offsets"),
) -> tuple[dict[str, list[int]], dict[str, list[list[int | None]]]]:
    """Both request dictionaries keyed by edge type key, every edge type in one of them.

    ``num_neighbors`` is a mapping by edge type (tuple or key) or, as PyG
    takes it, one list of counts for every edge type that
    ``sampling_time_offsets`` does not name. Raises TypeError for a value
    of the wrong kind and ValueError for a request that cannot be sampled,
    naming the argument (as ``names`` calls the two), the edge type and the value.
    """
    counts_name, windows_name = names
    known = {edge_type_key(t): t for t in graph.edge_types}

    def key_of(name: str, key: object) -> str:
        text = edge_type_key(key) if isinstance(key, tuple) else str(key)
        if text not in known:
            raise ValueError(f"{name} names {key!r}, which is not an edge type of the graph")
        return text

    def offset(where: str, value: object) -> int:
        return offset_count(where, value, graph.time_unit)

    def window(where: str, row: object) -> list[int | None]:
        pair = _per_hop(where, row)
        if len(pair) != 2 or pair[1] is None:
            raise ValueError(f"{where} must be (start or None, end), got {row!r}")
        start = None if pair[0] is None else offset(where + " start", pair[0])
        return [start, offset(where + " end", pair[1])]

    if sampling_time_offsets is not None and not isinstance(sampling_time_offsets, Mapping):
        raise TypeError(
            f"{windows_name} must be a mapping of edge type to (start, end) rows, "
            f"got {sampling_time_offsets!r}"
        )
    windows: dict[str, list[list[int | None]]] = {}
    for k, rows in (sampling_time_offsets or {}).items():
        key = key_of(windows_name, k)
        where = f"{windows_name}[{key!r}]"
        windows[key] = [window(f"{where} hop {hop}", row) for hop, row in enumerate(_per_hop(where, rows))]

    counts: dict[str, list[int]] = {}
    if isinstance(num_neighbors, Mapping):
        for k, per_hop in num_neighbors.items():
            key = key_of(counts_name, k)
            counts[key] = _counts(f"{counts_name}[{key!r}]", per_hop)
    elif num_neighbors is not None:
        every = _counts(counts_name, num_neighbors)
        counts = {key: list(every) for key in known if key not in windows}

    both = [key for key in counts if key in windows]
    if both:
        raise ValueError(f"{both[0]!r} is in both {counts_name} and {windows_name}")
    for key in windows:
        if known[key][0] not in graph.node_time:
            raise ValueError(
                f"{windows_name} names {key!r}, whose source {known[key][0]} has no times"
            )
    num_hops = max([len(v) for v in counts.values()] + [len(v) for v in windows.values()], default=0)
    if num_hops == 0:
        raise ValueError(
            "the request follows no edge, so every batch would hold its seeds alone: give "
            "num_neighbors (counts per hop, one list for every edge type as [10, 5] or a "
            "mapping by edge type) or sampling_time_offsets"
        )
    for key, per_hop in counts.items():
        if len(per_hop) < num_hops:
            raise ValueError(f"{counts_name}[{key!r}] has {len(per_hop)} hops, the request {num_hops}")
    for key in known:
        if key not in counts and key not in windows:
            counts[key] = [0] * num_hops  # not followed
    return counts, windows


def _graph_span(graph: Graph) -> tuple[int, int] | None:
    """The earliest and latest time in the graph, leaving out the earliest
    time given to rows without a timed parent."""
    low: int | None = None
    high: int | None = None
    floor = np.iinfo(np.int64).min
    for times in graph.node_time.values():
        real = times[times != floor] if times.size else times
        if real.size:
            low = int(real.min()) if low is None else min(low, int(real.min()))
            high = int(real.max()) if high is None else max(high, int(real.max()))
    return None if low is None or high is None else (low, high)


def _far_from(times: Int64Array, low: int, high: int) -> bool:
    """Whether every time lies more than a factor of ``_UNIT_MIXUP`` outside
    [low, high], counted from 1970: far later than the latest, or far nearer
    to 1970 than the earliest of graph times that are all after it."""
    magnitude = np.abs(times.astype(np.float64))
    later = (times > high) & (magnitude > _UNIT_MIXUP * max(abs(low), abs(high), 1))
    earlier = (times < low) & (low > 0) & (magnitude * _UNIT_MIXUP < low)
    return bool(times.size) and bool(np.all(later | earlier))


def _no_times_message(graph: Graph) -> str:
    tables = ", ".join(graph.node_types)
    return (
        f"times were given, but the graph has no times (none of its tables {tables} has a "
        "time column), so the sampler would ignore them and sample from every row, later "
        "ones included: declare time columns before building, with Table(..., "
        "time_column=..., time_unit=...) or read_sqlite(..., time_columns={table: column}) "
        "(for INTEGER epoch or TEXT columns, with their unit: {table: (column, 's')}); "
        "or pass times=None to sample without regard to time"
    )


def example_times(graph: Graph, entity_table: str, positions: Int64Array, times: object) -> Int64Array:
    """The int64 time of every example in the graph's unit (empty for a
    graph without times and ``times=None``).

    Raises ValueError when ``times`` are given for a graph without times,
    when ``times`` is None for an untimed entity table in a timed graph,
    and for a null time, a time finer than the graph's unit or a wrong
    count. Warns (UserWarning) when every time lies far outside the graph's
    span, as happens when the units differ.
    """
    if not graph.node_time:
        if times is None:
            return np.zeros(0, dtype=np.int64)  # no times anywhere: nothing to compare
        raise ValueError(_no_times_message(graph))
    if times is None:
        if entity_table not in graph.node_time:
            raise ValueError(
                f"the graph has times but {entity_table} has none: give the examples' times, "
                "or every selection would ignore time"
            )
        return np.ascontiguousarray(graph.node_time[entity_table][positions])
    values, null = column_array(times)
    if null is not None:
        raise ValueError(f"times at index {int(np.flatnonzero(null)[0])} is null")
    converted = np.ascontiguousarray(time_array(values, graph.time_unit, "times"), dtype=np.int64)
    if converted.size != positions.size:
        raise ValueError(f"{converted.size} times for {positions.size} examples")
    span = _graph_span(graph)
    if span is not None and _far_from(converted, *span):
        warnings.warn(
            f"every example time ({int(converted.min())} to {int(converted.max())}) lies more "
            f"than a factor of {_UNIT_MIXUP} outside the graph's times ({span[0]} to {span[1]}, "
            f"in time_unit {graph.time_unit!r}): are the times in another unit than the graph's?",
            UserWarning,
            stacklevel=3,
        )
    return converted
