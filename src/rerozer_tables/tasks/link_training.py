"""Link training tables: which items each source row takes after a cut-off.

``link_training_table`` gives, for each example (a source row and a cut-off
time t), the distinct items that the source links to through the rows of a
child table with a time in ``(t, t + horizon]``: the customers' products
bought, the users' posts commented on. The window, the keys and which rows
exist at a cut-off follow the rules of ``training_table``. The items are held
as a compressed list: example i's items are
``items[offsets[i]:offsets[i + 1]]``, row positions of the item table (the
graph's node ids of that type), increasing.

Two examples, three items (positions 0, 1, 2); example 0 took items 0 and 2,
example 1 none::

    offsets = [0, 2, 2]
    items   = [0, 2]
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from ..graph.graph import Graph
from ..tables.columns import AnyArray, Int64Array
from ..tables.progress import progress_bar
from ..tables.table import Table
from ..tables.time_sums import add_offset
from .training import graph_unit, resolved_examples, target_child


@dataclass(frozen=True)
class LinkTrainingTable:
    """Examples (source key, cut-off time) and the items each took after it.

    ``keys`` are primary-key values of ``source_table`` (row positions for a
    table without one), ``times`` the cut-off times in ``time_unit``.
    ``offsets`` (``len + 1`` entries) and ``items`` hold each example's
    distinct items as increasing row positions of ``item_table``;
    ``horizon`` is the length of the window, in ``time_unit``.

    ``late`` (one entry per entry of ``items``, or None when not known) is
    True for an item whose row comes after the example's cut-off: it did
    not exist then, so no model could rank it, yet it counts as a positive
    in ``map_at_k`` and ``recall_at_k`` as RelBench counts it.
    ``seen_offsets`` and ``seen_items`` (``link_training_table(...,
    seen=True)``, otherwise None) hold in the same way the distinct items
    that each example's source took at or before its cut-off, which the
    metrics can leave out (``exclude="seen"``).

    A ``LinkLoader`` samples the examples with their items' subgraphs. An
    ID-aware model, which scores the items found inside each source's own
    subgraph, needs the sources alone: an entity ``Loader(graph,
    source_table, table.keys, table.times, ...)``, whose batch gives example
    ``batch.example_index[batch.out_batch[item_table]]`` to each item node
    ``batch.out_node[item_table]`` (examples/recommend.py, ``--model id-aware``).
    """

    source_table: str
    item_table: str
    keys: AnyArray
    times: Int64Array
    offsets: Int64Array
    items: Int64Array
    horizon: int
    time_unit: str
    late: npt.NDArray[np.bool_] | None = None
    seen_offsets: Int64Array | None = None
    seen_items: Int64Array | None = None

    def __len__(self) -> int:
        return int(self.times.size)

    @property
    def num_positives(self) -> Int64Array:
        """The number of items of each example."""
        return np.diff(self.offsets)

    @property
    def num_late(self) -> Int64Array:
        """Per example, its positives whose rows come after its cut-off
        (zeros when ``late`` is not known)."""
        if self.late is None:
            return np.zeros(len(self), dtype=np.int64)
        example = np.repeat(np.arange(len(self), dtype=np.int64), self.num_positives)
        return np.bincount(example[self.late], minlength=len(self)).astype(np.int64)

    def positives(self, example: int) -> Int64Array:
        """The item positions of one example."""
        return self.items[self.offsets[example] : self.offsets[example + 1]]

    def seen(self, example: int) -> Int64Array:
        """The items one example's source took at or before its cut-off."""
        if self.seen_offsets is None or self.seen_items is None:
            raise ValueError("the table holds no seen items: make it with link_training_table(..., seen=True)")
        return self.seen_items[self.seen_offsets[example] : self.seen_offsets[example + 1]]

    def take(self, index: npt.ArrayLike) -> LinkTrainingTable:
        """The examples at ``index`` (positions or a boolean mask), with their items."""
        chosen = np.arange(len(self), dtype=np.int64)[np.asarray(index)]
        offsets, picked = gather_ranges(self.offsets, chosen)
        seen_offsets = seen_items = None
        if self.seen_offsets is not None and self.seen_items is not None:
            seen_offsets, seen_picked = gather_ranges(self.seen_offsets, chosen)
            seen_items = self.seen_items[seen_picked]
        return LinkTrainingTable(
            self.source_table, self.item_table, self.keys[chosen], self.times[chosen], offsets,
            self.items[picked], self.horizon, self.time_unit,
            None if self.late is None else self.late[picked], seen_offsets, seen_items,
        )


