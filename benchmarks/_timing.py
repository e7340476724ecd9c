"""The timing every benchmark shares: functions measured side by side, called in turn in
every round so that all of them see the same machine, with the median of the rounds."""

from __future__ import annotations

import gc
import statistics
import time
from collections.abc import Callable
from typing import Any


def median_times(functions: dict[str, Callable[[], Any]], repeats: int,
                 results: dict[str, Any] | None = None, number: int = 1) -> dict[str, float]:
    """The median time (s) of one call of each function over `repeats` rounds; `results`,
    when given, receives each function's last result.  A round times `number` calls in a
    row (for calls of a millisecond or less, whose single timing is the machine's noise)."""
    times: dict[str, list[float]] = {name: [] for name in functions}
    for _ in range(repeats):
        for name, f in functions.items():
            gc.collect()
            start = time.perf_counter()
            for _ in range(number):
                out = f()
            times[name].append((time.perf_counter() - start) / number)
            if results is not None:
                results[name] = out
    return {name: statistics.median(t) for name, t in times.items()}
