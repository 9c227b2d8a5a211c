"""Worker threads of the ``Loader``: batches sampled in parallel in this process.

``NeighborSampler.sample`` releases the interpreter lock while it samples,
so threads in the training process sample batches in parallel on several
cores, and their arrays reach the training loop as they are, without a copy.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterator

from .batch import Batch
from .plan import _Planned

Sample = Callable[[_Planned], Batch]


class WorkerDied(RuntimeError):
    """A worker ended by an exception that is not an error of its batch."""


class Threads:
    """``count`` threads sampling ``plan`` in order, at most ``ahead`` batches
    beyond the one the caller last took.

    Workers take the next batch in turn, so a slow batch holds up no other
    worker. Batch i may be taken once the caller has taken batch
    i - ahead: the loader then holds at most ``ahead`` batches, sampled or
    being sampled, besides those the caller keeps.

    ``stop()`` lets every worker finish the batch it samples (a call cannot
    be cut short off the main thread), then joins them. Each worker gets its
    own sampling function from ``new_sampling()`` in its thread.
    """

    def __init__(
        self, plan: list[_Planned], new_sampling: Callable[[], Sample], count: int, ahead: int,
        timeout: float | None,
    ) -> None:
        self._plan = plan
        self._new_sampling = new_sampling
        self._timeout = timeout
        self._changed = threading.Condition()  # an RLock: see stop()
        self._next = 0  # the next batch a worker takes
        self._limit = min(ahead, len(plan))  # ... once it is below this
        self._done: dict[int, Batch | BaseException] = {}
        self._taken_by: dict[int, int] = {}
        self._died: dict[int, tuple[int, BaseException]] = {}
        self._stopping = False
        self._threads = [
            threading.Thread(target=self._work, args=(w,), name=f"rerozer-loader-{w}", daemon=True)
            for w in range(min(count, max(len(plan), 1)))
        ]
        try:
            for thread in self._threads:
                thread.start()
        except BaseException:
            self.stop()
            raise

    def _take(self, w: int) -> int | None:
        """The next batch for worker w, or None when there is none to take."""
        with self._changed:
            while True:
                if self._stopping or self._next >= len(self._plan):
                    return None
                if self._next < self._limit:
                    index = self._next
                    self._next += 1
                    self._taken_by[index] = w
                    return index
                self._changed.wait()

    def _work(self, w: int) -> None:
        index = -1
        try:
            sample = self._new_sampling()
            while (taken := self._take(w)) is not None:
                index = taken
                outcome: Batch | BaseException
                try:
                    outcome = sample(self._plan[index])
                except Exception as error:  # the batch's error, raised in the caller
                    outcome = error
                with self._changed:
                    if not self._stopping:
                        self._done[index] = outcome
                    self._changed.notify_all()
                del outcome  # the batch belongs to the caller now
        except BaseException as error:  # noqa: BLE001 - reported to the caller
            with self._changed:
                self._died[w] = (index, error)
                self._changed.notify_all()

    def _failure(self, index: int) -> WorkerDied | None:
        """Why batch ``index`` will never come, if it will not: the worker
        that took it died, or it is not taken and every worker died."""
        w = self._taken_by.get(index)
        if w is None:
            if not self._died or len(self._died) < len(self._threads):
                return None
            w = max(self._died)
        elif w not in self._died:
            return None
        at, error = self._died[w]
        where = f"on batch {index}" if at == index else f"before batch {index}"
        died = WorkerDied(f"loader worker thread {w} died {where}: {error!r}")
        died.__cause__ = error
        return died

    def batches(self) -> Iterator[Batch]:
        """The batches in order; a batch's error is raised when its turn comes."""
        for index in range(len(self._plan)):
            with self._changed:
                deadline = None if self._timeout is None else time.monotonic() + self._timeout
                while index not in self._done:
                    failure = self._failure(index)
                    if failure is not None:
                        raise failure
                    if deadline is not None and time.monotonic() >= deadline:
                        raise RuntimeError(
                            f"loader worker threads sent no batch {index} within {self._timeout} s"
                        )
                    # Waiting in short steps keeps the main thread open to
                    # Ctrl-C whatever the platform's lock does.
                    self._changed.wait(0.25)
                outcome = self._done.pop(index)
                self._limit = min(self._limit + 1, len(self._plan))
                self._changed.notify_all()
            if isinstance(outcome, BaseException):
                w = self._taken_by[index]
                outcome.add_note(f"(raised by loader worker thread {w} sampling batch {index})")
                raise outcome
            yield outcome
            del outcome

    def stop(self) -> None:
        """Stop taking batches, drop the finished ones, and join every worker.

        May run in a worker itself (a collection that finalises the epoch's
        iterator), which then skips joining itself; the condition is
        re-entrant for that case, where its lock may already be held.
        """
        with self._changed:
            self._stopping = True
            self._done.clear()
            self._changed.notify_all()
        current = threading.current_thread()
        for thread in self._threads:
            if thread is not current and thread.ident is not None:
                thread.join()
