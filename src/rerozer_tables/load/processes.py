"""Worker processes of the ``Loader`` (``worker_kind="process"``; Linux, forked).

Worker w samples batches w, w + n, w + 2n, ... and sends each through its
pipe as a small header and one buffer holding every array, which the parent
takes apart into views. Every batch is copied through the pipe, so threads
are the default; see ``Loader`` for when processes are worth it.
"""

from __future__ import annotations

import gc
import multiprocessing as mp
import signal
import traceback
from collections.abc import Callable, Iterator
from dataclasses import dataclass, fields
from typing import Any

import numpy as np

from ..graph.graph import EdgeType
from ..tables.columns import Int64Array
from .batch import Batch
from .plan import _Planned

Sample = Callable[[_Planned], Batch]

# Signals that the application may handle and that its workers must not:
# the parent's handlers (a checkpoint on SIGTERM, a Ctrl-C handler) would
# otherwise run in every forked worker.
_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2)


@dataclass(frozen=True)
class _Failure:
    index: int
    error: str
    traceback: str


def _work(plan: list[_Planned], new_sampling: Callable[[], Sample], connection: Any) -> None:
    """A worker's life: sample its batches in order, send each, then exit.

    It starts with the signals above blocked (the parent blocks them around
    the fork), puts back their default actions, ignores Ctrl-C (the parent
    ends its workers itself), and only then lets them through, so no handler
    of the application ever runs here: SIGTERM ends the worker at once.
    """
    # The worker's collector leaves the objects inherited from the parent
    # alone, so that it does not turn shared pages into copies. Freezing here
    # rather than in the parent leaves the application's own gc.freeze()
    # state as it was.
    gc.freeze()
    for number in _SIGNALS:
        signal.signal(number, signal.SIG_IGN if number == signal.SIGINT else signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _SIGNALS)
    index = plan[0].index if plan else -1
    try:
        sample = new_sampling()
        for planned in plan:
            index = planned.index
            _send_batch(connection, sample(planned))
    except BaseException as error:  # reported to the parent instead of lost
        text = traceback.format_exc()
        try:
            connection.send(_Failure(index, repr(error), text))
        except BaseException:
            pass
    finally:
        connection.close()


def _dicts() -> list[str]:
    return [f.name for f in fields(Batch) if f.name.startswith(("out_", "num_sampled_"))]


def _send_batch(connection: Any, batch: Batch) -> None:
    """Send a batch as a small header and one buffer holding every array.

    Much cheaper than pickling a dozen dictionaries of arrays, and the
    receiver's arrays are views of one buffer it owns.
    """
    arrays = [batch.example_index, batch.seed_node, batch.seed_time]
    layout = []
    for name in _dicts():
        for key, array in getattr(batch, name).items():
            arrays.append(array)
            layout.append((name, key, array.size))
    data = np.concatenate(arrays) if arrays else np.zeros(0, np.int64)
    connection.send((
        batch.index, batch.seed_node.size, batch.seed_time.size, layout, data.nbytes,
        batch.padding, batch.global_examples,
    ))
    connection.send_bytes(memoryview(data).cast("B"))
    # A subclass of Batch (the LinkLoader's) sends its own fields beside these.
    extra = {name: getattr(batch, name) for name in _own_fields(type(batch))}
    connection.send((batch.entity_table, batch.x, batch.x_cat, batch.time, batch.y, batch.x_text,
                     batch.x_multi, batch.layouts, batch.time_unit, type(batch), extra))


def _own_fields(kind: type[Batch]) -> list[str]:
    inherited = {f.name for f in fields(Batch)}
    return [f.name for f in fields(kind) if f.name not in inherited]


def _receive_batch(connection: Any, header: Any, edge_types: list[EdgeType]) -> Batch:
    index, num_seeds, num_times, layout, nbytes, padding, global_examples = header
    buffer = bytearray(nbytes)
    connection.recv_bytes_into(buffer)
    data = np.frombuffer(buffer, dtype=np.int64)
    parts: dict[str, dict[str, Int64Array]] = {name: {} for name in _dicts()}
    start = 2 * num_seeds + num_times
    for name, key, size in layout:
        parts[name][key] = data[start : start + size]
        start += size
    (entity_table, x, x_cat, node_time, y, x_text, x_multi, layouts, time_unit, kind,
     extra) = connection.recv()
    if not issubclass(kind, Batch):
        raise RuntimeError(f"a loader worker sent a {kind!r} for a batch")
    batch: Batch = kind(
        index, data[:num_seeds], data[num_seeds : 2 * num_seeds],
        data[2 * num_seeds : 2 * num_seeds + num_times], edge_types=edge_types,
        entity_table=entity_table, x=x, x_cat=x_cat, padding=padding,
        global_examples=global_examples, time=node_time, y=y, x_text=x_text, x_multi=x_multi,
        layouts=layouts, time_unit=time_unit, **parts, **extra,
    )
    return batch


class Processes:
    """Forked processes; worker w samples batches w, w + n, w + 2n, ..."""

    def __init__(
        self, plan: list[_Planned], new_sampling: Callable[[], Sample], count: int,
        edge_types: list[EdgeType], timeout: float | None,
    ) -> None:
        self.plan = plan
        self.timeout = timeout
        self.edge_types = edge_types
        context = mp.get_context("fork")
        self.processes: list[Any] = []
        self.connections: list[Any] = []
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNALS)
        try:
            started = min(count, max(len(plan), 1))
            for w in range(started):
                receiver, sender = context.Pipe(duplex=False)
                process = context.Process(
                    target=_work, args=(plan[w::started], new_sampling, sender), daemon=True,
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
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)

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
            if isinstance(item, _Failure):
                raise RuntimeError(
                    f"loader worker {w} failed on batch {item.index}: {item.error}\n{item.traceback}"
                )
            return _receive_batch(connection, item, self.edge_types)
        except (EOFError, OSError):  # the pipe closed mid-message: the worker died
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
        """End every worker that is still running and release the pipes.

        SIGTERM has its default action in the workers, so each ends at once.
        """
        for process in self.processes:
            if process.is_alive():
                process.terminate()
        for process in self.processes:
            process.join(timeout=5)
            if process.is_alive():
                process.kill()
                process.join()
        for connection in self.connections:
            connection.close()
