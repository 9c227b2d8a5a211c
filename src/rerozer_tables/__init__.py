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
``map_at_k``/``recall_at_k`` rank the predictions. ``rerozer_tables.pyg``
holds ``NeighborLoader``, which takes PyG's ``NeighborLoader`` arguments on a
``HeteroData`` with node times and yields PyG's batches from our sampler.

The modules are grouped by the stage of the data they serve, each stage
importing only earlier ones: ``tables`` (column arrays, ``Table``), ``read``
(the readers), ``graph`` (building, features, time rules, checks), ``store``
(saved graphs), ``tasks`` (training tables, metrics, RelBench) and ``load``
(loaders, batches, torch). ``rerozer_tables.batch``, ``.frames``,
``.inference``, ``.metrics``, ``.relbench`` and ``.storage`` name the public
modules of the earlier flat layout, and still import.
"""

from .graph.build import build_graph
from .graph.check import check_graph
from .graph.csc import edges_to_csc
from .graph.graph import EdgeType, Graph, KeyMap, edge_type_key
from .graph.node_features import NodeFeatures
from .load.batch import Batch
from .load.link_loader import LinkBatch, LinkLoader
from .load.loader import Loader
from .read.duckdb import read_duckdb
from .read.parquet import read_parquet
from .read.postgres import read_postgres
from .read.sqlite import read_sqlite
from .store.load import load_graph
from .store.save import save_graph
from .tables.table import Table
from .tasks.link_training import LinkTrainingTable, link_training_table
from .tasks.metrics import map_at_k, recall_at_k
from .tasks.training import TrainingTable, split_by_time, training_table

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
