"""``LinkLoader``: a link training table in batches of source and item subgraphs.

Each batch holds three parts, sampled at each example's cut-off time: the
subgraphs of the examples' source rows, those of their positive items, and
those of ``negatives`` items per example drawn at random. A ``LinkBatch``
keeps them in one set of arrays, as one disjoint sample: per node type the
nodes of both sampler calls (sources, then items) hop by hop, so that
``num_sampled_nodes`` still counts the nodes of each hop, and ``out_batch``
names each node's example. With two examples, one positive each and one
negative each, the item seeds of ``out_node[items]`` are::

    seeds        [pos 0, pos 1, neg 0, neg 1]  (hop 0 of the items' call)
    out_batch    [0,     1,     0,     1    ]  (the example each belongs to)
    pos_ptr      [0, 1, 2]                     (example i's positives: pos_index[ptr[i]:ptr[i+1]])
    pos_index    [0, 1]                        (local indices into out_node[items])
    neg_index    [[2], [3]]

By default (``share_items=True``) an item seed that several examples of a
batch draw at one cut-off time (a popular positive, a negative drawn
twice) is sampled once, and they share its subgraph: the items' call
samples each distinct (item, time) pair once, in order of time, then
item, its nodes' ``out_batch`` names the first example (positives before
negatives) that drew it, and several entries of ``pos_index`` and
``neg_index`` may name one root. A shared subgraph is what each sharer's
own would be for the sampler's draws it got: every node of it comes at
or before that cut-off, which is each sharer's own.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ..graph.graph import Graph, TemporalStrategy
from ..graph.time_rules import FutureValues, FutureWindows, refuse_future_windows
from ..tables.columns import Int64Array
from ..tasks.link_training import LinkTrainingTable, gather_ranges
from .batch import Batch
from .link_join import join_samples, shared_seeds
from .loader import Loader
from .plan import _Job, _Planned, _Sampling
from .request import Counts, Windows, normalise_request
from .torch_bridge import import_torch


def _empty() -> Int64Array:
    return np.zeros(0, dtype=np.int64)


@dataclass(frozen=True)
class LinkBatch(Batch):
    """A ``Batch`` of source subgraphs with the subgraphs of their items.

    The ``Batch`` fields hold both parts (see the module's docstring):
    ``seed_node``/``seed_time``/``example_index`` are the examples' source
    rows, their cut-off times and their rows of the link training table, and
    ``out_batch`` gives every node, source or item side, its example. The
    sources are the first ``len(seed_node)`` nodes of ``entity_table``.

    ``source_side[node_type]`` is True for the nodes of the source
    subgraphs and False for those of the item subgraphs: what an ID-aware
    model reads to find the items inside a source's own subgraph.

    With shared item subgraphs (``LinkLoader(share_items=True)``, the
    default) the item nodes' ``out_batch`` names the first example that
    drew their root at that cut-off, and several entries of ``pos_index``
    and ``neg_index`` may name one root.

    ``pos_node`` are the positives' item positions, example i's being
    ``pos_node[pos_ptr[i]:pos_ptr[i + 1]]``: its items in the table that
    exist at its cut-off (one of them, or all with
    ``LinkLoader(positives="all")``). ``neg_node`` ([examples, negatives]) are the drawn
    negatives. ``pos_index`` and ``neg_index`` are the same items' local
    indices into ``out_node[item_table]``: the roots of their subgraphs.
    """

    item_table: str = ""
    pos_ptr: Int64Array = field(default_factory=_empty)
    pos_node: Int64Array = field(default_factory=_empty)
    pos_index: Int64Array = field(default_factory=_empty)
    neg_node: Int64Array = field(default_factory=lambda: np.zeros((0, 0), np.int64))
    neg_index: Int64Array = field(default_factory=lambda: np.zeros((0, 0), np.int64))
    source_side: dict[str, npt.NDArray[np.bool_]] = field(default_factory=dict)

    def to_hetero_data(self, *, tensor_frame: bool = False) -> Any:
        """The batch as a ``HeteroData``: that of ``Batch.to_hetero_data``
        (``input_id``, ``seed_time`` and ``batch_size`` on the sources),
        with ``src_index`` (the sources' local indices) on the source type,
        ``dst_pos_index``, ``dst_pos_ptr`` and ``dst_neg_index``
        (``pos_index``, ``pos_ptr``, ``neg_index``) on the item type, and
        ``source_side`` on every node type."""
        torch, _ = import_torch()
        data = super().to_hetero_data(tensor_frame=tensor_frame)
        data[self.entity_table].src_index = torch.arange(self.seed_node.size)
        items = data[self.item_table]
        items.dst_pos_index = torch.from_numpy(self.pos_index)
        items.dst_pos_ptr = torch.from_numpy(self.pos_ptr)
        items.dst_neg_index = torch.from_numpy(self.neg_index)
        for node_type, side in self.source_side.items():
            data[node_type].source_side = torch.from_numpy(side)
        return data


Positives = Literal["one", "all"]


@dataclass(frozen=True)
class _Items:
    """What drawing a batch's item seeds needs, shared by the workers."""

    table: LinkTrainingTable
    negatives: int
    num_items: int
    # Each item's time, the items by increasing time, and those times (all
    # None: every item exists always).
    item_time: Int64Array | None
    by_time: Int64Array | None
    sorted_time: Int64Array | None
    # "one": per example and epoch, the positive at (start + epoch) modulo
    # its number of positives; "all": every positive.
    mode: Positives = "one"
    start: Int64Array | None = None

    def existing(self, times: Int64Array) -> Int64Array:
        """How many items exist at each time (the first that many of ``by_time``)."""
        if self.sorted_time is None:
            return np.full(times.size, self.num_items, dtype=np.int64)
        return np.searchsorted(self.sorted_time, times, side="right").astype(np.int64)

    def positives(self, planned: _Planned) -> tuple[Int64Array, Int64Array]:
        """Each example's positives that exist at its cut-off, as (ptr, items)."""
        ptr, picked = gather_ranges(self.table.offsets, planned.example_index)
        items = self.table.items[picked]
        if self.item_time is None or not items.size:
            return ptr, items
        example = np.repeat(np.arange(planned.example_index.size), np.diff(ptr))
        keep = self.item_time[items] <= planned.seed_time[example]
        counts = np.bincount(example[keep], minlength=planned.example_index.size)
        ptr = np.zeros_like(ptr)
        np.cumsum(counts, out=ptr[1:])
        return ptr, items[keep]

    def chosen(self, planned: _Planned, ptr: Int64Array, positives: Int64Array) -> tuple[Int64Array, Int64Array]:
        """The positives that the batch samples, as (ptr, items): all of them,
        or one per example that has any, another in each epoch."""
        if self.mode == "all" or self.start is None:
            return ptr, positives
        counts = np.diff(ptr)
        has = np.flatnonzero(counts)
        turn = (self.start[planned.example_index[has]] + planned.epoch) % counts[has]
        one = np.zeros_like(ptr)
        np.cumsum(counts > 0, out=one[1:])
        return one, positives[ptr[has] + turn]

    def negatives_of(self, planned: _Planned, ptr: Int64Array, positives: Int64Array) -> Int64Array:
        """``negatives`` items per example, uniform with replacement among those
        that exist at its cut-off and are none of its positives."""
        size = planned.example_index.size
        if self.negatives == 0 or size == 0:
            return np.zeros((size, self.negatives), dtype=np.int64)
        times = planned.seed_time if planned.seed_time.size else np.zeros(size, np.int64)
        existing = self.existing(times)
        counts = np.diff(ptr)
        full = np.flatnonzero(counts >= existing)
        if full.size:
            i = int(full[0])
            raise ValueError(
                f"example {int(planned.example_index[i])}: its {int(counts[i])} positives are every "
                f"{self.table.item_table} row that exists at its cut-off, so no negative can be drawn"
            )
        rng = np.random.default_rng([planned.seed % 2**32, 1])
        example = np.repeat(np.arange(size), self.negatives)
        high = np.repeat(existing, self.negatives)
        wide = max(self.num_items, 1)
        # Increasing: examples in turn, each one's positives increasing.
        taken = np.repeat(np.arange(size), counts) * wide + positives
        drawn = np.empty(example.size, dtype=np.int64)
        pending = np.arange(example.size)
        # A draw that is a positive, or (in the first round, which draws
        # every example's items at once below the largest count) an item
        # that does not exist yet at its cut-off, is drawn again: what is
        # kept is uniform among the example's allowed items either way.
        first = True
        while pending.size:
            pick = rng.integers(0, int(high.max()), pending.size) if first else rng.integers(0, high[pending])
            drawn[pending] = pick if self.by_time is None else self.by_time[pick]
            code = example[pending] * wide + drawn[pending]
            at = np.minimum(np.searchsorted(taken, code), max(taken.size - 1, 0))
            again = taken[at] == code if taken.size else np.zeros(pending.size, dtype=bool)
            if first:
                again |= pick >= high[pending]
                first = False
            pending = pending[again]
        return drawn.reshape(size, self.negatives)


class _LinkSampling:
    """One worker's sampling of a ``LinkLoader``'s planned batches: two
    sampler calls per batch on one sampler, the sources' and the items',
    with the item seeds and the items' sampler seed drawn from the batch's
    seed alone, joined into one result whose features are then gathered."""

    def __init__(self, source_job: _Job, item_job: _Job, items: _Items, *, stack_edges: bool,
                 share_items: bool = True) -> None:
        self.sampling = _Sampling(source_job, stack_edges=stack_edges)
        self.source_job = source_job
        self.item_job = item_job
        self.draw = items
        self.share_items = share_items

    def __call__(self, planned: _Planned) -> LinkBatch:
        size = planned.example_index.size
        every_ptr, every = self.draw.positives(planned)
        negatives = self.draw.negatives_of(planned, every_ptr, every)
        ptr, positives = self.draw.chosen(planned, every_ptr, every)
        example = np.concatenate([
            np.repeat(np.arange(size, dtype=np.int64), np.diff(ptr)),
            np.repeat(np.arange(size, dtype=np.int64), self.draw.negatives),
        ])
        seeds = np.concatenate([positives, negatives.reshape(-1)])
        slot = None
        if self.share_items and seeds.size:
            seeds, example, slot = shared_seeds(seeds, example, planned.seed_time, self.draw.num_items)
        state = np.random.SeedSequence([planned.seed % 2**32, 2]).generate_state(1)
        source, item = self.source_job, self.item_job
        sources = self.sampling.sampler(planned.seed).sample(
            source.num_neighbors, source.sampling_time_offsets, source.entity_table,
            planned.seed_node, planned.seed_time,
        )
        items = self.sampling.sampler(int(state.view(np.int32)[0])).sample(
            item.num_neighbors, item.sampling_time_offsets, item.entity_table, seeds,
            planned.seed_time[example] if planned.seed_time.size else planned.seed_time,
        )
        graph = source.graph
        joined = join_samples(sources, items, example, graph.node_types, graph.edge_types,
                              stack_edges=self.sampling.stack_edges)
        roots = joined.second_index(item.entity_table, seeds.size)
        if slot is not None:
            roots = roots[slot]
        batch = source.batch(
            planned, joined.result, stack_edges=False, kind=LinkBatch,
            item_table=item.entity_table, pos_ptr=ptr, pos_node=positives,
            pos_index=roots[: positives.size], neg_node=negatives,
            neg_index=roots[positives.size :].reshape(negatives.shape),
            source_side=joined.first_side,
        )
        if self.sampling.stack_edges:
            batch.__dict__["edge_index"] = joined.edge_index  # where cached_property keeps it
        return batch  # type: ignore[return-value]


class LinkLoader(Loader):
    """Iterate a link training table in batches of source and item subgraphs.

    Takes the ``Loader``'s arguments (see there) with a ``LinkTrainingTable``
    in place of the entity table, its keys and times; the request
    (``num_neighbors``, ``sampling_time_offsets``) samples the sources'
    subgraphs, and ``item_num_neighbors`` and ``item_sampling_time_offsets``
    the items' (by default the same request). Batches are ``LinkBatch``
    objects, and keep the ``Loader``'s contract: a batch is a function of
    (seed, epoch, rank, batch index) alone, the same for any ``workers`` of
    either kind, ranks take strided shares of the examples, and every node
    of a batch comes at or before its example's cut-off. ``future_values``
    and ``future_windows`` apply to both requests as they do in ``Loader``:
    timestamp feature values later than the cut-off are masked, and a time
    window of either request that ends after it is refused.

    Parameters
    ----------
    table
        The examples: a ``LinkTrainingTable`` made from the tables the graph
        was built from (its items are the graph's nodes of its item table).
    negatives
        Items drawn per example, uniformly with replacement among the rows
        of the item table that exist at the example's cut-off, never one of
        its positives (any of them, sampled in the batch or not). Raises
        ValueError, naming the example, when its positives are every item
        that exists then.
    positives
        ``"one"`` (the default): each batch samples one positive per
        example, a different one in each epoch while the example has
        several: example i's positives in turn, from a place drawn once
        from (``seed``, i), so that n epochs visit each of its n positives
        once. A training example then costs its source's subgraph, one
        positive's and the negatives', however many items it took.
        ``"all"``: every positive of every example, in each batch.
    share_items
        True (the default): each distinct (item, cut-off time) pair among
        a batch's positives and negatives is sampled once and its subgraph
        shared by the examples that drew it (see the module's docstring):
        popular items and examples at one cut-off then cost one subgraph,
        not one each. The item nodes' ``out_batch`` names the first of
        them, whose cut-off is every sharer's. False: one subgraph per
        item seed of each example, owned by that example.

    A positive that does not exist yet at the example's cut-off (its row's
    time is later) is left out of the batch: its subgraph would hold a node
    from after the cut-off. An example without positives that exist then
    has none in the batch (``pos_ptr`` gives it an empty range), and keeps
    its negatives.

    Examples
    --------
    >>> from rerozer_tables import Table, build_graph, link_training_table
    >>> tables = {
    ...     "users": Table({"id": ["a", "b"]}, primary_key="id"),
    ...     "songs": Table({"id": [7, 8, 9]}, primary_key="id"),
    ...     "plays": Table({"user": ["a", "a", "b"], "song": [9, 7, 8], "at": [3, 5, 6]},
    ...                    foreign_keys={"user": "users", "song": "songs"}, time_column="at"),
    ... }
    >>> table = link_training_table(tables, "users", [1], target=("plays", "user", "song"),
    ...                             horizon=10)
    >>> loader = LinkLoader(build_graph(tables), table, batch_size=2, negatives=1,
    ...                     num_neighbors=[-1], positives="all")
    >>> batch = next(iter(loader))
    >>> batch.pos_ptr.tolist(), batch.pos_node.tolist(), batch.neg_node.shape
    ([0, 2, 3], [0, 2, 1], (2, 1))
    >>> loader = LinkLoader(build_graph(tables), table, batch_size=2, num_neighbors=[-1])
    >>> [next(iter(loader)).pos_node.tolist() for epoch in range(3)]  # "a" takes 9 and 7 in turn
    [[2, 1], [0, 1], [2, 1]]
    """

    def __init__(
        self,
        graph: Graph,
        table: LinkTrainingTable,
        *,
        batch_size: int,
        negatives: int = 1,
        positives: Positives = "one",
        share_items: bool = True,
        num_neighbors: Counts | None = None,
        sampling_time_offsets: Windows | None = None,
        item_num_neighbors: Counts | None = None,
        item_sampling_time_offsets: Windows | None = None,
        shuffle: bool = False,
        seed: int = 0,
        workers: int = 0,
        worker_kind: Literal["thread", "process"] = "thread",
        prefetch: int = 2,
        rank: int = 0,
        world_size: int = 1,
        even_batches: bool = False,
        progress: bool = False,
        timeout: float | None = None,
        check: bool = True,
        temporal_strategy: TemporalStrategy = "last",
        features: bool = True,
        future_values: FutureValues = "mask",
        future_windows: FutureWindows = "refuse",
    ) -> None:
        if not isinstance(table, LinkTrainingTable):
            raise TypeError(f"table must be a LinkTrainingTable, got {type(table).__name__}")
        if negatives < 0:
            raise ValueError(f"negatives must not be negative, got {negatives}")
        if positives not in ("one", "all"):
            raise ValueError(f"positives must be 'one' or 'all', got {positives!r}")
        item_table = table.item_table
        if item_table not in graph.node_types:
            raise ValueError(f"{item_table!r} is not a node type of the graph")
        num_items = graph._count(item_table)
        if num_items is None:
            raise ValueError(f"the graph does not give the number of {item_table} rows")
        if table.items.size and int(table.items.max()) >= num_items:
            raise ValueError(
                f"the table's items reach position {int(table.items.max())} of {item_table}, which has "
                f"{num_items} rows: the table was made from other tables than the graph"
            )
        if table.time_unit != graph.time_unit:
            raise ValueError(
                f"the table's times are in {table.time_unit!r}, the graph's in {graph.time_unit!r}"
            )
        super().__init__(
            graph, table.source_table, table.keys, table.times if graph.node_time else None,
            batch_size=batch_size, num_neighbors=num_neighbors,
            sampling_time_offsets=sampling_time_offsets, shuffle=shuffle, seed=seed,
            workers=workers, worker_kind=worker_kind, prefetch=prefetch, rank=rank,
            world_size=world_size, even_batches=even_batches, progress=progress,
            timeout=timeout, check=check, temporal_strategy=temporal_strategy, features=features,
            future_values=future_values, future_windows=future_windows,
        )
        if item_num_neighbors is None and item_sampling_time_offsets is None:
            item_num_neighbors, item_sampling_time_offsets = num_neighbors, sampling_time_offsets
        counts, windows = normalise_request(
            graph, item_num_neighbors, item_sampling_time_offsets,
            ("item_num_neighbors", "item_sampling_time_offsets"),
        )
        refuse_future_windows(windows, future_windows, "item_sampling_time_offsets")
        self._item_job = _Job(graph, item_table, counts, windows, self._job.temporal_strategy,
                              self._job.features, future_values)
        item_time = graph.node_time.get(item_table)
        by_time = sorted_time = None
        if item_time is not None:
            by_time = np.argsort(item_time, kind="stable").astype(np.int64)
            sorted_time = np.ascontiguousarray(item_time[by_time], dtype=np.int64)
        # Where each example starts its turn through its positives.
        start = np.random.default_rng([seed, 3]).integers(0, 2**31, len(table), dtype=np.int64)
        self._items = _Items(
            table, negatives, num_items, item_time, by_time, sorted_time, positives, start
        )
        self.table = table
        self.negatives = negatives
        self.positives = positives
        self.share_items = share_items

    def plan(self, epoch: int) -> list[_Planned]:
        """Every batch of ``epoch`` on this rank, before sampling; each knows
        its epoch, which chooses the examples' positives."""
        return [replace(planned, epoch=epoch) for planned in super().plan(epoch)]

    def _sampling(self, *, stack_edges: bool) -> _LinkSampling:
        return _LinkSampling(self._job, self._item_job, self._items, stack_edges=stack_edges,
                             share_items=self.share_items)
