"""Batches as PyTorch Frame ``TensorFrame`` objects, and the column statistics
that models written for PyTorch Frame (RelBench's ``HeteroEncoder`` among
them) are built with.

``column_stats(graph)`` computes, once per graph, what PyTorch Frame's
encoders read for each feature column of each node type, over all the
table's rows: mean, standard deviation and quantiles of a numerical column
(nulls left out), the categories of a categorical or multi-category column
with their counts, in the order of the codes, and the width of a text
column's embedding. ``Batch.to_hetero_data(tensor_frame=True)`` gives every
node type a ``TensorFrame`` (``data[node_type].tf``) holding the batch's
feature rows under the same column names:

=================  =====================  ==========================================
our arrays         PyTorch Frame stype    tensor
=================  =====================  ==========================================
``x``              numerical              float32 ``[nodes, columns]``, NaN for null
``x_cat``          categorical            int64 codes, -1 for null
``x_text``         embedding              ``MultiEmbeddingTensor``
``x_multi``        multicategorical       ``MultiNestedTensor``
=================  =====================  ==========================================

A node type without feature columns gets one numerical column ``__const__``
of ones, as RelBench's graph builder gives it. Needs torch and pytorch-frame
(``pip install "rerozer[relbench]"``); the arrays behind the tensors are
the batch's own.

>>> from rerozer_tables import Table, build_graph
>>> graph = build_graph({"items": Table({"price": [1.0, 3.0, None]})})
>>> stats = column_stats(graph)["items"]["price"]
>>> {stat.name: value for stat, value in stats.items()}["MEAN"]
2.0
"""

from __future__ import annotations

import importlib
from typing import Any

import numpy as np

from ..graph.graph import Graph
from ..graph.node_features import FeatureLayout
from .batch_arrays import BatchArrays

CONSTANT = "__const__"
_QUANTILES = (0.0, 0.25, 0.5, 0.75, 1.0)


def import_frame() -> Any:
    """The ``torch_frame`` module, or ImportError saying what to install."""
    try:
        return importlib.import_module("torch_frame")
    except ImportError as error:
        raise ImportError(
            f'TensorFrame batches need pytorch-frame: pip install "rerozer[relbench]" ({error})'
        ) from error


def _numerical(values: Any) -> dict[str, Any]:
    column = np.asarray(values, dtype=np.float64)
    column = column[~np.isnan(column)]
    if column.size == 0:
        return {"MEAN": 0.0, "STD": 0.0, "QUANTILES": [0.0] * len(_QUANTILES)}
    return {
        "MEAN": float(column.mean()),
        "STD": float(column.std()),
        "QUANTILES": [float(q) for q in np.quantile(column, _QUANTILES)],
    }


def _counts(codes: Any, vocabulary: Any) -> tuple[list[Any], list[int]]:
    codes = np.asarray(codes)
    counts = np.bincount(codes[codes >= 0], minlength=vocabulary.size)
    return vocabulary.tolist(), counts.tolist()


def column_stats(graph: Graph) -> dict[str, dict[str, dict[Any, Any]]]:
    """Per node type and feature column, the statistics PyTorch Frame's
    encoders take (keyed by ``torch_frame.data.stats.StatType``), as
    RelBench's ``make_pkey_fkey_graph`` returns them. Computed on the first
    call and kept with the graph, so later calls cost nothing."""
    held_stats = graph.__dict__.get("_column_stats")
    if held_stats is not None:
        return held_stats  # type: ignore[no-any-return]
    stat = import_frame().data.stats.StatType
    stats: dict[str, dict[str, dict[Any, Any]]] = {}
    for node_type in graph.node_types:
        held = graph.features.get(node_type)
        if held is None or not (held.numerical or held.categorical or held.text or held.multicategorical):
            stats[node_type] = {CONSTANT: {stat.MEAN: 1.0, stat.STD: 0.0,
                                           stat.QUANTILES: [1.0] * len(_QUANTILES)}}
            continue
        columns: dict[str, dict[Any, Any]] = {}
        for j, column in enumerate(held.numerical):
            columns[column] = {stat[k]: v for k, v in _numerical(held.x[:, j]).items()}
        for j, column in enumerate(held.categorical):
            columns[column] = {stat.COUNT: _counts(held.x_cat[:, j], held.vocabularies[column])}
        for column in held.text:
            columns[column] = {stat.EMB_DIM: int(held.embeddings[column].shape[1])}
        if held.multicategorical and held.multi_offsets is not None and held.multi_codes is not None:
            m = len(held.multicategorical)
            offsets = np.asarray(held.multi_offsets)
            # Which column each code belongs to: its slot's index modulo m.
            slot = np.repeat(np.arange(offsets.size - 1) % m, np.diff(offsets))
            codes = np.asarray(held.multi_codes)
            for j, column in enumerate(held.multicategorical):
                columns[column] = {
                    stat.MULTI_COUNT: _counts(codes[slot == j], held.vocabularies[column])
                }
        stats[node_type] = columns
    graph.__dict__["_column_stats"] = stats  # a frozen dataclass's own cache slot
    return stats


def tensor_frame(batch: BatchArrays, node_type: str) -> Any:
    """The ``TensorFrame`` of one node type's sampled nodes."""
    frame = import_frame()
    torch = importlib.import_module("torch")
    stype = frame.stype
    tensor = torch.from_numpy
    rows = int(batch.out_node[node_type].size)
    layout = batch.layouts.get(node_type, FeatureLayout([], []))
    feat: dict[Any, Any] = {}
    names: dict[Any, list[str]] = {}
    if layout.numerical:
        feat[stype.numerical], names[stype.numerical] = tensor(batch.x[node_type]), layout.numerical
    if layout.categorical:
        feat[stype.categorical] = tensor(batch.x_cat[node_type])
        names[stype.categorical] = layout.categorical
    if layout.text:
        offset = np.concatenate([[0], np.cumsum(layout.text_dims)]).astype(np.int64)
        feat[stype.embedding] = frame.data.MultiEmbeddingTensor(
            num_rows=rows, num_cols=len(layout.text), values=tensor(batch.x_text[node_type]),
            offset=tensor(offset),
        )
        names[stype.embedding] = layout.text
    if layout.multicategorical:
        offsets, codes = batch.x_multi[node_type]
        feat[stype.multicategorical] = frame.data.MultiNestedTensor(
            num_rows=rows, num_cols=len(layout.multicategorical), values=tensor(codes),
            offset=tensor(offsets),
        )
        names[stype.multicategorical] = layout.multicategorical
    if not names:
        feat[stype.numerical] = torch.ones(rows, 1)
        names[stype.numerical] = [CONSTANT]
    return frame.TensorFrame(feat, names)


def add_tensor_frames(batch: BatchArrays, data: Any) -> None:
    """Give every node type of ``data`` (``batch.to_hetero_data()``) its ``tf``."""
    for node_type in batch.out_node:
        data[node_type].tf = tensor_frame(batch, node_type)
