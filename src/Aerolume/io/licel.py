"""The reader of Licel transient recorders' binary raw files (and their variant with a
scan line): one file a profile, several channels, parsed by the compiled core in parallel
threads straight into one Dataset on ``(time, channel, range)``."""

from __future__ import annotations

import functools
import os
import warnings
from collections.abc import Mapping, Sequence
from typing import Any, Literal, Union

import numpy as np
import xarray as xr

from Aerolume import _core
from Aerolume._assembly import Coordinates, Spec, dataset
from Aerolume._checks import thread_count
from Aerolume._typing import AnyArray, FloatArray
from Aerolume.io.files import PathLike, _expand, _fail, package_version, skipped_message

_POLARIZATION = {"o": "none", "p": "parallel", "l": "parallel", "s": "perpendicular",
                 "r": "right_circular", "c": "circular"}


def _channel_key(s: _core.LicelDataSet) -> tuple[int, str, bool, int, int, float, str]:
    """What must agree between files for a data set to be the same channel: the fields
    the core's ``licel_same_channels`` compares (a test holds the two together)."""
    return (s.wavelength, s.polarization, s.photon_counting, s.laser, s.bins, s.bin_width,
            s.device)


def channel_layout(header: _core.LicelHeader
                   ) -> tuple[tuple[int, str, bool, int, int, float, str], ...]:
    """The channel layout of a raw file's header: files of equal layouts read into one
    Dataset (the key the planner groups files by)."""
    return tuple(_channel_key(s) for s in header.sets)


def _describe(s: _core.LicelDataSet) -> str:
    mode = "photon counting" if s.photon_counting else "analog"
    return (f"{s.wavelength} nm {_POLARIZATION.get(s.polarization, s.polarization)} {mode} "
            f"({s.device}, laser {s.laser}, {s.bins} bins of {s.bin_width:g} m)")


def _layout_difference(sets: Sequence[_core.LicelDataSet],
                       reference: Sequence[_core.LicelDataSet]) -> str:
    if len(sets) != len(reference):
        return (f"{len(sets)} active data sets where the first file has {len(reference)}")
    for k, (a, b) in enumerate(zip(sets, reference)):
        if _channel_key(a) != _channel_key(b):
            return f"data set {k + 1} is {_describe(a)} where the first file has {_describe(b)}"
    return ""


def _channel_ids(sets: Sequence[_core.LicelDataSet]) -> list[str]:
    """'355_an', '532s_pc', ...; the recorder id is appended to ids that would repeat."""
    base = []
    for s in sets:
        pol = "" if s.polarization == "o" else s.polarization
        base.append(f"{s.wavelength}{pol}_{'pc' if s.photon_counting else 'an'}")
    return [b if base.count(b) == 1 else f"{b}_{s.device}" for b, s in zip(base, sets)]


#: Skipped files a warning lists itself; past this it lists these and writes every one
#: to a file it names.
_BIN_WIDTH = (0.01, 10000.0)        # m; recorders sample at 3.75 m to 150 m bins
_BIN_WIDTH_USUAL = (0.3, 300.0)
_INPUT_RANGE = 100.0                # V; analog recorders take 20 mV to 500 mV
_INPUT_RANGE_USUAL = 10.0
_ALTITUDE = (-1000.0, 10000.0)      # m a.s.l.: the Dead Sea shore to above any station
_TEMPERATURE_USUAL = (-90.0, 60.0)  # degC
_PRESSURE_USUAL = (300.0, 1100.0)   # hPa


