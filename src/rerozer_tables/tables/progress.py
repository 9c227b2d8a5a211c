"""Progress bars: tqdm when it is installed, a plain line on stderr otherwise."""

from __future__ import annotations

import importlib
import sys
import time
from types import TracebackType
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


class _Line:
    """``desc: done/total unit [postfix]`` rewritten in place about twice a second."""

    def __init__(self, total: int | None, desc: str, unit: str) -> None:
        self.total, self.desc, self.unit = total, desc, unit
        self.done = 0
        self.postfix = ""
        self.shown = 0.0

    def _show(self, force: bool) -> None:
        now = time.monotonic()
        if force or now - self.shown >= 0.5:
            self.shown = now
            total = "" if self.total is None else f"/{self.total}"
            extra = f" [{self.postfix}]" if self.postfix else ""
            sys.stderr.write(f"\r{self.desc}: {self.done}{total} {self.unit}{extra}")
            sys.stderr.flush()

    def update(self, n: int = 1) -> None:
        self.done += n
        self._show(force=False)

    def set_postfix_str(self, s: str = "", refresh: bool = True) -> None:
        self.postfix = s

    def close(self) -> None:
        self._show(force=True)
        sys.stderr.write("\n")
        sys.stderr.flush()


class progress_bar:
    """A context manager giving a ``Progress``; silent unless ``enabled``."""

    def __init__(self, total: int | None, desc: str, unit: str, enabled: bool) -> None:
        self.bar: Progress = _Silent()
        if not enabled:
            return
        try:
            tqdm: Any = importlib.import_module("tqdm").tqdm
        except ImportError:
            self.bar = _Line(total, desc, unit)
            return
        # No monitor thread: a process with a second thread must not fork,
        # and the loader forks its workers.
        bar_class = type("_Bar", (tqdm,), {"monitor_interval": 0})
        self.bar = bar_class(total=total, desc=desc, unit=unit)

    def __enter__(self) -> Progress:
        return self.bar

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.bar.close()
