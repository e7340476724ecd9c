"""Many nights in one run: one product per night (or per UTC day), each made and written
by the worker that runs it.

The caller only plans (:func:`plan_nights`: the raw files' headers grouped into nights,
each given its product file), leaves out the nights whose product is up to date
(:func:`up_to_date`), hands one task per night to a runner (:func:`run_nights`) and
gathers the small :class:`NightSummary` of each.  A task (:func:`night_task`) is the
whole chain on one night, checked, calibrated and processed as ``aerolume process`` does
it for that night alone, and written atomically (a ``.part`` file renamed), so a night's
product is the same whichever process made it, and a worker that dies costs only its
night (which the runner gives to another worker).  The caller never holds a product, so
its memory does not grow with the number of nights.
"""

from __future__ import annotations

import dataclasses
import datetime
import math
import os
import pathlib
import re
import time
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING

from Aerolume.processing.config import Config

if TYPE_CHECKING:
    from Aerolume.processing.runners import InProcess, OnDask, ProgressFactory, Stopwatch

__all__ = ["Night", "NightSummary", "plan_nights", "product_name", "up_to_date",
           "night_task", "run_nights", "SPLITS", "walk"]

#: How the nights are cut: ``"night"``, from local solar noon to the next (a night that
#: spans midnight is one product, named after the date of its evening); ``"day"``, the
#: UTC day.
SPLITS = ("night", "day")


@dataclasses.dataclass(frozen=True)
class Night:
    """One unit of work of a many-night run: the raw files of one night of one site.

    Attributes
    ----------
    date : str
        ``YYYYMMDD``: the UTC day, or the date of the night's evening (local solar time).
    site : str
        The site name of the raw headers.
    files : tuple of str
        The night's raw files, in time order.
    output : str
        Its product file.
    """
    date: str
    site: str
    files: tuple[str, ...]
    output: str

    def describe(self) -> str:
        """How messages name it: date, site and files."""
        return f"the night {self.date} of {self.site or 'the site'} ({len(self.files)} files)"


@dataclasses.dataclass
class NightSummary:
    """What a night's task hands back (a few numbers, never the product).

    Attributes
    ----------
    date, output : str
        As in :class:`Night`.
    files : int
        Raw files processed (a file skipped under ``errors = "skip"`` is not one).
    profiles : int
        Profiles (time steps) of the product.
    bytes : int
        Size of the product file.
    seconds : dict
        Each stage's time (s), and ``"wall"`` for the whole task.
    lines : str
        The product's summary, one line per retrieval (:func:`Aerolume.quality.product_summary`).
    warnings : list of (type, str)
        The warnings the night raised (the caller raises them again, naming the night).
    """
    date: str
    output: str
    files: int
    profiles: int
    bytes: int
    seconds: dict[str, float]
    lines: str = ""
    warnings: list[tuple[type[Warning], str]] = dataclasses.field(default_factory=list)


def walk(folder: str | os.PathLike[str]) -> list[str]:
    """The regular files under `folder` and its sub-folders, sorted, leaving out hidden
    files and folders (names starting with ``.``, as the ``.part`` files of writes under
    way) and netCDF files (products)."""
    found: list[str] = []
    for top, folders, names in os.walk(os.fspath(folder)):
        folders[:] = sorted(f for f in folders if not f.startswith("."))
        for name in sorted(names):
            path = os.path.join(top, name)
            if name.startswith(".") or name.endswith(".nc") or not os.path.isfile(path):
                continue
            found.append(path)
    return found


def product_name(site: str, date: str) -> str:
    """``<site>_<YYYYMMDD>_aerolume.nc``, the site name kept to letters, digits, ``-``
    and ``_`` (anything else becomes ``-``; no site: ``site``)."""
    safe = re.sub(r"[^A-Za-z0-9_-]+", "-", site.strip()).strip("-") or "site"
    return f"{safe}_{date}_aerolume.nc"


def _date_of(start: float, longitude: float, split: str) -> str:
    if split == "night":
        # local solar time, less 12 h: the night from one noon to the next is one date
        shift = (longitude / 15.0 if math.isfinite(longitude) else 0.0) - 12.0
        start = start + shift * 3600.0
    return datetime.datetime.fromtimestamp(math.floor(start), datetime.timezone.utc) \
        .strftime("%Y%m%d")


