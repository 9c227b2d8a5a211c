"""``NodeFeatures`` and ``FeatureLayout``: the encoded feature arrays of one
node type, and the column coding (``_codes``) that categorical, text and
multi-category columns share."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from ..tables.columns import AnyArray, BoolArray, Int64Array
from ..tables.text_hash import text_codes

Float32Array = npt.NDArray[np.float32]


# A text embedder: the strings of a column, one embedding row per string.
TextEmbedder = Callable[[list[str]], Any]


@dataclass(frozen=True)
class NodeFeatures:
    """The feature matrices of one node type; row p belongs to node p.

    ``x`` is float32 of shape ``[num_nodes, len(numerical)]``, ``x_cat`` int64
    of shape ``[num_nodes, len(categorical)]``, and ``vocabularies[name][c]``
    the value that code c of the categorical column ``name`` stands for.
    ``timestamps`` lists the numerical columns that hold timestamps.
    ``left_out`` names the string columns of high cardinality that were left
    out (no text embedder was given), with their numbers of distinct values.

    Examples
    --------
    >>> from rerozer_tables import Table
    >>> from rerozer_tables.graph.features import encode_features
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
    timestamps: list[str] = field(default_factory=list)
    # Text and multi-category columns (rerozer_tables.graph.rich_features): the
    # text columns' codes into their vocabularies ([rows, len(text)], -1 for
    # null) with each column's embedding of every vocabulary entry, and the
    # multi-category columns' codes, the list of row r's column j at
    # multi_codes[multi_offsets[r * len(multicategorical) + j] : ... + 1].
    text: list[str] = field(default_factory=list)
    x_text: Int64Array | None = field(default=None, repr=False)
    embeddings: dict[str, Float32Array] = field(default_factory=dict, repr=False)
    multicategorical: list[str] = field(default_factory=list)
    multi_offsets: Int64Array | None = field(default=None, repr=False)
    multi_codes: Int64Array | None = field(default=None, repr=False)
    left_out: dict[str, int] = field(default_factory=dict)

    @property
    def layout(self) -> FeatureLayout:
        """The column names of each kind, without the arrays."""
        return FeatureLayout(
            list(self.numerical), list(self.categorical), list(self.text),
            [int(self.embeddings[c].shape[1]) for c in self.text], list(self.multicategorical),
            list(self.timestamps),
        )

    @classmethod
    def empty(cls, num_nodes: int) -> NodeFeatures:
        """No features for ``num_nodes`` nodes."""
        return cls(
            np.zeros((num_nodes, 0), np.float32), [], np.zeros((num_nodes, 0), np.int64), [], {}
        )

    @property
    def nbytes(self) -> int:
        vocabularies = sum(int(v.nbytes) for v in self.vocabularies.values())
        extra = [self.x_text, self.multi_offsets, self.multi_codes, *self.embeddings.values()]
        return (int(self.x.nbytes) + int(self.x_cat.nbytes) + vocabularies
                + sum(int(a.nbytes) for a in extra if a is not None))


@dataclass(frozen=True)
class FeatureLayout:
    """The feature columns of one node type by kind, as a batch's arrays hold
    them: ``text_dims[i]`` is the width of text column i's embedding;
    ``timestamps`` names the numerical columns that hold timestamps, in
    ``time_unit`` (the graph's)."""

    numerical: list[str]
    categorical: list[str]
    text: list[str] = field(default_factory=list)
    text_dims: list[int] = field(default_factory=list)
    multicategorical: list[str] = field(default_factory=list)
    timestamps: list[str] = field(default_factory=list)
    time_unit: str = "s"


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


def _codes(values: AnyArray, null: BoolArray | None) -> tuple[Int64Array, AnyArray]:
    """Codes into the sorted distinct values, -1 for null."""
    if values.dtype == object:
        strings = (values if null is None else values[~null]).tolist()
        if any(isinstance(v, str) and v.endswith("\0") for v in strings):
            # numpy's strings would make 'a' and 'a\0' one value.
            ordered = sorted(set(strings))
            code_of = {v: c for c, v in enumerate(ordered)}
            vocabulary = np.empty(len(ordered), dtype=object)
            vocabulary[:] = ordered
            codes = np.array([code_of[v] for v in strings], dtype=np.int64)
            return _spread(codes, null, -1, np.int64), vocabulary
    present = _present(values, null)
    if present.dtype.kind == "S":
        present = np.char.decode(present, "utf-8")
    coded = None
    if present.size and present.dtype.kind == "U":
        coded = text_codes(present)
    elif present.size and present.dtype.kind in "iu":
        coded = _counted_codes(present)
    vocabulary, inverse = np.unique(present, return_inverse=True) if coded is None else coded
    return _spread(inverse.reshape(-1), null, -1, np.int64), vocabulary


def _counted_codes(values: AnyArray) -> tuple[AnyArray, Int64Array] | None:
    """``np.unique(values, return_inverse=True)`` for integers spanning no
    more values than there are, by counting rather than sorting; None for
    integers spread wider."""
    low, high = int(values.min()), int(values.max())
    if high - low >= max(values.size, 1 << 16) or high > np.iinfo(np.int64).max:
        return None
    shifted = values.astype(np.int64) - low
    present = np.bincount(shifted, minlength=high - low + 1) > 0
    code_of = np.cumsum(present, dtype=np.int64) - 1
    vocabulary = (np.flatnonzero(present) + low).astype(values.dtype)
    return vocabulary, code_of[shifted]
