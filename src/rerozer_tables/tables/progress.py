"""Progress bars: tqdm when it is installed, a plain line on stderr otherwise.

The long stages (reading, building, saving and checking a graph, making
training tables) take ``progress=None`` by default: a bar appears once the
stage has run for ``DELAY`` seconds, and only when stderr is an interactive
terminal outside CI, so logs, pipes and test runs stay quiet.
``progress=False`` never shows one, ``progress=True`` always.

A shown bar is redrawn every ``TICK`` seconds by a helper thread, with its
elapsed time, also while one long step runs (sorting the largest table,
reading it), so that the terminal never stays still for long. The thread
exists only while a bar is shown and ends when the stage does.
"""

from __future__ import annotations

import importlib
import os
import sys
import threading
import time
from types import TracebackType
from collections.abc import Callable
from typing import Any, Protocol


class Progress(Protocol):
    def update(self, n: int = 1) -> Any: ...

    def set_postfix_str(self, s: str = "", refresh: bool = True) -> Any: ...

    def close(self) -> Any: ...


class _Silent:
    def update(self, n: int = 1) -> None:
        pass

    def set_postfix_str(self, s: str = "", refresh: bool = True) -> None:
        pass

    def close(self) -> None:
        pass


# Seconds a stage runs before its bar appears, when shown by default.
DELAY = 2.0

# Seconds between two redraws of a shown bar while no step ends.
TICK = 1.0


def interactive() -> bool:
    """Whether stderr is a terminal that a person watches: not redirected
    to a file or a pipe, and not in CI (which sets ``CI``)."""
    if os.environ.get("CI", "").lower() not in ("", "0", "false"):
        return False
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):  # replaced or closed
        return False


class _Line:
    """``desc: done/total unit [postfix]`` rewritten in place about twice a second."""

    def __init__(self, total: int | None, desc: str, unit: str, delay: float = 0.0) -> None:
        self.total, self.desc, self.unit = total, desc, unit
        self.done = 0
        self.postfix = ""
        self.shown = 0.0
        self.start = time.monotonic()
        self.delay = delay
        self.visible = False

    def _show(self, force: bool) -> None:
        now = time.monotonic()
        if now - self.start < self.delay and not self.visible:
            return
        if force or now - self.shown >= 0.5:
            self.visible = True
            self.shown = now
            total = "" if self.total is None else f"/{self.total}"
            extra = f" [{self.postfix}]" if self.postfix else ""
            elapsed = f" {now - self.start:.0f}s"
            sys.stderr.write(f"\r{self.desc}: {self.done}{total} {self.unit}{elapsed}{extra}")
            sys.stderr.flush()

    def update(self, n: int = 1) -> None:
        self.done += n
        self._show(force=False)

    def set_postfix_str(self, s: str = "", refresh: bool = True) -> None:
        self.postfix = s

    def refresh(self) -> None:
        self._show(force=True)

    def close(self) -> None:
        self._show(force=True)
        if self.visible:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _postfix_after_delay(bar: Any, s: str = "", refresh: bool = True) -> None:
    """tqdm's ``set_postfix_str``, which draws the bar only once its delay has passed."""
    waiting = time.time() - bar.start_t < bar.delay
    tqdm: Any = type(bar).__mro__[1]
    tqdm.set_postfix_str(bar, s, refresh=refresh and not waiting)


def _refresh_after_delay(bar: Any) -> None:
    """Redraw a tqdm bar (its elapsed time moves on), once its delay has passed."""
    if not bar.disable and time.time() - bar.start_t >= bar.delay:
        bar.refresh()


class _Ticker:
    """A thread that calls ``redraw`` every ``interval`` seconds until stopped."""

    def __init__(self, redraw: Callable[[], None], interval: float) -> None:
        self.redraw = redraw
        self.interval = interval
        self.stopped = threading.Event()
        self.lock = threading.Lock()  # a redraw never overlaps the bar's close
        self.thread = threading.Thread(target=self._run, name="rerozer-progress", daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while not self.stopped.wait(self.interval):
            with self.lock:
                if not self.stopped.is_set():
                    self.redraw()

    def stop(self) -> None:
        with self.lock:
            self.stopped.set()
        self.thread.join()


def check_progress(progress: object) -> bool | None:
    """``progress`` itself; TypeError for anything but None, True or False."""
    if progress is None or isinstance(progress, bool):
        return progress
    raise TypeError(f"progress must be None, True or False, got {progress!r}")


class progress_bar:
    """A context manager giving a ``Progress``: shown when ``enabled`` is
    True; when it is None, shown after ``DELAY`` seconds if stderr is
    ``interactive()``; silent otherwise.

    A shown bar is redrawn every ``TICK`` seconds while the context runs,
    unless ``tick`` is False: a caller that forks inside the context (the
    loader's worker processes) must not have a second thread running.
    """

    def __init__(
        self, total: int | None, desc: str, unit: str, enabled: bool | None, tick: bool = True
    ) -> None:
        self.bar: Progress = _Silent()
        self.redraw: Callable[[], None] | None = None
        self.ticker: _Ticker | None = None
        check_progress(enabled)
        if enabled is None:
            if not interactive():
                return
            delay = DELAY
        elif enabled:
            delay = 0.0
        else:
            return
        try:
            tqdm: Any = importlib.import_module("tqdm").tqdm
        except ImportError:
            self.bar = line = _Line(total, desc, unit, delay)
            self.redraw = line.refresh if tick else None
            return
        # No monitor thread of tqdm's own: the ticker below ends with the
        # context, tqdm's would outlive it.
        bar_class = type("_Bar", (tqdm,), {"monitor_interval": 0,
                                           "set_postfix_str": _postfix_after_delay})
        self.bar = bar = bar_class(total=total, desc=desc, unit=unit, delay=delay,
                                   unit_scale=unit in ("B", "row"))
        if tick:
            self.redraw = lambda: _refresh_after_delay(bar)

    def __enter__(self) -> Progress:
        if self.redraw is not None:
            self.ticker = _Ticker(self.redraw, TICK)
        return self.bar

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if self.ticker is not None:
            self.ticker.stop()
            self.ticker = None
        self.bar.close()