def plan_nights(files: Sequence[str | os.PathLike[str]], folder: str | os.PathLike[str],
                split: str = "night", *, errors: str = "raise", threads: int = 0,
                found: Sequence[str] = ()) -> list[Night]:
    """Groups raw files into nights from their headers alone.

    Parameters
    ----------
    files : sequence of path
        Raw files named by the caller: one whose header cannot be read raises a
        ValueError naming it (``errors="raise"``) or is left out with a warning.
    folder : path
        Where the products are written, one file per night (:func:`product_name`).
    split : {"night", "day"}
        See :data:`SPLITS`.
    errors : {"raise", "skip"}
        For the files named.
    threads : int
        Threads reading the headers (0: all cores).
    found : sequence of path
        Files found by walking folders: those that are no raw files (notes, images) are
        left out with one warning listing them, whatever `errors` says.

    Returns
    -------
    list of Night
        In time order (by date, then site).
    """
    from Aerolume import _core
    from Aerolume.io.files import skipped_message

    if split not in SPLITS:
        raise ValueError(f"split must be one of {', '.join(SPLITS)}, got {split!r}")
    named = [os.fspath(f) for f in files]
    seen = {os.path.realpath(f) for f in named}
    walked = []
    for f in map(os.fspath, found):  # (a file both named and found is read once)
        if os.path.realpath(f) not in seen:
            seen.add(os.path.realpath(f))
            walked.append(f)
    everything = named + walked
    scanned = _core.licel_scan(everything, threads) if everything else []
    groups: dict[tuple[str, str], list[tuple[float, str]]] = {}
    problems: list[tuple[str, str, bool]] = []
    strangers: list[tuple[str, str, bool]] = []
    for i, (path, (header, why, os_error)) in enumerate(zip(everything, scanned)):
        if header is None:
            (problems if i < len(named) else strangers).append((path, why, os_error))
            continue
        key = (_date_of(header.start, header.longitude, split), str(header.site))
        groups.setdefault(key, []).append((header.start, path))
    if problems:
        if errors == "raise":
            error = OSError if problems[0][2] else ValueError
            more = f" (and {len(problems) - 1} more)" if len(problems) > 1 else ""
            raise error(f"{problems[0][0]}: {problems[0][1]}{more}")
        warnings.warn(skipped_message(f"skipped {len(problems)} of {len(named)} files",
                                      problems), RuntimeWarning, stacklevel=2)
    if strangers:
        warnings.warn(skipped_message(f"left out {len(strangers)} file(s) found in the "
                                      "folders that are no raw files", strangers),
                      RuntimeWarning, stacklevel=2)
    if not groups:
        raise ValueError("none of the raw files can be read")
    folder = pathlib.Path(folder)
    names: dict[str, tuple[str, str]] = {}
    nights = []
    for (date, site), members in sorted(groups.items()):
        output = product_name(site, date)
        if output in names:  # two site names that read the same in a file name
            raise ValueError(f"the sites {names[output][1]!r} and {site!r} would both write "
                             f"{output}; process them separately")
        names[output] = (date, site)
        members.sort()
        nights.append(Night(date, site, tuple(p for _, p in members), str(folder / output)))
    return nights


def up_to_date(night: Night, dependencies: Sequence[str | os.PathLike[str]] = ()) -> bool:
    """Whether the night's product exists and is newer than each of its raw files and of
    `dependencies` (the configuration file, a sounding...): by modification times, so a
    raw file copied in with an older time than the product's is not noticed."""
    try:
        made = os.stat(night.output).st_mtime_ns
    except OSError:
        return False
    for path in list(night.files) + [os.fspath(d) for d in dependencies]:
        try:
            if os.stat(path).st_mtime_ns >= made:
                return False
        except OSError:
            return False
    return True


def night_task(night: Night, config: Config, threads: int, command: str = "",
               source_root: str | None = None, *, stopwatch: Stopwatch | None = None
               ) -> NightSummary:
    """Processes and writes one night: what a worker runs.

    The configuration is checked and calibrated on this night's files
    (:func:`Aerolume.processing.pipeline.prepare`), the blocks run here one after the other with
    `threads` threads of the core, and the product is written to ``night.output``
    atomically.  The warnings are handed back in the summary, for the caller to raise
    again with the night's date (where its filters do not ignore them).
    """
    from Aerolume.processing import pipeline
    from Aerolume.processing.runners import InProcess

    start = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        prepared = pipeline.prepare(list(night.files), config)
        written = pipeline.process_into(list(night.files), prepared, night.output,
                                        runner=InProcess(threads), command=command,
                                        source_root=source_root)
        lines = written.summary()
    seconds = dict(written.seconds)
    seconds.update(written.stopwatch.seconds)
    seconds["wall"] = time.perf_counter() - start
    return NightSummary(night.date, str(written.path), len(written.files), written.profiles,
                        written.path.stat().st_size, seconds, lines,
                        [(w.category, str(w.message)) for w in caught])


