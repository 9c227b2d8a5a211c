"""``Loader``: the training table in batches, each sampled into a ``Batch``."""

from __future__ import annotations

import gc
import multiprocessing as mp
import time
import traceback
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, field, fields
from functools import cached_property
from typing import Any

import numpy as np
import numpy.typing as npt

from ._columns import Int64Array, column_array, floor_time_array
from ._progress import progress_bar
from .check import check_graph
from .features import Float32Array, gather_features
from .graph import EdgeType, Graph, edge_type_key

Counts = Mapping[Any, Sequence[int]]
Windows = Mapping[Any, Sequence[Sequence[int | None]]]
Result = tuple[
    dict[str, Int64Array], dict[str, Int64Array], dict[str, Int64Array],
    dict[str, Int64Array], dict[str, Int64Array], dict[str, Int64Array],
]


@dataclass(frozen=True)
class Batch:
    """One sampled batch.

    ``index`` is the batch's number in its epoch. ``example_index`` gives
    the batch's examples as indices into the loader's ``keys_or_positions``
    (to pick their labels); ``seed_node`` and ``seed_time`` are the same
    examples as row positions of the entity table and their times (empty for
    a graph without times). The next six fields are ``NeighborSampler.sample``'s result: the
    seeds are the first ``len(seed_node)`` entries of ``out_node`` of the
    entity table. ``edge_index[edge_type]`` is a 2 x E int64 array: row 0 the
    source's and row 1 the destination's index into ``out_node`` of its type,
    the layout PyG's ``HeteroData`` takes through ``torch.from_numpy``.

    ``padding`` is the number of seeds at the end of the batch that repeat
    an example only to keep the ranks in step (``Loader(even_batches=True)``);
    ``mask`` is False for them, and they must not count in a loss or a
    metric. ``global_examples`` is the number of real examples in this step
    on all ranks together: the denominator of a mean loss over the global
    batch (see ``Loader``).

    ``x[node_type]`` holds the numerical feature rows of the sampled nodes
    (float32, ``[len(out_node[node_type]), columns]``, zero columns for a type
    without any) and ``x_cat[node_type]`` their categorical codes (int64), for
    the types that have categorical features; both are gathered by the
    loader's workers. ``entity_table`` is the node type of the seeds.
    """

    index: int
    example_index: Int64Array
    seed_node: Int64Array
    seed_time: Int64Array
    out_row: dict[str, Int64Array]
    out_col: dict[str, Int64Array]
    out_node: dict[str, Int64Array]
    out_batch: dict[str, Int64Array]
    num_sampled_nodes: dict[str, Int64Array]
    num_sampled_edges: dict[str, Int64Array]
    edge_types: list[EdgeType]
    entity_table: str = ""
    x: dict[str, Float32Array] = field(default_factory=dict)
    x_cat: dict[str, Int64Array] = field(default_factory=dict)
    padding: int = 0
    global_examples: int = 0

    @property
    def mask(self) -> npt.NDArray[np.bool_]:
        """Per seed, True for a real example and False for padding."""
        return np.arange(self.seed_node.size) < self.seed_node.size - self.padding

    def to_hetero_data(self) -> Any:
        """The batch as a ``torch_geometric.data.HeteroData``, sharing its arrays.

        Per node type: ``n_id`` (``out_node``), ``batch`` (``out_batch``),
        ``num_sampled_nodes``, ``x`` (float32) and, where the type has
        categorical features, ``x_cat`` (int64). Per edge type tuple:
        ``edge_index`` and ``num_sampled_edges``. On the entity type:
        ``input_id`` (``example_index``), ``seed_time`` and ``batch_size``;
        the seeds are its first ``batch_size`` nodes. The tensors share
        memory with the batch's arrays (``torch.from_numpy``).

        Needs torch and torch_geometric (``pip install "rerozer[torch]"``);
        raises ImportError saying so when they are missing.
        """
        from ._torch import to_hetero_data

        return to_hetero_data(self)

    @cached_property
    def edge_index(self) -> dict[EdgeType, Int64Array]:
        """Per edge type, ``[out_row, out_col]`` as one 2 x E int64 array."""
        return {
            edge_type: np.stack([self.out_row[key], self.out_col[key]])
            for edge_type, key in ((t, edge_type_key(t)) for t in self.edge_types)
        }

    @property
    def result(self) -> Result:
        """The six dictionaries in ``NeighborSampler.sample``'s order."""
        return (
            self.out_row, self.out_col, self.out_node,
            self.out_batch, self.num_sampled_nodes, self.num_sampled_edges,
        )

    @property
    def num_edges(self) -> int:
        return sum(int(rows.size) for rows in self.out_row.values())


