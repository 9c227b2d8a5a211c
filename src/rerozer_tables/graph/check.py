"""``check_graph``: one pass over a whole graph for what the sampler checks only in part."""

from __future__ import annotations

import os
from collections.abc import Callable

import numpy as np

from ..tables.columns import AnyArray
from ..tables.progress import progress_bar
from .arrays import named_arrays, verify_checksums
from .graph import Graph, edge_type_key
from .node_features import NodeFeatures
from .time_rules import future_feature_notes, older_than_parent_notes


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


def _check_offsets(
    what: str, offsets: AnyArray, need: int, why: str, values: str, size: int, where: str = ""
) -> None:
    """Raise unless ``offsets`` has ``need`` entries (``why`` says why) and
    runs from 0, never decreasing, to ``size``, the length of ``values``."""
    if offsets.size != need:
        raise ValueError(f"{where}{what} has {offsets.size} entries, but {why}, so it needs {need}")
    if offsets[0] != 0:
        raise ValueError(f"{where}{what} starts at {int(offsets[0])}, not 0")
    falls = np.flatnonzero(offsets[1:] < offsets[:-1])
    if falls.size:
        p = int(falls[0]) + 1
        raise ValueError(
            f"{where}{what} decreases at position {p}: {int(offsets[p - 1])} then {int(offsets[p])}"
        )
    if offsets[-1] != size:
        raise ValueError(f"{where}{what} ends at {int(offsets[-1])}, but {values} has {size} entries")


def _code_fault(
    graph: Graph, what: str, node_type: str, place: str, code: int, column: str, size: int,
    *, null: bool = True,
) -> ValueError:
    """The fault of a code outside its column's vocabulary."""
    low, meaning = (-1, "-1 for null, else ") if null else (0, "")
    return ValueError(
        f"{_where(graph, (what, node_type))}{what}[{node_type!r}] {place} holds code {code} for "
        f"{column}, outside [{low}, {size}) ({meaning}a position in its vocabulary)"
    )


def _check_row_codes(graph: Graph, what: str, node_type: str, column: str, codes: AnyArray,
                     size: int) -> None:
    """Raise unless every row's code of ``column`` is -1 (null) or within its vocabulary."""
    bad = np.flatnonzero((codes < -1) | (codes >= size))
    if bad.size:
        r = int(bad[0])
        raise _code_fault(graph, what, node_type, f"row {r}", int(codes[r]), column, size)


def _vocabulary(graph: Graph, node_type: str, held: NodeFeatures, column: str) -> AnyArray:
    """The vocabulary of ``node_type.column``, after checking that it is
    sorted and distinct (codes are positions in it)."""
    if column not in held.vocabularies:
        raise ValueError(f"{node_type}.{column} has no vocabulary")
    vocabulary = held.vocabularies[column]
    if vocabulary.size > 1 and not bool(np.all(vocabulary[1:] > vocabulary[:-1])):
        p = int(np.flatnonzero(~(vocabulary[1:] > vocabulary[:-1]))[0])
        raise ValueError(
            f"{_where(graph, ('vocabulary', node_type, column))}the vocabulary of "
            f"{node_type}.{column} is not sorted and distinct: {vocabulary[p].item()!r} "
            f"at position {p}, then {vocabulary[p + 1].item()!r}"
        )
    return vocabulary


