"""Text and multi-category feature columns, and their rows in a batch.

A text column is embedded once per distinct value: its rows hold codes into
the column's vocabulary (its sorted distinct strings, -1 for null), and
``embeddings[column][c]`` is the embedder's vector for entry c. Both are
saved with the graph, so a loaded graph never calls the embedder again. A
batch gets the vectors of its nodes, every text column's side by side,
float32 with NaN for null:

    text columns  title (dim 2), note (dim 1)
    node 7        [0.1, 0.3, | 0.9]
    node 2        [nan, nan, | 0.4]     (title is null)

A multi-category column holds a list of strings per row (tags, genres).
Each string is coded into the column's vocabulary, and the lists of a node
type's multi-category columns are kept in one flat array, row by row and
within a row column by column, as PyTorch Frame's ``MultiNestedTensor``
keeps them: the list of row r in column j is
``codes[offsets[r * M + j] : offsets[r * M + j + 1]]`` for M columns. A
null row has an empty list.

>>> from rerozer_tables import Table, build_graph
>>> held = build_graph({"films": Table({"genres": [["drama", "war"], None, ["war"]]})}).features["films"]
>>> held.multicategorical, held.vocabularies["genres"].tolist(), held.multi_codes.tolist()
(['genres'], ['drama', 'war'], [0, 1, 1])
>>> held.multi_offsets.tolist()   # film 0: codes [0, 2), film 1: none, film 2: [2, 3)
[0, 2, 2, 3]
"""

from __future__ import annotations

import dataclasses
from typing import Any

import numpy as np

from ..tables.columns import AnyArray, BoolArray, Int64Array
from .node_features import Float32Array, NodeFeatures, TextEmbedder, _codes


def _vocabulary_codes(present: AnyArray, null: BoolArray | None) -> tuple[Int64Array, AnyArray]:
    """Codes of the non-null values ``present`` into their sorted distinct
    strings, -1 at the ``null`` rows. Python strings stay Python strings, so
    that two which differ only in trailing NULs keep two codes, as the
    categorical columns' do."""
    if present.dtype == object:
        strings = np.empty(present.size, dtype=object)
        strings[:] = [str(v) for v in present.tolist()]
    else:
        strings = present.astype(np.str_)
    codes, vocabulary = _codes(strings, None)
    if null is None:
        return codes, vocabulary
    full = np.full(null.size, -1, np.int64)
    full[~null] = codes
    return full, vocabulary


def embed(what: str, strings: list[str], text_embedder: TextEmbedder) -> Float32Array:
    """``text_embedder(strings)`` as a float32 matrix with one row per string;
    raises ValueError naming ``what`` when it is not one. Without strings (an
    empty table, a column of nulls) the embedder is never asked to embed
    nothing, which many cannot: it embeds one empty string, whose vector
    gives the width of the (empty) matrix."""
    asked = strings or [""]
    vectors = np.asarray(text_embedder(asked), dtype=np.float32)
    if vectors.ndim != 2 or vectors.shape[0] != len(asked):
        raise ValueError(
            f"the text embedder gave {what} an array of shape {vectors.shape} for "
            f"{len(asked)} strings; it must give one row per string"
        )
    return np.ascontiguousarray(vectors[: len(strings)])


def with_text(
    held: NodeFeatures, name: str, columns: dict[str, tuple[AnyArray, BoolArray | None]],
    text_embedder: TextEmbedder,
) -> NodeFeatures:
    """``held`` with the text ``columns`` coded and embedded."""
    vocabularies = dict(held.vocabularies)
    embeddings: dict[str, Float32Array] = {}
    codes = []
    for column, (values, null) in columns.items():
        present = values if null is None else values[~null]
        column_codes, vocabularies[column] = _vocabulary_codes(present, null)
        embeddings[column] = embed(
            f"{name}.{column}", vocabularies[column].tolist(), text_embedder
        )
        codes.append(column_codes)
    return dataclasses.replace(
        held, vocabularies=vocabularies, text=list(columns),
        x_text=np.ascontiguousarray(np.stack(codes, axis=1)), embeddings=embeddings,
    )


