"""``Batch``: one sampled batch of the loaders, with its features and edges.

>>> import numpy as np
>>> stacked_edges(np.array([0, 1]), np.array([2, 2])).tolist()   # a batch's edge_index rows
[[0, 1], [2, 2]]
"""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import cached_property
from typing import Any

import numpy as np
import numpy.typing as npt

from ._columns import AnyArray, Int64Array
from .features import FeatureLayout, Float32Array
from .graph import EdgeType, edge_type_key

Result = tuple[
    dict[str, Int64Array], dict[str, Int64Array], dict[str, Int64Array],
    dict[str, Int64Array], dict[str, Int64Array], dict[str, Int64Array],
]


@dataclass(frozen=True)
class Batch:
    """One sampled batch.

    ``index`` is the batch's number in its epoch. ``example_index`` gives
    the batch's examples as indices into the loader's ``keys_or_positions``
    (to pick their labels); ``seed_node`` and ``seed_time`` are the same
    examples as row positions of the entity table and their times (empty for
    a graph without times). The next six fields are ``NeighborSampler.sample``'s result: the
    seeds are the first ``len(seed_node)`` entries of ``out_node`` of the
    entity table. ``edge_index[edge_type]`` is a 2 x E int64 array: row 0 the
    source's and row 1 the destination's index into ``out_node`` of its type,
    the layout PyG's ``HeteroData`` takes through ``torch.from_numpy``.
    Worker threads build it with the batch, and ``out_row[k]`` and
    ``out_col[k]`` are then its two rows (views); otherwise it is built on
    first use.

    ``padding`` is the number of seeds at the end of the batch that repeat
    an example only to keep the ranks in step (``Loader(even_batches=True)``);
    ``mask`` is False for them, and they must not count in a loss or a
    metric. ``global_examples`` is the number of real examples in this step
    on all ranks together: the denominator of a mean loss over the global
    batch (see ``Loader``).

    ``x[node_type]`` holds the numerical feature rows of the sampled nodes
    (float32, ``[len(out_node[node_type]), columns]``, zero columns for a type
    without any) and ``x_cat[node_type]`` their categorical codes (int64,
    zero columns likewise), for every node type; both are gathered where the
    batch is sampled (in the loader's workers), timestamp values later than
    a row's example time set to NaN (``Loader(future_values=...)``).
    ``entity_table`` is the node type of the seeds.

    ``time[node_type]`` is the time of each sampled node of a timed type (in
    the graph's unit), and ``y`` the labels of the batch's examples when the
    loader was given labels (``y[i]`` belongs to seed i). ``x_text`` and
    ``x_multi`` hold the sampled nodes' text vectors and multi-category
    lists (``rerozer_tables.rich_features``), and ``layouts`` names the
    feature columns of each node type.

    Examples
    --------
    >>> from rerozer_tables import Loader, Table, build_graph
    >>> graph = build_graph({
    ...     "users": Table({"id": ["a", "b", "c"]}, primary_key="id"),
    ...     "posts": Table({"by": ["a", "c", "c"]}, foreign_keys={"by": "users"}),
    ... })
    >>> batch, = Loader(graph, "users", ["c", "a", "b"], batch_size=2, rank=1, world_size=2,
    ...                 even_batches=True, num_neighbors=[-1])
    >>> batch.example_index.tolist(), batch.mask.tolist()  # "a", then "c" again as padding
    ([1, 0], [True, False])
    >>> batch.out_node["users"].tolist(), batch.out_node["posts"].tolist()
    ([0, 2], [0, 1, 2])
    >>> batch.edge_index[("posts", "by", "users")].tolist()  # posts 1 and 2 belong to "c"
    [[0, 1, 2], [0, 1, 1]]
    """

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

    @property
    def mask(self) -> npt.NDArray[np.bool_]:
        """Per seed, True for a real example and False for padding."""
        return np.arange(self.seed_node.size) < self.seed_node.size - self.padding

    def to_hetero_data(self, *, tensor_frame: bool = False) -> Any:
        """The batch as a ``torch_geometric.data.HeteroData``, sharing its arrays.

        Per node type: ``n_id`` (``out_node``), ``batch`` (``out_batch``),
        ``num_sampled_nodes``, ``x`` (float32), ``x_cat`` (int64; zero
        columns for a type without categorical features), text columns
        ``x_text`` (float32) and multi-category columns ``x_multi`` with
        ``x_multi_offset`` (int64); for a timed type ``time`` (int64). Per
        edge type tuple: ``edge_index`` and ``num_sampled_edges``. On the
        entity type: ``input_id`` (``example_index``), ``seed_time``,
        ``batch_size`` and, when the loader was given labels, ``y``; the
        seeds are its first ``batch_size`` nodes. The tensors share memory
        with the batch's arrays (``torch.from_numpy``).

        ``tensor_frame=True`` adds ``tf``, a PyTorch Frame ``TensorFrame`` of
        every node type's features (a constant column ``__const__`` for a type
        without any), which models written for PyTorch Frame take with the
        statistics of ``rerozer_tables.frames.column_stats(graph)``.

        Needs torch and torch_geometric (``pip install "rerozer[torch]"``),
        and pytorch-frame for ``tensor_frame``; raises ImportError saying so
        when they are missing.
        """
        from ._torch import to_hetero_data

        data = to_hetero_data(self)
        if tensor_frame:
            from .frames import add_tensor_frames

            add_tensor_frames(self, data)
        return data

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