def _check_features(graph: Graph, counts: dict[str, tuple[int, str]]) -> None:
    """One feature row per node, every code within its vocabulary, every
    vocabulary sorted and distinct, one embedding row per text vocabulary
    entry, and multi-category offsets that cover every (row, column) slot."""
    for node_type, held in graph.features.items():
        count, source = counts.get(node_type, (held.x.shape[0], f"the rows of x[{node_type!r}]"))
        if held.text and held.x_text is None:
            raise ValueError(f"x_text[{node_type!r}] is missing, but {node_type} has text columns {held.text}")
        matrices: list[tuple[str, AnyArray]] = [("x", held.x), ("x_cat", held.x_cat)]
        if held.x_text is not None:
            matrices.append(("x_text", held.x_text))
        for what, array in matrices:
            if array.shape[0] != count:
                raise ValueError(
                    f"{_where(graph, (what, node_type))}{what}[{node_type!r}] has "
                    f"{array.shape[0]} rows, but {node_type} has {count} nodes ({source})"
                )
        for c, column in enumerate(held.categorical):
            _check_row_codes(graph, "x_cat", node_type, column, np.asarray(held.x_cat[:, c]),
                             _vocabulary(graph, node_type, held, column).size)
        if held.x_text is not None:
            _check_text(graph, node_type, held, held.x_text)
        if held.multicategorical:
            _check_lists(graph, node_type, held, count, source)


def _check_text(graph: Graph, node_type: str, held: NodeFeatures, x_text: AnyArray) -> None:
    if x_text.ndim != 2 or x_text.shape[1] != len(held.text) or x_text.dtype.kind != "i":
        raise ValueError(
            f"{_where(graph, ('x_text', node_type))}x_text[{node_type!r}] is {x_text.dtype} of "
            f"shape {x_text.shape}, but {node_type} has {len(held.text)} text columns: it needs "
            "integer codes, one column per text column"
        )
    for j, column in enumerate(held.text):
        vocabulary = _vocabulary(graph, node_type, held, column)
        _check_row_codes(graph, "x_text", node_type, column, np.asarray(x_text[:, j]), vocabulary.size)
        table = held.embeddings.get(column)
        if table is None:
            raise ValueError(f"embeddings[{node_type!r}] has no entry for the text column {column}")
        if table.ndim != 2 or table.shape[0] != vocabulary.size:
            raise ValueError(
                f"{_where(graph, ('embedding', node_type, column))}the embedding of "
                f"{node_type}.{column} has shape {table.shape}, but its vocabulary has "
                f"{vocabulary.size} entries: it needs one row per entry"
            )


def _check_lists(graph: Graph, node_type: str, held: NodeFeatures, count: int, source: str) -> None:
    m = len(held.multicategorical)
    if held.multi_offsets is None or held.multi_codes is None:
        raise ValueError(
            f"multi_offsets[{node_type!r}] or multi_codes[{node_type!r}] is missing, but "
            f"{node_type} has multi-category columns {held.multicategorical}"
        )
    offsets = _int64_vector(held.multi_offsets, f"multi_offsets[{node_type!r}]")
    codes = _int64_vector(held.multi_codes, f"multi_codes[{node_type!r}]")
    _check_offsets(
        f"multi_offsets[{node_type!r}]", offsets, count * m + 1,
        f"{node_type} has {count} nodes ({source}) and {m} multi-category columns",
        f"multi_codes[{node_type!r}]", codes.size, _where(graph, ("multi_offsets", node_type)),
    )
    sizes = np.array([_vocabulary(graph, node_type, held, c).size for c in held.multicategorical],
                     dtype=np.int64)
    # The slot (row * m + column) of every code, from the lengths of the slots' lists.
    slots = np.repeat(np.arange(count * m, dtype=np.int64), np.diff(offsets))
    bad = np.flatnonzero((codes < 0) | (codes >= sizes[slots % m]))
    if bad.size:
        p = int(bad[0])
        r, j = divmod(int(slots[p]), m)
        raise _code_fault(graph, "multi_codes", node_type, f"position {p} (row {r})", int(codes[p]),
                          held.multicategorical[j], int(sizes[j]), null=False)


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
    for table, held in graph.features.items():
        for column, distinct in held.left_out.items():
            notes.append(
                f"{table}.{column}: {distinct:,} distinct strings in {graph.num_nodes[table]:,} rows "
                "are too many for categories, so the column was left out of the features; give "
                "build_graph a text_embedder to embed it as text, or declare it categorical"
            )
    return notes + older_than_parent_notes(graph) + future_feature_notes(graph)