@dataclass(frozen=True)
class _Job:
    """What sampling one batch needs; inherited by forked workers."""

    graph: Graph
    entity_table: str
    num_neighbors: dict[str, list[int]]
    sampling_time_offsets: dict[str, list[list[int | None]]]
    features: bool = True

    def sample(self, planned: _Planned) -> Batch:
        # A sampler per batch, seeded for that batch: the batch's result is
        # the same whichever process samples it, and after whichever batches.
        sampler = self.graph.sampler(seed=planned.seed)
        result = sampler.sample(
            self.num_neighbors, self.sampling_time_offsets, self.entity_table,
            planned.seed_node, planned.seed_time,
        )
        x, x_cat = gather_features(self.graph.features, result[2]) if self.features else ({}, {})
        return Batch(
            planned.index, planned.example_index, planned.seed_node, planned.seed_time, *result,
            edge_types=self.graph.edge_types, entity_table=self.entity_table, x=x, x_cat=x_cat,
            padding=planned.padding, global_examples=planned.global_examples,
        )


@dataclass(frozen=True)
class _Planned:
    """One batch of an epoch before sampling."""

    index: int
    example_index: Int64Array
    seed_node: Int64Array
    seed_time: Int64Array
    seed: int
    padding: int
    global_examples: int


def _request(
    graph: Graph, num_neighbors: Counts | None, sampling_time_offsets: Windows | None
) -> tuple[dict[str, list[int]], dict[str, list[list[int | None]]]]:
    """Both request dictionaries keyed by edge type key, every edge type in one of them."""
    known = {edge_type_key(t): t for t in graph.edge_types}

    def key_of(name: str, key: object) -> str:
        text = edge_type_key(key) if isinstance(key, tuple) else str(key)
        if text not in known:
            raise ValueError(f"{name} names {key!r}, which is not an edge type of the graph")
        return text

    def window(key: str, row: Sequence[int | None]) -> list[int | None]:
        if len(row) != 2 or row[1] is None:
            raise ValueError(f"sampling_time_offsets[{key!r}] rows must be (start or None, end)")
        return [None if row[0] is None else int(row[0]), int(row[1])]

    counts: dict[str, list[int]] = {}
    for k, per_hop in (num_neighbors or {}).items():
        counts[key_of("num_neighbors", k)] = [int(c) for c in per_hop]
    windows: dict[str, list[list[int | None]]] = {}
    for k, rows in (sampling_time_offsets or {}).items():
        key = key_of("sampling_time_offsets", k)
        windows[key] = [window(key, row) for row in rows]
    both = [key for key in counts if key in windows]
    if both:
        raise ValueError(f"{both[0]!r} is in both num_neighbors and sampling_time_offsets")
    for key in windows:
        if known[key][0] not in graph.node_time:
            raise ValueError(
                f"sampling_time_offsets names {key!r}, whose source {known[key][0]} has no times"
            )
    num_hops = max([len(v) for v in counts.values()] + [len(v) for v in windows.values()], default=0)
    for key, per_hop in counts.items():
        if len(per_hop) < num_hops:
            raise ValueError(f"num_neighbors[{key!r}] has {len(per_hop)} hops, the request {num_hops}")
    for key in known:
        if key not in counts and key not in windows:
            counts[key] = [0] * num_hops  # not followed
    return counts, windows


