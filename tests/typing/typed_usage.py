"""Correct use of the module, checked by mypy --strict against the installed stub."""

from typing import assert_type

import numpy as np
import numpy.typing as npt

import rerozer
from rerozer import NeighborSampler

Int64Arrays = dict[str, npt.NDArray[np.int64]]

colptr = {"author__writes__paper": np.array([0, 2, 3, 3], dtype=np.int64)}
row = {"author__writes__paper": np.array([0, 1, 1], dtype=np.int64)}
node_time = {"paper": np.array([10, 20, 30], dtype=np.int64)}

sampler = NeighborSampler(["paper", "author"], [("author", "writes", "paper")], colptr, row, {})
seeded = rerozer.NeighborSampler(
    node_types=("paper", "author"),
    edge_types=[("author", "writes", "paper")],
    colptr=colptr,
    row=row,
    node_time=[("paper", node_time["paper"])],
    seed=np.int64(7),
)

result = sampler.sample(
    {"author__writes__paper": [2, -1]},
    {},
    "paper",
    np.array([0, 1], dtype=np.int64),
    np.array([], dtype=np.int64),
)
out_row, out_col, out_node, out_batch, num_sampled_nodes, num_sampled_edges = result
assert_type(out_row, Int64Arrays)
assert_type(num_sampled_edges, Int64Arrays)
assert_type(out_node["paper"], npt.NDArray[np.int64])

windowed = seeded.sample(
    num_neighbors={},
    sampling_time_offsets={"author__writes__paper": [[None, 0]]},
    entity_table="paper",
    seed_node=np.array([0], dtype=np.int64),
    seed_time=np.array([25], dtype=np.int64),
)
first_paper: np.int64 = windowed[2]["paper"][0]
