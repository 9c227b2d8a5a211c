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
    """

    source_table: str
    item_table: str
    keys: AnyArray
    times: Int64Array
    offsets: Int64Array
    items: Int64Array
    horizon: int
    time_unit: str

    def __len__(self) -> int:
        return int(self.times.size)

    @property
    def num_positives(self) -> Int64Array:
        """The number of items of each example."""
        return np.diff(self.offsets)

    def positives(self, example: int) -> Int64Array:
        """The item positions of one example."""
        return self.items[self.offsets[example] : self.offsets[example + 1]]

    def take(self, index: npt.ArrayLike) -> LinkTrainingTable:
        """The examples at ``index`` (positions or a boolean mask), with their items."""
        chosen = np.arange(len(self), dtype=np.int64)[np.asarray(index)]
        offsets, picked = gather_ranges(self.offsets, chosen)
        return LinkTrainingTable(
            self.source_table, self.item_table, self.keys[chosen], self.times[chosen], offsets,
            self.items[picked], self.horizon, self.time_unit,
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
        offsets, items = window_items(
            child_source[keep], child_time[keep], child_item[keep], example_rows, example_times, span,
            tables[item_table].num_rows,
        )
        bar.update(1)
    return LinkTrainingTable(
        source_table, item_table, example_keys, example_times, offsets, items, span, time_unit
    )


def window_items(
    child_source: Int64Array, child_time: Int64Array, child_item: Int64Array,
    example_rows: Int64Array, example_times: Int64Array, span: int, num_items: int,
) -> tuple[Int64Array, Int64Array]:
    """Per example (row s, time t): the distinct items of the child rows of
    source s with a time in (t, t + span], as a compressed list.

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
