"""When a row exists, and what an example at time t may see.

One function per rule, called by the graph's users alike: ``training_table``
takes as examples only rows that exist at their cut-off, and the loader
refuses a seed that does not; the loader refuses time windows that end
after the example time, and hides, per sampled row, every timestamp feature
value later than that row's example time. A row exists from its own time,
declared or inherited from its parents (``build_graph``); a row with the
earliest time (-2**63, no timed parent) exists at every time.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Literal

import numpy as np

from ..tables.columns import BoolArray, Int64Array
from .graph import Graph, edge_type_key
from .node_features import Float32Array, NodeFeatures

FutureValues = Literal["mask", "keep"]
FutureWindows = Literal["refuse", "allow"]

# float32 holds every integer exactly only up to this magnitude.
_FLOAT32_EXACT = 2**24


def exists_at(row_times: Int64Array, cutoffs: Int64Array | int) -> BoolArray:
    """Whether each row exists at its cut-off: its time is at or before it."""
    return np.asarray(row_times <= cutoffs)


def first_late(row_times: Int64Array, cutoffs: Int64Array) -> int | None:
    """The index of the first row that does not exist yet at its cut-off, or None."""
    late = np.flatnonzero(~exists_at(row_times, cutoffs))
    return int(late[0]) if late.size else None


def refuse_late_seeds(
    graph: Graph, entity_table: str, positions: Int64Array, times: Int64Array
) -> None:
    """Raise ValueError for the first example whose entity row comes after
    the example's time: its features would be sampled from the future."""
    row_times = graph.node_time.get(entity_table)
    if row_times is None or times.size == 0:
        return
    i = first_late(row_times[positions], times)
    if i is None:
        return
    key = graph.key(entity_table, positions[i : i + 1])[0].item()
    comes = int(row_times[positions[i]])
    inherited = (" (the time it inherits from its parent rows)"
                 if entity_table in graph.inherited_times else "")
    raise ValueError(
        f"example {i}: {entity_table} key {key!r} exists from {comes}{inherited}, after the "
        f"example's time {int(times[i])}: leave the example out, or give it a time at or after {comes}"
    )


def check_future_values(future_values: object) -> None:
    if future_values not in ("mask", "keep"):
        raise ValueError(f"future_values must be 'mask' or 'keep', got {future_values!r}")


def refuse_future_windows(
    windows: Mapping[str, list[list[int | None]]], future_windows: str,
    argument: str = "sampling_time_offsets",
) -> None:
    """Raise ValueError for a time window that ends after the example time,
    unless ``future_windows`` is "allow"; ``argument`` names the windows'
    argument in the message."""
    if future_windows not in ("refuse", "allow"):
        raise ValueError(f"future_windows must be 'refuse' or 'allow', got {future_windows!r}")
    if future_windows == "allow":
        return
    for key, rows in windows.items():
        for hop, (start, end) in enumerate(rows):
            if end is not None and end > 0:
                shown = "None" if start is None else str(start)
                raise ValueError(
                    f"{argument}[{key!r}] hop {hop}: the window ({shown}, {end}] ends "
                    f"{end} after the example time, so it samples rows from the future: end it "
                    "at 0 or before, or pass Loader(..., future_windows='allow') if that is meant"
                )


def timestamp_columns(held: NodeFeatures) -> list[int]:
    """The columns of ``held.x`` that hold timestamps."""
    chosen = set(held.timestamps)
    return [c for c, name in enumerate(held.numerical) if name in chosen]


def later_than(values: Float32Array, times: Int64Array) -> BoolArray:
    """Which float32 timestamps may be later than their int64 times.

    A float32 value is its timestamp rounded to nearest, so a later
    timestamp is never smaller than the time rounded alike; from 2**24 on,
    where float32 no longer holds every integer (2**24 + 1 rounds to
    2**24), a value equal to the rounded time may be later and counts as
    later. NaN (null) is never later.
    """
    limit = times.astype(np.float32)
    inexact = np.abs(times) >= _FLOAT32_EXACT
    return np.asarray((values > limit) | ((values == limit) & inexact))


def timestamp_columns_by_type(features: Mapping[str, NodeFeatures]) -> dict[str, list[int]]:
    """``timestamp_columns`` of every node type that has any."""
    columns = {node_type: timestamp_columns(held) for node_type, held in features.items()}
    return {node_type: chosen for node_type, chosen in columns.items() if chosen}


def mask_future_values(
    features: Mapping[str, NodeFeatures], x: dict[str, Float32Array],
    out_batch: Mapping[str, Int64Array], seed_time: Int64Array,
    columns: Mapping[str, list[int]] | None = None,
) -> None:
    """Set to NaN, in place, every timestamp feature value of a sampled row
    that may be later than the time of the example the row was sampled for.
    ``columns`` is ``timestamp_columns_by_type(features)``, when the caller keeps it."""
    if seed_time.size == 0:
        return  # a graph without times: no example time to compare with
    if columns is None:
        columns = timestamp_columns_by_type(features)
    for node_type, chosen in columns.items():
        rows = x.get(node_type)
        if rows is None or rows.shape[0] == 0:
            continue
        times = seed_time[out_batch[node_type]]
        for c in chosen:
            column = rows[:, c]
            column[later_than(column, times)] = np.nan


def future_feature_notes(graph: Graph) -> list[str]:
    """One line per timestamp feature column with values later than their
    own row's time: columns that may reveal the future to a model."""
    notes = []
    for node_type, held in graph.features.items():
        times = graph.node_time.get(node_type)
        if times is None:
            continue
        for c in timestamp_columns(held):
            values = np.asarray(held.x[:, c])
            # As the loader masks them: a float32 value that may be later
            # than its row's time counts, equal after rounding included.
            count = int(np.count_nonzero(later_than(values, times)))
            if count:
                notes.append(
                    f"{node_type}.{held.numerical[c]}: {count} of {values.size} timestamps are "
                    "later than their own row's time (or too close to it for float32 to tell), "
                    "so this column may reveal the future; the loader hides values later than "
                    "each example's time (future_values='mask')"
                )
    return notes


def older_than_parent_notes(graph: Graph) -> list[str]:
    """One line per foreign key whose child rows include some older than the
    parent row they refer to (a rating dated before its film's release). A
    sample at such a row's time leaves the parent out, as it does not exist
    yet; the count tells how often."""
    notes = []
    present = {(src, rel, dst) for src, rel, dst in graph.edge_types}
    for parent, rel, child in graph.edge_types:
        column = rel[len("rev_"):]
        if not rel.startswith("rev_") or (child, column, parent) not in present:
            continue
        child_times, parent_times = graph.node_time.get(child), graph.node_time.get(parent)
        if child_times is None or parent_times is None:
            continue
        key = edge_type_key((parent, rel, child))
        colptr, row = np.asarray(graph.colptr[key]), np.asarray(graph.row[key])
        # The column of child row c holds its parent rows.
        child_of_edge = np.repeat(np.arange(colptr.size - 1, dtype=np.int64), np.diff(colptr))
        older = child_times[child_of_edge] < parent_times[row]
        count = int(np.unique(child_of_edge[older]).size)
        if count:
            notes.append(
                f"{child}.{column} -> {parent}: {count} of {child_times.size} {child} rows are "
                f"older than the {parent} row they refer to; a sample at such a row's time "
                f"leaves that {parent} row out, as it does not exist yet"
            )
    return notes
