"""A progress bar for the command line, drawn on a terminal only.

The bar is written to standard error and redrawn in place with a carriage return.  When
the stream is not a terminal (a pipe, a file, a batch job's log) or when the caller
asks for quiet, nothing at all is written, so logs stay clean.  No third-party
dependency: a station computer may have nothing beyond the package's own requirements.
"""

from __future__ import annotations

import shutil
import sys
import time
from typing import TextIO

__all__ = ["Progress"]


class Progress:
    """A progress bar over a known number of items.

    Parameters
    ----------
    total : int
        Number of items (files, time blocks) the work consists of.
    label : str
        What is being done, shown before the bar ("reading", "processing").
    unit : str
        What an item is, shown after the count ("files", "blocks").
    stream : file object, optional
        Where to draw; standard error by default.
    enabled : bool, optional
        Draw at all.  Even when true, the bar is drawn only if `stream` is a terminal.
    interval : float, optional
        Shortest time between two redraws (s); the first and last states are always drawn.

    Notes
    -----
    Use as a context manager; ``advance`` after each item.  Leaving the context ends the
    line, so that whatever is written next starts on a fresh one.
    """

    def __init__(self, total: int, label: str, unit: str = "", *,
                 stream: TextIO | None = None, enabled: bool = True,
                 interval: float = 0.1) -> None:
        self.total = max(int(total), 0)
        self.label = label
        self.unit = unit
        self.stream = sys.stderr if stream is None else stream
        isatty = getattr(self.stream, "isatty", None)
        self.active = bool(enabled and isatty is not None and isatty())
        self.interval = interval
        self.done = 0
        self._start = time.monotonic()
        self._drawn = -1.0

    def __enter__(self) -> Progress:
        self._start = time.monotonic()
        self._draw(force=True)
        return self

    def __exit__(self, *exc: object) -> None:
        if self.active:
            self._draw(force=True)
            self.stream.write("\n")
            self.stream.flush()

    def advance(self, count: int = 1) -> None:
        """Counts `count` more items as done and redraws the bar if it is time to."""
        self.done = min(self.done + count, self.total)
        self._draw(force=self.done == self.total)

    def line(self, now: float | None = None) -> str:
        """The bar's text for the current state (without the carriage return)."""
        now = time.monotonic() if now is None else now
        elapsed = now - self._start
        width = shutil.get_terminal_size((80, 24)).columns
        count = f"{self.done}/{self.total}" + (f" {self.unit}" if self.unit else "")
        clock = _clock(elapsed)
        if 0 < self.done < self.total:
            clock += f" <{_clock(elapsed / self.done * (self.total - self.done))}"
        fraction = self.done / self.total if self.total else 1.0
        head = f"{self.label} {fraction:4.0%} "
        tail = f" {count} {clock}"
        room = max(width - 1 - len(head) - len(tail) - 2, 0)
        filled = int(round(room * fraction))
        return f"{head}[{'#' * filled}{'.' * (room - filled)}]{tail}"

    def _draw(self, force: bool = False) -> None:
        if not self.active:
            return
        now = time.monotonic()
        if not force and now - self._drawn < self.interval:
            return
        self._drawn = now
        self.stream.write("\r" + self.line(now))
        self.stream.flush()


def _clock(seconds: float) -> str:
    seconds = int(seconds)
    hours, rest = divmod(seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"
