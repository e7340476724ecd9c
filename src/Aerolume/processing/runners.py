"""Where the units of work run: in this process, or on a Dask cluster.

Both runners take the same functions and the same items and hand back the results in
the items' order, so a product does not depend on where it was computed.  Each unit of
work runs inside :func:`run_task`, which records the warnings it raises and the time it
takes; the runner raises those warnings again in the calling process, so that nothing a
worker reports is lost.

Dask is an optional dependency (``pip install 'Aerolume[distributed]'``): it is imported
only when a cluster is asked for.
"""

from __future__ import annotations

import dataclasses
import logging
import os
import time
import warnings
from collections.abc import Callable, Iterable, Sequence
from types import ModuleType
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

__all__ = ["InProcess", "OnDask", "TaskResult", "run_task", "MissingDependency", "runner"]

INSTALL_DASK = "pip install 'Aerolume[distributed]'"

#: How often a unit of work may kill its worker before the run fails (each time the
#: scheduler hands it to another worker).
RETRIES = 2
#: How long (s) a run waits with no worker left in the cluster before it fails.
NO_WORKER_TIMEOUT = 60.0
#: Units of work kept in flight on a cluster, per worker: enough to keep every worker
#: busy while results come back, few enough that the caller's memory does not grow with
#: the number of units.
IN_FLIGHT_PER_WORKER = 4


from Aerolume.errors import MissingDependency  # noqa: E402 (re-exported)

if TYPE_CHECKING:
    import distributed

#: What a runner's units of work are (blocks of files, nights).
_Item = TypeVar("_Item")


class ProgressBar(Protocol):
    """What a progress callback makes: a context that is told each unit done."""

    def __enter__(self) -> ProgressBar: ...

    def __exit__(self, *exc: object) -> None: ...

    def advance(self, count: int = 1) -> None: ...


#: Makes the progress bar of a run: (total, label, unit) -> :class:`ProgressBar`.
ProgressFactory = Callable[[int, str, str], ProgressBar]


@dataclasses.dataclass
class TaskResult:
    """What one unit of work hands back.

    Attributes
    ----------
    value : object
        The function's result.
    warnings : list of (type, str)
        The warnings raised while it ran: category and message.
    seconds : dict
        Time spent in each named stage (s), as the function reported it through
        :class:`Stopwatch`, and ``"total"``.
    """
    value: Any
    warnings: list[tuple[type[Warning], str]]
    seconds: dict[str, float]


