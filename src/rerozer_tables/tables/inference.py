"""Semantic types of feature columns, inferred when a graph is built.

Each feature column gets one of these types, which decides its encoding
(``rerozer_tables.graph.features``):

========================  =====================================================
``"numerical"``           floats, booleans, integers with rare values,
                          timestamps and durations (as numbers)
``"categorical"``         strings; integers whose every value is frequent
``"text"``                strings given to a text embedder
``"multicategorical"``    lists of strings, one list per row
========================  =====================================================

The rule for integers: a column is categorical when every distinct value it
holds occurs in at least ``CATEGORY_MIN_COUNT`` (5) rows, as a star rating,
a quantity or a status code does; a column with any rarer value (an amount,
a count with a long tail) is numerical. Nulls do not count. It is the rule
PyTorch Frame's inference applies (its least frequent value seen more than
four times). Strings are categorical by the same rule or, when a text
embedder is given to ``build_graph``, text when any value is rarer: free
text, where one code per distinct string would teach a model nothing.

``Table(categorical=..., numerical=..., text=...)`` and ``read_sqlite``'s
options of the same names override the inference column by column.

>>> import numpy as np
>>> infer_semantic_type("i", np.array([1, 2, 3, 4, 5] * 5), None)   # stars: each seen 5 times
'categorical'
>>> infer_semantic_type("i", np.array([1, 2, 3, 4, 5] * 5 + [6]), None)
'numerical'
"""

from __future__ import annotations

from typing import Literal

import numpy as np

from .columns import AnyArray, BoolArray

SemanticType = Literal["numerical", "categorical", "text", "multicategorical"]

# An integer (or string) column is categorical when each of its distinct
# values occurs in at least this many rows.
CATEGORY_MIN_COUNT = 5


def frequent_values(present: AnyArray) -> bool:
    """Whether every distinct value of ``present`` (no nulls) occurs at least
    ``CATEGORY_MIN_COUNT`` times; False for an empty column."""
    if present.size == 0:
        return False
    _, counts = np.unique(present, return_counts=True)
    return bool(counts.min() >= CATEGORY_MIN_COUNT)


def infer_semantic_type(
    kind: str, values: AnyArray, null: BoolArray | None, *, embeds_text: bool = False
) -> SemanticType | None:
    """The inferred type of a column whose values are of numpy ``kind``
    (``"L"`` for lists of strings), or None for values no type takes."""
    present = values if null is None else values[~null]
    if kind in "iu":
        return "categorical" if frequent_values(present) else "numerical"
    if kind in "US":
        if embeds_text and not frequent_values(present):
            return "text"
        return "categorical"
    if kind == "L":
        return "multicategorical"
    if kind in "fbMm":
        return "numerical"
    return None
