"""From relational tables to the mini-batches of ``rerozer.NeighborSampler``.

>>> from rerozer_tables import Loader, Table, build_graph, check_graph

``Table`` describes a table (columns, primary key, foreign keys, time column);
``build_graph`` turns tables into the sampler's arrays, ``read_sqlite``,
``read_postgres``, ``read_duckdb`` and ``read_parquet`` read them from an
SQLite file, a PostgreSQL schema, a DuckDB file or a folder of Parquet files, ``check_graph`` checks a whole graph once,
``save_graph``/``load_graph`` store it as memory-mappable files,
``training_table`` and ``split_by_time`` make labelled examples from the
tables, and ``Loader`` iterates them in sampled batches, each of which
``Batch.to_hetero_data()`` turns into a PyG ``HeteroData``.
"""

from .build import build_graph, edges_to_csc
from .check import check_graph
from .features import NodeFeatures
from .graph import EdgeType, Graph, KeyMap, edge_type_key
from .batch import Batch
from .loader import Loader
from .duckdb import read_duckdb
from .parquet import read_parquet
from .postgres import read_postgres
from .sqlite import read_sqlite
from .storage import load_graph, save_graph
from .table import Table
from .training import TrainingTable, split_by_time, training_table

__all__ = [
    "Batch",
    "EdgeType",
    "Graph",
    "KeyMap",
    "Loader",
    "NodeFeatures",
    "Table",
    "TrainingTable",
    "build_graph",
    "check_graph",
    "edge_type_key",
    "edges_to_csc",
    "load_graph",
    "read_duckdb",
    "read_parquet",
    "read_postgres",
    "read_sqlite",
    "save_graph",
    "split_by_time",
    "training_table",
]