def _check_header(header: _core.LicelHeader) -> tuple[str, list[str]]:
    """Why `header` holds impossible values ("" if it does not), and what is unusual in
    it.  Temperature and pressure, which no product needs, are not refused: an
    impossible one is reported and read as missing (NaN)."""
    unusual: list[str] = []
    if header.stop < header.start:
        return ("header line 2: the stop time is before the start time "
                f"({header.stop - header.start} s)"), unusual
    if not _ALTITUDE[0] <= header.altitude <= _ALTITUDE[1]:
        return (f"header line 2: station altitude {header.altitude:g} m is not within "
                f"{_ALTITUDE[0]:g} to {_ALTITUDE[1]:g} m"), unusual
    t, p = header.temperature, header.pressure
    if t < -273.15:
        unusual.append(f"temperature {t:g} degC is below absolute zero: read as missing")
    elif t == t and not _TEMPERATURE_USUAL[0] <= t <= _TEMPERATURE_USUAL[1]:  # (NaN: none)
        unusual.append(f"temperature {t:g} degC is unusual")
    if p <= 0:
        unusual.append(f"pressure {p:g} hPa is not positive: read as missing")
    elif p == p and not _PRESSURE_USUAL[0] <= p <= _PRESSURE_USUAL[1]:
        unusual.append(f"pressure {p:g} hPa is unusual")
    for k, s in enumerate(header.sets):
        where = f"data set {k + 1} ({_describe(s)})"
        if not _BIN_WIDTH[0] <= s.bin_width <= _BIN_WIDTH[1]:
            return (f"{where}: bin width {s.bin_width:g} m is not within {_BIN_WIDTH[0]:g} "
                    f"to {_BIN_WIDTH[1]:g} m"), unusual
        if not _BIN_WIDTH_USUAL[0] <= s.bin_width <= _BIN_WIDTH_USUAL[1]:
            unusual.append(f"{where}: bin width {s.bin_width:g} m is unusual")
        if not s.photon_counting:
            if not 0 < s.input_range <= _INPUT_RANGE:
                return (f"{where}: input range {s.input_range:g} V is not within 0 "
                        f"(excluded) to {_INPUT_RANGE:g} V"), unusual
            if s.input_range > _INPUT_RANGE_USUAL:
                unusual.append(f"{where}: input range {s.input_range:g} V is unusual")
    return "", unusual


