"""Use of rerozer_tables as a user writes it, checked by mypy --strict
against the installed package."""

import sqlite3
import tempfile
from pathlib import Path
from typing import assert_type

import numpy as np
import numpy.typing as npt

from rerozer import NeighborSampler
from rerozer_tables._temporal import NeighborSampler as TemporalUniformSampler
from rerozer_tables import (
    Batch, Graph, Loader, Table, build_graph, check_graph, edges_to_csc, load_graph, read_sqlite,
    save_graph,
)

Int64Array = npt.NDArray[np.int64]

users = Table({"id": ["a", "b"], "joined": ["2024-01-01", "2024-01-02"]}, primary_key="id",
              time_column="joined")
posts = Table(
    {"user_id": ["a", None, "b"], "at": np.array([1, 2, 3], dtype="datetime64[D]")},
    foreign_keys={"user_id": "users"}, time_column="at",
)
graph = build_graph({"users": users, "posts": posts}, time_unit="s", progress=False)
assert_type(graph, Graph)
check_graph(graph)
assert_type(graph.position("users", ["b"]), Int64Array)
assert_type(graph.colptr["posts__user_id__users"], Int64Array)
sampler = graph.sampler(seed=5)
assert_type(sampler, NeighborSampler)
assert_type(graph.sampler(seed=5, temporal_strategy="last"), NeighborSampler)
assert_type(graph.sampler(temporal_strategy="uniform"), TemporalUniformSampler)
colptr, row = edges_to_csc([0, 1], [1, 1], 2, src_time=[5, 3])
assert_type(colptr, Int64Array)

with tempfile.TemporaryDirectory() as tmp:
    save_graph(graph, Path(tmp) / "graph")
    mapped = load_graph(Path(tmp) / "graph", mmap=True, verify=True)
    check_graph(mapped, verify=True)
    tables = read_sqlite(sqlite3.connect(":memory:"), time_columns=None)
    assert_type(tables, dict[str, Table])

loader = Loader(
    mapped, "users", ["a", "b"], ["2024-02-01", "2024-02-01"], batch_size=1,
    num_neighbors={("posts", "user_id", "users"): [2], "users__rev_user_id__posts": [0]},
    shuffle=True, seed=1, workers=0, rank=0, world_size=1, progress=False,
    temporal_strategy="uniform",
)
total: int = len(loader)
for batch in loader:
    assert_type(batch, Batch)
    edge_index: Int64Array = batch.edge_index[("posts", "user_id", "users")]
    out_row, out_col, out_node, out_batch, num_nodes, num_edges = batch.result
    assert_type(out_node, dict[str, Int64Array])
    seeds: Int64Array = batch.seed_node