def gather_ranges(offsets: Int64Array, chosen: Int64Array) -> tuple[Int64Array, Int64Array]:
    """For a compressed list, the offsets of the rows ``chosen`` and the
    positions of their entries, in the order chosen."""
    starts, counts = offsets[chosen], offsets[chosen + 1] - offsets[chosen]
    new_offsets = np.zeros(chosen.size + 1, dtype=np.int64)
    np.cumsum(counts, out=new_offsets[1:])
    picked = np.arange(int(new_offsets[-1]), dtype=np.int64) + np.repeat(starts - new_offsets[:-1], counts)
    return new_offsets, picked


def link_training_table(
    tables: Mapping[str, Table],
    source_table: str,
    times: object,
    *,
    target: tuple[str, str, str],
    horizon: object,
    keys: object | None = None,
    time_unit: str | None = None,
    inherit_times: bool = True,
    graph: Graph | None = None,
    progress: bool | None = None,
    seen: bool = False,
) -> LinkTrainingTable:
    """The items each example's source row links to in the window after its cut-off.

    Parameters
    ----------
    tables
        The database's tables (as ``read_sqlite`` returns them).
    source_table
        The table the examples are rows of (the customers).
    times
        The cut-off times, as for ``training_table``: one per key, or with
        ``keys=None`` the times at which every row of ``source_table`` that
        exists then becomes an example.
    target
        ``(child table, source foreign key, item foreign key)``: a row of the
        child table whose source foreign key refers to the example's row and
        whose time lies in ``(t, t + horizon]`` makes the row its item
        foreign key refers to one of the example's items. Rows with a null
        in either key link nothing.
    horizon
        The window's length: an int in ``time_unit`` or a timedelta.
    keys
        The examples' primary-key values of ``source_table``; each row must
        exist at its cut-off time.
    time_unit
        The graph's time unit, in which ``times`` of the result are given:
        by default the unit of ``graph``, or ``"s"`` without one.
    inherit_times
        As for ``build_graph`` and ``training_table``: give the value the
        graph was built with.
    graph, progress
        As for ``training_table``: the graph built from ``tables``, whose key
        maps, times and edges are used instead of resolving the tables
        again, and whether to show a progress bar (None: when the call runs
        longer than a couple of seconds in an interactive terminal).
    seen
        Also record, per example, the distinct items that its source took
        through the same child table at or before the cut-off
        (``seen_offsets``/``seen_items``): what ``map_at_k(...,
        exclude="seen")`` leaves out of the ranking.

    The result's ``late`` marks the positives whose item rows come after
    the example's cut-off (their own or inherited time): no model can rank
    an item that does not exist yet, and ``num_late`` counts them.

    Examples
    --------
    >>> from rerozer_tables import Table
    >>> tables = {
    ...     "users": Table({"id": ["a", "b"]}, primary_key="id"),
    ...     "songs": Table({"id": [7, 8, 9]}, primary_key="id"),
    ...     "plays": Table({"user": ["a", "a", "b", "a"], "song": [9, 7, 8, 9], "at": [3, 5, 6, 20]},
    ...                    foreign_keys={"user": "users", "song": "songs"}, time_column="at"),
    ... }
    >>> table = link_training_table(tables, "users", [2], target=("plays", "user", "song"),
    ...                             horizon=10)
    >>> table.keys.tolist(), table.offsets.tolist(), table.items.tolist()  # positions of 7, 8, 9
    (['a', 'b'], [0, 2, 3], [0, 2, 1])
    """
    if source_table not in tables:
        raise ValueError(f"{source_table!r} is not one of the tables")
    if len(target) != 3:
        raise ValueError(f"target must be (child table, source foreign key, item foreign key), got {target!r}")
    child_name, source_fk, item_fk = target
    time_unit = graph_unit(graph, time_unit)
    child, span = target_child(tables, source_table, child_name, source_fk, horizon, time_unit)
    item_table = child.foreign_keys.get(item_fk)
    if item_table is None or item_table not in tables:
        raise ValueError(f"{child_name}.{item_fk} is not a foreign key into one of the tables")

    # A child row whose source or item key matches no row links nothing, as
    # in training_table.
    with progress_bar(len(tables) + 2, "link_training_table", "step", progress) as bar:
        resolution, example_rows, example_times, example_keys = resolved_examples(
            tables, source_table, keys, times, time_unit, inherit_times, graph,
            (child_name, item_table), bar,
        )
        child_source = resolution.link(child_name, source_fk).parent_of
        child_item = resolution.link(child_name, item_fk).parent_of
        child_time = resolution.resolved[child_name].times
        assert child_time is not None
        bar.update(1)
        keep = (child_source >= 0) & (child_item >= 0)
        links = (child_source[keep], child_time[keep], child_item[keep])
        num_items = tables[item_table].num_rows
        offsets, items = window_items(*links, example_rows, example_times, span, num_items)
        item_time = resolution.resolved[item_table].times
        example = np.repeat(np.arange(example_times.size, dtype=np.int64), np.diff(offsets))
        late = (
            np.zeros(items.size, dtype=bool) if item_time is None
            else item_time[items] > example_times[example]
        )
        seen_offsets = seen_items = None
        if seen:
            seen_offsets, seen_items = window_items(
                *links, example_rows, example_times, span, num_items, since_first=True
            )
        bar.update(1)
    return LinkTrainingTable(
        source_table, item_table, example_keys, example_times, offsets, items, span, time_unit,
        late, seen_offsets, seen_items,
    )


