"""``BatchArrays``: the arrays of one sampled batch, which the workers make
and send, and the torch bridge converts. ``Batch`` adds the conversions.

>>> import numpy as np
>>> stacked_edges(np.array([0, 1]), np.array([2, 2])).tolist()   # a batch's edge_index rows
[[0, 1], [2, 2]]
"""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import cached_property

import numpy as np
import numpy.typing as npt

from ..graph.graph import EdgeType, edge_type_key
from ..graph.node_features import FeatureLayout, Float32Array
from ..tables.columns import AnyArray, Int64Array

Result = tuple[
    dict[str, Int64Array], dict[str, Int64Array], dict[str, Int64Array],
    dict[str, Int64Array], dict[str, Int64Array], dict[str, Int64Array],
]


@dataclass(frozen=True)
class BatchArrays:
    """The fields of a ``Batch`` (documented there), and what is derived from them."""

    index: int
    example_index: Int64Array
    seed_node: Int64Array
    seed_time: Int64Array
    out_row: dict[str, Int64Array]
    out_col: dict[str, Int64Array]
    out_node: dict[str, Int64Array]
    out_batch: dict[str, Int64Array]
    num_sampled_nodes: dict[str, Int64Array]
    num_sampled_edges: dict[str, Int64Array]
    edge_types: list[EdgeType]
    entity_table: str = ""
    x: dict[str, Float32Array] = field(default_factory=dict)
    x_cat: dict[str, Int64Array] = field(default_factory=dict)
    padding: int = 0
    global_examples: int = 0
    time: dict[str, Int64Array] = field(default_factory=dict)
    y: AnyArray | None = None
    x_text: dict[str, Float32Array] = field(default_factory=dict)
    x_multi: dict[str, tuple[Int64Array, Int64Array]] = field(default_factory=dict)
    layouts: dict[str, FeatureLayout] = field(default_factory=dict)
    time_unit: str = "s"

    @property
    def mask(self) -> npt.NDArray[np.bool_]:
        """Per seed, True for a real example and False for padding."""
        return np.arange(self.seed_node.size) < self.seed_node.size - self.padding

    @cached_property
    def edge_index(self) -> dict[EdgeType, Int64Array]:
        """Per edge type, ``[out_row, out_col]`` as one 2 x E int64 array."""
        return {
            edge_type: stacked_edges(self.out_row[key], self.out_col[key])
            for edge_type, key in ((t, edge_type_key(t)) for t in self.edge_types)
        }

    @property
    def result(self) -> Result:
        """The six dictionaries in ``NeighborSampler.sample``'s order."""
        return (
            self.out_row, self.out_col, self.out_node,
            self.out_batch, self.num_sampled_nodes, self.num_sampled_edges,
        )

    @property
    def num_edges(self) -> int:
        return sum(int(rows.size) for rows in self.out_row.values())


def stacked_edges(out_row: Int64Array, out_col: Int64Array) -> Int64Array:
    """``np.stack([out_row, out_col])``, for a fraction of its overhead on the
    small arrays of a batch (a dozen edge types per batch).

    >>> stacked_edges(np.array([0, 1]), np.array([2, 2])).tolist()
    [[0, 1], [2, 2]]
    """
    both = np.empty((2, out_row.size), dtype=np.int64)
    both[0] = out_row
    both[1] = out_col
    return both
