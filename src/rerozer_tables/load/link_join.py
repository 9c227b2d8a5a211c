"""Two sampler results as one disjoint sample, hop by hop.

A ``LinkLoader`` batch samples its sources and its items in two calls. The
batch holds both as one result: per node type (and per edge type) the
entries of hop h of the first call, then those of hop h of the second, for
every hop in turn, so that ``num_sampled_nodes`` and ``num_sampled_edges``
still count each hop's entries. One node type, the first call's hops [2, 1]
and the second's [3, 0] give::

    joined    [one 0, one 1, two 0, two 1, two 2, one 2]
    counts    [5, 1]

Most types come from one call only, or from both in hops that do not
overlap (the items' seeds in hop 0, the same type in the sources' last
hop): then one call's entries all come before the other's, and each call's
local indices move by a constant. Only the rest are put in the joined order
entry by entry. No feature row is copied here: features are gathered for
the joined nodes afterwards. ``shared_seeds`` finds the item seeds that
several examples of a batch draw at one time, sampled once.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ..graph.graph import EdgeType, edge_type_key
from ..tables.columns import Int64Array
from .batch_arrays import Result, stacked_edges


@dataclass(frozen=True)
class Joined:
    """Both calls as one result, with what tells them apart.

    ``result`` is in ``NeighborSampler.sample``'s order; with
    ``stack_edges``, its ``out_row`` and ``out_col`` are the rows of
    ``edge_index`` (otherwise that is empty); ``first_side[node_type]``
    is True for the first call's nodes.
    """

    result: Result
    edge_index: dict[EdgeType, Int64Array]
    first_side: dict[str, npt.NDArray[np.bool_]]
    orders: dict[str, _Order]

    def second_index(self, node_type: str, count: int) -> Int64Array:
        """The local indices, in the joined result, of the second call's first
        ``count`` nodes of ``node_type`` (its seeds, when it is their type)."""
        second = self.orders[node_type].second
        if isinstance(second, int):
            return np.arange(second, second + count, dtype=np.int64)
        return second[:count]


class _Order(NamedTuple):
    """How one type's entries of both calls make the joined order.

    ``first`` and ``second`` map each call's local index to the joined one:
    an int added to it when the call's entries stay together, otherwise an
    array to look it up in. ``gather`` makes the joined order from the
    first call's entries followed by the second's (None when ``first`` is 0
    or ``second`` is 0: one call's entries simply follow the other's).
    (A tuple: a batch makes one per node and edge type.)
    """

    first: int | Int64Array
    second: int | Int64Array
    gather: Int64Array | None
    counts: Int64Array

    def join(self, one: Any, two: Any) -> Any:
        if self.gather is not None:
            return np.concatenate([one, two])[self.gather]
        if not len(two):
            return one
        if not len(one):
            return two
        return np.concatenate([one, two] if self.first == 0 else [two, one])


def _orders(one: list[Int64Array], two: list[Int64Array]) -> list[_Order]:
    """The ``_Order`` of each type whose hops hold ``one[i]`` entries in the
    first call and ``two[i]`` in the second (every type of a call has the
    same number of hops; a call with fewer hops than the other counts
    nothing in the rest). The counts are a few ints per type, compared as
    Python ints: numpy's cost per call would exceed the work."""
    hops_one, hops_two = (one[0].size, two[0].size) if one else (0, 0)
    hops = max(hops_one, hops_two)
    counts = np.zeros((len(one), hops), dtype=np.int64)
    if one:
        counts[:, :hops_one] = one
        counts[:, :hops_two] += two
    flat_one = np.concatenate(one).tolist() if one else []
    flat_two = np.concatenate(two).tolist() if two else []
    orders = []
    for row in range(len(one)):
        a = flat_one[row * hops_one : (row + 1) * hops_one]
        b = flat_two[row * hops_two : (row + 1) * hops_two]
        if not any(b) or not any(a):  # most types come from one call only
            orders.append(_Order(0, sum(a), None, counts[row]))
            continue
        used_a = [h for h, n in enumerate(a) if n]
        used_b = [h for h, n in enumerate(b) if n]
        # Within a hop the first call's entries come first.
        if used_a[-1] <= used_b[0]:
            orders.append(_Order(0, sum(a), None, counts[row]))
        elif used_b[-1] < used_a[0]:
            orders.append(_Order(sum(b), 0, None, counts[row]))
        else:
            orders.append(_interleaved(np.array(a + [0] * (hops - len(a)), dtype=np.int64),
                                       np.array(b + [0] * (hops - len(b)), dtype=np.int64)))
    return orders


