"""Ranking metrics of recommendation tasks: MAP@k and recall@k.

Both compare each example's k best items with the items it really took (a
``LinkTrainingTable``'s positives) and average over the examples that took
at least one item: an example without any has nothing to find, and counts
in neither metric.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from ..tables.columns import Int64Array
from .link_training import LinkTrainingTable


def top_k(scores_or_rankings: npt.ArrayLike, k: int) -> Int64Array:
    """The k best items per example, best first, as an int64 [examples, k] array.

    A floating-point array holds scores (``[examples, items]``; a higher
    score ranks first, equal scores by lower item position); an integer
    array holds rankings already (item positions, best first, at least k
    per example, none repeated in a row); a negative entry pads a short
    ranking (as -1 usually does) and is never a hit.
    """
    if k < 1:
        raise ValueError(f"k must be at least 1, got {k}")
    values = np.asarray(scores_or_rankings)
    if values.ndim != 2:
        raise ValueError(f"scores or rankings must be 2-D [examples, items], got shape {values.shape}")
    if values.shape[1] < k:
        raise ValueError(f"k is {k} but there are only {values.shape[1]} items per example")
    if values.dtype.kind == "f":
        if np.isnan(values).any():
            row = int(np.flatnonzero(np.isnan(values).any(axis=1))[0])
            raise ValueError(f"scores of example {row} hold NaN")
        return np.argsort(-values, axis=1, kind="stable")[:, :k].astype(np.int64)
    if values.dtype.kind not in "iu":
        raise ValueError(f"scores must be floats or rankings integers, got dtype {values.dtype}")
    ranked = values[:, :k].astype(np.int64)
    ordered = np.sort(ranked, axis=1)
    repeated = np.flatnonzero(((ordered[:, 1:] == ordered[:, :-1]) & (ordered[:, 1:] >= 0)).any(axis=1))
    if repeated.size:
        raise ValueError(f"the ranking of example {int(repeated[0])} repeats an item in its first {k}")
    return ranked


def _hits(
    scores_or_rankings: npt.ArrayLike, positives: LinkTrainingTable | Sequence[npt.ArrayLike], k: int
) -> tuple[npt.NDArray[np.bool_], Int64Array]:
    """Whether each of the k best items is a positive, and each example's
    number of distinct positives."""
    ranked = top_k(scores_or_rankings, k)
    if isinstance(positives, LinkTrainingTable):
        offsets, items = positives.offsets, positives.items
    else:
        rows = [np.unique(np.asarray(p, dtype=np.int64)) for p in positives]
        offsets = np.zeros(len(rows) + 1, dtype=np.int64)
        np.cumsum([r.size for r in rows], out=offsets[1:])
        items = np.concatenate(rows) if rows else np.zeros(0, np.int64)
    if offsets.size - 1 != ranked.shape[0]:
        raise ValueError(f"{ranked.shape[0]} examples ranked, {offsets.size - 1} with positives")
    counts = np.diff(offsets)
    if items.size and int(items.min()) < 0:
        example = int(np.searchsorted(offsets, int(np.argmin(items)), side="right")) - 1
        raise ValueError(f"the positives of example {example} hold the item {int(items.min())}, "
                         "which is not an item position")
    # Pads (negative entries) are never hits: they are left out of the
    # (example, item) codes, where -1 would be the previous example's last item.
    wide = int(max(ranked.max(initial=0), items.max(initial=0))) + 1
    taken = np.repeat(np.arange(counts.size, dtype=np.int64), counts) * wide + items
    hits = np.isin(np.arange(ranked.shape[0], dtype=np.int64)[:, None] * wide + ranked, taken)
    hits &= ranked >= 0
    return hits, counts


def map_at_k(
    scores_or_rankings: npt.ArrayLike, positives: LinkTrainingTable | Sequence[npt.ArrayLike], k: int
) -> float:
    """Mean average precision at k.

    For an example with positives P and hits h_1..h_k (1 where the item at
    rank i is in P), AP@k = sum_i h_i * precision@i / min(k, |P|); MAP@k is
    its mean over the examples with at least one positive (NaN when none has
    one).

    Parameters
    ----------
    scores_or_rankings
        Scores ``[examples, items]`` (floats) or rankings (integer item
        positions, best first); see ``top_k``.
    positives
        Each example's items: a ``LinkTrainingTable`` or one array per example.
    k
        How many of the best items count.

    Examples
    --------
    >>> map_at_k([[0, 1, 2]], [[1, 5]], k=3)   # hit at rank 2: (1/2) / min(3, 2)
    0.25
    """
    hits, counts = _hits(scores_or_rankings, positives, k)
    precision = np.cumsum(hits, axis=1) / np.arange(1, k + 1)
    chosen = counts > 0
    if not chosen.any():
        return float("nan")
    average = (precision * hits).sum(axis=1)[chosen] / np.minimum(counts[chosen], k)
    return float(average.mean())


def recall_at_k(
    scores_or_rankings: npt.ArrayLike, positives: LinkTrainingTable | Sequence[npt.ArrayLike], k: int
) -> float:
    """Mean over the examples with positives of the share of their positives
    among their k best items (NaN when no example has one). Arguments as for
    ``map_at_k``.

    >>> recall_at_k([[0, 1, 2]], [[1, 5]], k=3)
    0.5
    """
    hits, counts = _hits(scores_or_rankings, positives, k)
    chosen = counts > 0
    if not chosen.any():
        return float("nan")
    return float((hits.sum(axis=1)[chosen] / counts[chosen]).mean())
