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

import numpy as np

from ..tables.columns import Int64Array
from ..tables.progress import progress_bar
from ..tables.table import Table
from .csc import _columns_by
from .features import encode_features
from .graph import EdgeType, Graph, edge_type_key
from .node_features import TextEmbedder
from .resolve import resolve_tables


def build_graph(
    tables: Mapping[str, Table],
    *,
    time_unit: str = "s",
    inherit_times: bool = True,
    dangling_keys: str = "error",
    progress: bool | None = None,
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
        A progress bar over the tables and foreign keys: None (the default)
        shows it when the build runs longer than a couple of seconds in an
        interactive terminal outside CI, True always, False never.
    text_embedder
        A callable from a list of strings to a float matrix with one row per
        string (a sentence encoder's ``encode``, say): it embeds the text
        feature columns, once per distinct value of each, and the vectors
        are kept (and saved) with the graph. With it, string columns that
        have rare values are inferred to be text (see
        ``rerozer_tables.inference``); without it, a column declared text
        is an error.

    Each table's feature columns are encoded into ``graph.features[name]``
    (see ``rerozer_tables.graph.features``), rows in the table's row order.

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

    with progress_bar(steps, "build_graph", "step", progress) as bar:
        resolution = resolve_tables(
            tables, time_unit, inherit_times=inherit_times, dangling_keys=dangling_keys,
            step=lambda: bar.update(1),
        )
        resolved = resolution.resolved
        for child, table in tables.items():
            for column, parent in table.foreign_keys.items():
                bar.set_postfix_str(f"{child}.{column}")
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
            bar.set_postfix_str(f"features of {name}")
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