def check_graph(graph: Graph, *, verify: bool = False, progress: bool | None = None) -> list[str]:
    """Check a whole graph once, in O(nodes + edges), and report what it holds.

    The sampler trusts the layout and checks only the two ends of each range
    it reads, so a graph made by hand should pass this once before training
    (``build_graph`` output always does). Checks that the types and keys
    agree; that every array is one-dimensional int64; that every ``colptr``
    starts at 0, never decreases, ends at the length of its ``row`` and has
    one entry more than its destination type has nodes; that every ``row`` id
    lies within its source type; that every column is ordered by the time of
    its sources when they have times; that every ``node_time``, key map and
    feature matrix has one entry (row) per node; that every categorical and
    text code lies in [-1, vocabulary size) of a vocabulary that is sorted and
    distinct, with one embedding row per text vocabulary entry; and that the
    multi-category offsets run from 0, never decreasing, over every (node,
    column) slot to the end of the codes, each code in [0, vocabulary size)
    of its slot's column. With ``verify=True``, first compares every
    array of a graph from ``load_graph`` with the CRC-32 recorded when it was
    saved (reading every byte), which finds damage that leaves the layout
    valid, such as two entries swapped. ``progress`` shows a bar over the
    edge types: None (the default) when the check runs longer than a couple
    of seconds in an interactive terminal outside CI, True always, False
    never.

    Returns
    -------
    list of str
        The report: one line per table that took its times from its
        parents (``build_graph``'s ``inherit_times``), per foreign-key
        column whose dangling values were read as null, per foreign key
        with child rows older than the parent row they refer to, per string column
        left out of the features for its many distinct values
        (``rerozer_tables.inference.high_cardinality``), and per timestamp
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
    with progress_bar(len(graph.edge_types) + 2, "check_graph", "step", progress) as bar:
        if verify:
            bar.set_postfix_str("checksums")
            verify_checksums(graph)
        bar.update(1)
        _check_layout(graph, bar.update)
    _remember_pass(graph)
    return _report(graph)


def _check_layout(graph: Graph, step: Callable[[int], object]) -> None:
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
        _check_offsets(f"colptr[{key!r}]", colptr, count + 1, f"{dst} has {count} nodes ({source})",
                       f"row[{key!r}]", row.size)
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
        step(1)
    _check_features(graph, counts)
    step(1)


def _structure(graph: Graph) -> tuple[object, ...]:
    return (tuple(graph.node_types), tuple(graph.edge_types), tuple(graph.num_nodes.items()),
            graph.time_unit, tuple(graph.colptr), tuple(graph.row), tuple(graph.node_time),
            tuple(graph.keys), tuple(graph.features))


def check_graph_once(graph: Graph) -> None:
    """``check_graph(graph)``, unless the same graph passed it before and
    cannot have changed since.

    A graph whose every array is read-only (as ``load_graph`` maps them) or
    empty is checked once: ``check_graph`` remembers on the graph the arrays
    that passed, and a later call that finds the very same arrays, still
    read-only, in the same places returns at once. A graph with writable
    arrays is checked on every call, as its arrays may have been changed in
    place.
    """
    arrays = [array for _, _, array in named_arrays(graph)]
    record = graph.check_record
    if (
        len(record) == 2 and record[0] == _structure(graph) and len(record[1]) == len(arrays)
        and all(a is b for a, b in zip(record[1], arrays))
        and not any(_changeable(a) for a in arrays)
    ):
        return
    check_graph(graph)


def _remember_pass(graph: Graph) -> None:
    """Record on a graph whose arrays cannot change that it passed."""
    arrays = [array for _, _, array in named_arrays(graph)]
    graph.check_record.clear()
    if not any(_changeable(a) for a in arrays):
        graph.check_record.extend([_structure(graph), arrays])


def _changeable(array: AnyArray) -> bool:
    # An empty array has nothing to change in place, writable or not.
    return bool(array.flags.writeable) and array.size > 0
