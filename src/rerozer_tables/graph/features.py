"""Feature columns: every column of a table that is not a key or its time.

Each table's features become two matrices whose row p belongs to node p,
the table's row at position p (the row order of the table as given; for
``read_sqlite``, rowid order):

* ``x``: float32, one column per numerical feature (integers, floats,
  booleans, and timestamps as numbers in the graph's time unit), NaN where
  the value is null;
* ``x_cat``: int64, one column per categorical feature (strings, and
  integer columns declared categorical), holding the value's position in the
  column's vocabulary (its distinct values, sorted), -1 where it is null.
  Strings that differ are different categories, trailing NULs included
  (the vocabulary then holds Python strings, as numpy's fixed-width strings
  drop trailing NULs).

``timestamps`` names the columns of ``x`` that hold timestamps: the loader
hides their values later than each example's time (``rerozer_tables.graph.time_rules``).

A batch gathers the rows of its sampled nodes from these matrices
(``gather_features``). float32 holds integers exactly up to 2**24; a
timestamp in seconds since 1970 is kept to about two minutes.
"""

from __future__ import annotations

import numpy as np

from ..tables.columns import AnyArray, BoolArray, Int64Array, _to_unit
from ..tables.inference import high_cardinality, infer_semantic_type
from ..tables.table import Table
from .node_features import (
    Float32Array,
    NodeFeatures,
    TextEmbedder,
    _codes,
    _present,
    _spread,
)
from .rich_features import with_lists, with_text


def _kind_of_objects(values: AnyArray, null: BoolArray | None) -> str:
    """The kind of an object column by the Python types of its values."""
    present = values if null is None else values[~null]
    kinds = {type(v) for v in present.tolist()}
    if not kinds:
        return "f"
    if kinds <= {str}:
        return "U"
    if kinds <= {bool}:
        return "b"
    if kinds <= {int}:  # integers with nulls, as SQLite gives them
        return "i"
    if kinds <= {int, float, bool}:
        return "f"
    if all(hasattr(v, "isoformat") for v in present.tolist()):
        return "M"
    if kinds <= {list, tuple, np.ndarray} and all(
        isinstance(item, str) for row in present.tolist() for item in row
    ):
        return "L"  # lists of strings: a multi-category column
    return "?"


def _numbers(values: AnyArray, null: BoolArray | None) -> Float32Array:
    present = _present(values, null).astype(np.float32)
    return _spread(present, null, np.nan, np.float32)


def _times(values: AnyArray, null: BoolArray | None, unit: str, what: str) -> Float32Array:
    """Timestamps as numbers in ``unit`` since 1970 (finer parts rounded down)."""
    present = values if null is None else values[~null]
    if present.dtype.kind != "M":  # datetime objects
        present = np.array([np.datetime64(v.isoformat()) for v in present.tolist()])
    rows = np.arange(values.size, dtype=np.int64) if null is None else np.flatnonzero(~null)
    counts = _to_unit(present, unit, what, rows).view(np.int64).astype(np.float32)
    return _spread(counts, null, np.nan, np.float32)


def feature_columns(table: Table) -> list[str]:
    """The names of a table's feature columns, in table order: those chosen
    with ``features=``, or else every column but the keys and the time."""
    if table.features is not None:
        return list(table.features)
    not_features = {table.primary_key, table.time_column, *table.foreign_keys}
    return [name for name in table.columns if name not in not_features]


