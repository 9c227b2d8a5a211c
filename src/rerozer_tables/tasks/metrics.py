"""Ranking metrics of recommendation tasks: MAP@k and recall@k.

Both compare each example's k best items with the items it really took (a
``LinkTrainingTable``'s positives) and average over the examples that took
at least one item: an example without any has nothing to find, and counts
in neither metric.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ..tables.columns import Int64Array
from .link_training import LinkTrainingTable


Exclude = Literal["seen"] | Sequence[npt.ArrayLike] | None


def _compressed(rows: Sequence[npt.ArrayLike]) -> tuple[Int64Array, Int64Array]:
    """One array per example as a compressed list of distinct, increasing items."""
    unique = [np.unique(np.asarray(r, dtype=np.int64)) for r in rows]
    offsets = np.zeros(len(unique) + 1, dtype=np.int64)
    np.cumsum([r.size for r in unique], out=offsets[1:])
    return offsets, np.concatenate(unique) if unique else np.zeros(0, np.int64)


def _codes(offsets: Int64Array, items: Int64Array, wide: int) -> Int64Array:
    """(example, item) pairs of a compressed list as increasing int64 codes."""
    return np.repeat(np.arange(offsets.size - 1, dtype=np.int64), np.diff(offsets)) * wide + items


def _member(codes: Int64Array, of: Int64Array) -> npt.NDArray[np.bool_]:
    """Whether each code is among the increasing codes ``of``."""
    if not of.size:
        return np.zeros(codes.shape, dtype=bool)
    at = np.minimum(np.searchsorted(of, codes), of.size - 1)
    return np.asarray(of[at] == codes)


def top_k(scores_or_rankings: npt.ArrayLike, k: int, *, exclude: Sequence[npt.ArrayLike] | None = None) -> Int64Array:
    """The k best items per example, best first, as an int64 [examples, k] array.

    A floating-point array holds scores (``[examples, items]``; a higher
    score ranks first, equal scores by lower item position); an integer
    array holds rankings already (item positions, best first, at least k
    per example, none repeated in a row). ``exclude`` (one array of item
    positions per example) leaves those items out of each example's
    ranking; where fewer than k items are left, the row ends in -1, which
    is no item; a negative entry pads a short ranking (as -1 usually
    does) and is never a hit.
    """
    values = np.asarray(scores_or_rankings)
    excluded = None if exclude is None else _compressed(exclude)
    if excluded is not None and excluded[0].size - 1 != values.shape[0]:
        raise ValueError(f"{values.shape[0]} examples ranked, {excluded[0].size - 1} with items to exclude")
    return _top_k(values, k, excluded)


def _top_k(values: npt.NDArray[Any], k: int, excluded: tuple[Int64Array, Int64Array] | None) -> Int64Array:
    if k < 1:
        raise ValueError(f"k must be at least 1, got {k}")
    if values.ndim != 2:
        raise ValueError(f"scores or rankings must be 2-D [examples, items], got shape {values.shape}")
    if values.shape[1] < k:
        raise ValueError(f"k is {k} but there are only {values.shape[1]} items per example")
    rows = np.arange(values.shape[0], dtype=np.int64)[:, None]
    if values.dtype.kind == "f":
        if np.isnan(values).any():
            row = int(np.flatnonzero(np.isnan(values).any(axis=1))[0])
            raise ValueError(f"scores of example {row} hold NaN")
        if excluded is None or not excluded[1].size:
            return np.argsort(-values, axis=1, kind="stable")[:, :k].astype(np.int64)
        offsets, items = excluded
        inside = (items >= 0) & (items < values.shape[1])
        example = np.repeat(np.arange(offsets.size - 1), np.diff(offsets))
        gone = np.zeros(values.shape, dtype=bool)
        gone[example[inside], items[inside]] = True
        # The excluded items last; the rest by score, equal scores by position
        # (the sort is stable).
        ranked = np.lexsort((-values, gone), axis=1)[:, :k].astype(np.int64)
        ranked[np.take_along_axis(gone, ranked, axis=1)] = -1
        return ranked
    if values.dtype.kind not in "iu":
        raise ValueError(f"scores must be floats or rankings integers, got dtype {values.dtype}")
    every = values.astype(np.int64)
    if excluded is not None and excluded[1].size:
        wide = int(max(every.max(initial=0), excluded[1].max(initial=0))) + 1
        gone = _member(rows * wide + every, _codes(*excluded, wide)) & (every >= 0)
        keep = np.argsort(gone, axis=1, kind="stable")[:, :k]  # the kept ones first, in order
        ranked = np.take_along_axis(every, keep, axis=1)
        ranked[np.take_along_axis(gone, keep, axis=1)] = -1
    else:
        ranked = every[:, :k]
    real = np.where(ranked >= 0, ranked, -1 - np.arange(k))  # pads are never repeats
    ordered = np.sort(real, axis=1)
    repeated = np.flatnonzero((ordered[:, 1:] == ordered[:, :-1]).any(axis=1))
    if repeated.size:
        raise ValueError(f"the ranking of example {int(repeated[0])} repeats an item in its first {k}")
    return ranked


def _hits(
    scores_or_rankings: npt.ArrayLike, positives: LinkTrainingTable | Sequence[npt.ArrayLike], k: int,
    exclude: Exclude = None,
) -> tuple[npt.NDArray[np.bool_], Int64Array]:
    """Whether each of the k best items is a positive, and each example's
    number of distinct positives (excluded items are neither)."""
    values = np.asarray(scores_or_rankings)
    if isinstance(positives, LinkTrainingTable):
        offsets, items = positives.offsets, positives.items
    else:
        offsets, items = _compressed(positives)
    excluded = None
    if isinstance(exclude, str):
        if exclude != "seen":
            raise ValueError(f"exclude must be 'seen', one array of items per example or None, got {exclude!r}")
        if not isinstance(positives, LinkTrainingTable) or positives.seen_offsets is None \
                or positives.seen_items is None:
            raise ValueError('exclude="seen" needs the positives as a LinkTrainingTable made with '
                             "link_training_table(..., seen=True)")
        excluded = (positives.seen_offsets, positives.seen_items)
    elif exclude is not None:
        excluded = _compressed(exclude)
        if excluded[0].size != offsets.size:
            raise ValueError(f"{offsets.size - 1} examples with positives, {excluded[0].size - 1} with items to exclude")
    if values.ndim == 2 and offsets.size - 1 != values.shape[0]:
        raise ValueError(f"{values.shape[0]} examples ranked, {offsets.size - 1} with positives")
    if items.size and int(items.min()) < 0:
        wrong = int(np.searchsorted(offsets, int(np.argmin(items)), side="right")) - 1
        raise ValueError(f"the positives of example {wrong} hold the item {int(items.min())}, "
                         "which is not an item position")
    ranked = _top_k(values, k, excluded)
    wide = int(max(ranked.max(initial=0), items.max(initial=0),
                   0 if excluded is None else excluded[1].max(initial=0))) + 1
    taken = _codes(offsets, items, wide)
    counts = np.diff(offsets)
    if excluded is not None:  # an excluded item is no positive either
        taken = taken[~_member(taken, _codes(*excluded, wide))]
        # A code is example * wide + item, with every item below wide.
        counts = np.bincount(taken // wide, minlength=counts.size).astype(np.int64)
    rows = np.arange(ranked.shape[0], dtype=np.int64)[:, None]
    hits = _member(rows * wide + ranked, taken) & (ranked >= 0)
    return hits, counts


def map_at_k(
    scores_or_rankings: npt.ArrayLike, positives: LinkTrainingTable | Sequence[npt.ArrayLike], k: int,
    *, exclude: Exclude = None,
) -> float:
    """Mean average precision at k.

    For an example with positives P and hits h_1..h_k (1 where the item at
    rank i is in P), AP@k = sum_i h_i * precision@i / min(k, |P|); MAP@k is
    its mean over the examples with at least one positive (NaN when none has
    one).

    By default this is RelBench's convention: every item is ranked, those
    the source took before the cut-off included, and every positive
    counts, those that did not exist yet at the cut-off included (a
    ``LinkTrainingTable`` counts them in ``num_late``: no model can rank
    them, so they bound what any model reaches).

    Parameters
    ----------
    scores_or_rankings
        Scores ``[examples, items]`` (floats) or rankings (integer item
        positions, best first); see ``top_k``.
    positives
        Each example's items: a ``LinkTrainingTable`` or one array per example.
    k
        How many of the best items count.
    exclude
        Items to leave out of each example's ranking and of its positives:
        ``"seen"``, those its source took at or before the cut-off (the
        positives must be a ``LinkTrainingTable`` made with ``seen=True``),
        or one array of item positions per example. The metric then asks
        which other items each source takes; an example left without
        positives counts no more.

    Examples
    --------
    >>> map_at_k([[0, 1, 2]], [[1, 5]], k=3)   # hit at rank 2: (1/2) / min(3, 2)
    0.25
    >>> map_at_k([[0, 1, 2, 3]], [[1, 5]], k=3, exclude=[[0]])  # 0 left out: 1 is first
    0.5
    """
    hits, counts = _hits(scores_or_rankings, positives, k, exclude)
    precision = np.cumsum(hits, axis=1) / np.arange(1, k + 1)
    chosen = counts > 0
    if not chosen.any():
        return float("nan")
    average = (precision * hits).sum(axis=1)[chosen] / np.minimum(counts[chosen], k)
    return float(average.mean())


def recall_at_k(
    scores_or_rankings: npt.ArrayLike, positives: LinkTrainingTable | Sequence[npt.ArrayLike], k: int,
    *, exclude: Exclude = None,
) -> float:
    """Mean over the examples with positives of the share of their positives
    among their k best items (NaN when no example has one). Arguments and
    the convention as for ``map_at_k``.

    >>> recall_at_k([[0, 1, 2]], [[1, 5]], k=3)
    0.5
    """
    hits, counts = _hits(scores_or_rankings, positives, k, exclude)
    chosen = counts > 0
    if not chosen.any():
        return float("nan")
    return float((hits.sum(axis=1)[chosen] / counts[chosen]).mean())
