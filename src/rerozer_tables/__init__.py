"""From relational tables to the mini-batches of ``rerozer.NeighborSampler``.

>>> from rerozer_tables import Loader, Table, build_graph, check_graph

``Table`` describes a table (columns, primary key, foreign keys, time column);
``build_graph`` turns tables into the sampler's arrays, ``read_sqlite`` reads
them from an SQLite file, ``check_graph`` checks a whole graph once,
``save_graph``/``load_graph`` store it as memory-mappable files, and
``Loader`` iterates a training table in sampled batches.
"""

from .build import build_graph, edges_to_csc
from .check import check_graph
from .graph import EdgeType, Graph, KeyMap, edge_type_key
from .loader import Batch, Loader
from .sqlite import read_sqlite
from .storage import load_graph, save_graph
from .table import Table

__all__ = [
    "Batch",
    "EdgeType",
    "Graph",
    "KeyMap",
    "Loader",
    "Table",
    "build_graph",
    "check_graph",
    "edge_type_key",
    "edges_to_csc",
    "load_graph",
    "read_sqlite",
    "save_graph",
]