def encode_features(
    name: str, table: Table, time_unit: str = "s", text_embedder: TextEmbedder | None = None
) -> NodeFeatures:
    """Encode the feature columns of ``table`` (named ``name`` in messages).

    Each column's semantic type is the one declared in ``table``
    (``categorical``, ``numerical``, ``text``) or else the inferred one
    (``rerozer_tables.inference``). Text columns are embedded by
    ``text_embedder``, once per distinct value. Without one, a string column
    of high cardinality whose type is not declared is left out, and named
    with its number of distinct values in ``left_out``.

    Raises ValueError naming the table and column for a column whose values
    are neither numbers, booleans, strings, lists of strings nor timestamps,
    for a column declared categorical that holds no integers or strings, a
    column declared numerical that holds no numbers, and a column declared
    text without a ``text_embedder``.
    """
    numerical: list[str] = []
    categorical: list[str] = []
    x_columns: list[Float32Array] = []
    cat_columns: list[Int64Array] = []
    vocabularies: dict[str, AnyArray] = {}
    timestamps: list[str] = []
    texts: dict[str, tuple[AnyArray, BoolArray | None]] = {}
    lists: dict[str, tuple[AnyArray, BoolArray | None]] = {}
    left_out: dict[str, int] = {}
    declared = {c: "categorical" for c in table.categorical}
    declared.update({c: "numerical" for c in table.numerical})
    declared.update({c: "text" for c in table.text})
    for column in feature_columns(table):
        what = f"{name}.{column}"
        try:
            values, null = table.column(column)
        except OverflowError as error:
            raise ValueError(f"{what} holds an integer beyond int64 ({error})") from None
        except ValueError as error:
            raise ValueError(f"{what}: {error}") from None
        kind: str = values.dtype.kind
        if kind == "O":
            kind = _kind_of_objects(values, null)
        semantic = declared.get(column)
        if semantic == "categorical" and kind not in "iuUS":
            raise ValueError(f"{what} is declared categorical but holds {values.dtype} values")
        if semantic == "numerical" and kind not in "iufbMm":
            raise ValueError(f"{what} is declared numerical but holds {values.dtype} values")
        if semantic == "text":
            # A column without a value (an empty table, every row null) is
            # text as declared, whatever dtype its nothing came in.
            if kind not in "US" and values.size > (0 if null is None else int(null.sum())):
                raise ValueError(f"{what} is declared text but holds {values.dtype} values")
            if text_embedder is None:
                raise ValueError(
                    f"{what} is declared text, but no text_embedder was given to build_graph"
                )
        if semantic is None and kind in "US" and text_embedder is None:
            distinct = high_cardinality(values if null is None else values[~null])
            if distinct is not None:  # a category per row or nearly: no feature
                left_out[column] = distinct
                continue
        if semantic is None:
            semantic = infer_semantic_type(kind, values, null, embeds_text=text_embedder is not None)
        if semantic is None:
            raise ValueError(
                f"{what} holds {values.dtype} values that are neither numbers, booleans, strings "
                "nor timestamps: leave it out with features=[...]"
            )
        if semantic == "text":
            texts[column] = (values, null)
        elif semantic == "multicategorical":
            lists[column] = (values, null)
        elif semantic == "categorical":
            try:
                codes, vocabularies[column] = _codes(values, null)
            except UnicodeDecodeError as error:
                raise ValueError(f"{what} holds bytes that are not UTF-8 text ({error})") from None
            categorical.append(column)
            cat_columns.append(codes)
        elif kind == "M":
            numerical.append(column)
            timestamps.append(column)
            x_columns.append(_times(values, null, time_unit, what))
        elif kind == "m":
            numerical.append(column)
            if null is None:
                null = np.isnat(values)
            durations = values.astype(f"timedelta64[{time_unit}]").view(np.int64).astype(np.float32)
            durations[null] = np.nan
            x_columns.append(durations)
        else:
            numerical.append(column)
            try:
                x_columns.append(_numbers(values, null))
            except (OverflowError, TypeError, ValueError) as error:
                raise ValueError(f"{what} holds a number that is not a float ({error})") from None
    n = table.num_rows
    x = np.stack(x_columns, axis=1) if x_columns else np.zeros((n, 0), np.float32)
    x_cat = np.stack(cat_columns, axis=1) if cat_columns else np.zeros((n, 0), np.int64)
    held = NodeFeatures(np.ascontiguousarray(x), numerical, np.ascontiguousarray(x_cat),
                        categorical, vocabularies, timestamps, left_out=left_out)
    if texts or lists:
        if texts:
            assert text_embedder is not None
            held = with_text(held, name, texts, text_embedder)
        if lists:
            held = with_lists(held, lists)
    return held


FeatureSources = dict[str, tuple[Float32Array | None, Int64Array | None]]


def feature_sources(features: dict[str, NodeFeatures]) -> FeatureSources:
    """Per node type with numerical or categorical features, its ``x`` and
    ``x_cat`` as plain ndarrays (None for a kind it has no columns of): what
    ``gather_features`` takes rows from, made once for a loader's batches.
    A memory map's subclass hooks cost more than the gather of a small batch."""
    sources: FeatureSources = {}
    for node_type, held in features.items():
        numbers = held.x.view(np.ndarray) if held.numerical else None
        codes = held.x_cat.view(np.ndarray) if held.categorical else None
        if numbers is not None or codes is not None:
            sources[node_type] = (numbers, codes)
    return sources


def gather_features(
    features: dict[str, NodeFeatures], out_node: dict[str, Int64Array],
    sources: FeatureSources | None = None,
) -> tuple[dict[str, Float32Array], dict[str, Int64Array]]:
    """The feature rows of the sampled nodes: ``x`` and ``x_cat`` of every
    node type (zero columns for a type without such features). ``sources``
    is ``feature_sources(features)``, when the caller keeps it."""
    if sources is None:
        sources = feature_sources(features)
    x: dict[str, Float32Array] = {}
    x_cat: dict[str, Int64Array] = {}
    neither = (None, None)
    for node_type, nodes in out_node.items():
        numbers, codes = sources.get(node_type, neither)
        # take() copies whole rows, two to four times faster than indexing
        # with [nodes], which copies element by element.
        x[node_type] = (np.zeros((nodes.size, 0), np.float32) if numbers is None
                        else numbers.take(nodes, axis=0))
        x_cat[node_type] = (np.zeros((nodes.size, 0), np.int64) if codes is None
                            else codes.take(nodes, axis=0))
    return x, x_cat
