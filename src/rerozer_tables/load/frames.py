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
``x`` timestamps   timestamp              int64 ``[nodes, columns, 7]``, -1s for null
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


def timestamp_parts(values: Any, time_unit: str) -> Any:
    """PyTorch Frame's encoding of timestamps: int64 ``[..., 7]`` of year,
    month - 1, day - 1, day of the week (Monday 0), hour, minute and second,
    seven -1s for null (NaN). ``values`` are numbers of ``time_unit`` since
    1970 (float32 features: exact to about two minutes for seconds)."""
    values = np.asarray(values, dtype=np.float64)
    null = np.isnan(values)
    stamps = np.where(null, 0, values).astype(np.int64).astype(f"datetime64[{time_unit}]")
    days = stamps.astype("datetime64[D]")
    months = stamps.astype("datetime64[M]")
    years = stamps.astype("datetime64[Y]")
    seconds = (stamps - days).astype("timedelta64[s]").astype(np.int64)
    parts = np.stack([
        years.astype(np.int64) + 1970,
        (months - years).astype(np.int64),
        (days - months.astype("datetime64[D]")).astype(np.int64),
        (days.astype(np.int64) + 3) % 7,  # 1970-01-01 was a Thursday
        seconds // 3600, seconds // 60 % 60, seconds % 60,
    ], axis=-1)
    parts[null] = -1
    return parts


def _timestamp_stats(values: Any, time_unit: str, stat: Any, torch: Any) -> dict[Any, Any]:
    column = np.sort(np.asarray(values, dtype=np.float64))
    column = column[~np.isnan(column)]
    if column.size == 0:  # PyTorch Frame's values for a column of nulls
        missing = torch.full((7,), -1, dtype=torch.long)
        return {stat.YEAR_RANGE: [-1, -1], stat.NEWEST_TIME: missing,
                stat.OLDEST_TIME: missing, stat.MEDIAN_TIME: missing}
    parts = torch.from_numpy(timestamp_parts(column[[0, -1, column.size // 2]], time_unit))
    return {stat.YEAR_RANGE: [int(parts[0, 0]), int(parts[1, 0])], stat.NEWEST_TIME: parts[1],
            stat.OLDEST_TIME: parts[0], stat.MEDIAN_TIME: parts[2]}


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
        stamps = set(held.timestamps)
        for j, column in enumerate(held.numerical):
            if column in stamps:
                columns[column] = _timestamp_stats(held.x[:, j], graph.time_unit, stat,
                                                   importlib.import_module("torch"))
            else:
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
    if layout.numerical and layout.timestamps:
        x = batch.x[node_type]
        stamps = set(layout.timestamps)
        numbers = [j for j, c in enumerate(layout.numerical) if c not in stamps]
        times = [j for j, c in enumerate(layout.numerical) if c in stamps]
        if numbers:
            feat[stype.numerical] = tensor(np.ascontiguousarray(x[:, numbers]))
            names[stype.numerical] = [layout.numerical[j] for j in numbers]
        feat[stype.timestamp] = tensor(timestamp_parts(x[:, times], layout.time_unit))
        names[stype.timestamp] = [layout.numerical[j] for j in times]
    elif layout.numerical:
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
