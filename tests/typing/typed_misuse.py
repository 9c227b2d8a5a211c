"""Wrong uses of the module: mypy must report the error named on each marked line."""

import numpy as np

import rerozer
from rerozer import NeighborSampler

colptr = {"a__to__a": np.array([0, 1], dtype=np.int64)}
row = {"a__to__a": np.array([0], dtype=np.int64)}
seeds = np.array([0], dtype=np.int64)
empty = np.array([], dtype=np.int64)

NeighborSampler(["a"], [("a", "to", "a")], colptr, row)  # E: call-arg
NeighborSampler(["a"], [("a", "to", "a")], colptr, row, {}, seed=1.5)  # E: arg-type
NeighborSampler(["a"], [("a", "to")], colptr, row, {})  # E: list-item
NeighborSampler(["a"], [("a", "to", "a")], [colptr], row, {})  # E: arg-type

sampler = NeighborSampler(["a"], [("a", "to", "a")], colptr, row, {})
sampler.sample({"a__to__a": [1]}, {}, "a", [0], empty)  # E: arg-type
sampler.sample({"a__to__a": [1]}, {}, "a", seeds)  # E: call-arg
sampler.sample({"a__to__a": [1]}, {}, "a", seeds, empty, 2)  # E: call-arg
sampler.sample(num_neighbours={}, sampling_time_offsets={}, entity_table="a", seed_node=seeds, seed_time=empty)  # E: call-arg
sampler.sample({"a__to__a": [1]}, {}, 3, seeds, empty)  # E: arg-type
out_row, out_col, out_node = sampler.sample({"a__to__a": [1]}, {}, "a", seeds, empty)  # E: misc
name: str = sampler.sample({"a__to__a": [1]}, {}, "a", seeds, empty)[2]["a"]  # E: assignment
sampler.seed  # E: attr-defined
rerozer.sample  # E: attr-defined
