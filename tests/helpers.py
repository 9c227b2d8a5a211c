"""Small helpers shared by several test files."""

import threading

import numpy as np


def assert_same_result(actual, expected):
    """The two results of `sample` hold the same keys, in order, and equal
    int64 arrays."""
    assert len(actual) == len(expected) == 6
    for got, want in zip(actual, expected):
        assert list(got) == list(want)
        for key in want:
            assert got[key].dtype == np.int64
            np.testing.assert_array_equal(got[key], want[key])


def strided(values):
    """`values` as a non-contiguous int64 view (every second element)."""
    padded = np.full(2 * len(values), 1000, dtype=np.int64)
    padded[::2] = values
    return padded[::2]


# The same values in memory layouts that the sampler must read through a
# copy rather than in place.
ARRAY_LAYOUTS = {
    "strided": strided,
    "reversed": lambda values: np.array(values[::-1], dtype=np.int64)[::-1],
    "byte-swapped": lambda values: np.array(values, dtype=">i8"),
}


# The ways to build a sampler that the differential and property tests run
# through: NeighborSampler itself, and Graph.sampler with each temporal
# strategy ("last" gives a NeighborSampler, "uniform" the sampler of
# rerozer_tables._temporal). The model takes the strategy of each.
SAMPLER_ENTRIES = ["NeighborSampler", "last", "uniform"]


def model_strategy(entry):
    return "uniform" if entry == "uniform" else "last"


def build_sampler(entry, node_types, edge_types, colptr, row, node_time, seed=123):
    import rerozer
    from rerozer_tables import Graph

    if entry == "NeighborSampler":
        return rerozer.NeighborSampler(node_types, edge_types, colptr, row, node_time, seed)
    graph = Graph(list(node_types), list(edge_types), colptr, row, node_time)
    return graph.sampler(seed=seed, temporal_strategy=entry)


class WaitingDict(dict):
    """A num_neighbors dictionary whose first per-hop lookup (the third:
    two check the request) sets `inside` and then waits, running Python
    code inside the call, until `release` is set (60 s at most)."""

    def __init__(self, data):
        super().__init__(data)
        self.lookups = 0
        self.inside = threading.Event()
        self.release = threading.Event()

    def __getitem__(self, key):
        self.lookups += 1
        if self.lookups == 3:
            self.inside.set()
            assert self.release.wait(timeout=60)
        return super().__getitem__(key)
