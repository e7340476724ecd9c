"""The processing chain of ``aerolume process``: raw files to one product Dataset.

The work is cut into time blocks of consecutive raw files (:func:`plan`).  Each block is
one unit of work, :func:`process_block`: read, correct, crop, molecular atmosphere,
retrievals.  The blocks run in this process or on Dask workers (:mod:`Aerolume.scaleout`);
either way the same function runs on the same blocks, so the products are the same bit
for bit.  The blocks are then joined in time order and written with their provenance
(:func:`write`).

Before any block runs, :func:`prepare` checks the configuration against the data:
the corrections on the first file, the channels the retrievals name, the sounding file.
"""

from __future__ import annotations

import dataclasses
import datetime
import json
import math
import os
import pathlib
import time
import warnings
from typing import Any, Callable, Sequence

import numpy as np

from .config import Config, check_corrections
from .scaleout import InProcess, Stopwatch

__all__ = ["plan", "prepare", "process", "process_block", "write", "Settings", "Result",
           "read_sounding"]

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
    """
    errors: str
    corrections: dict
    klett: dict
    raman: list
    uncertainty: dict
    atmosphere: dict
    station: dict
    max_range: float
    threads: int
    corrections_effective: dict = dataclasses.field(default_factory=dict)


def read_sounding(path: str | os.PathLike) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Reads a radiosonde text file: altitude (m a.s.l.), pressure (Pa), temperature (K).

    One level a line, values separated by commas or blanks; ``#`` starts a comment; a
    first line of column names is allowed.  Levels are sorted by altitude.

    Returns
    -------
    altitude, pressure, temperature : ndarray
        Float64 arrays (m, Pa, K).

    Raises
    ------
    ValueError
        Naming the file and the line: a value that is not a number, not three columns,
        a non-positive pressure or temperature, repeated altitudes, fewer than two levels.
    OSError
        The file cannot be read.
    """
    path = pathlib.Path(path)
    rows = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            text = line.split("#", 1)[0].replace(",", " ").split()
            if not text:
                continue
            try:
                values = [float(v) for v in text]
            except ValueError:
                if not rows and not any(_is_number(v) for v in text):
                    continue  # column names
                raise ValueError(f"{path}: line {number}: not a number in {line.strip()!r}") \
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

