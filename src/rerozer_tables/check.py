"""``check_graph``: one pass over a whole graph for what the sampler checks only in part."""

from __future__ import annotations

import os

import numpy as np

from ._columns import AnyArray
from ._time_rules import future_feature_notes
from .graph import Graph, edge_type_key
from .storage import verify_checksums


def _int64_vector(array: object, what: str) -> AnyArray:
    if not isinstance(array, np.ndarray):
        raise ValueError(f"{what} must be a numpy array, got {type(array).__name__}")
    if array.ndim != 1 or array.dtype.kind != "i" or array.dtype.itemsize != 8:
        raise ValueError(
            f"{what} must be a one-dimensional int64 array, got dtype {array.dtype} "
            f"and shape {array.shape}"
        )
    return array


def _node_counts(graph: Graph) -> dict[str, tuple[int, str]]:
    """Each node type's node count, with where it was taken from.

    ``num_nodes`` first, then the length of the first ``colptr`` of an edge
    type into the type, then the length of its ``node_time``. Types found in
    none of them (sources only, without times) are left out.
    """
    counts = {t: (n, "num_nodes") for t, n in graph.num_nodes.items()}
    for edge_type in graph.edge_types:
        key = edge_type_key(edge_type)
        dst = edge_type[2]
        colptr = graph.colptr.get(key)
        if dst not in counts and isinstance(colptr, np.ndarray) and colptr.ndim == 1 and colptr.size:
            counts[dst] = (colptr.size - 1, f"the length of colptr[{key!r}] minus one")
    for node_type, times in graph.node_time.items():
        if node_type not in counts and isinstance(times, np.ndarray):
            counts[node_type] = (times.size, f"the length of node_time[{node_type!r}]")
    return counts


def _check_order(graph: Graph, key: str, src: str, colptr: AnyArray, row: AnyArray) -> None:
    """Raise unless every column of ``row`` is ordered by source time."""
    if row.size < 2:
        return
    times = graph.node_time[src][row]
    falls = times[1:] < times[:-1]
    # A fall from the last entry of one column to the first of the next is allowed.
    column_start = np.zeros(row.size + 1, dtype=bool)
    column_start[colptr] = True
    falls &= ~column_start[1:-1]
    bad = np.flatnonzero(falls)
    if bad.size:
        p = int(bad[0])
        column = int(np.searchsorted(colptr, p, side="right")) - 1
        raise ValueError(
            f"row[{key!r}] is not ordered by source time in column {column}: position {p} "
            f"({src} {int(row[p])}, time {int(times[p])}) comes before position {p + 1} "
            f"({src} {int(row[p + 1])}, time {int(times[p + 1])})"
        )


def _where(graph: Graph, name: tuple[str, ...]) -> str:
    """``folder/file: `` of a loaded graph's array, or nothing."""
    saved = graph.saved
    if saved is None or name not in saved.arrays:
        return ""
    return f"{os.path.join(saved.folder, saved.arrays[name][0])}: "


def _check_features(graph: Graph, counts: dict[str, tuple[int, str]]) -> None:
    """One feature row per node, every code within its vocabulary, and every
    vocabulary sorted and distinct."""
    for node_type, held in graph.features.items():
        for what, array in (("x", held.x), ("x_cat", held.x_cat)):
            if node_type in counts and array.shape[0] != counts[node_type][0]:
                count, source = counts[node_type]
                raise ValueError(
                    f"{_where(graph, (what, node_type))}{what}[{node_type!r}] has "
                    f"{array.shape[0]} rows, but {node_type} has {count} nodes ({source})"
                )
        for c, column in enumerate(held.categorical):
            vocabulary = held.vocabularies[column]
            if vocabulary.size > 1 and not bool(np.all(vocabulary[1:] > vocabulary[:-1])):
                p = int(np.flatnonzero(~(vocabulary[1:] > vocabulary[:-1]))[0])
                raise ValueError(
                    f"{_where(graph, ('vocabulary', node_type, column))}the vocabulary of "
                    f"{node_type}.{column} is not sorted and distinct: {vocabulary[p].item()!r} "
                    f"at position {p}, then {vocabulary[p + 1].item()!r}"
                )
            codes = np.asarray(held.x_cat[:, c])
            bad = np.flatnonzero((codes < -1) | (codes >= vocabulary.size))
            if bad.size:
                r = int(bad[0])
                raise ValueError(
                    f"{_where(graph, ('x_cat', node_type))}x_cat[{node_type!r}] row {r} holds "
                    f"code {int(codes[r])} for {column}, outside [-1, {vocabulary.size}) "
                    "(-1 for null, else a position in its vocabulary)"
                )


def _report(graph: Graph) -> list[str]:
    """What the graph's times and keys hold beyond the tables' own columns."""
    notes = []
    for table, columns in graph.inherited_times.items():
        parents = {column: dst for src, column, dst in graph.edge_types if src == table}
        via = ", ".join(f"{column} -> {parents.get(column, '?')}" for column in columns)
        notes.append(
            f"{table} has no time column: each row has the latest time of its parent rows "
            f"({via}), or the earliest time when it has none"
        )
    for column, count in graph.dangling_keys.items():
        notes.append(f"{column}: {count} values matched no parent row and were read as null")
    return notes + future_feature_notes(graph)


