"""The timing every benchmark shares: functions measured side by side, called in turn in
every round so that all of them see the same machine, with the median of the rounds."""

from __future__ import annotations

import gc
import statistics
import time
from collections.abc import Callable
from typing import Any


def median_times(functions: dict[str, Callable[[], Any]], repeats: int,
                 results: dict[str, Any] | None = None) -> dict[str, float]:
    """The median time (s) of each function over `repeats` rounds; `results`, when given,
    receives each function's last result."""
    times: dict[str, list[float]] = {name: [] for name in functions}
    for _ in range(repeats):
        for name, f in functions.items():
            gc.collect()
            start = time.perf_counter()
            out = f()
            times[name].append(time.perf_counter() - start)
            if results is not None:
                results[name] = out
    return {name: statistics.median(t) for name, t in times.items()}
