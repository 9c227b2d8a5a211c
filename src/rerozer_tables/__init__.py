"""From relational tables to the mini-batches of ``rerozer.NeighborSampler``.

>>> from rerozer_tables import Loader, Table, build_graph, check_graph

``Table`` describes a table (columns, primary key, foreign keys, time column);
``build_graph`` turns tables into the sampler's arrays, ``read_sqlite``,
``read_postgres``, ``read_duckdb`` and ``read_parquet`` read them from an
SQLite file, a PostgreSQL schema, a DuckDB file or a folder of Parquet files, ``check_graph`` checks a whole graph once,
``save_graph``/``load_graph`` store it as memory-mappable files,
``training_table`` and ``split_by_time`` make labelled examples from the
tables, and ``Loader`` iterates them in sampled batches, each of which
``Batch.to_hetero_data()`` turns into a PyG ``HeteroData``. For
recommendation, ``link_training_table`` gives each example the items it
takes next, ``LinkLoader`` samples sources, positives and negatives, and
``map_at_k``/``recall_at_k`` rank the predictions.
"""

from .batch import Batch
from .build import build_graph, edges_to_csc
from .check import check_graph
from .duckdb import read_duckdb
from .features import NodeFeatures
from .graph import EdgeType, Graph, KeyMap, edge_type_key
from .link_loader import LinkBatch, LinkLoader
from .link_training import LinkTrainingTable, link_training_table
from .loader import Loader
from .metrics import map_at_k, recall_at_k
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
    "LinkBatch",
    "LinkLoader",
    "LinkTrainingTable",
    "Loader",
    "NodeFeatures",
    "Table",
    "TrainingTable",
    "build_graph",
    "check_graph",
    "edge_type_key",
    "edges_to_csc",
    "link_training_table",
    "load_graph",
    "map_at_k",
    "read_duckdb",
    "read_parquet",
    "read_postgres",
    "read_sqlite",
    "recall_at_k",
    "save_graph",
    "split_by_time",
    "training_table",
]