def window_items(
    child_source: Int64Array, child_time: Int64Array, child_item: Int64Array,
    example_rows: Int64Array, example_times: Int64Array, span: int, num_items: int,
    *, since_first: bool = False,
) -> tuple[Int64Array, Int64Array]:
    """Per example (row s, time t): the distinct items of the child rows of
    source s with a time in (t, t + span], as a compressed list; with
    ``since_first``, those with a time at or before t instead.

    The child rows are sorted by (source, time); each window is then one
    range of them, found by binary search on a composite of the source and
    the rank of the time among every time involved.
    """
    ends = add_offset(example_times, span)
    every = np.concatenate([child_time, example_times, ends])
    _, rank = np.unique(every, return_inverse=True)
    rank = rank.reshape(-1).astype(np.int64)
    base = np.int64(rank.max() + 1) if rank.size else np.int64(1)
    n, m = child_time.size, example_times.size
    child_code = child_source * base + rank[:n]
    order = np.argsort(child_code, kind="stable")
    sorted_code = child_code[order]
    if since_first:  # (-inf, t]: from the source's first row up to t
        first = np.searchsorted(sorted_code, example_rows * base, side="left")
        last = np.searchsorted(sorted_code, example_rows * base + rank[n : n + m], side="right")
    else:
        first = np.searchsorted(sorted_code, example_rows * base + rank[n : n + m], side="right")
        last = np.searchsorted(sorted_code, example_rows * base + rank[n + m :], side="right")
    counts = (last - first).astype(np.int64)
    example = np.repeat(np.arange(m, dtype=np.int64), counts)
    taken = np.arange(int(counts.sum()), dtype=np.int64) + np.repeat(first - np.cumsum(counts) + counts, counts)
    pairs = np.unique(example * max(num_items, 1) + child_item[order[taken]])
    example, items = np.divmod(pairs, max(num_items, 1))
    offsets = np.zeros(m + 1, dtype=np.int64)
    np.cumsum(np.bincount(example, minlength=m), out=offsets[1:])
    return offsets, items.astype(np.int64)