def _interleaved(one: Int64Array, two: Int64Array) -> _Order:
    """The ``_Order`` of a type whose calls' entries alternate hop by hop."""
    both = np.empty(2 * one.size, dtype=np.int64)
    both[0::2], both[1::2] = one, two
    start = np.cumsum(both) - both
    first = np.arange(int(one.sum()), dtype=np.int64) + np.repeat(start[0::2] - (np.cumsum(one) - one), one)
    second = np.arange(int(two.sum()), dtype=np.int64) + np.repeat(start[1::2] - (np.cumsum(two) - two), two)
    gather = np.empty(first.size + second.size, dtype=np.int64)
    gather[first] = np.arange(first.size, dtype=np.int64)
    gather[second] = np.arange(first.size, gather.size, dtype=np.int64)
    return _Order(first, second, gather, one + two)


def _moved(local: Int64Array, to: int | Int64Array) -> Int64Array:
    if isinstance(to, int):
        return local + to if to else local
    return to[local]


def join_samples(
    one: Result, two: Result, two_example: Int64Array, node_types: list[str],
    edge_types: list[EdgeType], *, stack_edges: bool,
) -> Joined:
    """The two results as one; ``two_example[b]`` is the example (of the
    first call's seeds) that the second call's seed b belongs to, and
    becomes the ``out_batch`` of that seed's subgraph. With ``stack_edges``
    the edges are held as ``edge_index`` (as a loader's worker threads hold
    them), otherwise as rows and columns."""
    orders = dict(zip(node_types, _orders([one[4][t] for t in node_types], [two[4][t] for t in node_types])))
    out_node, out_batch, first_side = {}, {}, {}
    for t, order in orders.items():
        out_node[t] = order.join(one[2][t], two[2][t])
        out_batch[t] = order.join(one[3][t], two_example[two[3][t]])
        first_side[t] = side = np.zeros(out_node[t].size, dtype=bool)
        if isinstance(order.first, int):
            side[order.first : order.first + one[2][t].size] = True
        else:
            side[order.first] = True
    out_row, out_col, num_edges = {}, {}, {}
    edge_index: dict[EdgeType, Int64Array] = {}
    keys = [edge_type_key(t) for t in edge_types]
    edge_orders = _orders([one[5][k] for k in keys], [two[5][k] for k in keys])
    for edge_type, key, order in zip(edge_types, keys, edge_orders):
        source, target = orders[edge_type[0]], orders[edge_type[2]]
        if not two[0][key].size:  # followed by the first call alone (or by none)
            rows, cols = _moved(one[0][key], source.first), _moved(one[1][key], target.first)
        elif not one[0][key].size:
            rows, cols = _moved(two[0][key], source.second), _moved(two[1][key], target.second)
        else:
            rows = order.join(_moved(one[0][key], source.first), _moved(two[0][key], source.second))
            cols = order.join(_moved(one[1][key], target.first), _moved(two[1][key], target.second))
        if stack_edges:
            both = edge_index[edge_type] = stacked_edges(rows, cols)
            rows, cols = both[0], both[1]
        out_row[key], out_col[key], num_edges[key] = rows, cols, order.counts
    num_nodes = {t: order.counts for t, order in orders.items()}
    result: Result = (out_row, out_col, out_node, out_batch, num_nodes, num_edges)
    return Joined(result, edge_index, first_side, orders)


def shared_seeds(
    seeds: Int64Array, example: Int64Array, seed_time: Int64Array, num_items: int,
) -> tuple[Int64Array, Int64Array, Int64Array]:
    """The distinct (item, cut-off time) pairs among a batch's item seeds,
    ordered by time, then item: each pair's item, the example of its first
    seed, and each seed's place among the pairs (``slot``). Seed b is of
    example ``example[b]``, at ``seed_time[example[b]]`` (every seed at one
    time when ``seed_time`` is empty, an untimed graph's)."""
    code = seeds
    if seed_time.size:
        _, when = np.unique(seed_time, return_inverse=True)
        code = when.reshape(-1)[example] * max(num_items, 1) + seeds
    _, first, slot = np.unique(code, return_index=True, return_inverse=True)
    return seeds[first], example[first], slot.reshape(-1).astype(np.int64, copy=False)
