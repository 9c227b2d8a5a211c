"""A built graph as the training tables read tables resolved: its key maps,
its times (inherited ones included) and, through its reverse edges, each
child row's parent position, so nothing is resolved or parsed twice.

The reverse edge type ``(parent, "rev_" + column, child)`` holds one column
per child row with at most one entry, the row's parent position::

    child rows    0   1   2          (row 1 has no parent)
    rev colptr    0   1   1   2
    rev row       4       0          -> parent_of = [4, -1, 0]
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np

from ..tables.table import Table
from .graph import Graph, edge_type_key
from .resolve import _Link, _Resolved


@dataclass
class GraphResolution:
    """What ``Resolution`` offers the training tables (``resolved`` and
    ``link``), read from a built graph."""

    graph: Graph
    tables: Mapping[str, Table]
    resolved: dict[str, _Resolved]

    def link(self, child: str, column: str) -> _Link:
        parent = self.tables[child].foreign_keys[column]
        key = edge_type_key((parent, "rev_" + column, child))
        if key not in self.graph.colptr:
            raise ValueError(
                f"the graph has no edge type {key!r}: it was not built from these tables"
            )
        colptr, row = self.graph.colptr[key], self.graph.row[key]
        has = np.diff(colptr) > 0
        if bool(has.all()):
            return _Link(np.array(row, dtype=np.int64), None, 0)
        parent_of = np.full(has.size, -1, dtype=np.int64)
        parent_of[has] = row
        return _Link(parent_of, ~has, 0)


def graph_resolution(graph: Graph, tables: Mapping[str, Table], used: list[str]) -> GraphResolution:
    """The tables named in ``used`` as ``graph`` resolved them.

    Raises ValueError when the graph does not have them with as many rows as
    the tables: it was built from other tables.
    """
    resolved = {}
    for name in used:
        count = graph.num_nodes.get(name)
        if name not in graph.node_types or count != tables[name].num_rows:
            has = "no such node type" if name not in graph.node_types else f"{count} nodes"
            raise ValueError(
                f"the graph has {has} for {name}, which has {tables[name].num_rows} rows: "
                "give the graph built from these tables"
            )
        resolved[name] = _Resolved(
            count, tables[name].primary_key, graph.keys.get(name), graph.node_time.get(name)
        )
    return GraphResolution(graph, tables, resolved)
