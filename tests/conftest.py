"""Small hand-built graphs, by name.

Each fixture returns the keyword arguments of ``NeighborSampler`` as a fresh
dictionary of fresh arrays, so a test may change them before building:
``NeighborSampler(**paper_author)``.
"""

import numpy as np
import pytest


def _int64(values):
    return np.array(values, dtype=np.int64)


@pytest.fixture
def paper_author():
    """Two node types, paper and author; no node times.

    author__writes__paper: colptr [0, 2, 3, 3], row [0, 1, 1]
        paper 0 <- authors 0 and 1, paper 1 <- author 1, paper 2 <- nobody
    paper__cites__paper:   colptr [0, 2, 3, 3], row [1, 2, 2]
        paper 0 <- papers 1 and 2, paper 1 <- paper 2, paper 2 <- nobody
    """
    return {
        "node_types": ["paper", "author"],
        "edge_types": [("author", "writes", "paper"), ("paper", "cites", "paper")],
        "colptr": {
            "author__writes__paper": _int64([0, 2, 3, 3]),
            "paper__cites__paper": _int64([0, 2, 3, 3]),
        },
        "row": {
            "author__writes__paper": _int64([0, 1, 1]),
            "paper__cites__paper": _int64([1, 2, 2]),
        },
        "node_time": {},
    }


@pytest.fixture
def paper_author_timed(paper_author):
    """The paper_author graph with node times: papers 10, 20, 30; authors 5, 15.

    Every column is ordered by the time of its source nodes.
    """
    paper_author["node_time"] = {"paper": _int64([10, 20, 30]), "author": _int64([5, 15])}
    return paper_author


FAN_SIZE = 1000


@pytest.fixture
def fan():
    """One hub node fed by FAN_SIZE leaves (leaf p is at row position p).

    Two edge types with the same arrays, leaf__to__hub and leaf__via__hub, in
    this order; no node times. A count of 1 from hub 0 draws once and takes
    leaf (draw mod FAN_SIZE), so the picks reveal the random stream.
    """
    colptr = _int64([0, FAN_SIZE])
    row = np.arange(FAN_SIZE, dtype=np.int64)
    return {
        "node_types": ["hub", "leaf"],
        "edge_types": [("leaf", "to", "hub"), ("leaf", "via", "hub")],
        "colptr": {"leaf__to__hub": colptr, "leaf__via__hub": colptr.copy()},
        "row": {"leaf__to__hub": row, "leaf__via__hub": row.copy()},
        "node_time": {},
    }