def plan(files: Sequence[str | os.PathLike], block: int, *, errors: str = "raise",
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
    from . import _core

    files = [os.fspath(f) for f in files]
    scanned = _core.licel_scan(files, threads)
    good, problems = [], []
    for path, (header, why, os_error) in zip(files, scanned):
        if header is None:
            problems.append((path, why, os_error))
        else:
            good.append((header.start, path, header))
    good.sort(key=lambda item: item[0])
    if good:
        first_path, first = good[0][1], good[0][2]
        layout = _layout(first)
        kept, starts = [], []
        for start, path, header in good:
            if _layout(header) != layout:
                problems.append((path, f"the channel layout differs from {first_path}'s", False))
            else:
                kept.append(path)
                starts.append(start)
    else:
        kept, starts = [], []
    if problems:
        lines = [f"{path}: {why}" for path, why, _ in problems]
        if errors == "raise":
            if len(problems) == 1:
                error = OSError if problems[0][2] else ValueError
                raise error(lines[0])
            raise ValueError(f"{len(problems)} of {len(files)} files cannot be read; "
                             f"{lines[0]} (and {len(problems) - 1} more)")
        warnings.warn(f"skipped {len(problems)} of {len(files)} files:\n" + "\n".join(lines),
                      RuntimeWarning, stacklevel=2)
    if not kept:
        raise ValueError("none of the raw files can be read")
    if interval is not None:
        # Cut at the first new averaging interval once a block holds enough profiles.
        key = [math.floor(t / interval) for t in starts]
        blocks, begin = [], 0
        for i in range(1, len(kept)):
            if i - begin >= block and key[i] != key[i - 1]:
                blocks.append(kept[begin:i])
                begin = i
        blocks.append(kept[begin:])
        return blocks
    size = max(step, -(-block // step) * step)
    return [kept[i:i + size] for i in range(0, len(kept), size)]


def _layout(header) -> tuple:
    return tuple((s.wavelength, s.polarization, s.photon_counting, s.bins, s.bin_width,
                  s.device) for s in header.sets)


# ---- one block ----------------------------------------------------------------------------

def process_block(files: Sequence[str], settings: Settings, *,
                  stopwatch: Stopwatch | None = None):
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
    from .io import read_licel
    from .preprocess import correct

    watch = stopwatch if stopwatch is not None else Stopwatch()
    watch.stage("reading")
    raw = read_licel(list(files), errors=settings.errors, threads=settings.threads or None)
    watch.stage("corrections")
    corrected = correct(raw, **settings.corrections, threads=settings.threads or None)
    del raw
    if math.isfinite(settings.max_range):
        corrected = corrected.sel(range=corrected["range"] <= settings.max_range)
    watch.stage("molecular")
    from . import products
    altitude, zenith = _station(corrected, settings)
    molecular = products.molecular(corrected, settings, altitude, zenith)
    watch.stage("retrievals")
    product = products.retrieve(corrected, molecular, settings)
    watch.stage(None)
    return product


def _station(ds, settings: Settings) -> tuple[float, float]:
    altitude = settings.station.get("altitude")
    zenith = settings.station.get("zenith_angle")
    if altitude is None:
        altitude = _header_value(ds, "altitude", "station_altitude")
    if zenith is None:
        zenith = _header_value(ds, "zenith_angle", "zenith_angle")
    return float(altitude), float(zenith)


def _header_value(ds, attr: str, coord: str) -> float:
    if attr in ds.attrs:
        return float(ds.attrs[attr])
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
    """
    dataset: Any
    files: list
    seconds: dict
    stopwatch: Stopwatch
    where: str = "in this process"
    blocks: int = 0

    def profile_report(self) -> str:
        """Where the time went: each stage's seconds and share, and files per second."""
        seconds = dict(self.seconds)
        seconds.update(self.stopwatch.seconds)
        stages = [s for s in STAGES if s in seconds]
        total = sum(seconds[s] for s in stages)
        wall = seconds.get("wall", total) + self.stopwatch.seconds.get("writing", 0.0)
        lines = [f"processed {len(self.files)} files in {self.blocks} blocks {self.where}: "
                 f"{wall:.3f} s, {len(self.files) / wall if wall > 0 else float('inf'):.1f} "
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
    averaging: dict
    started: float


def prepare(files: Sequence[str], config: Config) -> Prepared:
    """Checks the configuration against the data before any real work.

    Reads the first readable raw file, applies the corrections to it, and resolves the
    retrievals' channels, so that a wrong correction parameter or channel id fails in a
    moment, naming the configuration file and field, rather than after the night's work
    or a cluster's start-up.

    Raises
    ------
    ConfigError
        The configuration does not fit the data.
    ValueError, OSError
        A raw file or the sounding file cannot be read.
    """
    start = time.perf_counter()
    settings, averaging = _settings([os.fspath(f) for f in files], config)
    return Prepared(config, settings, averaging, start)


def process(files: Sequence[str], config: Config | Prepared, *, runner=None,
            progress: Callable | None = None, command: str = "") -> Result:
    """Runs the whole chain on raw files.

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
        (:class:`Aerolume.progress.Progress`).
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
    """
    files = [os.fspath(f) for f in files]
    runner = runner if runner is not None else InProcess()
    prepared = config if isinstance(config, Prepared) else prepare(files, config)
    config, start = prepared.config, prepared.started
    settings = dataclasses.replace(prepared.settings)
    averaging = prepared.averaging
    settings.threads = runner.threads(settings.threads)
    blocks = plan(files, config["processing"]["block"], errors=settings.errors,
                  threads=settings.threads, **averaging)
    total = sum(len(b) for b in blocks)
    bar = progress(total, "processing", "files") if progress else _NoProgress()
    from . import pipeline as here
    with bar:
        results = runner.map(here.process_block, blocks, settings,
                             progress=lambda block: bar.advance(len(block)))
    parts = [r.value for r in results]
    seconds: dict[str, float] = {}
    for r in results:
        for stage, value in r.seconds.items():
            seconds[stage] = seconds.get(stage, 0.0) + value
    dataset = _join(parts)
    # The files read, as each block's reader kept them (a file skipped there is not one).
    ordered = [str(f) for part in parts for f in list(part.attrs.get("source_files", []))]
    history = str(dataset.attrs.get("history", "")).strip()
    dataset.attrs.update(_provenance(config, settings, ordered, command))
    if history:
        dataset.attrs["history"] = history + "\n" + dataset.attrs["history"]
    seconds["wall"] = time.perf_counter() - start
    return Result(dataset, ordered, seconds, Stopwatch(),
                  getattr(runner, "description", "in this process"), len(blocks))


class _NoProgress:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass

    def advance(self, count: int = 1):
        pass


def _settings(files: Sequence[str], config: Config) -> tuple[Settings, dict]:
    """Resolves the configuration against the first readable file, before any real work.

    Returns the settings and how the corrections average in time (the keyword arguments
    of :func:`plan` that keep averages whole)."""
    from .io import read_licel
    from . import preprocess

    corrections = check_corrections(config, preprocess.correct)
    if config["corrections"].get("range_correction"):
        raise config.error("[corrections] range_correction", "the retrievals take the signal "
                           "without the range correction (the quicklook applies it); remove it")
    sounding = None
    if config["atmosphere"]["sounding"] is not None:
        path = config.resolve(config["atmosphere"]["sounding"])
        try:
            sounding = read_sounding(path)
            from .atmosphere import sounding as make_sounding
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
        threads=processing["threads"], corrections_effective=corrections)

    # The corrections on the first file that reads: a wrong value fails here, naming the
    # configuration, rather than in the middle of the night's work.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        first = None
        for path in files:
            try:
                first = read_licel([path], threads=settings.threads or None)
                break
            except (OSError, ValueError):
                if settings.errors == "raise":
                    raise
        if first is None:
            raise ValueError("none of the raw files can be read")
        try:
            corrected = preprocess.correct(first, **settings.corrections)
        except (TypeError, ValueError) as err:
            raise config.error("[corrections]", str(err)) from None
    from . import products
    products.resolve_channels(corrected, settings, config)
    # The molecular atmosphere along this beam: a sounding that starts above the station,
    # or a station altitude outside the atmosphere, fails here.
    if math.isfinite(settings.max_range):
        corrected = corrected.sel(range=corrected["range"] <= settings.max_range)
    try:
        products.molecular(corrected, settings, *_station(corrected, settings))
    except ValueError as err:
        where = "[atmosphere] sounding" if sounding is not None else "[station]"
        raise config.error(where, str(err)) from None
    return settings, _averaging(corrected)


def _averaging(corrected) -> dict:
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


def _join(parts):
    """The blocks' Datasets joined in time; what does not depend on time from the first."""
    import xarray as xr

    if len(parts) == 1:
        return parts[0]
    timed = [name for name, v in parts[0].variables.items() if "time" in v.dims]
    static = parts[0].drop_vars(timed)
    untimed = [name for name in static.variables if name not in static.dims]
    joined = xr.concat([p.drop_vars(untimed) for p in parts], dim="time", data_vars="all",
                       coords="minimal", compat="equals", join="exact",
                       combine_attrs="override")
    return xr.merge([joined, static], compat="override", join="exact",
                    combine_attrs="override")


def _provenance(config: Config, settings: Settings, files: Sequence[str], command: str) -> dict:
    from .io import package_version

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


def _plain(value):
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

def write(result: Result, path: str | os.PathLike, config: Config, *,
          stopwatch: Stopwatch | None = None,
          source_root: str | os.PathLike | None = None) -> pathlib.Path:
    """Writes the product to netCDF-4 (CF-1.8), replacing `path` only once the file is
    complete.

    Variables are compressed with zlib at the configured level.  The file is first
    written beside `path` under a temporary name and renamed, so a failure never leaves
    a truncated product or destroys the previous one.

    The provenance names no folder of the processing machine: ``source_files`` and
    ``configuration_file`` are relative to `source_root` (default: the common folder of
    the raw files), ``source_file_sha256`` identifies each raw file by its bytes, and the
    file gets its own ``uuid``.
    """
    from ._files import write_atomically
    from .io import to_netcdf
    from .metadata import common_root, file_digest, new_uuid, relative_sources

    watch = stopwatch if stopwatch is not None else Stopwatch()
    watch.stage("writing")
    path = pathlib.Path(path)
    level = config["output"]["compression"]
    ds = result.dataset.copy(deep=False)
    encoding = {}
    for name, variable in ds.data_vars.items():
        if variable.dtype.kind in "fiu" and variable.ndim > 0:
            encoding[name] = {"zlib": level > 0, "complevel": level} if level else {}
    try:
        files = [str(f) for f in result.files]
        root = os.path.abspath(source_root) if source_root is not None else common_root(files)
        ds.attrs["uuid"] = new_uuid()
        ds.attrs["source_files"] = files  # (made relative to root by to_netcdf)
        ds.attrs["source_file_sha256"] = [file_digest(f) for f in files]
        if ds.attrs.get("configuration_file"):
            ds.attrs["configuration_file"] = relative_sources([ds.attrs["configuration_file"]],
                                                              root)[0]
        write_atomically(path, lambda temporary: to_netcdf(ds, temporary, source_root=root,
                                                           encoding=encoding))
    finally:
        watch.stage(None)
    return path