class Stopwatch:
    """Accumulates the time spent in named stages of one unit of work."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}
        self._stage: str | None = None
        self._since = 0.0

    def stage(self, name: str | None) -> None:
        """Ends the current stage and starts `name` (None: ends it only)."""
        now = time.perf_counter()
        if self._stage is not None:
            self.seconds[self._stage] = self.seconds.get(self._stage, 0.0) + now - self._since
        self._stage, self._since = name, now


def run_task(function: Callable[..., Any], item: Any, *args: Any) -> TaskResult:
    """Runs ``function(item, *args, stopwatch=...)``, recording its warnings and times.

    This is what a runner executes, in this process or in a worker, so that both report
    the same way.  Exceptions propagate unchanged.
    """
    watch = Stopwatch()
    start = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        value = function(item, *args, stopwatch=watch)
    watch.stage(None)
    seconds = dict(watch.seconds, total=time.perf_counter() - start)
    return TaskResult(value, [(w.category, str(w.message)) for w in caught], seconds)


def _consumed(result: TaskResult | None, consume: Callable[[Any], None] | None
              ) -> TaskResult:
    """`result` with its value handed to `consume` and let go (as it is without)."""
    assert result is not None
    if consume is None:
        return result
    value, result.value = result.value, None
    consume(value)
    return result


def _raise_again(results: Iterable[TaskResult]) -> None:
    seen: set[tuple[type[Warning], str]] = set()
    for result in results:
        for category, message in result.warnings:
            if (category, message) not in seen:
                seen.add((category, message))
                warnings.warn(message, category, stacklevel=3)


class InProcess:
    """Runs every unit of work here, one after the other (the core still uses threads)."""

    description = "in this process"

    def __init__(self, threads: int | None = None) -> None:
        #: threads of the core when the configuration says "all cores" (0): a worker of a
        #: cluster runs its nights' blocks here with its share of the cores
        self._threads = threads

    def threads(self, configured: int) -> int:
        """Threads of the numerical core for each unit of work (0: all cores)."""
        return configured if configured or not self._threads else self._threads

    def map(self, function: Callable[..., Any], items: Sequence[_Item], *args: Any,
            progress: Callable[[_Item], None] | None = None,
            consume: Callable[[Any], None] | None = None) -> list[TaskResult]:
        """``run_task(function, item, *args)`` for every item, results in the items' order;
        ``progress(item)`` after each.  With `consume`, each result's value is handed to
        ``consume(value)`` in the items' order as soon as it is made, and not kept (the
        results hold None)."""
        results: list[TaskResult] = []
        for item in items:
            results.append(_consumed(run_task(function, item, *args), consume))
            if progress is not None:
                progress(item)
        _raise_again(results)
        return results

    def close(self) -> None:
        pass

    def __enter__(self) -> InProcess:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class OnDask:
    """Runs the units of work on a Dask cluster.

    Parameters
    ----------
    workers : int, optional
        Start a local cluster of this many worker processes (one thread each), listening
        on the loopback interface only.
    scheduler : str, optional
        Address of the scheduler of an existing cluster (``tcp://host:8786``); its
        workers must have the same version of Aerolume installed.

    Raises
    ------
    MissingDependency
        Dask's distributed scheduler is not installed.
    OSError
        The scheduler cannot be reached, or the local cluster cannot start.
    """

    def __init__(self, workers: int | None = None, scheduler: str | None = None,
                 timeout: float = 30.0) -> None:
        if (workers is None) == (scheduler is None):
            raise ValueError("give either workers or scheduler")
        try:
            import distributed
        except ImportError:
            raise MissingDependency(
                f"running on Dask needs the distributed scheduler: {INSTALL_DASK}") from None
        self._distributed = distributed
        self.cluster: distributed.LocalCluster | None = None
        self.client: distributed.Client | None = None
        self.workers = workers or 0
        # The cluster's own chatter (worker start-up, shutdown, a worker lost: map() says
        # what failed in one line) is not the user's business.
        for name in ("distributed", "tornado", "bokeh"):
            logging.getLogger(name).setLevel(logging.CRITICAL)
        try:
            import dask
            # A unit of work that kills its worker is tried on others RETRIES times, then
            # fails (on a cluster of this run's own; a remote scheduler has its setting).
            dask.config.set({"distributed.scheduler.allowed-failures": RETRIES})
            if scheduler is not None:
                self.client = distributed.Client(scheduler, timeout=timeout)
                self.description = f"on the Dask cluster at {scheduler}"
            else:
                self.cluster = distributed.LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True,
                    host="127.0.0.1", dashboard_address=None, silence_logs=logging.CRITICAL)
                self.client = distributed.Client(self.cluster, timeout=timeout)
                self.description = f"on a local Dask cluster of {workers} processes"
        except (OSError, TimeoutError, RuntimeError) as err:
            # (A local cluster that fails to start raises RuntimeError.)
            self.close()
            if scheduler is not None:
                raise OSError(f"cannot reach Dask scheduler at {scheduler}: {err}") from None
            raise OSError(f"cannot start a local Dask cluster of {workers} workers: "
                          f"{err}") from None

    def threads(self, configured: int) -> int:
        """Threads of the numerical core for each unit of work: on a local cluster, "all
        cores" (0) is shared out between the workers so that they do not oversubscribe
        the machine; on a remote cluster each worker's machine is its own."""
        if configured or self.cluster is None:
            return configured
        return max(1, (os.cpu_count() or 1) // self.workers)

    def map(self, function: Callable[..., Any], items: Sequence[_Item], *args: Any,
            progress: Callable[[_Item], None] | None = None,
            consume: Callable[[Any], None] | None = None) -> list[TaskResult]:
        """``run_task(function, item, *args)`` for every item on the cluster's workers,
        results in the items' order.  The first failure cancels the rest and is raised.
        With `consume`, as for :meth:`InProcess.map`: results that end before an earlier
        one wait for it, within the window of units in flight.

        A unit of work whose worker dies is tried again on another (up to
        :data:`RETRIES` times), then the run fails with an OSError naming it (for a
        block, its files); so does a cluster left with no worker for
        :data:`NO_WORKER_TIMEOUT` seconds, rather than waiting for ever."""
        distributed = self._distributed
        killed = _killed_worker_type(distributed)
        client = self._client()
        # A bounded window of units in flight, each result fetched and its future let go
        # as it ends: the scheduler and this caller hold a few units' state at a time,
        # not the whole run's, however many units there are.
        window = IN_FLIGHT_PER_WORKER * max(1, self._workers() or self.workers)
        results: list[TaskResult | None] = [None] * len(items)
        waiting = iter(range(len(items)))
        pending: dict[Any, int] = {}
        handed = 0  # the results before this one are consumed

        def top_up() -> None:
            # (results waiting for an earlier one to be consumed count against the window)
            while len(pending) + (sum(r is not None for r in results[handed:])
                                  if consume is not None else 0) < window:
                i = next(waiting, None)
                if i is None:
                    return
                pending[client.submit(run_task, function, items[i], *args, pure=False)] = i

        try:
            top_up()
            alone_since: float | None = None
            while pending:
                done = [f for f in pending if f.done()]
                if not done:
                    try:
                        distributed.wait(list(pending), timeout=1.0, return_when="FIRST_COMPLETED")
                    except (TimeoutError, getattr(distributed, "TimeoutError", TimeoutError)):
                        pass
                    if self._workers() == 0:
                        alone_since = alone_since or time.monotonic()
                        if time.monotonic() - alone_since > NO_WORKER_TIMEOUT:
                            first = min(pending.values())
                            raise OSError(f"the Dask cluster has had no worker for "
                                          f"{NO_WORKER_TIMEOUT:g} s; "
                                          f"{len(items) - sum(r is not None for r in results)} "
                                          f"unit(s) of work not done, the first being "
                                          f"{_item_text(items[first])}")
                    else:
                        alone_since = None
                    continue
                for future in done:
                    i = pending.pop(future)
                    try:
                        results[i] = future.result()  # raises the worker's exception here
                    except killed:
                        raise OSError(f"{_item_text(items[i])}: the Dask worker running it died "
                                      f"{RETRIES + 1} times (out of memory, or killed); "
                                      "giving up") from None
                    future.release()
                    if progress is not None:
                        progress(items[i])
                while consume is not None and handed < len(items) and \
                        results[handed] is not None:
                    results[handed] = _consumed(results[handed], consume)
                    handed += 1
                top_up()
        finally:
            client.cancel(list(pending))
        gathered = [r for r in results if r is not None]
        _raise_again(gathered)
        return gathered

    def _client(self) -> distributed.Client:
        if self.client is None:
            raise RuntimeError("the Dask runner is closed")
        return self.client

    def _workers(self) -> int:
        try:
            return len(self._client().scheduler_info().get("workers", {}))
        except Exception:  # the scheduler itself gone: as if no worker were left
            return 0

    def close(self) -> None:
        client = getattr(self, "client", None)
        if client is not None:
            client.close()
            self.client = None
        if self.cluster is not None:
            self.cluster.close()
            self.cluster = None

    def __enter__(self) -> OnDask:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _killed_worker_type(distributed: ModuleType) -> type[BaseException]:
    """Dask's exception for a task that killed its workers (where this version keeps it)."""
    found: type[BaseException] | None = getattr(distributed, "KilledWorker", None)
    if found is None:
        from distributed.scheduler import KilledWorker
        return KilledWorker
    return found


def _item_text(item: object) -> str:
    """A unit of work as a message names it: a block by its files, a night by its date."""
    describe = getattr(item, "describe", None)
    if callable(describe):
        return str(describe())
    if isinstance(item, (list, tuple)) and item and all(isinstance(f, str) for f in item):
        if len(item) <= 3:
            return "the block of " + ", ".join(item)
        return f"the block of {len(item)} files {item[0]} to {item[-1]}"
    return f"the unit of work {item!r}"[:200]


def runner(workers: int | None = None, scheduler: str | None = None) -> InProcess | OnDask:
    """The runner the command line asks for: a Dask one with either argument, else
    :class:`InProcess`."""
    if workers is None and scheduler is None:
        return InProcess()
    return OnDask(workers=workers, scheduler=scheduler)
