"""The raw measurement in the raw-data netCDF input format of the EARLINET/ACTRIS Single
Calculus Chain (SCC).

The format as the SCC's public documentation ("The SCC input netCDF file format",
docs.scc.imaa.cnr.it) defines it, in the fields this writer fills:

Dimensions ``time`` (profiles), ``channels``, ``points`` (range bins),
``nb_of_time_scales`` and ``scan_angles`` (one of each here: every channel shares the
profiles' times and the beam points one way).

Variables:

- ``Raw_Lidar_Data`` (time, channels, points), double: the raw signals, analog channels
  in mV (mean over the shots), photon-counting channels in counts summed over the shots;
- ``Raw_Data_Start_Time``, ``Raw_Data_Stop_Time`` (time, nb_of_time_scales), int: seconds
  from the global ``RawData_Start_Time_UT`` of the measurement's start;
- ``channel_ID`` (channels), int: the channel ids of the station's SCC database;
- ``id_timescale`` (channels), int: the time scale of each channel (0);
- ``Laser_Pointing_Angle`` (scan_angles), double: zenith angle (deg);
- ``Laser_Pointing_Angle_of_Profiles`` (time, nb_of_time_scales), int: index into it;
- ``Laser_Shots`` (time, channels), int;
- ``Background_Low``, ``Background_High`` (channels), double: the range interval (m) of
  the background;
- ``Molecular_Calc`` (scalar), int: 0 with a sounding file, 4 for the standard
  atmosphere from the station's ``Pressure_at_Lidar_Station`` (hPa) and
  ``Temperature_at_Lidar_Station`` (degC);
- optional, per channel: ``Acquisition_Mode`` (0 analog, 1 photon counting),
  ``Raw_Data_Range_Resolution`` (m), ``Laser_Repetition_Rate`` (Hz), ``DAQ_Range`` (mV,
  analog), ``Emitted_Wavelength`` and ``Detected_Wavelength`` (nm).

Global attributes: ``Measurement_ID`` (date, station call sign, start hour and minute:
``YYYYMMDDcccHHMM``), ``RawData_Start_Date`` (``YYYYMMDD``), ``RawData_Start_Time_UT`` and
``RawData_Stop_Time_UT`` (``HHMMSS``), ``Altitude_meter_asl``, ``Latitude_degrees_north``,
``Longitude_degrees_east``, and the names of the optional ``Sounding_File_Name``,
``Overlap_File_Name`` and ``LR_File_Name`` files when given.

The sounding file itself is written by :func:`write_sounding` (and by :func:`to_scc`
given ``sounding=``): dimension ``points``; ``Altitude`` (m a.s.l.), ``Pressure`` (hPa),
``Temperature`` (C), optionally ``RelativeHumidity`` (%); the sounding's station, start
date and time and position as global attributes.

The overlap file (:func:`write_overlap`, or :func:`to_scc` given ``overlap=``): dimensions
``channels`` and ``points`` (the raw file's range gates); ``channel_ID`` (channels), int;
``Range`` (points), double, m; ``Overlap`` (channels, points), double, 1 (the fill value
where the overlap is not known).  The lidar-ratio file (:func:`write_lidar_ratio`, or
:func:`to_scc` given ``lidar_ratio=``): dimensions ``products`` and ``points``;
``product_ID`` (products), int, the SCC database's product ids; ``Altitude`` (points),
double, m a.s.l.; ``Lidar_Ratio`` (products, points), double, sr.  Both are classic
netCDF files beside the raw-data file, named in its ``Overlap_File_Name`` and
``LR_File_Name``.  The SCC documentation's own description of these two files could not
be consulted when they were written: their field names follow the raw-data and sounding
files' (one table each below, :data:`OVERLAP_VARIABLES` and
:data:`LIDAR_RATIO_VARIABLES`, to be corrected in one place).
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, SupportsFloat, Union, cast

import numpy as np
from numpy.typing import ArrayLike

from Aerolume._typing import FloatArray

if TYPE_CHECKING:
    import xarray as xr

#: A sounding to write: its levels' (altitude m, pressure Pa, temperature K[, relative
#: humidity %]), or a product Dataset with its molecular atmosphere.
Sounding = Union[Sequence[ArrayLike], "xr.Dataset"]
#: An overlap function: an estimate_overlap Dataset, a DataArray on range, or a pair
#: (range m, overlap).
Overlap = Union["xr.Dataset", "xr.DataArray", Sequence[ArrayLike]]
#: The lidar ratio (sr) of an SCC product: constant, or (altitude m a.s.l., lidar ratio).
LidarRatio = Union[float, ArrayLike]

__all__ = ["to_scc", "write_sounding", "write_overlap", "write_lidar_ratio", "SCC_VARIABLES",
           "SCC_GLOBALS", "SOUNDING_VARIABLES", "OVERLAP_VARIABLES", "OVERLAP_GLOBALS",
           "LIDAR_RATIO_VARIABLES"]

#: name -> (dimensions, netCDF type) of every variable written.
SCC_VARIABLES = {
    "Raw_Lidar_Data": (("time", "channels", "points"), "f8"),
    "Raw_Data_Start_Time": (("time", "nb_of_time_scales"), "i4"),
    "Raw_Data_Stop_Time": (("time", "nb_of_time_scales"), "i4"),
    "channel_ID": (("channels",), "i4"),
    "id_timescale": (("channels",), "i4"),
    "Laser_Pointing_Angle": (("scan_angles",), "f8"),
    "Laser_Pointing_Angle_of_Profiles": (("time", "nb_of_time_scales"), "i4"),
    "Laser_Shots": (("time", "channels"), "i4"),
    "Background_Low": (("channels",), "f8"),
    "Background_High": (("channels",), "f8"),
    "Molecular_Calc": ((), "i4"),
    "Pressure_at_Lidar_Station": ((), "f8"),
    "Temperature_at_Lidar_Station": ((), "f8"),
    "Acquisition_Mode": (("channels",), "i4"),
    "Raw_Data_Range_Resolution": (("channels",), "f8"),
    "Laser_Repetition_Rate": (("channels",), "i4"),
    "DAQ_Range": (("channels",), "f8"),
    "Emitted_Wavelength": (("channels",), "f8"),
    "Detected_Wavelength": (("channels",), "f8"),
}
#: The global attributes always written.
SCC_GLOBALS = ("Measurement_ID", "RawData_Start_Date", "RawData_Start_Time_UT",
               "RawData_Stop_Time_UT", "Altitude_meter_asl", "Latitude_degrees_north",
               "Longitude_degrees_east")

#: The sounding file's variables: name -> (dimensions, netCDF type, units).
SOUNDING_VARIABLES = {
    "Altitude": (("points",), "f8", "m"),
    "Pressure": (("points",), "f8", "hPa"),
    "Temperature": (("points",), "f8", "C"),
    "RelativeHumidity": (("points",), "f8", "%"),
}

#: The overlap file's variables: name -> (dimensions, netCDF type, units or None).
OVERLAP_VARIABLES = {
    "channel_ID": (("channels",), "i4", None),
    "Range": (("points",), "f8", "m"),
    "Overlap": (("channels", "points"), "f8", "1"),
}
#: The overlap file's global attributes: when the overlap was measured (``YYYYMMDD``,
#: ``HHMMSS``) and the measurement it goes with.
OVERLAP_GLOBALS = ("Measurement_ID", "Overlap_Start_Date", "Overlap_Start_Time_UT")

#: The lidar-ratio file's variables: name -> (dimensions, netCDF type, units or None).
LIDAR_RATIO_VARIABLES = {
    "product_ID": (("products",), "i4", None),
    "Altitude": (("points",), "f8", "m"),
    "Lidar_Ratio": (("products", "points"), "f8", "sr"),
}
#: netCDF's default fill value of doubles: where an overlap is not known.
_FILL = 9.969209968386869e36

_STANDARD_PRESSURE_HPA = 1013.25
_STANDARD_TEMPERATURE_C = 15.0


def _emitted_nm(detected_nm: float) -> float:
    """The laser wavelength a channel detecting `detected_nm` belongs to: itself for an
    elastic channel, else the nearest shorter emitted wavelength (Raman shifts go up)."""
    from Aerolume.constants import EMITTED_NM

    for e in EMITTED_NM:
        if abs(detected_nm - e) <= 1.0:
            return float(e)
    shorter = [e for e in EMITTED_NM if e < detected_nm]
    return float(max(shorter)) if shorter else float(detected_nm)


def _stamp(t: np.datetime64 | str) -> tuple[str, str]:
    text = str(np.datetime_as_string(np.asarray(t, dtype="datetime64[s]"), unit="s"))
    date, clock = text.split("T")
    return date.replace("-", ""), clock.replace(":", "")


def to_scc(ds: xr.Dataset, path: str | os.PathLike[str], *,
           channel_ids: Mapping[str, int] | None = None,
           station_code: str = "xx", measurement_id: str | None = None,
           background: Mapping[str, Sequence[float]] | Sequence[float] | None = None,
           sounding_file: str | None = None, overlap_file: str | None = None,
           lidar_ratio_file: str | None = None, sounding: Sounding | None = None,
           overlap: Overlap | Mapping[str, Overlap] | None = None,
           lidar_ratio: Mapping[int, LidarRatio] | None = None) -> None:
    """Write a raw Dataset as an SCC raw-data input file.

    Parameters
    ----------
    ds : xarray.Dataset
        From :func:`Aerolume.io.read_licel` (``raw`` counts, ``signal``, ``shots``).
    path : path
        The netCDF file to write (classic format, as the SCC reads).
    channel_ids : mapping of str to int, optional
        The SCC database id of each channel (by channel id, e.g. ``{"355_an": 1234}``).
        Channels left out are not written; without a mapping every channel is written
        with its position (1, 2, ...) as id and a warning that those must be replaced.
    station_code : str
        The station's EARLINET call sign (three letters; two in older ids), in the
        measurement id.
    measurement_id : str, optional
        Default ``YYYYMMDD`` + `station_code` + ``HHMM`` of the first profile's start.
    background : (low, high) or mapping of channel to (low, high), optional
        Range interval of the background (m); default the farthest tenth of the range.
    sounding_file, overlap_file, lidar_ratio_file : str, optional
        Names of the optional SCC input files sent with this one (given alone, only the
        name is written: the file is the user's).
    sounding : (altitude, pressure, temperature) or xarray.Dataset, optional
        The atmosphere to send with it (m a.s.l., Pa, K; or a product of ``aerolume
        process``, whose molecular atmosphere is used): written by
        :func:`write_sounding` beside `path` as `sounding_file` (default
        ``rs_<measurement id>.nc``), and ``Molecular_Calc`` says so (0).
    overlap : overlap function, or mapping of channel to one, optional
        Written by :func:`write_overlap` beside `path` as `overlap_file` (default
        ``ov_<measurement id>.nc``): an :func:`Aerolume.preprocess.estimate_overlap`
        Dataset, a DataArray of :func:`Aerolume.preprocess.read_overlap`, or a pair
        (range m, overlap); one for every written channel, or one per channel named.
    lidar_ratio : mapping of int to float or (altitude, lidar ratio), optional
        The lidar ratio (sr) of each SCC product id, constant or a profile (m a.s.l.,
        sr): written by :func:`write_lidar_ratio` beside `path` as `lidar_ratio_file`
        (default ``lr_<measurement id>.nc``) on the altitudes of the range gates.

    Raises
    ------
    ValueError
        The Dataset lacks a raw variable, a channel id is unknown or not a positive
        integer, a background interval is not inside the range, shots do not fit
        32 bits, or an overlap or lidar ratio is not usable (see :func:`write_overlap`,
        :func:`write_lidar_ratio`).
    """
    import netCDF4

    if not (isinstance(station_code, str) and 2 <= len(station_code) <= 3
            and station_code.isascii() and station_code.isalnum()):
        raise ValueError(f"to_scc: station_code must be the station's call sign, 2 or 3 "
                         f"letters or digits, got {station_code!r}")
    for name in ("raw", "signal", "shots", "stop_time", "detection_mode", "wavelength"):
        if name not in ds.variables:
            raise ValueError(f"to_scc: ds has no {name!r}; give a Dataset of read_licel")
    ids = [str(c) for c in ds["channel"].values]
    if channel_ids is None:
        warnings.warn("to_scc: no channel_ids given; the channels are numbered 1.."
                      f"{len(ids)}, which the SCC database will not know", UserWarning,
                      stacklevel=2)
        channel_ids = {c: i + 1 for i, c in enumerate(ids)}
    for c, number in channel_ids.items():
        if c not in ids:
            raise ValueError(f"to_scc: channel_ids names {c!r}; the channels are "
                             f"{', '.join(ids)}")
        if not isinstance(number, (int, np.integer)) or number <= 0:
            raise ValueError(f"to_scc: channel_ids[{c!r}] must be a positive integer, "
                             f"got {number!r}")
    chosen = [c for c in ids if c in channel_ids]
    sub = ds.sel(channel=chosen)
    rng = np.asarray(sub["range"].values, dtype=float)
    photon = np.array([m == "photon_counting" for m in sub["detection_mode"].values])

    data = np.where(photon[None, :, None], np.asarray(sub["raw"].values, dtype=np.float64),
                    np.asarray(sub["signal"].values, dtype=np.float64))
    start = sub["time"].values.astype("datetime64[s]")
    stop = sub["stop_time"].values.astype("datetime64[s]")
    origin = start[0]
    shots = np.asarray(sub["shots"].values)
    if shots.max(initial=0) > np.iinfo(np.int32).max:
        raise ValueError("to_scc: laser shots do not fit the format's 32-bit integers")

    low_high = np.empty((len(chosen), 2))
    default = (rng[int(0.9 * rng.size)], rng[-1])
    for k, c in enumerate(chosen):
        interval = background.get(c, default) if isinstance(background, Mapping) else \
            (background if background is not None else default)
        low, high = (float(v) for v in interval)
        if not (rng[0] <= low < high <= rng[-1] + 1e-9):
            raise ValueError(f"to_scc: background of {c} ({low:g}, {high:g}) m is not an "
                             f"interval inside the range ({rng[0]:g} to {rng[-1]:g} m)")
        low_high[k] = low, high

    zenith = float(ds.attrs["zenith_angle"]) if "zenith_angle" in ds.attrs else \
        float(np.nanmean(np.asarray(ds["zenith_angle"].values, dtype=float)))
    pressure = np.nanmean(np.asarray(ds["pressure"].values, float)) / 100.0 \
        if "pressure" in ds and np.isfinite(ds["pressure"].values).any() else _STANDARD_PRESSURE_HPA
    temperature = np.nanmean(np.asarray(ds["temperature"].values, float)) - 273.15 \
        if "temperature" in ds and np.isfinite(ds["temperature"].values).any() \
        else _STANDARD_TEMPERATURE_C
    # (nm to a millionth: metres times 1e9 leaves 355.00000000000006)
    detected = np.round(np.asarray(sub["wavelength"].values, dtype=float) * 1e9, 6)
    laser_of = np.asarray(sub["laser_type"].values) if "laser_type" in sub else \
        np.ones(len(chosen), int)
    if "repetition_rate" in ds:
        rates = np.nanmean(np.asarray(ds["repetition_rate"].values, float), axis=0)
        lasers = list(np.asarray(ds["laser"].values))
        rate = np.array([rates[lasers.index(kind)] if kind in lasers else np.nan
                         for kind in laser_of])
    else:
        rate = np.full(len(chosen), np.nan)
    daq = np.asarray(sub["input_range"].isel(time=0).values, float) * 1e3 \
        if "input_range" in sub else np.full(len(chosen), np.nan)

    date, clock = _stamp(start[0])
    _, stop_clock = _stamp(stop[-1])
    measurement_id = measurement_id or f"{date}{station_code}{clock[:4]}"
    folder = os.path.dirname(os.fspath(path))
    station_altitude = float(ds.attrs.get("altitude", np.nanmean(
        np.asarray(ds["station_altitude"].values, float)) if "station_altitude" in ds
        else 0.0))
    # The optional files are checked before anything is written.
    curves = None if overlap is None else overlap_curves(overlap, chosen, rng)
    ratios = None if lidar_ratio is None else lidar_ratio_profiles(
        lidar_ratio, _gate_altitudes(rng, station_altitude, zenith))
    if sounding is not None:
        sounding_file = sounding_file or f"rs_{measurement_id}.nc"
        write_sounding(os.path.join(folder, sounding_file), sounding,
                       start=start[0], station_name=str(ds.attrs.get("site", "")),
                       latitude=float(ds.attrs.get("latitude", np.nan)),
                       longitude=float(ds.attrs.get("longitude", np.nan)),
                       altitude=float(ds.attrs.get("altitude", np.nan)))
    if curves is not None:
        overlap_file = overlap_file or f"ov_{measurement_id}.nc"
        write_overlap(os.path.join(folder, overlap_file), curves, rng,
                      channel_ids=channel_ids, measurement_id=measurement_id, start=start[0])
    if ratios is not None:
        lidar_ratio_file = lidar_ratio_file or f"lr_{measurement_id}.nc"
        write_lidar_ratio(os.path.join(folder, lidar_ratio_file), ratios,
                          _gate_altitudes(rng, station_altitude, zenith))
    values = {
        "Raw_Lidar_Data": data,
        "Raw_Data_Start_Time": (start - origin).astype(np.int64)[:, None],
        "Raw_Data_Stop_Time": (stop - origin).astype(np.int64)[:, None],
        "channel_ID": np.array([int(channel_ids[c]) for c in chosen]),
        "id_timescale": np.zeros(len(chosen), int),
        "Laser_Pointing_Angle": np.array([zenith]),
        "Laser_Pointing_Angle_of_Profiles": np.zeros((start.size, 1), int),
        "Laser_Shots": shots,
        "Background_Low": low_high[:, 0],
        "Background_High": low_high[:, 1],
        "Molecular_Calc": np.array(0 if sounding_file else 4),
        "Pressure_at_Lidar_Station": np.array(float(pressure)),
        "Temperature_at_Lidar_Station": np.array(float(temperature)),
        "Acquisition_Mode": photon.astype(int),
        "Raw_Data_Range_Resolution": np.asarray(sub["bin_width"].values, float),
        "Laser_Repetition_Rate": np.rint(np.nan_to_num(rate)).astype(int),
        "DAQ_Range": np.where(photon, 0.0, np.nan_to_num(daq)),
        "Emitted_Wavelength": np.array([_emitted_nm(d) for d in detected]),
        "Detected_Wavelength": detected,
    }
    units = {"Laser_Pointing_Angle": "degrees", "Background_Low": "m", "Background_High": "m",
             "Raw_Data_Range_Resolution": "m", "Laser_Repetition_Rate": "Hz",
             "DAQ_Range": "mV", "Emitted_Wavelength": "nm", "Detected_Wavelength": "nm",
             "Pressure_at_Lidar_Station": "hPa", "Temperature_at_Lidar_Station": "C",
             "Raw_Data_Start_Time": "s", "Raw_Data_Stop_Time": "s"}
    attrs = {
        "Measurement_ID": measurement_id,
        "RawData_Start_Date": date,
        "RawData_Start_Time_UT": clock,
        "RawData_Stop_Time_UT": stop_clock,
        "Altitude_meter_asl": station_altitude,
        "Latitude_degrees_north": float(ds.attrs.get("latitude", np.nan)),
        "Longitude_degrees_east": float(ds.attrs.get("longitude", np.nan)),
    }
    for key, value in (("Sounding_File_Name", sounding_file), ("Overlap_File_Name", overlap_file),
                       ("LR_File_Name", lidar_ratio_file)):
        if value:
            attrs[key] = str(value)

    with netCDF4.Dataset(os.fspath(path), "w", format="NETCDF3_CLASSIC") as nc:
        nc.createDimension("time", None)
        nc.createDimension("channels", len(chosen))
        nc.createDimension("points", rng.size)
        nc.createDimension("nb_of_time_scales", 1)
        nc.createDimension("scan_angles", 1)
        for name, (dims, kind) in SCC_VARIABLES.items():
            var = nc.createVariable(name, kind, dims)
            if name in units:
                var.units = units[name]
            var[...] = values[name]
        nc.setncatts(attrs)


def _sounding_levels(sounding: Sounding
                     ) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray | None]:
    """(altitude m a.s.l., pressure Pa, temperature K, relative humidity % or None) of a
    triple/quadruple of arrays or of a product Dataset's molecular atmosphere."""
    if hasattr(sounding, "variables"):
        dataset = cast("xr.Dataset", sounding)  # (whatever has variables is read as one)
        for name in ("altitude", "molecular_pressure", "molecular_temperature"):
            if name not in dataset.variables:
                raise ValueError(f"write_sounding: the Dataset has no {name!r}; give a product "
                                 "of aerolume process or (altitude, pressure, temperature)")
        levels = [np.asarray(dataset[n].values, dtype=float).ravel()
                  for n in ("altitude", "molecular_pressure", "molecular_temperature")]
        humidity = None
    else:
        if len(sounding) not in (3, 4):
            raise ValueError("write_sounding: give (altitude m, pressure Pa, temperature K"
                             "[, relative humidity %])")
        levels = [np.asarray(v, dtype=float).ravel() for v in sounding[:3]]
        humidity = np.asarray(sounding[3], dtype=float).ravel() if len(sounding) == 4 else None
    sizes = {v.size for v in levels} | ({humidity.size} if humidity is not None else set())
    if len(sizes) != 1 or levels[0].size < 2:
        raise ValueError("write_sounding: the levels' arrays must be of one length, at least 2")
    keep = np.isfinite(levels[0]) & np.isfinite(levels[1]) & np.isfinite(levels[2])
    order = np.argsort(levels[0][keep], kind="stable")
    levels = [v[keep][order] for v in levels]
    if humidity is not None:
        humidity = humidity[keep][order]
    if (levels[1] <= 0).any() or (levels[2] <= 0).any():
        raise ValueError("write_sounding: pressure (Pa) and temperature (K) must be positive")
    return levels[0], levels[1], levels[2], humidity


def write_sounding(path: str | os.PathLike[str], sounding: Sounding, *,
                   start: np.datetime64 | str, station_name: str = "",
                   latitude: float = float("nan"), longitude: float = float("nan"),
                   altitude: float = float("nan")) -> None:
    """Write the SCC's optional sounding file: the atmosphere the molecular signals are
    computed from, in the layout of the SCC's input documentation.

    Dimension ``points`` (the levels, by altitude); variables ``Altitude`` (m a.s.l.),
    ``Pressure`` (hPa), ``Temperature`` (C) and, when given, ``RelativeHumidity`` (%), all
    double; global attributes ``Sounding_Station_Name``, ``Sounding_Start_Date``
    (``YYYYMMDD``), ``Sounding_Start_Time_UT`` (``HHMMSS``), ``Latitude_degrees_north``,
    ``Longitude_degrees_east`` and ``Altitude_meter_asl``.

    Parameters
    ----------
    path : path
        The netCDF file (classic format).
    sounding : (altitude, pressure, temperature[, relative_humidity]) or xarray.Dataset
        Levels in m a.s.l., Pa, K (and %), or a product of ``aerolume process``, whose
        ``altitude``, ``molecular_pressure`` and ``molecular_temperature`` (the atmosphere
        used along the beam) are written.
    start : datetime64
        When the sounding was made (for a model atmosphere, the measurement's start).
    station_name, latitude, longitude, altitude : optional
        Where it was made.

    Raises
    ------
    ValueError
        Arrays of different lengths, fewer than 2 levels, a non-positive pressure or
        temperature, a Dataset without the molecular atmosphere.
    """
    import netCDF4

    heights, pressure, temperature, humidity = _sounding_levels(sounding)
    date, clock = _stamp(start)
    values = {"Altitude": heights, "Pressure": pressure / 100.0,
              "Temperature": temperature - 273.15, "RelativeHumidity": humidity}
    with netCDF4.Dataset(os.fspath(path), "w", format="NETCDF3_CLASSIC") as nc:
        nc.createDimension("points", heights.size)
        for name, (dims, kind, units) in SOUNDING_VARIABLES.items():
            value = values[name]
            if value is None:
                continue
            var = nc.createVariable(name, kind, dims)
            var.units = units
            var[:] = value
        nc.setncatts({"Sounding_Station_Name": station_name or "model atmosphere",
                      "Sounding_Start_Date": date, "Sounding_Start_Time_UT": clock,
                      "Latitude_degrees_north": float(latitude),
                      "Longitude_degrees_east": float(longitude),
                      "Altitude_meter_asl": float(altitude)})


def _gate_altitudes(rng: FloatArray, station_altitude: float, zenith: float) -> FloatArray:
    from Aerolume.atmosphere import beam_altitude

    base = station_altitude if np.isfinite(station_altitude) else 0.0
    return np.asarray(beam_altitude(rng, base, abs(zenith)), dtype=np.float64)


def _one_overlap(curve: Overlap, rng: FloatArray, name: str) -> FloatArray:
    """One overlap function on the range gates `rng` (NaN where it is not known)."""
    import xarray as xr

    if isinstance(curve, xr.Dataset):
        if "overlap" not in curve.variables:
            raise ValueError(f"to_scc: the overlap of {name} has no 'overlap' variable; give "
                             "a Dataset of estimate_overlap")
        if not int(curve.attrs.get("supported", 1)):
            raise ValueError(f"to_scc: the overlap estimate of {name} is not supported by "
                             f"the data ({curve.attrs.get('reason', 'no reason given')})")
        curve = curve["overlap"]
    r: ArrayLike
    o: ArrayLike
    if isinstance(curve, xr.DataArray):
        if curve.dims != ("range",):
            raise ValueError(f"to_scc: the overlap of {name} must lie on 'range' alone, "
                             f"not {curve.dims}")
        r, o = curve["range"].values, curve.values
    else:
        try:
            r, o = curve
        except (TypeError, ValueError):
            raise TypeError(f"to_scc: the overlap of {name} must be an estimate_overlap "
                            "Dataset, a DataArray on range, or (range m, overlap)") from None
    r, o = np.asarray(r, dtype=np.float64).ravel(), np.asarray(o, dtype=np.float64).ravel()
    if r.size != o.size or r.size < 2:
        raise ValueError(f"to_scc: the overlap of {name} needs ranges and values of one "
                         "length, at least 2")
    order = np.argsort(r, kind="stable")
    r, o = r[order], o[order]
    if not np.all(np.isfinite(r)) or np.any(np.diff(r) <= 0):
        raise ValueError(f"to_scc: the overlap of {name} needs finite, distinct ranges (m)")
    known = np.isfinite(o)
    if not known.any() or (o[known] <= 0).any() or (o[known] > 1.5).any():
        raise ValueError(f"to_scc: the overlap of {name} must be positive and about 1 at "
                         "most (a fraction, not a percentage)")
    out: FloatArray = np.interp(rng, r, o, left=np.nan, right=np.nan)
    top = np.flatnonzero(known)[-1]
    if o[top] == 1.0:  # complete at its top: complete beyond it
        out[rng > r[top]] = 1.0
    return out


def overlap_curves(overlap: Overlap | Mapping[str, Overlap], channels: Sequence[str],
                   rng: FloatArray) -> dict[str, FloatArray]:
    """The overlap of each channel (by id) on the range gates `rng`: one function for
    every channel, or a mapping of channel to function (see :func:`to_scc`)."""
    import xarray as xr

    if isinstance(overlap, Mapping) and not isinstance(overlap, xr.Dataset):
        unknown = [c for c in overlap if c not in channels]
        if unknown:
            raise ValueError(f"to_scc: the overlap names {unknown[0]!r}; the written channels "
                             f"are {', '.join(channels)}")
        if not overlap:
            raise ValueError("to_scc: the overlap mapping names no channel")
        return {c: _one_overlap(overlap[c], rng, c) for c in channels if c in overlap}
    return {c: _one_overlap(overlap, rng, c) for c in channels}


def lidar_ratio_profiles(lidar_ratio: Mapping[int, LidarRatio], altitude: FloatArray
                         ) -> dict[int, FloatArray]:
    """The lidar ratio (sr) of each SCC product id on `altitude` (m a.s.l.)."""
    from Aerolume.constants import MAX_LIDAR_RATIO

    if not isinstance(lidar_ratio, Mapping) or not lidar_ratio:
        raise TypeError("to_scc: lidar_ratio must map SCC product ids to a lidar ratio (sr) "
                        "or a profile (altitude m a.s.l., sr)")
    out = {}
    for product, value in lidar_ratio.items():
        if isinstance(product, bool) or not isinstance(product, (int, np.integer)) \
                or product <= 0:
            raise ValueError(f"to_scc: lidar-ratio product ids must be positive integers, "
                             f"got {product!r}")
        if np.ndim(value) == 0:
            profile = np.full(altitude.shape, float(cast(SupportsFloat, value)))
        else:
            try:
                z, lr = (np.asarray(v, dtype=np.float64).ravel()
                         for v in cast(Sequence[ArrayLike], value))
            except (TypeError, ValueError):
                raise TypeError(f"to_scc: the lidar ratio of product {product} must be a "
                                "number (sr) or (altitude m a.s.l., sr)") from None
            if z.size != lr.size or z.size < 2 or not np.all(np.isfinite(z)):
                raise ValueError(f"to_scc: the lidar-ratio profile of product {product} "
                                 "needs finite altitudes and values of one length, at least 2")
            order = np.argsort(z, kind="stable")
            profile = np.interp(altitude, z[order], lr[order])  # held beyond its ends
        if not np.all(np.isfinite(profile) & (profile > 0) & (profile <= MAX_LIDAR_RATIO)):
            raise ValueError(f"to_scc: the lidar ratio of product {product} must be within "
                             f"(0, {MAX_LIDAR_RATIO:g}] sr")
        out[int(product)] = profile
    return out


def write_overlap(path: str | os.PathLike[str], curves: Mapping[str, FloatArray],
                  rng: FloatArray, *, channel_ids: Mapping[str, int], measurement_id: str,
                  start: np.datetime64 | str) -> None:
    """Write the SCC's optional overlap file.

    Dimensions ``channels`` and ``points``; ``channel_ID`` (channels, int), ``Range``
    (points, m) and ``Overlap`` (channels, points, 1), the fill value where the overlap
    is not known; global attributes :data:`OVERLAP_GLOBALS`.

    Parameters
    ----------
    path : path
        The netCDF file (classic format).
    curves : mapping of str to ndarray
        Each channel's overlap on `rng` (NaN: not known), from :func:`overlap_curves`.
    rng : ndarray
        The raw file's range gates (m).
    channel_ids : mapping of str to int
        The SCC database id of each channel.
    measurement_id : str
        The raw-data file's measurement id.
    start : datetime64
        The measurement's start (when the overlap applies).
    """
    import netCDF4

    missing = {c: int(np.isnan(o).sum()) for c, o in curves.items() if np.isnan(o).any()}
    if missing:
        warnings.warn("to_scc: the overlap is not known at " + ", ".join(
            f"{n} of {rng.size} gates of {c}" for c, n in missing.items()) + "; those gates "
            "hold the fill value", UserWarning, stacklevel=3)
    date, clock = _stamp(start)
    values = {"channel_ID": np.array([int(channel_ids[c]) for c in curves]),
              "Range": np.asarray(rng, np.float64),
              "Overlap": np.ma.masked_invalid(np.array(list(curves.values()), np.float64))}
    with netCDF4.Dataset(os.fspath(path), "w", format="NETCDF3_CLASSIC") as nc:
        nc.createDimension("channels", len(curves))
        nc.createDimension("points", rng.size)
        for name, (dims, kind, units) in OVERLAP_VARIABLES.items():
            var = nc.createVariable(name, kind, dims,
                                    fill_value=_FILL if name == "Overlap" else None)
            if units:
                var.units = units
            var[...] = values[name]
        nc.setncatts({"Measurement_ID": measurement_id, "Overlap_Start_Date": date,
                      "Overlap_Start_Time_UT": clock})


def write_lidar_ratio(path: str | os.PathLike[str], profiles: Mapping[int, FloatArray],
                      altitude: FloatArray) -> None:
    """Write the SCC's optional lidar-ratio file.

    Dimensions ``products`` and ``points``; ``product_ID`` (products, int), ``Altitude``
    (points, m a.s.l.) and ``Lidar_Ratio`` (products, points, sr).

    Parameters
    ----------
    path : path
        The netCDF file (classic format).
    profiles : mapping of int to ndarray
        Each SCC product id's lidar ratio (sr) on `altitude`, from
        :func:`lidar_ratio_profiles`.
    altitude : ndarray
        Altitudes of the raw file's range gates (m a.s.l.).
    """
    import netCDF4

    values = {"product_ID": np.array(list(profiles), dtype=np.int64),
              "Altitude": np.asarray(altitude, np.float64),
              "Lidar_Ratio": np.array(list(profiles.values()), np.float64)}
    with netCDF4.Dataset(os.fspath(path), "w", format="NETCDF3_CLASSIC") as nc:
        nc.createDimension("products", len(profiles))
        nc.createDimension("points", altitude.size)
        for name, (dims, kind, units) in LIDAR_RATIO_VARIABLES.items():
            var = nc.createVariable(name, kind, dims)
            if units:
                var.units = units
            var[...] = values[name]