def with_lists(
    held: NodeFeatures, columns: dict[str, tuple[AnyArray, BoolArray | None]]
) -> NodeFeatures:
    """``held`` with the multi-category ``columns`` coded."""
    vocabularies = dict(held.vocabularies)
    rows = held.x.shape[0]
    counts = np.zeros((rows, len(columns)), np.int64)
    per_column: list[Int64Array] = []
    for j, (column, (values, null)) in enumerate(columns.items()):
        lists = [[] if null is not None and null[r] else list(values[r]) for r in range(rows)]
        counts[:, j] = [len(items) for items in lists]
        flat = np.empty(int(counts[:, j].sum()), dtype=object)
        flat[:] = [item for items in lists for item in items]
        column_codes, vocabularies[column] = _vocabulary_codes(flat, None)
        per_column.append(column_codes)
    offsets = np.zeros(counts.size + 1, np.int64)
    np.cumsum(counts.reshape(-1), out=offsets[1:])
    codes = np.empty(int(offsets[-1]), np.int64)
    for j, column_codes in enumerate(per_column):
        # Column j's lists go to the slots of (r, j) for every row r, in turn.
        starts = offsets[:-1].reshape(rows, -1)[:, j]
        codes[segment_positions(starts, counts[:, j])] = column_codes
    return dataclasses.replace(
        held, vocabularies=vocabularies, multicategorical=list(columns),
        multi_offsets=offsets, multi_codes=codes,
    )


def segment_positions(starts: Int64Array, lengths: Int64Array) -> Int64Array:
    """The positions ``starts[i], ..., starts[i] + lengths[i] - 1`` for every
    i, in turn, as one array."""
    total = int(lengths.sum())
    if total == 0:
        return np.zeros(0, np.int64)
    ends = np.cumsum(lengths)
    # Each position's step from its predecessor: 1 inside a segment, a jump
    # to the next segment's start at its first position.
    steps = np.ones(total, np.int64)
    nonempty = lengths > 0
    firsts = (ends - lengths)[nonempty]
    steps[firsts] = starts[nonempty]
    steps[firsts[1:]] -= starts[nonempty][:-1] + lengths[nonempty][:-1] - 1
    return np.cumsum(steps)


def gather_rich(
    features: dict[str, NodeFeatures], out_node: dict[str, Int64Array]
) -> tuple[dict[str, Float32Array], dict[str, tuple[Int64Array, Int64Array]]]:
    """The text vectors (``[nodes, sum of dims]``) and the multi-category
    ``(offsets, codes)`` of the sampled nodes, for the node types that have
    such columns."""
    x_text: dict[str, Float32Array] = {}
    x_multi: dict[str, tuple[Int64Array, Int64Array]] = {}
    for node_type, nodes in out_node.items():
        held: Any = features.get(node_type)
        if held is None:
            continue
        if held.text:
            codes = np.asarray(held.x_text)[nodes]
            parts = []
            for j, column in enumerate(held.text):
                table = np.asarray(held.embeddings[column])
                vectors = table[np.maximum(codes[:, j], 0)] if table.shape[0] else np.zeros(
                    (nodes.size, table.shape[1]), np.float32)
                vectors[codes[:, j] < 0] = np.nan
                parts.append(vectors)
            x_text[node_type] = np.concatenate(parts, axis=1)
        if held.multicategorical:
            m = len(held.multicategorical)
            offsets = np.asarray(held.multi_offsets)
            counts = np.diff(offsets).reshape(-1, m)[nodes]
            new_offsets = np.zeros(counts.size + 1, np.int64)
            np.cumsum(counts.reshape(-1), out=new_offsets[1:])
            positions = segment_positions(offsets[nodes * m], counts.sum(axis=1))
            x_multi[node_type] = (new_offsets, np.asarray(held.multi_codes)[positions])
    return x_text, x_multi
