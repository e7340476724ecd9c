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

Global attributes: ``Measurement_ID`` (date, station code, start hour and minute:
``YYYYMMDDccHHMM``), ``RawData_Start_Date`` (``YYYYMMDD``), ``RawData_Start_Time_UT`` and
``RawData_Stop_Time_UT`` (``HHMMSS``), ``Altitude_meter_asl``, ``Latitude_degrees_north``,
``Longitude_degrees_east``, and the names of the optional ``Sounding_File_Name``,
``Overlap_File_Name`` and ``LR_File_Name`` files when given.

The sounding file itself is written by :func:`write_sounding` (and by :func:`to_scc`
given ``sounding=``): dimension ``points``; ``Altitude`` (m a.s.l.), ``Pressure`` (hPa),
``Temperature`` (C), optionally ``RelativeHumidity`` (%); the sounding's station, start
date and time and position as global attributes.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Union, cast

import numpy as np
from numpy.typing import ArrayLike

from Aerolume._typing import FloatArray

if TYPE_CHECKING:
    import xarray as xr

#: A sounding to write: its levels' (altitude m, pressure Pa, temperature K[, relative
#: humidity %]), or a product Dataset with its molecular atmosphere.
Sounding = Union[Sequence[ArrayLike], "xr.Dataset"]

__all__ = ["to_scc", "write_sounding", "SCC_VARIABLES", "SCC_GLOBALS", "SOUNDING_VARIABLES"]

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


def to_scc(ds: xr.Dataset, path: str | os.PathLike[str], *, channel_ids: Mapping[str, int] | None = None,
           station_code: str = "xx", measurement_id: str | None = None,
           background: Mapping[str, Sequence[float]] | Sequence[float] | None = None,
           sounding_file: str | None = None, overlap_file: str | None = None,
           lidar_ratio_file: str | None = None, sounding: Sounding | None = None) -> None:
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
        The station's two-letter code, in the measurement id.
    measurement_id : str, optional
        Default ``YYYYMMDD`` + `station_code` + ``HHMM`` of the first profile's start.
    background : (low, high) or mapping of channel to (low, high), optional
        Range interval of the background (m); default the farthest tenth of the range.
    sounding_file, overlap_file, lidar_ratio_file : str, optional
        Names of the optional SCC input files sent with this one.
    sounding : (altitude, pressure, temperature) or xarray.Dataset, optional
        The atmosphere to send with it (m a.s.l., Pa, K; or a product of ``aerolume
        process``, whose molecular atmosphere is used): written by
        :func:`write_sounding` beside `path` as `sounding_file` (default
        ``rs_<measurement id>.nc``), and ``Molecular_Calc`` says so (0).

    Raises
    ------
    ValueError
        The Dataset lacks a raw variable, a channel id is unknown or not a positive
        integer, a background interval is not inside the range, or shots do not fit
        32 bits.
    """
    import netCDF4

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
    if sounding is not None:
        sounding_file = sounding_file or f"rs_{measurement_id or date + station_code + clock[:4]}.nc"
        write_sounding(os.path.join(os.path.dirname(os.fspath(path)), sounding_file), sounding,
                       start=start[0], station_name=str(ds.attrs.get("site", "")),
                       latitude=float(ds.attrs.get("latitude", np.nan)),
                       longitude=float(ds.attrs.get("longitude", np.nan)),
                       altitude=float(ds.attrs.get("altitude", np.nan)))
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
        "Measurement_ID": measurement_id or f"{date}{station_code}{clock[:4]}",
        "RawData_Start_Date": date,
        "RawData_Start_Time_UT": clock,
        "RawData_Stop_Time_UT": stop_clock,
        "Altitude_meter_asl": float(ds.attrs.get("altitude", np.nanmean(
            np.asarray(ds["station_altitude"].values, float)) if "station_altitude" in ds
            else 0.0)),
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