def check_graph(graph: Graph, *, verify: bool = False) -> list[str]:
    """Check a whole graph once, in O(nodes + edges), and report what it holds.

    The sampler trusts the layout and checks only the two ends of each range
    it reads, so a graph made by hand should pass this once before training
    (``build_graph`` output always does). Checks that the types and keys
    agree; that every array is one-dimensional int64; that every ``colptr``
    starts at 0, never decreases, ends at the length of its ``row`` and has
    one entry more than its destination type has nodes; that every ``row`` id
    lies within its source type; that every column is ordered by the time of
    its sources when they have times; that every ``node_time``, key map and
    feature matrix has one entry (row) per node; and that every categorical
    code lies in [-1, vocabulary size) of a vocabulary that is sorted and
    distinct. With ``verify=True``, first compares every
    array of a graph from ``load_graph`` with the CRC-32 recorded when it was
    saved (reading every byte), which finds damage that leaves the layout
    valid, such as two entries swapped.

    Returns
    -------
    list of str
        The report: one line per table that took its times from its
        parents (``build_graph``'s ``inherit_times``), per foreign-key
        column whose dangling values were read as null, and per timestamp
        feature column holding values later than their own row's time
        (a column that may reveal the future, such as a delivery date). Empty for a graph
        built from tables that all have their own times and whose keys all
        match.

    Raises
    ------
    ValueError
        At the first fault, naming the edge type key or node type and the
        column or position.

    Examples
    --------
    >>> import numpy as np
    >>> from rerozer_tables import Graph, check_graph
    >>> i64 = lambda *v: np.array(v, dtype=np.int64)
    >>> check_graph(Graph(["a"], [("a", "to", "a")], {"a__to__a": i64(0, 2, 3)},
    ...                   {"a__to__a": i64(1, 0, 0)}, {"a": i64(5, 7)}))
    Traceback (most recent call last):
    ...
    ValueError: row['a__to__a'] is not ordered by source time in column 0: position 0 (a 1, time 7) comes before position 1 (a 0, time 5)
    >>> from rerozer_tables import Table, build_graph
    >>> check_graph(build_graph({
    ...     "orders": Table({"id": [1], "t": [5]}, primary_key="id", time_column="t"),
    ...     "lines": Table({"order_id": [1, 1]}, foreign_keys={"order_id": "orders"}),
    ... }))
    ['lines has no time column: each row has the latest time of its parent rows (order_id -> orders), or the earliest time when it has none']
    """
    if verify:
        verify_checksums(graph)
    node_types = set(graph.node_types)
    keys = [edge_type_key(edge_type) for edge_type in graph.edge_types]
    for edge_type, key in zip(graph.edge_types, keys):
        for end, node_type in (("source", edge_type[0]), ("destination", edge_type[2])):
            if node_type not in node_types:
                raise ValueError(f"edge type {key!r}: the {end} {node_type!r} is not a node type")
    for name, arrays in (("colptr", graph.colptr), ("row", graph.row)):
        for key in arrays:
            if key not in keys:
                raise ValueError(f"{name} has the key {key!r}, which is no edge type's")
        for key in keys:
            if key not in arrays:
                raise ValueError(f"{name} has no entry for the edge type {key!r}")
    for node_type in graph.node_time:
        if node_type not in node_types:
            raise ValueError(f"node_time has the key {node_type!r}, which is not a node type")

    counts = _node_counts(graph)
    for node_type, times in graph.node_time.items():
        _int64_vector(times, f"node_time[{node_type!r}]")
        count, source = counts[node_type]
        if times.size != count:
            raise ValueError(
                f"node_time[{node_type!r}] has {times.size} entries, but {node_type} has "
                f"{count} nodes ({source})"
            )
    for node_type, key_map in graph.keys.items():
        if node_type in counts and key_map.keys.size != counts[node_type][0]:
            count, source = counts[node_type]
            raise ValueError(
                f"the key map of {node_type} has {key_map.keys.size} keys, but {node_type} "
                f"has {count} nodes ({source})"
            )

    for (src, _, dst), key in zip(graph.edge_types, keys):
        colptr = _int64_vector(graph.colptr[key], f"colptr[{key!r}]")
        row = _int64_vector(graph.row[key], f"row[{key!r}]")
        if dst not in counts:
            raise ValueError(f"colptr[{key!r}] is empty: it needs one entry more than {dst} has nodes")
        count, source = counts[dst]
        if colptr.size != count + 1:
            raise ValueError(
                f"colptr[{key!r}] has {colptr.size} entries, but {dst} has {count} nodes "
                f"({source}), so it needs {count + 1}"
            )
        if colptr[0] != 0:
            raise ValueError(f"colptr[{key!r}] starts at {int(colptr[0])}, not 0")
        falls = np.flatnonzero(colptr[1:] < colptr[:-1])
        if falls.size:
            p = int(falls[0]) + 1
            raise ValueError(
                f"colptr[{key!r}] decreases at position {p}: {int(colptr[p - 1])} then {int(colptr[p])}"
            )
        if colptr[-1] != row.size:
            raise ValueError(
                f"colptr[{key!r}] ends at {int(colptr[-1])}, but row[{key!r}] has {row.size} entries"
            )
        limit = counts[src][0] if src in counts else None
        outside = (row < 0) if limit is None else ((row < 0) | (row >= limit))
        bad = np.flatnonzero(outside)
        if bad.size:
            p = int(bad[0])
            nodes = "" if limit is None else f" ({limit} nodes)"
            raise ValueError(
                f"row[{key!r}] position {p} holds node {int(row[p])}, outside {src}{nodes}"
            )
        if src in graph.node_time:
            _check_order(graph, key, src, colptr, row)
    _check_features(graph, counts)
    return _report(graph)
