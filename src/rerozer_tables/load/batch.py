"""``Batch``: one sampled batch of the loaders, with its features and edges,
and its conversion to a ``torch_geometric.data.HeteroData``."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from .batch_arrays import BatchArrays, Result, stacked_edges
from .frames import add_tensor_frames
from .torch_bridge import to_hetero_data

__all__ = ["Batch", "Result", "stacked_edges"]


@dataclass(frozen=True)
class Batch(BatchArrays):
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

    ``time[node_type]`` is the time of each sampled node of a timed type, and
    ``seed_time`` the examples' times, both int64 counts of ``time_unit``
    (the graph's unit: ``"s"`` for seconds since 1970, ``"ms"``, ...)
    since 1970; a model that expects another unit (a temporal encoder
    written for seconds) needs them converted. ``y`` the labels of the batch's examples when the
    loader was given labels (``y[i]`` belongs to seed i). ``x_text`` and
    ``x_multi`` hold the sampled nodes' text vectors and multi-category
    lists (``rerozer_tables.graph.rich_features``), and ``layouts`` names the
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
        seeds are its first ``batch_size`` nodes. ``time_unit`` (the whole
        batch's attribute) names the unit of ``time`` and ``seed_time``. The tensors share memory
        with the batch's arrays (``torch.from_numpy``).

        ``tensor_frame=True`` adds ``tf``, a PyTorch Frame ``TensorFrame`` of
        every node type's features (a constant column ``__const__`` for a type
        without any), which models written for PyTorch Frame take with the
        statistics of ``rerozer_tables.frames.column_stats(graph)``.

        Needs torch and torch_geometric (``pip install "rerozer[torch]"``),
        and pytorch-frame for ``tensor_frame``; raises ImportError saying so
        when they are missing.
        """
        data = to_hetero_data(self)
        if tensor_frame:
            add_tensor_frames(self, data)
        return data
