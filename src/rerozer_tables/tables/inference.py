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

Strings with nearly one value per row (a title, a zip code, a name) make
poor categories: a code per row teaches a model nothing and costs an
embedding row each. A string column is of high cardinality when it has
more than ``MAX_CATEGORIES`` (10,000) distinct values, or at least
``HIGH_CARDINALITY_MIN`` (100) distinct values that are more than
``HIGH_CARDINALITY_SHARE`` (half) of its non-null rows. Such a column is
text when a text embedder is given, and is otherwise left out of the
features (``check_graph`` names it).

``Table(categorical=..., numerical=..., text=...)`` and ``read_sqlite``'s
options of the same names override the inference column by column: a
string column declared categorical is categorical whatever its values.

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


# A string column with more distinct values than this, or with at least
# HIGH_CARDINALITY_MIN distinct values that are more than
# HIGH_CARDINALITY_SHARE of its non-null rows, is of high cardinality.
MAX_CATEGORIES = 10_000
HIGH_CARDINALITY_MIN = 100
HIGH_CARDINALITY_SHARE = 0.5


def high_cardinality(present: AnyArray) -> int | None:
    """The number of distinct values of a string column (no nulls) when it
    is of high cardinality, else None.

    >>> high_cardinality(np.array([f"zip-{i}" for i in range(150)] + ["zip-0"] * 50))
    150
    >>> high_cardinality(np.array(["jazz", "rock", "pop"])) is None   # few values: categories
    True
    """
    distinct = int(np.unique(present).size)
    if distinct > MAX_CATEGORIES or (
        distinct >= HIGH_CARDINALITY_MIN and distinct > HIGH_CARDINALITY_SHARE * present.size
    ):
        return distinct
    return None


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
