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

A batch gathers the rows of its sampled nodes from these matrices
(``gather_features``). float32 holds integers exactly up to 2**24; a
timestamp in seconds since 1970 is kept to about two minutes.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from ._columns import AnyArray, BoolArray, Int64Array
from .table import Table

Float32Array = npt.NDArray[np.float32]


@dataclass(frozen=True)
class NodeFeatures:
    """The feature matrices of one node type; row p belongs to node p.

    ``x`` is float32 of shape ``[num_nodes, len(numerical)]``, ``x_cat`` int64
    of shape ``[num_nodes, len(categorical)]``, and ``vocabularies[name][c]``
    the value that code c of the categorical column ``name`` stands for.

    Examples
    --------
    >>> from rerozer_tables import Table
    >>> features = encode_features("items", Table(
    ...     {"id": [1, 2, 3], "price": [2.5, None, 4.0], "colour": ["red", "blue", None]},
    ...     primary_key="id"))
    >>> features.numerical, features.x[:, 0].tolist()
    (['price'], [2.5, nan, 4.0])
    >>> features.categorical, features.x_cat[:, 0].tolist(), features.vocabularies["colour"].tolist()
    (['colour'], [1, 0, -1], ['blue', 'red'])
    """

    x: Float32Array = field(repr=False)
    numerical: list[str]
    x_cat: Int64Array = field(repr=False)
    categorical: list[str]
    vocabularies: dict[str, AnyArray] = field(repr=False)

    @classmethod
    def empty(cls, num_nodes: int) -> NodeFeatures:
        """No features for ``num_nodes`` nodes."""
        return cls(
            np.zeros((num_nodes, 0), np.float32), [], np.zeros((num_nodes, 0), np.int64), [], {}
        )

    @property
    def nbytes(self) -> int:
        vocabularies = sum(int(v.nbytes) for v in self.vocabularies.values())
        return int(self.x.nbytes) + int(self.x_cat.nbytes) + vocabularies


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
    if kinds <= {int, float, bool}:
        return "f"
    if all(hasattr(v, "isoformat") for v in present.tolist()):
        return "M"
    return "?"


def _present(values: AnyArray, null: BoolArray | None) -> AnyArray:
    """The non-null values, as a typed array even when ``values`` holds objects."""
    present = values if null is None else values[~null]
    return np.array(present.tolist()) if present.dtype == object and present.size else present


def _spread(present: AnyArray, null: BoolArray | None, fill: Any, dtype: Any) -> AnyArray:
    """A full column of ``dtype``: ``present`` at the non-null rows, ``fill`` at the others."""
    if null is None:
        return np.asarray(present, dtype=dtype)
    column = np.full(null.size, fill, dtype=dtype)
    column[~null] = present
    return column


def _numbers(values: AnyArray, null: BoolArray | None) -> Float32Array:
    present = _present(values, null).astype(np.float32)
    return _spread(present, null, np.nan, np.float32)


def _times(values: AnyArray, null: BoolArray | None, unit: str) -> Float32Array:
    """Timestamps as numbers in ``unit`` since 1970 (finer parts rounded down)."""
    present = values if null is None else values[~null]
    if present.dtype.kind != "M":  # datetime objects
        present = np.array([np.datetime64(v.isoformat()) for v in present.tolist()])
    counts = present.astype(f"datetime64[{unit}]").view(np.int64).astype(np.float32)
    return _spread(counts, null, np.nan, np.float32)


def _codes(values: AnyArray, null: BoolArray | None) -> tuple[Int64Array, AnyArray]:
    """Codes into the sorted distinct values, -1 for null."""
    present = _present(values, null)
    if present.dtype.kind == "S":
        present = present.astype(np.str_)
    vocabulary, inverse = np.unique(present, return_inverse=True)
    return _spread(inverse.reshape(-1), null, -1, np.int64), vocabulary


def feature_columns(table: Table) -> list[str]:
    """The names of a table's feature columns, in table order: those chosen
    with ``features=``, or else every column but the keys and the time."""
    if table.features is not None:
        return list(table.features)
    not_features = {table.primary_key, table.time_column, *table.foreign_keys}
    return [name for name in table.columns if name not in not_features]


def encode_features(name: str, table: Table, time_unit: str = "s") -> NodeFeatures:
    """Encode the feature columns of ``table`` (named ``name`` in messages).

    Raises ValueError naming the table and column for a column whose values
    are neither numbers, booleans, strings nor timestamps, and for a column
    declared categorical that holds no integers or strings.
    """
    numerical: list[str] = []
    categorical: list[str] = []
    x_columns: list[Float32Array] = []
    cat_columns: list[Int64Array] = []
    vocabularies: dict[str, AnyArray] = {}
    declared = set(table.categorical)
    for column in feature_columns(table):
        values, null = table.column(column)
        kind: str = values.dtype.kind
        if kind == "O":
            kind = _kind_of_objects(values, null)
        what = f"{name}.{column}"
        if column in declared:
            if kind not in "iuUS":
                raise ValueError(f"{what} is declared categorical but holds {values.dtype} values")
            codes, vocabularies[column] = _codes(values, null)
            categorical.append(column)
            cat_columns.append(codes)
        elif kind in "US":
            codes, vocabularies[column] = _codes(values, null)
            categorical.append(column)
            cat_columns.append(codes)
        elif kind in "iufb":
            numerical.append(column)
            x_columns.append(_numbers(values, null))
        elif kind == "M":
            numerical.append(column)
            x_columns.append(_times(values, null, time_unit))
        elif kind == "m":
            numerical.append(column)
            durations = values.astype(f"timedelta64[{time_unit}]").view(np.int64).astype(np.float32)
            if null is not None:
                durations[null] = np.nan
            x_columns.append(durations)
        else:
            raise ValueError(
                f"{what} holds {values.dtype} values that are neither numbers, booleans, strings "
                "nor timestamps: leave it out with features=[...]"
            )
    n = table.num_rows
    x = np.stack(x_columns, axis=1) if x_columns else np.zeros((n, 0), np.float32)
    x_cat = np.stack(cat_columns, axis=1) if cat_columns else np.zeros((n, 0), np.int64)
    return NodeFeatures(np.ascontiguousarray(x), numerical, np.ascontiguousarray(x_cat),
                        categorical, vocabularies)


def gather_features(
    features: dict[str, NodeFeatures], out_node: dict[str, Int64Array]
) -> tuple[dict[str, Float32Array], dict[str, Int64Array]]:
    """The feature rows of the sampled nodes: ``x`` of every node type (zero
    columns for one without numerical features) and ``x_cat`` of the types
    that have categorical features."""
    x: dict[str, Float32Array] = {}
    x_cat: dict[str, Int64Array] = {}
    for node_type, nodes in out_node.items():
        held: Any = features.get(node_type)
        if held is None or not held.numerical:
            x[node_type] = np.zeros((nodes.size, 0), np.float32)
        else:
            # As a plain ndarray: a memory map's subclass hooks cost more
            # than the gather of a small batch. take() copies whole rows,
            # two to four times faster than indexing with [nodes], which
            # copies element by element.
            x[node_type] = held.x.view(np.ndarray).take(nodes, axis=0)
        if held is not None and held.categorical:
            x_cat[node_type] = held.x_cat.view(np.ndarray).take(nodes, axis=0)
    return x, x_cat
