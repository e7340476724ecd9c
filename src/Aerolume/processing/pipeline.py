"""The processing chain of ``aerolume process``: raw files to one product Dataset.

The work is cut into time blocks of consecutive raw files (:func:`plan`).  Each block is
one unit of work, :func:`process_block`: read, correct, crop, molecular atmosphere,
retrievals.  The blocks run in this process or on Dask workers (:mod:`Aerolume.processing.runners`);
either way the same function runs on the same blocks, so the products are the same bit
for bit.  ``aerolume process`` writes each block into the product file as it comes, in
time order, with the run's provenance (:func:`process_into`): the night is never whole in
memory.  :func:`process` joins the blocks in memory instead, for a caller that wants the
Dataset (then :func:`write`: the same file).

Before any block runs, :func:`prepare` checks the configuration against the data:
the corrections on the first file, the channels the retrievals name, the sounding file.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import datetime
import json
import math
import os
import pathlib
import threading
import time
import warnings
from collections.abc import Callable, Hashable, Sequence
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from Aerolume._typing import FloatArray
from Aerolume.errors import reason as _reason
from Aerolume.processing.config import Config, check_corrections
from Aerolume.processing.runners import InProcess, Stopwatch, TaskResult

if TYPE_CHECKING:
    import xarray as xr

    from Aerolume.processing._depolarization_run import Pair
    from Aerolume.processing.runners import OnDask, ProgressFactory

__all__ = ["plan", "prepare", "process", "process_into", "process_block", "write",
           "Settings", "Result", "Written",
           "read_sounding", "check_geometry"]

#: The largest sounding file :func:`read_sounding` reads (bytes): a high-resolution
#: radiosonde ascent of 1 s levels is under 1 MB.
SOUNDING_MAX_BYTES = 64 << 20
#: The most levels a sounding may have.
SOUNDING_MAX_LEVELS = 1_000_000

#: The stages whose time ``--profile`` reports, in order.
STAGES = ("reading", "corrections", "molecular", "retrievals", "writing")


# ---- what every block needs ---------------------------------------------------------

@dataclasses.dataclass
class Settings:
    """Everything a block needs, resolved once on the calling process (picklable).

    Attributes
    ----------
    errors : str
        ``"raise"`` or ``"skip"`` for unreadable raw files.
    corrections : dict
        Keyword arguments of :func:`Aerolume.preprocess.correct`.
    klett : dict
        The ``[klett]`` table, with ``channels`` resolved to channel ids.
    raman : list of dict
        The ``[[raman]]`` tables.
    uncertainty : dict
        The ``[uncertainty]`` table.
    atmosphere : dict
        ``line``, and ``sounding`` as arrays (altitude m, pressure Pa, temperature K) or None.
    station : dict
        ``altitude`` (m) and ``zenith_angle`` (deg) overriding the headers, or None.
    max_range : float
        Farthest range kept (m).
    threads : int
        Threads of the numerical core (0: all cores).
    quality : dict
        The ``[quality]`` table: the thresholds of the products' flags.
    depolarization : list
        The ``[[depolarization]]`` pairs with their calibration, made once per run
        (:mod:`Aerolume.processing._depolarization_run`).
    corrections_effective : dict
        The corrections as applied, with the values calibrated or estimated for the run.
    clouds, boundary_layer : dict
        The ``[clouds]`` and ``[boundary_layer]`` tables.
    """
    errors: Literal["raise", "skip"]
    corrections: dict[str, Any]
    klett: dict[str, Any]
    raman: list[dict[str, Any]]
    uncertainty: dict[str, Any]
    atmosphere: dict[str, Any]
    station: dict[str, Any]
    max_range: float
    threads: int
    corrections_effective: dict[str, Any] = dataclasses.field(default_factory=dict)
    quality: dict[str, Any] = dataclasses.field(default_factory=dict)
    clouds: dict[str, Any] = dataclasses.field(default_factory=dict)
    boundary_layer: dict[str, Any] = dataclasses.field(default_factory=dict)
    depolarization: list[Pair] = dataclasses.field(default_factory=list)
    channel_ids: list[str] | None = None
    #: how the corrections average in time (``step`` or ``interval``, for :func:`plan`)
    averaging: dict[str, Any] = dataclasses.field(default_factory=dict)


def read_sounding(path: str | os.PathLike[str]) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Reads a radiosonde text file: altitude (m a.s.l.), pressure (Pa), temperature (K).

    One level a line, values separated by commas or blanks; ``#`` starts a comment; a
    first line of column names is allowed.  Levels are sorted by altitude.

    Parameters
    ----------
    path : str or path
        The file.

    Returns
    -------
    altitude, pressure, temperature : ndarray
        Float64 arrays (m, Pa, K).

    Raises
    ------
    ValueError
        Naming the file and the line: a value that is not a number, not three columns,
        a non-positive pressure or temperature, repeated altitudes, fewer than two
        levels, more than :data:`SOUNDING_MAX_LEVELS` levels, or a file larger than
        :data:`SOUNDING_MAX_BYTES`.
    OSError
        The file cannot be read, or is not a regular file (a FIFO or a device is refused
        before it is opened).
    """
    path = pathlib.Path(path)
    rows: list[list[float]] = []
    from Aerolume._files import require_regular_file
    size = require_regular_file(path)
    if size > SOUNDING_MAX_BYTES:
        raise ValueError(f"{path}: {size} bytes, more than a sounding may have "
                         f"({SOUNDING_MAX_BYTES} bytes)")
    try:
        with open(path, encoding="utf-8") as f:
            # (No more than the bound is read, should the file grow meanwhile.)
            content = f.read(SOUNDING_MAX_BYTES + 1)
    except UnicodeDecodeError as err:
        raise ValueError(f"{path}: not a text file (UTF-8): {err.reason} at byte "
                         f"{err.start}") from None
    if len(content) > SOUNDING_MAX_BYTES:
        raise ValueError(f"{path}: more than a sounding may have ({SOUNDING_MAX_BYTES} bytes)")
    for number, line in enumerate(content.split("\n"), 1):
        text = line.split("#", 1)[0].replace(",", " ").split()
        if not text:
            continue
        try:
            values = [float(v) for v in text]
        except ValueError:
            if not rows and not any(_is_number(v) for v in text):
                continue  # column names
            raise ValueError(f"{path}: line {number}: not a number in {line.strip()[:80]!r}") \
                from None
        if len(values) != 3:
            raise ValueError(f"{path}: line {number}: {len(values)} values where three "
                             "are expected (altitude m, pressure Pa, temperature K)")
        if not all(math.isfinite(v) for v in values):
            raise ValueError(f"{path}: line {number}: values must be finite")
        if values[1] <= 0 or values[2] <= 0:
            raise ValueError(f"{path}: line {number}: pressure and temperature must be "
                             f"positive (Pa, K), got {values[1]:g} and {values[2]:g}")
        rows.append(values)
        if len(rows) > SOUNDING_MAX_LEVELS:
            raise ValueError(f"{path}: line {number}: more than {SOUNDING_MAX_LEVELS} "
                             "levels, more than a sounding may have")
    if len(rows) < 2:
        raise ValueError(f"{path}: a sounding needs at least two levels, found {len(rows)}")
    table = np.array(rows, dtype=np.float64)
    table = table[np.argsort(table[:, 0], kind="stable")]
    repeated = np.flatnonzero(np.diff(table[:, 0]) == 0)
    if repeated.size:
        raise ValueError(f"{path}: altitude {table[repeated[0], 0]:g} m appears twice")
    return table[:, 0].copy(), table[:, 1].copy(), table[:, 2].copy()


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