class Loader:
    """Iterate a training table in sampled batches.

    Parameters
    ----------
    graph
        The graph to sample from, checked once with ``check_graph`` (pass
        ``check=False`` for one known to pass).
    entity_table
        The node type of the training examples.
    keys_or_positions
        The examples: primary-key values of ``entity_table``, or row
        positions when it has no primary key.
    times
        Each example's time, in the graph's unit (int64), as datetime64 or
        as ISO-8601 strings; finer times are rounded down. None takes each
        row's own time; it is an error when the graph has times but the
        entity table has none, since the sampler would then select without
        regard to time.
    batch_size
        Examples per batch; the last batch may be smaller.
    num_neighbors, sampling_time_offsets
        The request, as for ``NeighborSampler.sample``, keyed by edge type
        key or edge type tuple. Edge types in neither are not followed.
    shuffle
        Visit the examples in a new random order each epoch.
    seed
        Determines the epoch's order and every batch's sampler seed. Batch
        i of epoch e on rank r is sampled by a sampler seeded from
        (seed, e, r, i), so an epoch is the same for every ``workers``.
    workers
        Worker processes (forked; Linux) sampling batches in turn. 0 samples
        in this process. Batches come back in order.
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
    features
        Gather the sampled nodes' feature rows into each batch's ``x`` and
        ``x_cat`` (in the workers, with the sampling).
    timeout
        Seconds to wait for a worker's batch before raising RuntimeError
        (None: wait as long as the worker lives).

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
        rank: int = 0,
        world_size: int = 1,
        even_batches: bool = False,
        progress: bool = False,
        timeout: float | None = None,
        check: bool = True,
        features: bool = True,
    ) -> None:
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, got {batch_size}")
        if workers < 0:
            raise ValueError(f"workers must not be negative, got {workers}")
        if world_size < 1 or not 0 <= rank < world_size:
            raise ValueError(f"rank must lie in [0, world_size), got rank {rank} of {world_size}")
        if seed < 0:
            raise ValueError(f"seed must not be negative, got {seed}")
        if entity_table not in graph.node_types:
            raise ValueError(f"{entity_table!r} is not a node type of the graph")
        if check:
            check_graph(graph)
        counts, windows = _request(graph, num_neighbors, sampling_time_offsets)
        self._job = _Job(graph, entity_table, counts, windows, features)
        self._positions = graph.position(entity_table, keys_or_positions)
        self._times = self._example_times(graph, entity_table, times)
        self.batch_size = batch_size
        self.shuffle = shuffle
        self.seed = seed
        self.workers = workers
        self.rank = rank
        self.world_size = world_size
        self.even_batches = even_batches
        self.progress = progress
        self.timeout = timeout
        self.epoch = 0

    def _example_times(self, graph: Graph, entity_table: str, times: object) -> Int64Array:
        if not graph.node_time:
            return np.zeros(0, dtype=np.int64)  # no times anywhere: nothing to compare
        if times is None:
            if entity_table not in graph.node_time:
                raise ValueError(
                    f"the graph has times but {entity_table} has none: give the examples' times, "
                    "or every selection would ignore time"
                )
            return np.ascontiguousarray(graph.node_time[entity_table][self._positions])
        values, null = column_array(times)
        if null is not None:
            raise ValueError(f"times at index {int(np.flatnonzero(null)[0])} is null")
        converted = np.ascontiguousarray(floor_time_array(values, graph.time_unit, "times"), dtype=np.int64)
        if converted.size != self._positions.size:
            raise ValueError(f"{converted.size} times for {self._positions.size} examples")
        return converted

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
        if self.workers == 0:
            batches: Iterator[Batch] = (self._job.sample(planned) for planned in plan)
            yield from self._with_progress(batches, len(plan))
            return
        workers = _Workers(self._job, plan, self.workers, self.timeout)
        try:
            yield from self._with_progress(workers.batches(), len(plan))
        finally:
            workers.stop()

    def _with_progress(self, batches: Iterator[Batch], total: int) -> Iterator[Batch]:
        if not self.progress:
            yield from batches
            return
        with progress_bar(total, "epoch", "batch", True) as bar:
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


def _work(job: _Job, plan: list[_Planned], connection: Any) -> None:
    """A worker's life: sample its batches in order, send each, then exit."""
    index = plan[0].index if plan else -1
    try:
        for planned in plan:
            index = planned.index
            _send_batch(connection, job.sample(planned))
    except BaseException as error:  # reported to the parent instead of lost
        text = traceback.format_exc()
        try:
            connection.send(_Failure(index, repr(error), text))
        except BaseException:
            pass
    finally:
        connection.close()


_DICTS = [f.name for f in fields(Batch) if f.name.startswith(("out_", "num_sampled_"))]