def _ignored(message: str, category: type[Warning],
             filters: Sequence[tuple[str, re.Pattern[str] | None,
                                     type[Warning] | tuple[type[Warning], ...],
                                     re.Pattern[str] | None, int]]) -> bool:
    """Whether `filters` (a copy of warnings.filters) ignore this warning wherever it is
    raised: the date put before a message must not defeat the filters set for it."""
    for action, text, kind, module, line in filters:
        if (text is None or text.match(message)) and issubclass(category, kind):
            return action == "ignore" and module is None and not line
    return False


@dataclasses.dataclass
class RunSummary:
    """What a many-night run did: the nights written and those left as they were."""
    written: list[NightSummary]
    skipped: list[Night]
    seconds: float
    where: str

    def report(self) -> str:
        """One line per night written, then the totals and the nights skipped."""
        lines = [f"{s.output}: {s.files} files, {s.profiles} profiles" for s in self.written]
        files = sum(s.files for s in self.written)
        lines.append(f"wrote {len(self.written)} night(s) ({files} raw files) {self.where} "
                     f"in {self.seconds:.1f} s; skipped {len(self.skipped)} up to date"
                     + (f" ({_span(self.skipped)})" if self.skipped else "")
                     + (" (--overwrite to redo them)" if self.skipped else ""))
        return "\n".join(lines) + "\n"

    def profile_report(self) -> str:
        """Each stage's time summed over the nights, and its share."""
        from Aerolume.processing.pipeline import STAGES

        total: dict[str, float] = {}
        for s in self.written:
            for stage, value in s.seconds.items():
                total[stage] = total.get(stage, 0.0) + value
        stages = [name for name in STAGES if name in total]
        busy = sum(total[name] for name in stages)
        lines = [f"{len(self.written)} night(s) {self.where}: {self.seconds:.3f} s wall"]
        for name in stages:
            lines.append(f"  {name:<12} {total[name]:9.3f} s  "
                         f"{total[name] / busy if busy else 0:6.1%}")
        lines.append("  (stage times are summed over the nights)")
        return "\n".join(lines) + "\n"


def _span(nights: Sequence[Night]) -> str:
    dates = sorted(n.date for n in nights)
    return dates[0] if len(dates) == 1 else f"{dates[0]} to {dates[-1]}"


def run_nights(nights: Sequence[Night], config: Config, *,
               runner: InProcess | OnDask | None = None, overwrite: bool = False,
               progress: ProgressFactory | None = None, command: str = "",
               source_root: str | None = None,
               dependencies: Sequence[str | os.PathLike[str]] = ()) -> RunSummary:
    """Runs one task per night that is not up to date; the caller keeps only summaries.

    Parameters
    ----------
    nights : sequence of Night
        From :func:`plan_nights`.
    config : Config
        The checked configuration (each night is prepared with it on its worker).
    runner : InProcess or OnDask, optional
        Where the nights run; in this process by default.
    overwrite : bool
        Process every night, even those whose product is up to date.
    progress : callable, optional
        As for :func:`Aerolume.processing.pipeline.process` (counts nights).
    command : str
        The command line, for the history attribute.
    source_root : str, optional
        As for :func:`Aerolume.processing.pipeline.write`.
    dependencies : sequence of path
        Files besides the raw ones a product is older than when they change (the
        configuration file, the sounding).

    Returns
    -------
    RunSummary
    """
    from Aerolume.processing.runners import InProcess

    start = time.perf_counter()
    runner = runner if runner is not None else InProcess()
    todo = [n for n in nights if overwrite or not up_to_date(n, dependencies)]
    skipped = [n for n in nights if n not in todo]
    threads = runner.threads(config["processing"]["threads"])
    written = []
    if todo:
        from Aerolume.processing.pipeline import _NoProgress
        bar = progress(len(todo), "processing", "nights") if progress else _NoProgress()
        with bar:
            results = runner.map(night_task, todo, config, threads, command, source_root,
                                 progress=lambda night: bar.advance(1))
        written = [r.value for r in results]
    for night in written:
        for category, message in night.warnings:
            if not _ignored(message, category, warnings.filters):
                warnings.warn(f"{night.date}: {message}", category, stacklevel=2)
    return RunSummary(written, skipped, time.perf_counter() - start,
                      getattr(runner, "description", "in this process"))