# ---- planning ---------------------------------------------------------------------------

def plan(files: Sequence[str | os.PathLike[str]], block: int, *, errors: str = "raise",
         threads: int = 0, step: int = 1, interval: float | None = None) -> list[list[str]]:
    """Cuts the raw files into time blocks of consecutive profiles.

    Only the headers are read.  Files are ordered by start time; each block holds `block`
    profiles, rounded up to a multiple of `step` (the time-averaging count), so that no
    average straddles two blocks.

    Parameters
    ----------
    files : sequence of str
        Raw files.
    block : int
        Profiles per block.
    errors : {"raise", "skip"}
        A file whose header cannot be read, or whose channel layout differs from the first
        file's, raises a ValueError naming it, or is left out with a warning naming it.
    threads : int
        Threads reading the headers (0: all cores).
    step : int
        Block lengths are multiples of this (averaging by a number of profiles).
    interval : float, optional
        Averaging by duration (s, intervals aligned to the epoch): blocks end only where
        a new interval starts, so no interval straddles two blocks.

    Returns
    -------
    list of list of str
        The blocks, in time order.
    """
    names = [os.fspath(f) for f in files]
    good, problems = _scan(names, threads)
    good.sort(key=lambda item: item[0])
    if good:
        first_path, layout = good[0][1], good[0][2]
        kept: list[str] = []
        starts: list[float] = []
        counts: list[int] = []
        ends: list[float] = []
        for start, path, key, count, end in good:
            if key != layout:
                problems.append((path, f"the channel layout differs from {first_path}'s", False))
            else:
                kept.append(path)
                starts.append(start)
                counts.append(count)
                ends.append(end)
    else:
        kept, starts, counts, ends = [], [], [], []
    if problems:
        lines = [f"{path}: {why}" for path, why, _ in problems]
        if errors == "raise":
            if len(problems) == 1:
                error = OSError if problems[0][2] else ValueError
                raise error(lines[0])
            raise ValueError(f"{len(problems)} of {len(names)} files cannot be read; "
                             f"{lines[0]} (and {len(problems) - 1} more)")
        from Aerolume.io.files import skipped_message
        warnings.warn(skipped_message(f"skipped {len(problems)} of {len(names)} files",
                                      problems), RuntimeWarning, stacklevel=2)
    if not kept:
        raise ValueError("none of the raw files can be read")
    if any(count != 1 for count in counts):
        return _blocks_of_files(kept, starts, ends, counts, block, step, interval)
    if interval is not None:
        # Cut at the first new averaging interval once a block holds enough profiles.
        interval_of = [math.floor(t / interval) for t in starts]
        blocks: list[list[str]] = []
        begin = 0
        for i in range(1, len(kept)):
            if i - begin >= block and interval_of[i] != interval_of[i - 1]:
                blocks.append(kept[begin:i])
                begin = i
        blocks.append(kept[begin:])
        return blocks
    size = max(step, -(-block // step) * step)
    return [kept[i:i + size] for i in range(0, len(kept), size)]


def check_geometry(files: Sequence[str | os.PathLike[str]], config: Config) -> None:
    """Checks the settings that depend on the range gates against the first readable
    file's header, before any work: an average over range that leaves fewer than
    :data:`MIN_GATES` gates, a ``[[raman]]`` window shorter than two (averaged) gates.

    Parameters
    ----------
    files : sequence of str or path
        The raw files of the run.
    config : Config
        The checked configuration.

    Raises
    ------
    ConfigError
        Naming the configuration file and the field.
    """
    from Aerolume import _core

    header = None
    for path in files:
        header = _core.licel_scan([os.fspath(path)], 1)[0][0]
        if header is not None:
            break
    if header is None or not header.sets:
        return  # (the reading reports it)
    bins = min(s.bins for s in header.sets)
    spacing = min(s.bin_width for s in header.sets)
    average = config["corrections"].get("average")
    merged = average.get("range") if isinstance(average, dict) else None
    if isinstance(merged, int) and not isinstance(merged, bool) and merged > 1:
        gates = -(-bins // merged)
        if gates < MIN_GATES:
            raise config.error("[corrections] average", f"range = {merged} bins leaves "
                               f"{gates} gate(s) of the {bins} bins of {os.fspath(path)}; "
                               f"at least {MIN_GATES} are needed")
        spacing *= merged
    for i, table in enumerate(config["raman"]):
        if table["window"] < 2 * spacing:
            raise config.error(f"[[raman]] #{i + 1} window", f"{table['window']:g} m spans "
                               f"fewer than 3 gates {spacing:g} m apart; at least "
                               f"{2 * spacing:g} m is needed")


#: The fewest range gates an average over range may leave.
MIN_GATES = 10


def _scan(files: list[str], threads: int
          ) -> tuple[list[tuple[float, str, Hashable, int, float]], list[tuple[str, str, bool]]]:
    """Each readable file as (first start s, path, layout key, profiles, last start s) and
    each unreadable one
    as (path, why, is_os_error).  The format is the first file's (Aerolume.io.dispatch.detect):
    Licel raw files by their headers, one profile each, their layout the one read_licel
    requires; netCDF files (PollyXT, ceilometers) by their times, several profiles each,
    their layout the one their reader requires."""
    from Aerolume import _core
    from Aerolume.io.licel import channel_layout
    from Aerolume.io.dispatch import detect, netcdf_profiles

    try:
        kind = detect(files[0]) if files else "licel"
    except (OSError, ValueError):
        kind = "licel"  # (the Licel scan names the file and what is wrong)
    good: list[tuple[float, str, Hashable, int, float]] = []
    problems: list[tuple[str, str, bool]] = []
    if kind == "licel":
        for path, (header, why, os_error) in zip(files, _core.licel_scan(files, threads)):
            if header is None:
                problems.append((path, why, os_error))
            else:
                good.append((header.start, path, channel_layout(header), 1, header.start))
        return good, problems
    for path in files:
        try:
            times, key = netcdf_profiles(path, kind)
        except FileNotFoundError as err:
            problems.append((path, _reason(err), True))
            continue
        except (OSError, ValueError) as err:
            problems.append((path, _reason(err), False))
            continue
        if times.size == 0:
            problems.append((path, "the file holds no profile", False))
            continue
        seconds = times.astype("datetime64[ns]").astype(np.int64) * 1e-9
        good.append((float(seconds.min()), path, key, int(times.size), float(seconds.max())))
    return good, problems


def _blocks_of_files(files: Sequence[str], starts: Sequence[float], ends: Sequence[float],
                     counts: Sequence[int], block: int, step: int, interval: float | None
                     ) -> list[list[str]]:
    """Blocks of whole files holding several profiles each: a block ends once it holds
    `block` profiles, where a whole number of `step` profiles (or a new averaging
    interval, given one) ends."""
    blocks: list[list[str]] = []
    current: list[str] = []
    held = 0
    for i, path in enumerate(files):
        if current and held >= block:
            whole = (math.floor(starts[i] / interval) != math.floor(ends[i - 1] / interval)
                     if interval is not None else held % step == 0)
            if whole:
                blocks.append(current)
                current, held = [], 0
        current.append(path)
        held += counts[i]
    blocks.append(current)
    return blocks


# ---- one block ----------------------------------------------------------------------------

def process_block(files: Sequence[str], settings: Settings, *,
                  stopwatch: Stopwatch | None = None) -> xr.Dataset:
    """Reads, corrects and retrieves one block of raw files.

    Parameters
    ----------
    files : sequence of str
        The block's raw files.
    settings : Settings
        What to do.
    stopwatch : Stopwatch, optional
        Receives the time of each stage.

    Returns
    -------
    xarray.Dataset
        The corrected signals on (time, channel, range), the molecular atmosphere of each
        channel, and the retrieved products (see :func:`process`).
    """
    watch = stopwatch if stopwatch is not None else Stopwatch()
    corrected, _ = _read_corrected(files, settings, watch=watch)
    watch.stage("molecular")
    from Aerolume.processing import _depolarization_run, products
    corrected = _depolarization_run.with_total(corrected, settings)
    altitude, zenith = _station(corrected, settings)
    molecular = products.molecular(corrected, settings, altitude, zenith)
    watch.stage("retrievals")
    product = products.retrieve(corrected, molecular, settings)
    product = _depolarization_run.block_products(product, settings)
    if corrected.attrs.get("title") == "ceilometer attenuated backscatter" and \
            not settings.klett["channels"]:
        from Aerolume.io.ceilometer import KLETT_SKIPPED
        product.attrs["klett_skipped"] = KLETT_SKIPPED
    watch.stage(None)
    return product


#: Raw files read and corrected at a time within a block: the raw signals, at full
#: resolution and range, are the largest arrays of a block's work (a block of 100 Licel
#: files of 16,380 bins and 7 channels, 92 MiB), while the products are made on the
#: block's corrected, cropped profiles whole.
READ_FILES = 25


def _pieces(files: list[str], settings: Settings) -> list[list[str]]:
    """The block's files cut into pieces of about READ_FILES, where the time averages
    begin (so that the pieces' corrected profiles are the block's, bit for bit); the
    block whole where files may be skipped (a piece with no readable file would fail
    where the block does not) or the block is small."""
    if len(files) <= READ_FILES or settings.errors != "raise":
        return [files]
    return plan(files, READ_FILES, threads=settings.threads, **settings.averaging)


def _read_corrected(files: Sequence[str], settings: Settings, *,
                    corrections: dict[str, Any] | None = None,
                    watch: Stopwatch | None = None) -> tuple[xr.Dataset, xr.DataArray]:
    """The raw files read and corrected a piece at a time (:func:`_pieces`; with
    `corrections` instead of the settings'), each piece cut at the maximum range, joined in
    time; and the corrections' whole range axis."""
    from Aerolume.preprocess import correct

    parts = []
    whole: xr.DataArray | None = None
    for piece in _pieces(list(files), settings):
        if watch is not None:
            watch.stage("reading")
        raw, kwargs = _read_raw(piece, settings, corrections)
        if watch is not None:
            watch.stage("corrections")
        corrected = _carry(raw, correct(raw, **kwargs, threads=settings.threads or None))
        del raw
        if whole is None:
            whole = corrected["range"]
        if math.isfinite(settings.max_range):
            corrected = corrected.sel(range=corrected["range"] <= settings.max_range)
        parts.append(corrected)
    assert whole is not None  # (a plan holds a file at least)
    return _joined_pieces(parts), whole


def _joined_pieces(parts: list[xr.Dataset]) -> xr.Dataset:
    """The corrected pieces of a block joined in time, the raw files they were read from
    listed in order."""
    if len(parts) == 1:
        return parts[0]
    sources = [f for part in parts for f in list(part.attrs.get("source_files", []))]
    joined = _join(parts)
    if sources:
        joined.attrs["source_files"] = sources
    return joined


def _read_raw(files: Sequence[str], settings: Settings,
              corrections: dict[str, Any] | None = None) -> tuple[xr.Dataset, dict[str, Any]]:
    """The raw Dataset of `files` in any format Aerolume reads, and the keyword arguments
    of the corrections for it: a ceilometer's attenuated backscatter becomes a signal
    (:func:`Aerolume.io.ceilometer.as_lidar_signal`) whose background the instrument
    has removed already (no background subtraction, dead time or gluing)."""
    from Aerolume.io.dispatch import read
    from Aerolume.io.ceilometer import as_lidar_signal, is_ceilometer

    corrections = dict(settings.corrections if corrections is None else corrections)
    raw = read(list(files), errors=settings.errors, threads=settings.threads or None,
               channel_ids=settings.channel_ids)
    if is_ceilometer(raw):
        raw = as_lidar_signal(raw)
        corrections.update(background=None, dead_time=None, glue=None, trigger_delay=None)
    return raw, corrections


def _carry(raw: xr.Dataset, corrected: xr.Dataset) -> xr.Dataset:
    """The per-profile variables the corrections do not know (a ceilometer's
    ``volume_depolarization``) carried into the corrected Dataset, averaged over the
    profiles each corrected profile spans when the corrections average in time."""
    names = [n for n in ("volume_depolarization",) if n in raw.data_vars]
    if not names:
        return corrected
    start = raw["time"].values
    begin = np.searchsorted(start, corrected["time"].values, side="left")
    keep = np.isin(corrected["range"].values, raw["range"].values)
    for name in names:
        values = np.asarray(raw[name].values, dtype=float)
        if np.array_equal(start, corrected["time"].values):
            out = values
        else:
            end = np.append(begin[1:], start.size)
            with np.errstate(invalid="ignore"), warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # (all-NaN slices: NaN)
                out = np.stack([np.nanmean(values[b:e], axis=0) for b, e in zip(begin, end)])
        columns = np.searchsorted(raw["range"].values, corrected["range"].values[keep])
        full = np.full((corrected.sizes["time"], corrected.sizes["range"]), np.nan)
        full[:, keep] = out[:, columns]
        corrected[name] = (("time", "range"), full, dict(raw[name].attrs))
    return corrected


def _station(ds: xr.Dataset, settings: Settings) -> tuple[float, float]:
    altitude = settings.station.get("altitude")
    zenith = settings.station.get("zenith_angle")
    if altitude is None:
        altitude = _header_value(ds, "altitude", "station_altitude")
    if zenith is None:
        zenith = _header_value(ds, "zenith_angle", "zenith_angle")
    return float(altitude), float(zenith)


def _header_value(ds: xr.Dataset, attr: str, coord: str) -> float:
    if attr in ds.attrs:
        return float(ds.attrs[attr])
    if coord not in ds.coords:
        raise ValueError(f"the raw files give no station {attr.replace('_', ' ')}; give it "
                         "in [station]")
    values = np.unique(np.asarray(ds[coord].values, dtype=float))
    if values.size != 1:
        raise ValueError(f"the raw files disagree on the station's {attr.replace('_', ' ')} "
                         f"({', '.join(f'{v:g}' for v in values)}); give it in [station]")
    return float(values[0])


# ---- the whole run ------------------------------------------------------------------------

@dataclasses.dataclass
class Result:
    """The product of a run, before writing.

    Attributes
    ----------
    dataset : xarray.Dataset
        Corrected signals, molecular atmosphere and retrieved products, joined in time.
    files : list of str
        The raw files processed, in time order.
    seconds : dict
        Time spent in each stage, summed over the blocks (s), and ``"wall"``.
    stopwatch : Stopwatch
        Times the writing stage.
    where : str
        Where the blocks ran (``"in this process"`` or the cluster).
    blocks : int
        The number of blocks.
    """
    dataset: xr.Dataset
    files: list[str]
    seconds: dict[str, float]
    stopwatch: Stopwatch
    where: str = "in this process"
    blocks: int = 0

    def profile_report(self) -> str:
        """Where the time went: each stage's seconds and share, and files per second."""
        return _profile_report(self.files, self.blocks, self.where, self.seconds,
                               self.stopwatch)


def _profile_report(files: Sequence[str], blocks: int, where: str,
                    seconds: dict[str, float], stopwatch: Stopwatch) -> str:
    seconds = dict(seconds)
    seconds.update(stopwatch.seconds)
    stages = [s for s in STAGES if s in seconds]
    total = sum(seconds[s] for s in stages)
    wall = seconds.get("wall", total) + stopwatch.seconds.get("writing", 0.0)
    lines = [f"processed {len(files)} files in {blocks} blocks {where}: "
             f"{wall:.3f} s, {len(files) / wall if wall > 0 else float('inf'):.1f} "
             "files/s"]
    for s in stages:
        share = seconds[s] / total if total > 0 else 0.0
        lines.append(f"  {s:<12} {seconds[s]:9.3f} s  {share:6.1%}")
    lines.append("  (stage times are summed over the blocks; on several workers they "
                 "add up to more than the wall time)")
    return "\n".join(lines) + "\n"


@dataclasses.dataclass
class Prepared:
    """A run checked and planned, not started: see :func:`prepare`."""
    config: Config
    settings: Settings
    started: float

    @property
    def averaging(self) -> dict[str, Any]:
        """How the corrections average in time (``step`` or ``interval``, for
        :func:`plan`)."""
        return dict(self.settings.averaging)


def prepare(files: Sequence[str], config: Config) -> Prepared:
    """Checks the configuration against the data before any real work.

    Reads the first readable raw file, applies the corrections to it, and resolves the
    retrievals' channels, so that a wrong correction parameter or channel id fails in a
    moment, naming the configuration file and field, rather than after the night's work
    or a cluster's start-up.

    Parameters
    ----------
    files : sequence of str
        The raw files of the run.
    config : Config
        The checked configuration.

    Returns
    -------
    Prepared
        The run checked and planned: its configuration, the settings every block gets
        and the averaging, not started.

    Raises
    ------
    ConfigError
        The configuration does not fit the data.
    ValueError, OSError
        A raw file or the sounding file cannot be read.
    """
    start = time.perf_counter()
    settings = _settings([os.fspath(f) for f in files], config)
    return Prepared(config, settings, start)


@dataclasses.dataclass
class Written:
    """A product written by :func:`process_into`.

    Attributes
    ----------
    path : pathlib.Path
        The file written.
    files : list of str
        The raw files processed, in time order.
    seconds : dict
        As for :class:`Result`.
    stopwatch : Stopwatch
        The writing stage.
    where : str
        Where the blocks ran.
    blocks : int
        The number of blocks.
    profiles : int
        The product's profiles (its ``time``).
    """
    path: pathlib.Path
    files: list[str]
    seconds: dict[str, float]
    stopwatch: Stopwatch
    where: str
    blocks: int
    profiles: int

    def profile_report(self) -> str:
        """Where the time went: each stage's seconds and share, and files per second."""
        return _profile_report(self.files, self.blocks, self.where, self.seconds,
                               self.stopwatch)

    def summary(self) -> str:
        """The product's quality in one line per retrieval and channel
        (:func:`Aerolume.quality.product_summary`), read from the file."""
        import xarray as xr

        from Aerolume import quality

        with xr.open_dataset(self.path, engine="netcdf4") as ds:
            return quality.product_summary(ds)


@dataclasses.dataclass
class _Run:
    """A run planned: its configuration, the settings every block gets, the blocks and
    where they run."""
    config: Config
    settings: Settings
    blocks: list[list[str]]
    runner: InProcess | OnDask
    started: float

    @classmethod
    def start(cls, files: Sequence[str], config: Config | Prepared,
              runner: InProcess | OnDask | None) -> _Run:
        files = [os.fspath(f) for f in files]
        runner = runner if runner is not None else InProcess()
        prepared = config if isinstance(config, Prepared) else prepare(files, config)
        settings = dataclasses.replace(prepared.settings)
        settings.threads = runner.threads(settings.threads)
        blocks = plan(files, prepared.config["processing"]["block"], errors=settings.errors,
                      threads=settings.threads, **settings.averaging)
        return cls(prepared.config, settings, blocks, runner, prepared.started)

    @property
    def where(self) -> str:
        return str(getattr(self.runner, "description", "in this process"))

    def attrs(self, first: dict[str, Any], files: Sequence[str], command: str
              ) -> dict[str, Any]:
        """The product's attributes: the first block's, with the run's provenance (the
        blocks' history first)."""
        out = dict(first)
        history = str(out.get("history", "")).strip()
        out.update(_provenance(self.config, self.settings, files, command))
        if history:
            out["history"] = history + "\n" + out["history"]
        return out

    def seconds(self, results: Sequence[TaskResult]) -> dict[str, float]:
        """Each stage's time summed over the blocks, and the run's wall time."""
        seconds: dict[str, float] = {}
        for r in results:
            for stage, value in r.seconds.items():
                seconds[stage] = seconds.get(stage, 0.0) + value
        seconds["wall"] = time.perf_counter() - self.started
        return seconds


def _bar(progress: ProgressFactory | None, blocks: Sequence[Sequence[str]]
         ) -> contextlib.AbstractContextManager[Any]:
    total = sum(len(b) for b in blocks)
    return progress(total, "processing", "files") if progress else _NoProgress()


def process(files: Sequence[str], config: Config | Prepared, *,
            runner: InProcess | OnDask | None = None,
            progress: ProgressFactory | None = None, command: str = "") -> Result:
    """Runs the whole chain on raw files, the product joined in memory.

    Parameters
    ----------
    files : sequence of str
        Raw files (checked to exist by the caller).
    config : Config or Prepared
        The checked configuration, or what :func:`prepare` made of it.
    runner : InProcess or OnDask, optional
        Where the blocks run; in this process by default.
    progress : callable, optional
        ``progress(total, label, unit)`` returning a context manager with ``advance()``
        (:class:`Aerolume.cli.progress.Progress`).
    command : str
        The command line, for the history attribute.

    Returns
    -------
    Result

    Raises
    ------
    ConfigError
        The configuration does not fit the data (a correction parameter, a channel id).
    ValueError, OSError
        A raw file or the sounding file cannot be read.

    See Also
    --------
    process_into : the same product written to a file as the blocks come, never whole in
        memory.
    """
    from Aerolume.processing import pipeline as here  # (as patched, and by reference)

    run = _Run.start(files, config, runner)
    with _bar(progress, run.blocks) as bar:
        results = run.runner.map(here.process_block, run.blocks, run.settings,
                                 progress=lambda block: bar.advance(len(block)))
    parts = [r.value for r in results]
    for r in results:
        r.value = None  # (the parts alone hold the blocks: the join lets them go)
    # The files read, as each block's reader kept them (a file skipped there is not one).
    ordered = [str(f) for part in parts for f in list(part.attrs.get("source_files", []))]
    dataset = _join(parts)
    dataset.attrs = run.attrs(dataset.attrs, ordered, command)
    return Result(dataset, ordered, run.seconds(results), Stopwatch(), run.where,
                  len(run.blocks))


def process_into(files: Sequence[str], config: Config | Prepared,
                 path: str | os.PathLike[str], *, runner: InProcess | OnDask | None = None,
                 progress: ProgressFactory | None = None, command: str = "",
                 source_root: str | os.PathLike[str] | None = None) -> Written:
    """Runs the whole chain on raw files and writes the product to `path` block by
    block, in time order, as the blocks come: the file is :func:`process` then
    :func:`write`'s, values, types and attributes, but the product is never whole in
    memory (one block and one chunk of the file's profiles at a time, however long the
    night).  `path` is replaced only once the file is complete.

    Parameters
    ----------
    files, config, runner, progress, command
        As for :func:`process`.
    path : str or path
        The netCDF file to write.
    source_root : str or path, optional
        As for :func:`write`.

    Returns
    -------
    Written

    Raises
    ------
    ConfigError, ValueError, OSError
        As for :func:`process`; an OSError naming `path` where it cannot be written; a
        ValueError where a block differs from the first in more than its times (other
        variables or range gates).
    """
    from Aerolume._files import atomic_output, write_error
    from Aerolume.io.netcdf import BlockWriter
    from Aerolume.processing import pipeline as here  # (as patched, and by reference)

    run = _Run.start(files, config, runner)
    target = pathlib.Path(path)
    watch = Stopwatch()
    ordered: list[str] = []
    stop = threading.Event()
    last: concurrent.futures.Future[None] | None = None
    # The raw files' digests run on a thread of their own beside the blocks' work (hashing
    # lets the interpreter go).  Blocks made on Dask's workers are written on another,
    # beside the wait for the next; blocks made here are written here, as each comes:
    # written beside, a block would be held while the next is made (on 300 files, a third
    # more resident memory, for 1 % of the time), and the HDF5 library under the netCDF
    # readers and the writer may not be called from two threads at once.  The blocks
    # reach the file one at a time, in time order.
    beside = not isinstance(run.runner, InProcess)
    with atomic_output(target) as temporary, \
            concurrent.futures.ThreadPoolExecutor(2, thread_name_prefix="aerolume") as pool:
        writer = BlockWriter(temporary,
                             encoding=lambda block: compression_encoding(block, run.config))
        digests = pool.submit(_digests, [f for block in run.blocks for f in block], stop)

        def written(action: Callable[[], None]) -> None:
            watch.stage("writing")
            try:
                action()
            except (OSError, RuntimeError) as err:
                raise write_error(err, target) from err
            finally:
                watch.stage(None)

        def consume(block: xr.Dataset) -> None:
            nonlocal last
            ordered.extend(str(f) for f in list(block.attrs.get("source_files", [])))
            if not beside:
                written(lambda: writer.append(block))
                return
            if last is not None:
                last.result()  # (the block before, written; its failure raised here)
            last = pool.submit(written, lambda: writer.append(block))

        try:
            with _bar(progress, run.blocks) as bar:
                results = run.runner.map(here.process_block, run.blocks, run.settings,
                                         progress=lambda block: bar.advance(len(block)),
                                         consume=consume)
            if last is not None:
                last.result()
            watch.stage("writing")
            root = _source_root(source_root, ordered)
            attrs = _file_attrs(run.attrs(writer.attrs, ordered, command), ordered, root,
                                digests.result())
            watch.stage(None)
            written(lambda: writer.close(attrs, source_root=root))
        finally:
            stop.set()
            if last is not None:
                concurrent.futures.wait([last])
            writer.abandon()
    return Written(target, ordered, run.seconds(results), watch, run.where, len(run.blocks),
                   writer.profiles)


def _digests(files: Sequence[str], stop: threading.Event) -> dict[str, str]:
    """Each file's SHA-256 (:func:`Aerolume.metadata.file_digest`) by its absolute path,
    until `stop` is set."""
    from Aerolume.metadata import file_digest

    out: dict[str, str] = {}
    for f in files:
        if stop.is_set():
            break
        out[os.path.abspath(f)] = file_digest(f)
    return out


class _NoProgress:
    def __enter__(self) -> _NoProgress:
        return self

    def __exit__(self, *exc: object) -> None:
        pass

    def advance(self, count: int = 1) -> None:
        pass


def _settings(files: Sequence[str], config: Config) -> Settings:
    """Resolves the configuration against the first readable file, before any real work.

    Returns the settings, with how the corrections average in time (``averaging``: the
    keyword arguments of :func:`plan` that keep averages whole)."""
    from Aerolume import preprocess

    corrections = check_corrections(config, preprocess.correct)
    if config["corrections"].get("range_correction"):
        raise config.error("[corrections] range_correction", "the retrievals take the signal "
                           "without the range correction (the quicklook applies it); remove it")
    sounding = None
    if config["atmosphere"]["sounding"] is not None:
        path = config.resolve(config["atmosphere"]["sounding"])
        try:
            sounding = read_sounding(path)
            from Aerolume.atmosphere import sounding as make_sounding
            make_sounding(*sounding)  # its own checks (units, levels) before any work
        except FileNotFoundError:
            raise config.error("[atmosphere] sounding", f"no such file {str(path)!r}") from None
        except (OSError, ValueError) as err:
            text = str(err)
            if not text.startswith(str(path)):
                text = f"{path}: {text}"
            raise config.error("[atmosphere] sounding", text) from None
    processing = config["processing"]
    settings = Settings(
        errors=config["input"]["errors"], corrections=dict(config["corrections"]),
        klett=dict(config["klett"]), raman=[dict(r) for r in config["raman"]],
        uncertainty=dict(config["uncertainty"]),
        atmosphere={"line": config["atmosphere"]["line"], "sounding": sounding,
                    "sounding_file": str(config.resolve(config["atmosphere"]["sounding"]))
                    if sounding is not None else None},
        station=dict(config["station"]), max_range=processing["max_range"],
        threads=processing["threads"], corrections_effective=corrections,
        quality=dict(config["quality"]), clouds=dict(config["clouds"]),
        boundary_layer=dict(config["boundary_layer"]),
        channel_ids=config["input"].get("channel_ids"))

    # Calibrations made once per run on the night (the blocks cannot: each sees a part):
    # the overlap is estimated after the other corrections, so it waits.
    overlap_request = _overlap_request(settings, config)

    # The corrections on the first file that reads: a wrong value fails here, naming the
    # configuration, rather than in the middle of the night's work.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        first: xr.Dataset | None = None
        for name in files:
            try:
                first, first_corrections = _read_raw(
                    [name], dataclasses.replace(settings, errors="raise"))
                break
            except (OSError, ValueError):
                if settings.errors == "raise":
                    raise
        if first is None:
            raise ValueError("none of the raw files can be read")
        try:
            with warnings.catch_warnings(record=True) as drift_warnings:
                warnings.simplefilter("always")
                if "background" not in first_corrections or first_corrections["background"]:
                    preprocess.background_drift(
                        first, corrections.get("background", "far"),
                        trigger_delay=corrections.get("trigger_delay"))
            corrected = _carry(first, preprocess.correct(first, **_without_auto(first_corrections)))
        except (TypeError, ValueError) as err:
            raise config.error("[corrections]", str(err)) from None
    sample_files = calibration_files(files, settings)
    sample = _night_sample(sample_files, settings)
    _calibrate_dead_time(sample, settings, config)
    del sample  # (the overlap's estimate reads its files again, a piece at a time)
    from Aerolume.processing import _depolarization_run, products
    # The [[depolarization]] pairs checked and calibrated once for the run.
    corrected = _depolarization_run.prepare(config, settings, corrected, files)
    products.resolve_channels(corrected, settings, config)
    if first.attrs.get("title") == "ceilometer attenuated backscatter" and \
            config["klett"]["channels"] == "auto":
        settings.klett["channels"] = []  # (the product says why: see process_block)
    _choose_atmosphere(settings, config, first, *_station(corrected, settings))
    # The molecular atmosphere along this beam: a sounding that starts above the station,
    # or a station altitude outside the atmosphere, fails here.
    if math.isfinite(settings.max_range):
        corrected = corrected.sel(range=corrected["range"] <= settings.max_range)
    try:
        products.molecular(corrected, settings, *_station(corrected, settings))
    except ValueError as err:
        where = "[atmosphere] sounding" if sounding is not None else "[station]"
        raise config.error(where, str(err)) from None
    settings.averaging = _averaging(corrected)
    if overlap_request is not None:
        settings.corrections["overlap"] = _estimate_overlap(sample_files, settings, config,
                                                            overlap_request)
    for warning in drift_warnings:  # once for the run (not once per block), all checks done
        warnings.warn(str(warning.message), RuntimeWarning, stacklevel=3)
    return settings


def _choose_atmosphere(settings: Settings, config: Config, raw: xr.Dataset, altitude: float,
                       zenith: float) -> None:
    """Puts the molecular atmosphere of the run into `settings.atmosphere` as sounding
    levels (``sounding``) with a description (``source``): the sounding extended down to
    the instrument when it starts a little above it, the standard atmosphere scaled to the
    surface air of the first raw file's header, or a climatology; warns when the unscaled
    standard atmosphere serves a site far from mid-latitudes."""
    from Aerolume.atmosphere import climatologies as climatology

    model = config["atmosphere"]["model"]
    sounding = settings.atmosphere["sounding"]
    if sounding is not None:
        settings.atmosphere["source"] = settings.atmosphere["sounding_file"]
        if sounding[0][0] > altitude:
            try:
                level_altitude, level_pressure, level_temperature = sounding
                settings.atmosphere["sounding"] = climatology.extend_levels_down(
                    level_altitude, level_pressure, level_temperature, altitude)
            except ValueError as err:
                raise config.error("[atmosphere] sounding", str(err)) from None
            warnings.warn(f"{config.name}: [atmosphere] sounding: the lowest level "
                          f"({sounding[0][0]:g} m) is above the instrument ({altitude:g} m); "
                          "extended down hydrostatically", UserWarning, stacklevel=3)
        return
    surface = {}
    for name in ("temperature", "pressure"):
        values = np.asarray(raw[name].values, dtype=float) if name in raw.variables \
            else np.array([np.nan])
        surface[name] = float(np.nanmean(values)) if np.isfinite(values).any() \
            else float("nan")
    if model == "auto":
        plausible = (200.0 <= surface["temperature"] <= 340.0
                     and 50_000.0 <= surface["pressure"] <= 110_000.0
                     and -500.0 <= altitude <= 5000.0)
        model = "standard_scaled" if plausible else "us1976"
    if model == "standard_scaled":
        try:
            levels = climatology.scaled_standard_levels(altitude, surface["temperature"],
                                                        surface["pressure"])
        except ValueError as err:
            raise config.error("[atmosphere] model", f"standard_scaled needs the surface air "
                               f"from the raw headers: {err}") from None
        settings.atmosphere["sounding"] = levels
        settings.atmosphere["source"] = (
            f"US Standard Atmosphere 1976 scaled to {surface['temperature']:.2f} K and "
            f"{surface['pressure'] / 100:.1f} hPa at {altitude:g} m (raw file header)")
        return
    if model in climatology.CLIMATOLOGIES:
        settings.atmosphere["sounding"] = climatology.climatology_levels(model)
        settings.atmosphere["source"] = f"AFGL {model.replace('_', ' ')} atmosphere (1986)"
        return
    settings.atmosphere["source"] = "US Standard Atmosphere 1976"
    latitude = np.asarray(raw["latitude"].values, dtype=float) if "latitude" in raw.variables \
        else np.array([float(raw.attrs.get("latitude", np.nan))])
    if np.isfinite(latitude).any() and abs(abs(float(np.nanmean(latitude))) - 45.0) > 30.0:
        warnings.warn(f"{config.name}: [atmosphere]: the US Standard Atmosphere 1976 is a "
                      f"mid-latitude atmosphere and the site is at "
                      f"{float(np.nanmean(latitude)):g} deg latitude; give a sounding or "
                      'model = "standard_scaled" (or a climatology)', UserWarning, stacklevel=3)


#: Most raw files read (spread over the night) for the calibrations made once per run, and
#: the fewest (where the night has as many): a tenth of the night's files between the two,
#: so that the calibrations' sample, at full resolution and range (about 0.6 MiB a Licel
#: file, against about 0.1 MiB of product), stays below the night's product but on the
#: shortest nights.
CALIBRATION_FILES = 60
CALIBRATION_MIN_FILES = 20


def calibration_files(files: Sequence[str], settings: Settings) -> list[str]:
    """The raw files the calibrations made once per run read, in time order: a tenth of
    the night's (at least CALIBRATION_MIN_FILES, at most CALIBRATION_FILES) spread evenly
    over it."""
    ordered = [f for block in plan(files, 10 ** 9, errors=settings.errors,
                                   threads=settings.threads) for f in block]
    count = min(CALIBRATION_FILES, max(CALIBRATION_MIN_FILES, len(ordered) // 10))
    if len(ordered) > count:
        pick = np.unique(np.round(np.linspace(0, len(ordered) - 1, count)))
        ordered = [ordered[int(i)] for i in pick]
    return ordered

_OVERLAP_KEYS = ("method", "elastic", "raman", "lidar_ratio", "angstrom",
                 "lidar_ratio_uncertainty", "angstrom_uncertainty", "tolerance")


def _without_auto(corrections: dict[str, Any]) -> dict[str, Any]:
    """The corrections with the once-per-run calibrations left out (for a quick check)."""
    out = dict(corrections)
    dead = out.get("dead_time")
    if dead == "auto":
        out["dead_time"] = None
    elif isinstance(dead, dict):
        out["dead_time"] = {c: (0.0 if v == "auto" else v) for c, v in dead.items()}
    if isinstance(out.get("overlap"), (str, dict)) and out.get("overlap") != "" and \
            _is_raman(out.get("overlap")):
        out["overlap"] = None
    return out


def _is_raman(value: object) -> bool:
    return value == "raman" or (isinstance(value, dict) and value.get("method") == "raman")


def _overlap_request(settings: Settings, config: Config) -> dict[str, Any] | None:
    """The ``[corrections] overlap`` field: a Raman estimate's options (dict), or None with
    a file path resolved against the configuration's folder."""
    value = settings.corrections.get("overlap")
    where = "[corrections] overlap"
    if value is None:
        return None
    if isinstance(value, str) and value != "raman":
        path = config.resolve(value)
        if not path.is_file():
            raise config.error(where, f"no such file {str(path)!r}")
        from Aerolume.preprocess import read_overlap
        try:
            settings.corrections["overlap"] = read_overlap(path)
        except (OSError, ValueError) as err:
            raise config.error(where, str(err)) from None
        return None
    if not _is_raman(value):
        if isinstance(value, dict):
            raise config.error(where, "a table must have method = \"raman\"")
        return None
    options: dict[str, Any] = {"method": "raman"} if value == "raman" else dict(value)
    unknown = sorted(set(options) - set(_OVERLAP_KEYS))
    if unknown:
        raise config.error(where, f"unknown key(s) {unknown}; known: {', '.join(_OVERLAP_KEYS)}")
    if "elastic" not in options or "raman" not in options:
        if not settings.raman:
            raise config.error(where, "overlap = \"raman\" needs a [[raman]] table (or "
                               "elastic and raman channels in the overlap table)")
        options.setdefault("elastic", settings.raman[0]["elastic"])
        options.setdefault("raman", settings.raman[0]["raman"])
        options.setdefault("angstrom", settings.raman[0]["angstrom"])
    for key in ("lidar_ratio", "angstrom", "lidar_ratio_uncertainty", "angstrom_uncertainty",
                "tolerance"):
        if key in options and (isinstance(options[key], bool) or
                               not isinstance(options[key], (int, float))
                               or not math.isfinite(options[key])):
            raise config.error(f"{where} {key}", f"must be a number, got {options[key]!r}")
    for key in ("lidar_ratio", "tolerance"):
        if key in options and not options[key] > 0:
            raise config.error(f"{where} {key}", f"must be positive, got {options[key]!r}")
    settings.corrections["overlap"] = None
    return options


def _night_sample(files: Sequence[str], settings: Settings) -> xr.Dataset | None:
    """The calibration files (:func:`calibration_files`) read for the dead time's
    calibration, or None when it has none to make.  The counts as recorded (``raw``) are
    let go: the calibration reads the signals."""
    if settings.corrections.get("dead_time") is None:
        return None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        sample = _read_raw(files, settings)[0]
    return sample.drop_vars([v for v in ("raw",) if v in sample.variables])


def _calibrate_dead_time(sample: xr.Dataset | None, settings: Settings, config: Config
                         ) -> None:
    """``dead_time = "auto"`` (for all or some channels): calibrated once on the night's
    sample, the values (with their uncertainties) passed to every block; a configured
    number is checked there (a warning where the relation stays curved)."""
    from Aerolume import preprocess

    dead = settings.corrections.get("dead_time")
    if sample is None or dead is None:
        return
    options = dict(settings.corrections.get("dead_time_calibration") or {})
    asked = bool(options.pop("check", False))
    if settings.corrections.get("dead_time_calibration") is not None:
        # checked here, once: the blocks need not (and would warn once each)
        settings.corrections["dead_time_calibration"] = dict(options)
    model = settings.corrections.get("dead_time_model", "non_paralysable")
    where = "[corrections] dead_time"
    channels = [str(c) for c in sample.channel.values]
    mode = [str(m) for m in sample.detection_mode.values]
    try:
        if dead == "auto" or isinstance(dead, dict):
            wanted = [c for c in channels if mode[channels.index(c)] == "photon_counting"] \
                if dead == "auto" else [c for c, v in dead.items() if v == "auto"]
            if wanted:
                fits = preprocess.calibrate_channels(sample, model=model, channels=wanted,
                                                     **options)
                resolved = dict(dead) if isinstance(dead, dict) else {}
                resolved.update(fits)
                settings.corrections["dead_time"] = resolved
                return
        configured = {c: float(dead[c] if isinstance(dead, dict) else dead)
                      for c in channels if mode[channels.index(c)] == "photon_counting"
                      and (not isinstance(dead, dict) or c in dead)
                      and preprocess._has_twin(sample, c)}
        if configured:
            # a configured value is checked on the night: a warning where it leaves the
            # relation curved (and, if asked with check = true, where it cannot be checked)
            preprocess.calibrate_channels(sample, model=model, check=configured,
                                          warn_refused=asked, **options)
    except (TypeError, ValueError) as err:
        raise config.error(where, str(err)) from None


def _estimate_overlap(files: Sequence[str], settings: Settings, config: Config,
                      options: dict[str, Any]) -> xr.Dataset:
    """``overlap = "raman"``: the overlap estimated once on the mean signal of the
    calibration `files`, after the other corrections; an estimate the data do not support
    is a warning and is not applied (its full-overlap height is still recorded)."""
    from Aerolume import preprocess
    from Aerolume.processing import products

    where = "[corrections] overlap"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        corrected, whole = _read_corrected(
            files, settings, corrections=dict(settings.corrections, overlap=None))
    ids = [str(c) for c in corrected["channel"].values]
    for key in ("elastic", "raman"):
        if options[key] not in ids:
            raise config.error(f"{where} {key}", f"no channel {options[key]!r} after the "
                               f"corrections (channels: {', '.join(ids)})")
    molecular = products.molecular(corrected, settings, *_station(corrected, settings))
    e, r = options["elastic"], options["raman"]
    mol_e = {k: molecular[k].sel(channel=e).values for k in ("alpha_m", "beta_m")}
    mol_r = {"alpha_m": molecular["alpha_m"].sel(channel=r).values,
             "number_density": molecular["molecular_number_density"].values}
    inside = np.isfinite(mol_e["beta_m"])
    rng = corrected["range"].values
    kwargs = {k: options[k] for k in ("lidar_ratio", "angstrom", "lidar_ratio_uncertainty",
                                      "angstrom_uncertainty", "tolerance") if k in options}
    search = settings.klett.get("reference_search", (4000.0, 15000.0))
    estimate = preprocess.estimate_overlap(
        corrected["signal"].sel(channel=e).values[:, inside],
        corrected["signal"].sel(channel=r).values[:, inside], rng[inside],
        {k: v[inside] for k, v in mol_e.items()}, {k: v[inside] for k, v in mol_r.items()},
        weights=corrected["shots"].sel(channel=e).values,
        noise=corrected["signal_noise"].sel(channel=e).values[:, inside],
        raman_noise=corrected["signal_noise"].sel(channel=r).values[:, inside],
        reference_search=tuple(search),
        reference_width=settings.klett.get("reference_width", 1000.0),
        wavelength=float(corrected["wavelength"].sel(channel=e)),
        raman_wavelength=float(corrected["wavelength"].sel(channel=r)),
        threads=settings.threads or None, **kwargs)
    estimate.attrs.update(elastic_channel=e, raman_channel=r,
                          method="raman: " + estimate.attrs["method"],
                          files_used=len(corrected.attrs.get("source_files", files)))
    # onto the corrections' whole range axis: complete beyond the estimate's range
    values = np.full(whole.size, np.nan)
    sd = np.full(whole.size, np.nan)
    n = int(inside.sum())
    values[:n], sd[:n] = estimate["overlap"].values, estimate["overlap_uncertainty"].values
    if math.isfinite(float(estimate["full_overlap_height"])):
        values[n:], sd[n:] = 1.0, 0.0
    out = estimate.drop_vars(["overlap", "overlap_uncertainty", "overlap_flag", "range"])
    out = out.assign_coords(range=whole.values)
    out["overlap"] = ("range", values, estimate["overlap"].attrs)
    out["overlap_uncertainty"] = ("range", sd, estimate["overlap_uncertainty"].attrs)
    return out


def _averaging(corrected: xr.Dataset) -> dict[str, Any]:
    """How the corrections average in time, from their own record: ``step`` (profiles per
    average) or ``interval`` (s, aligned to the epoch), for :func:`plan`."""
    try:
        steps = json.loads(corrected.attrs.get("corrections", "[]"))
    except (TypeError, ValueError):
        steps = []
    for step in steps if isinstance(steps, list) else []:
        if isinstance(step, dict) and step.get("step") == "average_time":
            if "profiles" in step:
                return {"step": int(step["profiles"])}
            if "interval_s" in step:
                return {"interval": float(step["interval_s"])}
    return {}


def _join(parts: list[xr.Dataset]) -> xr.Dataset:
    """The blocks' Datasets joined in time; what does not depend on time from the first.

    `parts` is emptied as it goes: each block's share of a variable is let go once that
    variable is joined, so the join needs the product's size once more than the blocks
    hold, one variable at a time, rather than twice."""
    import xarray as xr

    if len(parts) == 1:
        return parts.pop()
    joined = _join_releasing(parts)
    if joined is not None:
        return joined
    timed = [name for name, v in parts[0].variables.items() if "time" in v.dims]
    static = parts[0].drop_vars(timed)
    untimed = [name for name in static.variables if name not in static.dims]
    joined = xr.concat([p.drop_vars(untimed) for p in parts], dim="time", data_vars="all",
                       coords="minimal", compat="equals", join="exact",
                       combine_attrs="override")
    return xr.merge([joined, static], compat="override", join="exact",
                    combine_attrs="override")


def _join_releasing(parts: list[xr.Dataset]) -> xr.Dataset | None:
    """The join of :func:`_join` variable by variable, releasing the blocks' arrays as it
    goes (the same Dataset as xarray's concat then merge); None, leaving `parts` as they
    are, where the blocks differ in anything but their times (variables, dimensions,
    types, the other coordinates), for xarray to join or to refuse."""
    import xarray as xr

    first = parts[0]
    timed = [name for name, v in first.variables.items() if "time" in v.dims]
    for part in parts[1:]:
        if list(part.variables) != list(first.variables):
            return None
        for name, v in part.variables.items():
            w = first.variables[name]
            if v.dims != w.dims or v.dtype != w.dtype:
                return None
            if name not in timed and name in first.indexes and \
                    not v.equals(w):
                return None
    static = first.drop_vars(timed)
    joined: dict[Hashable, xr.Variable] = {}
    for name in timed:
        v = first.variables[name]
        axis = v.dims.index("time")
        data = np.concatenate([p.variables[name].values for p in parts], axis=axis)
        joined[name] = xr.Variable(v.dims, data, v.attrs, v.encoding)
        for i, part in enumerate(parts):
            parts[i] = part.drop_vars([name])
    # (xarray keeps the dimensions' coordinates with the joined variables, in the first
    # block's order)
    coords = {n: joined.pop(n) if n in joined else first.variables[n]
              for n in first.variables if n in first.coords and (n in timed or n in first.dims)}
    parts.clear()
    out = xr.Dataset(joined, coords=coords, attrs=first.attrs)
    # (the order of xarray's concat then merge: the joined variables, then the others)
    return xr.merge([out, static], compat="override", join="exact",
                    combine_attrs="override")


def _provenance(config: Config, settings: Settings, files: Sequence[str], command: str
                ) -> dict[str, Any]:
    from Aerolume.io import package_version

    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    effective = json.loads(config.effective())
    effective["corrections"] = _plain(settings.corrections_effective)
    effective["klett"]["channels_used"] = list(settings.klett["channels"])
    return {
        "Conventions": "CF-1.8",
        "title": "lidar signals and aerosol products",
        "aerolume_version": package_version(),
        "processed_at": now,
        "history": f"{now} {command or 'aerolume process'} (Aerolume {package_version()})",
        "configuration_file": str(config.source) if config.source is not None else "",
        "configuration": config.text,
        "configuration_effective": json.dumps(effective, sort_keys=True),
        "source_files": [os.path.abspath(f) for f in files],
    }


def _plain(value: object) -> object:
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, (np.generic,)):
        return value.item()
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return repr(value)


# ---- writing ------------------------------------------------------------------------------

def write(result: Result, path: str | os.PathLike[str], config: Config, *,
          stopwatch: Stopwatch | None = None,
          source_root: str | os.PathLike[str] | None = None) -> pathlib.Path:
    """Writes the product to netCDF-4 (CF-1.8), replacing `path` only once the file is
    complete.

    Variables are compressed as ``[output]`` says (:func:`compression_encoding`).  The
    file is first
    written beside `path` under a temporary name and renamed, so a failure never leaves
    a truncated product or destroys the previous one.

    The provenance names no folder of the processing machine: ``source_files`` and
    ``configuration_file`` are relative to `source_root` (default: the common folder of
    the raw files), ``source_file_sha256`` identifies each raw file by its bytes, and the
    file gets its own ``uuid``.

    Parameters
    ----------
    result : Result
        The run's product, from :func:`process`.
    path : str or path
        The netCDF file to write.
    config : Config
        The run's configuration (compression, provenance).
    stopwatch : Stopwatch, optional
        Times the writing.
    source_root : str or path, optional
        The folder the provenance's paths are relative to.

    Returns
    -------
    pathlib.Path
        The file written.
    """
    from Aerolume._files import write_atomically
    from Aerolume.io import to_netcdf

    watch = stopwatch if stopwatch is not None else Stopwatch()
    watch.stage("writing")
    path = pathlib.Path(path)
    ds = result.dataset.copy(deep=False)
    encoding = compression_encoding(ds, config)
    try:
        files = [str(f) for f in result.files]
        root = _source_root(source_root, files)
        ds.attrs = _file_attrs(ds.attrs, files, root)
        write_atomically(path, lambda temporary: to_netcdf(ds, temporary, source_root=root,
                                                           encoding=encoding))
    finally:
        watch.stage(None)
    return path


def _source_root(source_root: str | os.PathLike[str] | None, files: Sequence[str]) -> str:
    """The folder the provenance's paths are relative to: `source_root`, or the common
    folder of the raw files."""
    from Aerolume.metadata import common_root

    return os.path.abspath(source_root) if source_root is not None else common_root(files)


def _file_attrs(attrs: dict[str, Any], files: Sequence[str], root: str,
                digests: dict[str, str] | None = None) -> dict[str, Any]:
    """The product's attributes as a file holds them: its own ``uuid``, the raw files
    (made relative to `root` by the writer) and their SHA-256 (from `digests` where
    given, by absolute path), the configuration file relative to `root`."""
    from Aerolume.metadata import file_digest, new_uuid, relative_sources

    known = digests or {}
    out = dict(attrs)
    out["uuid"] = new_uuid()
    out["source_files"] = [str(f) for f in files]
    out["source_file_sha256"] = [known.get(os.path.abspath(f)) or file_digest(f)
                                 for f in files]
    if out.get("configuration_file"):
        out["configuration_file"] = relative_sources([out["configuration_file"]], root)[0]
    return out


def compression_encoding(ds: xr.Dataset, config: Config) -> dict[Hashable, dict[str, Any]]:
    """The netCDF encoding of the ``[output]`` compression, per data variable of `ds` and
    per coordinate along time.

    zstd (netCDF-C 4.9's own filter) or zlib with the HDF5 shuffle, both lossless; on
    numbers only, text and scalars are left as they are.  Where the installed netCDF4
    cannot write zstd, zlib at its default level is used instead, with a warning (the
    file stays readable everywhere).

    Returns
    -------
    dict
        Variable name to its encoding (``compression``, ``complevel``, ``shuffle``).
    """
    from Aerolume.processing.config import COMPRESSION_LEVELS, compression

    kind, level = compression(config)
    if kind == "zstd" and not _can_write_zstd():
        warnings.warn(f"{config.name}: [output] compression: this netCDF4 library cannot "
                      f"write zstd (it needs netCDF-C 4.9 with its zstd filter plugin); "
                      f"writing zlib level {COMPRESSION_LEVELS['zlib']} instead",
                      RuntimeWarning, stacklevel=3)
        kind, level = "zlib", COMPRESSION_LEVELS["zlib"]
    if kind == "none":
        return {}
    # (netCDF4 applies the shuffle filter with zlib only; with zstd it is left out.)
    each = {"compression": kind, "complevel": int(level), "shuffle": kind == "zlib"}
    # (the coordinates along time too: a file written block by block stores them in
    # chunks, which compress)
    return {name: dict(each) for name, variable in ds.variables.items()
            if variable.dtype.kind in "fiu" and variable.ndim > 0
            and (name in ds.data_vars or "time" in variable.dims)}


def _can_write_zstd() -> bool:
    try:
        import netCDF4
    except ImportError:  # pragma: no cover - a core dependency
        return False
    return bool(getattr(netCDF4, "__has_zstandard_support__", False))