def _send_batch(connection: Any, batch: Batch) -> None:
    """Send a batch as a small header and one buffer holding every array.

    Much cheaper than pickling a dozen dictionaries of arrays, and the
    receiver's arrays are views of one buffer it owns.
    """
    arrays = [batch.example_index, batch.seed_node, batch.seed_time]
    layout = []
    for name in _DICTS:
        for key, array in getattr(batch, name).items():
            arrays.append(array)
            layout.append((name, key, array.size))
    data = np.concatenate(arrays) if arrays else np.zeros(0, np.int64)
    connection.send((
        batch.index, batch.seed_node.size, batch.seed_time.size, layout, data.nbytes,
        batch.padding, batch.global_examples,
    ))
    connection.send_bytes(memoryview(data).cast("B"))
    connection.send((batch.x, batch.x_cat))


def _receive_batch(
    connection: Any, header: Any, edge_types: list[EdgeType], entity_table: str
) -> Batch:
    index, num_seeds, num_times, layout, nbytes, padding, global_examples = header
    buffer = bytearray(nbytes)
    connection.recv_bytes_into(buffer)
    data = np.frombuffer(buffer, dtype=np.int64)
    parts: dict[str, dict[str, Int64Array]] = {name: {} for name in _DICTS}
    start = 2 * num_seeds + num_times
    for name, key, size in layout:
        parts[name][key] = data[start : start + size]
        start += size
    x, x_cat = connection.recv()
    return Batch(
        index, data[:num_seeds], data[num_seeds : 2 * num_seeds],
        data[2 * num_seeds : 2 * num_seeds + num_times], edge_types=edge_types,
        entity_table=entity_table, x=x, x_cat=x_cat, padding=padding,
        global_examples=global_examples, **parts,
    )


@dataclass(frozen=True)
class _Failure:
    index: int
    error: str
    traceback: str


class _Workers:
    """Forked processes; worker w samples batches w, w + n, w + 2n, ..."""

    def __init__(
        self, job: _Job, plan: list[_Planned], count: int,
        timeout: float | None,
    ) -> None:
        self.plan = plan
        self.timeout = timeout
        self.edge_types = job.graph.edge_types
        self.entity_table = job.entity_table
        context = mp.get_context("fork")
        self.processes: list[Any] = []
        self.connections: list[Any] = []
        # Objects made before the fork are left alone by the workers'
        # collector, so that it does not turn shared pages into copies.
        gc.freeze()
        try:
            started = min(count, max(len(plan), 1))
            for w in range(started):
                receiver, sender = context.Pipe(duplex=False)
                process = context.Process(
                    target=_work, args=(job, plan[w::started], sender), daemon=True,
                    name=f"rerozer-loader-{w}",
                )
                try:
                    process.start()
                finally:
                    sender.close()
                self.processes.append(process)
                self.connections.append(receiver)
        except BaseException:
            self.stop()
            raise
        finally:
            gc.unfreeze()

    def _receive(self, w: int, index: int) -> Batch:
        process, connection = self.processes[w], self.connections[w]
        waited = 0.0
        while not connection.poll(0.05):
            waited += 0.05
            if not process.is_alive() and not connection.poll(0):
                raise self._lost(w, index)
            if self.timeout is not None and waited >= self.timeout:
                raise RuntimeError(f"loader worker {w} sent no batch {index} within {self.timeout} s")
        try:
            item = connection.recv()
        except EOFError:
            raise self._lost(w, index) from None
        if isinstance(item, _Failure):
            raise RuntimeError(
                f"loader worker {w} failed on batch {item.index}: {item.error}\n{item.traceback}"
            )
        try:
            return _receive_batch(connection, item, self.edge_types, self.entity_table)
        except EOFError:
            raise self._lost(w, index) from None

    def _lost(self, w: int, index: int) -> RuntimeError:
        process = self.processes[w]
        process.join(timeout=1)  # its pipe closes just before it is reaped
        what = "closed its pipe" if process.exitcode is None else f"exited with code {process.exitcode}"
        return RuntimeError(f"loader worker {w} {what} before sending batch {index}")

    def batches(self) -> Iterator[Batch]:
        count = len(self.processes)
        for index in range(len(self.plan)):
            yield self._receive(index % count, index)

    def stop(self) -> None:
        """End every worker that is still running and release the pipes."""
        for process in self.processes:
            if process.is_alive():
                process.terminate()
        for process in self.processes:
            process.join(timeout=5)
            if process.is_alive():
                process.kill()
                process.join(timeout=5)
        for connection in self.connections:
            connection.close()