def read_licel(paths: Union[PathLike, Sequence[PathLike]], *,
               errors: Literal["raise", "skip"] = "raise",
               channels: Sequence[str] | None = None,
               threads: int | None = None) -> xr.Dataset:
    """Read Licel binary raw files into one time-height Dataset.

    Parameters
    ----------
    paths : path, glob pattern, or sequence of them
        The raw files, one profile each.  A string with ``*``, ``?`` or ``[`` that is not
        an existing file is expanded as a glob pattern.
    errors : {"raise", "skip"}
        What to do with a file that cannot be read (missing, truncated, a header that
        does not parse, data sizes that disagree with the header, a channel layout that
        differs from the first good file's, not a raw file): ``"raise"`` raises a
        ValueError naming every such file and what is wrong with it (an OSError when
        the only problem is files that cannot be opened); ``"skip"`` leaves them out and
        gives one RuntimeWarning listing each skipped file and why (past 10 files, the
        first 10 and the name of a text file listing every one).
    channels : sequence of str, optional
        Read only these channels (ids as in the ``channel`` coordinate, e.g.
        ``["355_an", "355_pc"]``).  Needed when channels have different bin widths,
        which cannot share one range axis.
    threads : int, optional
        Threads that read files in parallel; all cores by default.

    Returns
    -------
    xarray.Dataset
        Dimensions ``time`` (profile start times, sorted), ``channel`` and ``range``.

        Variables:

        - ``signal`` (time, channel, range), float64: analog channels in mV (counts x
          input range / 2^ADC bits / shots), photon-counting channels as count rate in
          MHz (counts / shots x 150 / bin width in m); the unit of each channel is in
          the ``signal_units`` coordinate.  Bins past a channel's own number of bins
          (when channels differ in length) are NaN, as is a profile with no shots.
        - ``raw`` (time, channel, range), uint32: the counts as written, summed over the
          shots (0 past a channel's bins).
        - ``shots`` (time, channel): laser shots summed in each profile.

        Coordinates: ``range`` (m, along the beam from the instrument, at the centre of
        each bin); per channel ``wavelength`` (m), ``detection_mode`` ("analog" or
        "photon_counting"), ``polarization``, ``bin_width`` (m), ``bins``, ``laser_type``,
        ``recorder`` and ``signal_units``; per time and channel ``high_voltage`` (V),
        ``adc_bits``, ``input_range`` (V, analog), ``discriminator_level`` (photon
        counting), ``bin_shift`` and ``bin_shift_decimals``; per time ``stop_time``,
        ``source_file``, ``header_file_name``, ``station_altitude`` (m), ``latitude``,
        ``longitude`` (deg), ``zenith_angle``, ``azimuth_angle`` (deg), ``temperature``
        (K), ``pressure`` (Pa) (NaN where the headers hold none), and ``laser_shots``,
        ``repetition_rate`` (Hz) on (time, laser).

        Attributes: ``site``, ``source_files``, and ``altitude`` (m a.s.l.),
        ``latitude``, ``longitude`` (deg), ``zenith_angle`` (deg) when they are the same
        in every file (the per-time coordinates always hold them).

    Raises
    ------
    ValueError
        A file cannot be read (see `errors`), channels differ in bin width, or
        `channels` names a channel the files do not have.
    FileNotFoundError
        A glob pattern matches nothing or a file does not exist (``errors="raise"``).

    Notes
    -----
    Start and stop times are taken as UTC, as the acquisition software writes them.
    The header's temperature (degC) and pressure (hPa) are converted to K and Pa.
    """
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', got {errors!r}")
    nthreads = thread_count(threads)
    files = _expand(paths)
    total = len(files)

    problems: list[tuple[str, str, bool]] = []
    good: list[tuple[str, _core.LicelHeader]] = []
    unusual: list[tuple[str, str]] = []
    for path, (header, why, os_error) in zip(files, _core.licel_scan(files, nthreads)):
        if header is not None:
            why, odd = _check_header(header)
            unusual.extend((path, text) for text in odd)
            os_error = False
        if why:
            problems.append((path, why, os_error))
        else:
            good.append((path, header))
    if unusual:
        warnings.warn(skipped_message(f"read_licel: unusual header values in "
                                      f"{len(unusual)} place(s)", unusual),
                      RuntimeWarning, stacklevel=2)
    if problems and errors == "raise":
        _fail(problems, total, errors)
    # Profiles in time order (ties in the order given); the first one sets the layout.
    good.sort(key=lambda item: item[1].start)
    if not good:
        _fail(problems, total, "raise")
    reference_path, reference = good[0]
    reference_sets = reference.sets  # (each access to .sets makes new objects)
    kept = []
    same = _core.licel_same_channels([header for _, header in good], reference)
    for (path, header), same_channels in zip(good, same):
        if same_channels:
            kept.append((path, header))
        else:
            problems.append((path, f"the channel layout differs from {reference_path}'s: "
                             f"{_layout_difference(header.sets, reference_sets)}", False))
    if errors == "raise":
        _fail(problems, total, errors)

    sets = reference_sets
    ids = _channel_ids(sets)
    if channels is None:
        chosen = list(range(len(sets)))
    else:
        if isinstance(channels, str):
            channels = [channels]
        if len(set(channels)) != len(channels):
            raise ValueError(f"channels names a channel twice: {list(channels)}")
        chosen = []
        for name in channels:
            if name not in ids:
                raise ValueError(f"channels: no channel {name!r} in {reference_path}; "
                                 f"it has {', '.join(ids)}")
            chosen.append(ids.index(name))
    widths = {sets[k].bin_width for k in chosen}
    if len(widths) > 1:
        raise ValueError(f"{reference_path}: the channels have different bin widths ("
                         + ", ".join(f"{ids[k]}: {sets[k].bin_width:g} m" for k in chosen)
                         + "); read them separately with channels=[...]")
    gates = max(sets[k].bins for k in chosen)

    paths_kept = [p for p, _ in kept]
    headers = [h for _, h in kept]
    # The core's workers read while this thread makes the coordinates from the headers.
    reading = _core.licel_read_start(paths_kept, headers, chosen, gates, nthreads)
    ids = [ids[k] for k in chosen]
    coords, fields = _coordinates(paths_kept, headers, ids, chosen, gates)
    raw, signal, failed = reading.finish()
    late = [(p, why, False) for p, why in zip(paths_kept, failed) if why]
    if late:
        problems.extend(late)
        if errors == "raise":
            _fail(problems, total, errors)
        keep = [i for i, why in enumerate(failed) if not why]
        for row, i in enumerate(keep):  # in place: i >= row
            if i != row:
                raw[row] = raw[i]
                signal[row] = signal[i]
        raw, signal = raw[:len(keep)], signal[:len(keep)]
        paths_kept = [paths_kept[i] for i in keep]
        headers = [headers[i] for i in keep]
        if headers:
            coords, fields = _coordinates(paths_kept, headers, ids, chosen, gates)
    _fail(problems, total, errors)
    if not headers:
        raise ValueError("read_licel: none of the files could be read")
    return _assemble(raw, signal, paths_kept, ids, coords, fields)


