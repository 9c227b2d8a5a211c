"""``Loader``: the training table in batches, each sampled into a ``Batch``."""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator
from typing import Literal

import numpy as np

from ..graph.check import check_graph_once
from ..graph.graph import (
    Graph,
    TemporalStrategy,
    check_temporal_strategy,
)
from ..graph.time_rules import (
    FutureValues,
    FutureWindows,
    check_future_values,
    refuse_future_windows,
    refuse_late_seeds,
)
from ..tables.columns import Int64Array
from ..tables.progress import progress_bar
from .batch import Batch
from .plan import _Job, _Planned, _Sampling
from .processes import Processes
from .request import Counts, Windows, example_times, normalise_request
from .threads import Threads


class Loader:
    """Iterate a training table in sampled batches.

    Parameters
    ----------
    graph
        The graph to sample from, checked with ``check_graph`` (pass
        ``check=False`` for one known to pass). A memory-mapped graph from
        ``load_graph`` is checked by its first loader only.
    entity_table
        The node type of the training examples.
    keys_or_positions
        The examples: primary-key values of ``entity_table``, or row
        positions when it has no primary key.
    times
        Each example's time, in the graph's unit (int64), as datetime64 or
        as ISO-8601 strings; a time finer than the graph's unit is an error,
        as in ``build_graph``. None takes each row's own time; it is an
        error when the graph has times but the entity table has none, since
        the sampler would then select without regard to time. Times given
        for a graph without times are an error too: the sampler would drop
        them. When every time lies outside the graph's times by more than a
        factor of 100, a UserWarning points at a likely unit mix-up.
    batch_size
        Examples per batch; the last batch may be smaller.
    num_neighbors
        Neighbours to take per hop: one list of int counts for every edge
        type, as PyG's ``NeighborLoader`` takes it (``[10, 5]``), or a
        mapping from edge type tuple or key to such a list. A count k takes
        the k latest sources at or before the example time (the edge type
        is temporal) or k at random; -1 takes all, 0 none.
    sampling_time_offsets
        Time windows per hop: a mapping from edge type to ``(start, end)``
        rows, taking every source with time in (t + start, t + end]
        (``start`` None: no lower bound). Offsets are ints in the graph's
        unit or timedeltas (``np.timedelta64``, ``datetime.timedelta``) that
        are whole numbers of it. An edge type named here takes no part in a
        ``num_neighbors`` list; edge types in neither mapping are not
        followed. A request must follow at least one hop: a loader without
        one raises ValueError. A window that ends after the example time
        (an end above 0) samples rows from the future and raises
        ValueError naming the edge type and the window, unless
        ``future_windows="allow"``.
    shuffle
        Visit the examples in a new random order each epoch.
    seed
        Determines the epoch's order and every batch's sampler seed. Batch
        i of epoch e on rank r is sampled by a sampler seeded from
        (seed, e, r, i), so an epoch is the same for every ``workers``.
    workers
        Worker threads sampling batches in parallel (``sample`` releases the
        interpreter lock, so they use several cores), each up to
        ``prefetch`` batches ahead of the training loop while it works on the
        current one. 0 samples each batch in this thread when it is asked
        for. Batches come back in order and are the same for any number of
        workers of either kind.
    worker_kind
        ``"thread"`` (the default) or ``"process"``: forked worker processes
        (Linux) that send every batch through a pipe, a copy that threads
        avoid. Processes were slower than threads in every case
        ``bench/loader.py`` measures, a training step that holds the
        interpreter lock included; they are kept only to isolate sampling
        from the training process, whose work survives a worker that is
        killed (as by the out-of-memory killer): the loop gets a
        RuntimeError naming the worker and the batch.
    prefetch
        Batches sampled ahead per worker thread: the loader holds at most
        ``prefetch * workers`` batches besides those the caller keeps.
    rank, world_size
        For data-parallel training: this loader yields only the examples at
        positions ``rank, rank + world_size, ...`` of the epoch's order, so the
        ranks together cover every example exactly once. Shares differ by at
        most one example, so ``len()`` may differ by one between ranks
        unless ``even_batches`` is set.
    even_batches
        Give every rank the same number of batches, of the same sizes, so
        that no rank waits for ever in a collective call the others never
        make. The epoch's order is extended by wrapping around to a multiple
        of ``world_size`` and the ranks take their strided shares of that, as
        PyTorch's ``DistributedSampler`` does; the repeated examples come
        last in a rank's last batch, counted by ``Batch.padding`` and masked
        out by ``Batch.mask``. Every example is still real exactly once per
        epoch across the ranks. Under ``DistributedDataParallel``, whose
        gradients are the mean over ranks, ``(loss * mask).sum() * world_size
        / batch.global_examples`` per rank gives the gradient of the mean loss
        over the step's global batch.
    progress
        Show a progress bar (tqdm when installed) with batches, examples per
        second and sampled edges per second.
    temporal_strategy
        What a count takes on an edge type with times, as for
        ``Graph.sampler``: ``"last"`` (default), the most recent edges at
        or before the example's time; ``"uniform"``, edges drawn at random
        among all of those.
    timeout
        Seconds to wait for a worker's batch before raising RuntimeError
        (None: wait as long as the worker lives).
    features
        Gather the sampled nodes' feature rows into each batch's ``x`` and
        ``x_cat``, with the sampling (in the workers). False leaves them empty.
    future_values
        ``"mask"`` (the default): in each batch, a timestamp feature value
        of a sampled row that is later than the time of the example the row
        was sampled for becomes NaN in ``x`` (a delivery date after the
        cut-off, a last login), so that no such value reaches the model.
        Values that float32 cannot tell from the example time are hidden
        too. ``"keep"`` passes every value as stored, future ones included:
        a model may then learn from what it could not know at prediction
        time and look better in evaluation than it will be in use.
    future_windows
        ``"refuse"`` (the default) or ``"allow"``: whether a time window
        in ``sampling_time_offsets`` may end after the example time.

    Every example's entity row must exist at its time (its own or
    inherited time at or before it): a seed that comes later raises
    ValueError naming the example, its key and both times, unless
    ``late_seeds="allow"`` (the drop-in ``rerozer_tables.pyg.NeighborLoader``
    samples such seeds, as PyG does).
    labels
        One label per example (an array-like of the length of
        ``keys_or_positions``, such as ``TrainingTable.labels``): each batch
        then carries its examples' labels as ``Batch.y``, and
        ``to_hetero_data()`` as ``y`` on the entity type.

    Examples
    --------
    >>> from rerozer_tables import Loader, Table, build_graph
    >>> graph = build_graph({
    ...     "users": Table({"id": ["a", "b"], "t": [1, 2]}, primary_key="id", time_column="t"),
    ...     "posts": Table({"by": ["a", "a", "b"], "t": [1, 5, 3]},
    ...                    foreign_keys={"by": "users"}, time_column="t"),
    ... })
    >>> loader = Loader(graph, "users", ["a", "b"], [4, 4], batch_size=2,
    ...                 num_neighbors={("posts", "by", "users"): [-1]})
    >>> batch = next(iter(loader))
    >>> batch.out_node["posts"].tolist()   # post 1 (time 5) is after the cutoff 4
    [0, 2]
    >>> batch.edge_index[("posts", "by", "users")].tolist()
    [[0, 1], [0, 1]]
    """

    def __init__(
        self,
        graph: Graph,
        entity_table: str,
        keys_or_positions: object,
        times: object = None,
        *,
        batch_size: int,
        num_neighbors: Counts | None = None,
        sampling_time_offsets: Windows | None = None,
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
        labels: object = None,
        late_seeds: Literal["refuse", "allow"] = "refuse",
    ) -> None:
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, got {batch_size}")
        if workers < 0:
            raise ValueError(f"workers must not be negative, got {workers}")
        if worker_kind not in ("thread", "process"):
            raise ValueError(f"worker_kind must be 'thread' or 'process', got {worker_kind!r}")
        if prefetch < 1:
            raise ValueError(f"prefetch must be at least 1, got {prefetch}")
        if world_size < 1 or not 0 <= rank < world_size:
            raise ValueError(f"rank must lie in [0, world_size), got rank {rank} of {world_size}")
        if seed < 0:
            raise ValueError(f"seed must not be negative, got {seed}")
        if entity_table not in graph.node_types:
            raise ValueError(f"{entity_table!r} is not a node type of the graph")
        strategy = check_temporal_strategy(temporal_strategy)
        if check:
            check_graph_once(graph)
        check_future_values(future_values)
        counts, windows = normalise_request(graph, num_neighbors, sampling_time_offsets)
        refuse_future_windows(windows, future_windows)
        self._positions = graph.position(entity_table, keys_or_positions)
        held_labels = None if labels is None else np.asarray(labels)
        if held_labels is not None and (held_labels.ndim == 0 or len(held_labels) != self._positions.size):
            raise ValueError(
                f"labels must hold one label per example ({self._positions.size}), got "
                f"{'a scalar' if held_labels.ndim == 0 else len(held_labels)}"
            )
        self._job = _Job(
            graph, entity_table, counts, windows, strategy, features, future_values, held_labels
        )
        self._times = example_times(graph, entity_table, self._positions, times)
        if late_seeds not in ("refuse", "allow"):
            raise ValueError(f"late_seeds must be 'refuse' or 'allow', got {late_seeds!r}")
        if late_seeds == "refuse":
            refuse_late_seeds(graph, entity_table, self._positions, self._times)
        self.batch_size = batch_size
        self.shuffle = shuffle
        self.seed = seed
        self.workers = workers
        self.worker_kind = worker_kind
        self.prefetch = prefetch
        self.rank = rank
        self.world_size = world_size
        self.even_batches = even_batches
        self.progress = progress
        self.timeout = timeout
        self.epoch = 0

    @property
    def num_examples(self) -> int:
        """Real examples of this rank per epoch (padding not counted)."""
        total = self._positions.size
        return len(range(self.rank, total, self.world_size))

    def _slots(self) -> Int64Array:
        """Positions in the epoch's order that this rank takes, in turn.

        Rank r takes r, r + world_size, ...; with ``even_batches`` every rank
        takes ceil(total / world_size) of them, and a position past the end
        wraps around to the start of the order (a repeat, thus padding).
        """
        total = self._positions.size
        end = -(-total // self.world_size) * self.world_size if self.even_batches else total
        return np.arange(self.rank, end, self.world_size, dtype=np.int64)

    def __len__(self) -> int:
        return -(-self._slots().size // self.batch_size)

    def set_epoch(self, epoch: int) -> None:
        """Make the next iteration epoch ``epoch`` (each iteration advances it by one)."""
        self.epoch = epoch

    def batch_seed(self, epoch: int, index: int) -> int:
        """The sampler seed of batch ``index`` of ``epoch`` on this rank."""
        state = np.random.SeedSequence([self.seed, epoch, self.rank, index]).generate_state(1)
        # The sampler takes a signed 32-bit seed; every bit pattern is a seed.
        return int(state.view(np.int32)[0])

    def plan(self, epoch: int) -> list[_Planned]:
        """Every batch of ``epoch`` on this rank, before sampling."""
        total = self._positions.size
        if self.shuffle:
            order = np.random.default_rng([self.seed, epoch]).permutation(total).astype(np.int64)
        else:
            order = np.arange(total, dtype=np.int64)
        slots = self._slots()
        mine = order[slots % total] if total else order
        batches = []
        for index, start in enumerate(range(0, mine.size, self.batch_size)):
            stop = start + self.batch_size
            chosen = mine[start:stop]
            times = self._times[chosen] if self._times.size else self._times
            padding = int(np.count_nonzero(slots[start:stop] >= total))
            # Step `index` covers positions [start, stop) * world_size of the
            # order on all ranks together, those before the end being real.
            step_examples = max(0, min(total, stop * self.world_size) - start * self.world_size)
            batches.append(_Planned(
                index, chosen, self._positions[chosen], times, self.batch_seed(epoch, index),
                padding, step_examples,
            ))
        return batches

    def __iter__(self) -> Iterator[Batch]:
        epoch = self.epoch
        self.epoch += 1
        return self._iterate(self.plan(epoch))

    def _iterate(self, plan: list[_Planned]) -> Iterator[Batch]:
        job = self._job
        if self.workers == 0:
            yield from self._with_progress(self._in_turn(plan), len(plan))
            return
        workers: Threads | Processes
        if self.worker_kind == "thread":
            workers = Threads(
                plan, lambda: self._sampling(stack_edges=True), self.workers,
                self.prefetch * self.workers, self.timeout,
            )
        else:
            workers = Processes(
                plan, lambda: self._sampling(stack_edges=False), self.workers,
                job.graph.edge_types, self.timeout,
            )
        try:
            yield from self._with_progress(workers.batches(), len(plan))
        finally:
            workers.stop()

    def _sampling(self, *, stack_edges: bool) -> Callable[[_Planned], Batch]:
        """A worker's function from a planned batch to its batch (made in
        the worker; ``LinkLoader`` samples its batches through its own)."""
        return _Sampling(self._job, stack_edges=stack_edges)

    def _in_turn(self, plan: list[_Planned]) -> Iterator[Batch]:
        """Each batch sampled in this thread when it is asked for."""
        sample = self._sampling(stack_edges=False)
        for planned in plan:
            try:
                batch = sample(planned)
            except Exception as error:
                error.add_note(f"(raised sampling batch {planned.index})")
                raise
            yield batch
            del batch

    def _with_progress(self, batches: Iterator[Batch], total: int) -> Iterator[Batch]:
        if not self.progress:
            yield from batches
            return
        # No redrawing thread: worker processes are forked inside this bar.
        with progress_bar(total, "epoch", "batch", True, tick=False) as bar:
            began = time.perf_counter()
            examples = edges = 0
            for batch in batches:
                examples += batch.seed_node.size - batch.padding
                edges += batch.num_edges
                seconds = max(time.perf_counter() - began, 1e-9)
                bar.set_postfix_str(
                    f"{examples / seconds:,.0f} examples/s, {edges / seconds:,.0f} edges/s",
                    refresh=False,
                )
                bar.update(1)
                yield batch
                del batch  # the caller's now: dropped before the next is made