# The coordinates made of header fields: name -> (dimensions, attributes); their values
# come from the core (_core.licel_fields) in these units.
_HEADER_COORDS: dict[str, tuple[str | tuple[str, ...], dict[str, str]]] = {
    "wavelength": ("channel", {"units": "m", "long_name": "detected wavelength"}),
    "detection_mode": ("channel", {"long_name": "detection mode"}),
    "polarization": ("channel", {"long_name": "polarisation relative to the laser's"}),
    "bin_width": ("channel", {"units": "m", "long_name": "range bin width"}),
    "bins": ("channel", {"units": "1", "long_name": "number of range bins recorded"}),
    "laser_type": ("channel", {"long_name": "laser type (1, 2 or 3) the channel records"}),
    "recorder": ("channel", {"long_name": "transient recorder id"}),
    "signal_units": ("channel", {"long_name": "units of signal in each channel"}),
    "high_voltage": (("time", "channel"), {"units": "V", "long_name": "photomultiplier high voltage"}),
    "adc_bits": (("time", "channel"), {"units": "1",
                                       "long_name": "ADC resolution (0 for photon counting)"}),
    "input_range": (("time", "channel"), {"units": "V", "long_name": "analog input range (NaN "
                                          "for photon counting)"}),
    "discriminator_level": (("time", "channel"), {"units": "1", "long_name": "photon-counting "
                                                  "discriminator level (NaN for analog)"}),
    "bin_shift": (("time", "channel"), {"units": "1",
                                        "long_name": "bin shift written by the acquisition"}),
    "bin_shift_decimals": (("time", "channel"), {"units": "1", "long_name": "decimal places of "
                                                 "the bin shift, as written"}),
    "stop_time": ("time", {"long_name": "end of the profile's acquisition (UTC)"}),
    "source_file": ("time", {"long_name": "raw file of the profile"}),
    "header_file_name": ("time", {"long_name": "file name written in the header"}),
    "station_altitude": ("time", {"units": "m", "long_name": "station altitude above sea level"}),
    "latitude": ("time", {"units": "degrees_north", "standard_name": "latitude"}),
    "longitude": ("time", {"units": "degrees_east", "standard_name": "longitude"}),
    "zenith_angle": ("time", {"units": "degree", "long_name": "zenith angle of the beam"}),
    "azimuth_angle": ("time", {"units": "degree", "long_name": "azimuth angle of the beam"}),
    "temperature": ("time", {"units": "K", "standard_name": "air_temperature",
                             "long_name": "temperature at the station from the header"}),
    "pressure": ("time", {"units": "Pa", "standard_name": "air_pressure",
                          "long_name": "pressure at the station from the header"}),
    "laser": ("laser", {"long_name": "laser type"}),
    "laser_shots": (("time", "laser"), {"units": "1", "long_name": "laser shots in the profile"}),
    "repetition_rate": (("time", "laser"), {"units": "Hz", "long_name": "laser repetition rate"}),
}
# Text coordinates kept only when some header has them.
_OPTIONAL_COORDS = {
    "header_comment": ("time", {"long_name": "custom field of the header"}),
    "controller_info": ("time", {"long_name": "fields after the laser fields of the header "
                                 "(controller time stamp)"}),
}
# The scan line of scanning lidars (deg, as written), kept when some header has it.
_SCAN_COORDS = {
    "scan_azimuth_start": "start of the azimuth scan, from the instrument's zero",
    "scan_azimuth_stop": "end of the azimuth scan, from the instrument's zero",
    "scan_azimuth_step": "step of the azimuth scan",
    "scan_zenith_start": "start of the zenith scan, as the scan line writes it",
    "scan_zenith_stop": "end of the zenith scan, as the scan line writes it",
    "scan_zenith_step": "step of the zenith scan",
    "azimuth_offset": "azimuth of the instrument's zero from north",
}
_LASERS = np.array([1, 2, 3], dtype=np.int64)


def _coordinates(paths: Sequence[str], headers: Sequence[_core.LicelHeader],
                 ids: Sequence[str], chosen: Sequence[int], gates: int
                 ) -> tuple[Coordinates, dict[str, Any]]:
    """The Dataset's coordinates, made from the headers alone, and the header fields."""
    fields = _core.licel_fields(headers, chosen)
    text = functools.partial(np.array, dtype=object)
    photon = fields["photon_counting"].tolist()
    fields["time"] = fields["time"].view("datetime64[ns]")
    fields["stop_time"] = fields["stop_time"].view("datetime64[ns]")
    fields["detection_mode"] = text(["photon_counting" if p else "analog" for p in photon])
    fields["signal_units"] = text(["MHz" if p else "mV" for p in photon])
    fields["polarization"] = text([_POLARIZATION.get(p, p) for p in fields["polarization"]])
    fields["source_file"] = [os.path.basename(p) for p in paths]
    fields["laser"] = _LASERS.copy()
    # Impossible station meteorology is missing (reported by _check_header).
    for name, lowest in (("temperature", 0.0), ("pressure", 0.0)):
        values = fields[name]
        values[~(values > lowest)] = np.nan
    coords: dict[str, Spec] = {
        "time": ("time", fields["time"], {"standard_name": "time",
                                          "long_name": "start of the profile's acquisition (UTC)"}),
        "channel": ("channel", text(ids), {"long_name": "channel id"}),
        "range": ("range", (np.arange(gates, dtype=np.float64) + 0.5) * fields["bin_width"][0],
                  {"units": "m", "long_name": "distance along the beam from the instrument "
                   "to the centre of the bin"}),
    }
    for name, (dims, attrs) in _HEADER_COORDS.items():
        values = fields[name]
        coords[name] = (dims, text(values) if isinstance(values, list) else values, attrs)
    for name, (dims, attrs) in _OPTIONAL_COORDS.items():
        if any(fields[name]):
            coords[name] = (dims, text(fields[name]), attrs)
    if fields["scan_line"].any():
        for name, long_name in _SCAN_COORDS.items():
            coords[name] = ("time", fields[name], {"units": "degree", "long_name": long_name})
    return Coordinates(coords), fields


def _assemble(raw: AnyArray, signal: FloatArray, paths: Sequence[str], ids: Sequence[str],
              coords: Coordinates, fields: Mapping[str, Any]) -> xr.Dataset:
    start = fields["time"]
    if (start[1:] == start[:-1]).any():  # (in time order)
        warnings.warn("read_licel: several profiles have the same start time",
                      RuntimeWarning, stacklevel=3)
    shots = fields["shots"]
    if (shots == 0).any():
        t, c = np.argwhere(shots == 0)[0]
        warnings.warn(f"read_licel: {int((shots == 0).sum())} profile(s) have no shots "
                      f"(first: channel {ids[c]} of {paths[t]}); their signal is NaN",
                      RuntimeWarning, stacklevel=3)
    data_vars: dict[str, Spec] = {
        "signal": (("time", "channel", "range"), signal,
                   {"long_name": "lidar signal: analog in mV, photon counting in MHz "
                    "(see signal_units)"}),
        "raw": (("time", "channel", "range"), raw,
                {"units": "1", "long_name": "recorder counts summed over the shots"}),
        "shots": (("time", "channel"), shots, {"units": "1", "long_name": "laser shots summed"}),
    }
    attrs: dict[str, Any] = {
        "Conventions": "CF-1.8",
        "title": "lidar raw signals",
        "source": "Licel raw data files",
        "site": ", ".join(dict.fromkeys(fields["site"])),
        "source_files": [os.path.abspath(p) for p in paths],
        "aerolume_version": package_version(),
        "history": f"read by Aerolume {package_version()} read_licel",
    }
    for name, key in (("altitude", "station_altitude"), ("latitude", "latitude"),
                      ("longitude", "longitude"), ("zenith_angle", "zenith_angle")):
        values = fields[key]
        if (values == values[0]).all():
            attrs[name] = float(values[0])
    scanning = fields["scan_line"]
    if scanning.any():
        attrs["source"] = ("Licel raw data files, scanning variant (with the scan line)"
                           if scanning.all() else
                           "Licel raw data files, some of the scanning variant (with the scan line)")
    return dataset(data_vars, coords, attrs)


