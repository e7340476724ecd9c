"""The aerosol products in the EARLINET/ACTRIS data centre's product format (version 2).

One file per product type and wavelength:

- ``backscatter``: the Raman backscatter where the product has one, else the
  Klett-Fernald backscatter; ``retrieval_method`` says which (0 Raman, 1 elastic);
- ``extinction``: the Raman extinction (the elastic extinction only restates the assumed
  lidar ratio and is not exported);
- ``depolarization``: where the product has depolarisation ratios (a
  ``[[depolarization]]`` table), ``volumedepolarization`` and ``particledepolarization``
  with their ``error_`` twins, and the calibration used (``depolarization_calibration_
  factor`` eta* and its ``error_``, ``depolarization_calibration_time``).

Each file has dimensions ``wavelength`` (1), ``time`` (the profiles), ``altitude`` (above
sea level: the vertical axis) and ``nv`` (2, bounds); variables ``backscatter`` or
``extinction`` on (wavelength, time, altitude) with their ``error_`` twins (the standard
uncertainty), ``vertical_resolution`` (m), ``time_bounds``, ``altitude``, ``wavelength``
(nm), ``latitude``, ``longitude``, ``station_altitude`` (single precision, as the format
has them), ``zenith_angle``, ``shots``,
``retrieval_method``, ``backscatter_calibration_range`` (m a.s.l., the reference interval)
and ``backscatter_calibration_value``, and ``cloud_mask`` (time, altitude) when the
product has one.  Global attributes from the configuration's ``[station]`` table:
``station_ID``, ``location``, ``institution``, ``PI``, ``PI_affiliation``,
``data_originator``, ``system``; and ``measurement_start_datetime``,
``measurement_stop_datetime``, ``__file_format_version`` = "2.0", ``Conventions``.
"""

from __future__ import annotations

import os
import pathlib
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
from numpy.typing import ArrayLike, NDArray

from Aerolume._typing import FloatArray

if TYPE_CHECKING:
    import netCDF4
    import xarray as xr


__all__ = ["to_earlinet"]

FILE_FORMAT_VERSION = "2.0"
_STATION_ATTRS = {"station_id": "station_ID", "location": "location",
                  "institution": "institution", "pi": "PI", "pi_affiliation": "PI_affiliation",
                  "data_originator": "data_originator", "system": "system"}
_METHODS = "raman elastic_backscatter"


class _Writer(Protocol):
    """Creates a variable of the file being written (name, type, dimensions, values and
    attributes, ``_FillValue`` among them) and returns it."""

    def __call__(self, vname: str, kind_: str, dims: tuple[str, ...], data: ArrayLike,
                 **attrs: Any) -> netCDF4.Variable[Any]: ...


def _iso(t: np.datetime64) -> str:
    return str(np.datetime_as_string(t.astype("datetime64[s]"), unit="s")) + "Z"


def _sources(ds: xr.Dataset) -> list[tuple[str, str, str, int, str]]:
    """(kind, variable, dimension, method, channel) of each product the Dataset can give."""
    out: list[tuple[str, str, str, int, str]] = []
    for dim, prefix, method in (("raman_channel", "raman_", 0), ("klett_channel", "", 1)):
        if dim not in ds.dims:
            continue
        for channel in [str(c) for c in ds[dim].values]:
            if f"{prefix}backscatter" in ds and not any(o[0] == "backscatter" and o[4] == channel
                                                        for o in out):
                out.append(("backscatter", f"{prefix}backscatter", dim, method, channel))
            if method == 0 and "raman_extinction" in ds:
                out.append(("extinction", "raman_extinction", dim, 0, channel))
    if "depolarization_channel" in ds.dims and "volume_depolarization" in ds:
        for channel in [str(c) for c in ds["depolarization_channel"].values]:
            out.append(("depolarization", "volume_depolarization", "depolarization_channel",
                        -1, channel))
    return out


def _depolarization(var: _Writer, one: xr.Dataset, ds: xr.Dataset) -> None:
    """The depolarisation file's own variables: both ratios, their errors, the calibration."""
    dims = ("wavelength", "time", "altitude")
    for name, long in (("volume_depolarization", "volume linear depolarization ratio"),
                       ("particle_depolarization", "particle linear depolarization ratio")):
        if name not in one:
            continue
        short = name.replace("_", "")
        values = np.asarray(one[name].values, dtype=float)[None]
        var(short, "f8", dims, values, _FillValue=np.nan, units="1", long_name=long,
            ancillary_variables=f"error_{short}")
        sd = (np.asarray(one[f"{name}_uncertainty"].values, dtype=float)[None]
              if f"{name}_uncertainty" in one else np.full(values.shape, np.nan))
        var(f"error_{short}", "f8", dims, sd, _FillValue=np.nan, units="1",
            long_name=f"absolute statistical uncertainty of the {long}")
    if "depolarization_eta_star" in one:
        var("depolarization_calibration_factor", "f8", ("wavelength",),
            [float(one["depolarization_eta_star"])], _FillValue=np.nan, units="1",
            long_name="depolarization calibration factor eta*")
        var("error_depolarization_calibration_factor", "f8", ("wavelength",),
            [float(one["depolarization_eta_star_uncertainty"])], _FillValue=np.nan,
            units="1", long_name="absolute uncertainty of the depolarization calibration "
            "factor")
    if "depolarization_calibration_time" in one:
        t = np.asarray(one["depolarization_calibration_time"].values)
        if t.dtype.kind == "M":  # (decoded from the product file)
            t = t.astype("datetime64[s]")
            seconds = (np.nan if np.isnat(t) else
                       float((t - np.datetime64("1970-01-01T00:00:00", "s")).astype(float)))
        else:
            seconds = float(t)
        var("depolarization_calibration_time", "f8", ("wavelength",), [seconds],
            _FillValue=np.nan, units="seconds since 1970-01-01T00:00:00Z",
            calendar="gregorian", long_name="start of the depolarization calibration")


def _optical(var: _Writer, one: xr.Dataset, ds: xr.Dataset, kind: str, name: str,
             method: int, long: str, values: FloatArray, errors: FloatArray,
             altitude: FloatArray) -> None:
    """A backscatter or extinction file's own variables."""
    unit = {"backscatter": "m-1 sr-1", "extinction": "m-1"}[kind]
    var(kind, "f8", ("wavelength", "time", "altitude"), values, _FillValue=np.nan,
        units=unit, long_name=long, ancillary_variables=f"error_{kind} vertical_resolution",
        **({"standard_name": ds[name].attrs["standard_name"]}
           if "standard_name" in ds[name].attrs else {}))
    var(f"error_{kind}", "f8", ("wavelength", "time", "altitude"), errors,
        _FillValue=np.nan, units=unit, long_name=f"absolute statistical uncertainty of "
        f"the {long}")
    var("retrieval_method", "i4", ("wavelength",), [method], long_name="method used "
        "for the retrieval", flag_values=np.array([0, 1], np.int32),
        flag_meanings=_METHODS)
    bottom = top = np.nan
    if name == "backscatter" and "reference_bottom" in ds:
        rb = np.asarray(one["reference_bottom"].values, float)
        rt = np.asarray(one["reference_top"].values, float)
        if np.isfinite(rb).any():
            z = float(ds.attrs.get("zenith_angle", 0.0))
            base = float(ds.attrs.get("station_altitude", altitude[0]))
            c = np.cos(np.radians(z))
            bottom, top = base + np.nanmedian(rb) * c, base + np.nanmedian(rt) * c
    var("backscatter_calibration_range", "f8", ("wavelength", "nv"), [[bottom, top]],
        _FillValue=np.nan, units="m", long_name="height range (above sea level) of "
        "the backscatter calibration")
    value = float(ds[name].attrs.get("reference_value", np.nan)) \
        if not isinstance(ds[name].attrs.get("reference_value"), str) else \
        float(ds[name].attrs["reference_value"])
    var("backscatter_calibration_value", "f8", ("wavelength",), [value],
        _FillValue=np.nan, units="1", long_name="assumed backscatter ratio in the "
        "calibration range")


def to_earlinet(ds: xr.Dataset, folder: str | os.PathLike[str], *,
                station: Mapping[str, Any] | None = None) -> list[pathlib.Path]:
    """Write the product's backscatter and extinction profiles as data-centre files.

    Parameters
    ----------
    ds : xarray.Dataset
        A product of ``aerolume process`` (read with :func:`Aerolume.io.open_dataset`).
    folder : path
        Where the files go (an existing folder).  Names:
        ``{station_id}_{kind}_{wavelength nm}_{start YYYYmmddHHMM}.nc``.
    station : mapping, optional
        The configuration's ``[station]`` table (``station_id``, ``pi`` ...).

    Returns
    -------
    list of pathlib.Path
        The files written.

    Raises
    ------
    ValueError
        The Dataset has no backscatter product or no ``altitude``.
    """
    import netCDF4

    folder = pathlib.Path(folder)
    if not folder.is_dir():
        raise ValueError(f"to_earlinet: {folder} is not a folder")
    if "altitude" not in ds:
        raise ValueError("to_earlinet: ds has no 'altitude'; give a product of aerolume process")
    station = dict(station or {})
    products = _sources(ds)
    if not products:
        raise ValueError("to_earlinet: ds holds no backscatter or extinction product")
    altitude = np.asarray(ds["altitude"].values, dtype=float)
    start = ds["time"].values.astype("datetime64[s]")
    if "stop_time" in ds.variables:
        stop = ds["stop_time"].values.astype("datetime64[s]")
    else:  # (a product without time averaging keeps no stop times: the next start)
        step_t = np.median(np.diff(start)) if start.size > 1 else np.timedelta64(60, "s")
        stop = np.append(start[1:], start[-1] + step_t)
    def seconds(t: NDArray[np.datetime64]) -> FloatArray:
        return (t - np.datetime64("1970-01-01T00:00:00", "s")).astype(np.float64)

    step = float(np.median(np.diff(ds["range"].values))) if ds.sizes["range"] > 1 else np.nan
    written: list[pathlib.Path] = []
    for kind, name, dim, method, channel in products:
        one = ds.sel({dim: channel})
        nm = float(np.round(float(ds["wavelength"].sel(channel=channel)) * 1e9, 6)) \
            if channel in [str(c) for c in ds["channel"].values] else np.nan
        stamp = str(start[0]).replace("-", "").replace("T", "").replace(":", "")[:12]
        path = folder / f"{station.get('station_id') or 'xxx'}_{kind}_{nm:g}_{stamp}.nc"
        values = np.asarray(one[name].values, dtype=float)[None]
        errors = (np.asarray(one[f"{name}_uncertainty"].values, dtype=float)[None]
                  if f"{name}_uncertainty" in one else np.full(values.shape, np.nan))
        if kind == "extinction" and "raman_effective_resolution" in ds:
            resolution = np.asarray(one["raman_effective_resolution"].values, float)[None]
        else:
            resolution = np.full(values.shape, step)
        with netCDF4.Dataset(path, "w", format="NETCDF4") as nc:
            nc.createDimension("wavelength", 1)
            nc.createDimension("time", start.size)
            nc.createDimension("altitude", altitude.size)
            nc.createDimension("nv", 2)

            def var(vname: str, kind_: str, dims: tuple[str, ...], data: ArrayLike,
                    **attrs: Any) -> netCDF4.Variable[Any]:
                fill = attrs.pop("_FillValue", None)
                v = nc.createVariable(vname, kind_, dims, fill_value=fill)
                v.setncatts(attrs)
                v[...] = data
                return v

            var("altitude", "f8", ("altitude",), altitude, units="m", long_name="height above "
                "sea level", standard_name="altitude", positive="up", axis="Z")
            var("time", "f8", ("time",), seconds(start), units="seconds since 1970-01-01T00:00:00Z",
                calendar="gregorian", standard_name="time", long_name="time", axis="T",
                bounds="time_bounds")
            var("time_bounds", "f8", ("time", "nv"), np.stack([seconds(start), seconds(stop)], -1))
            var("wavelength", "f8", ("wavelength",), [nm], units="nm", long_name="wavelength "
                "of the transmitted laser pulse")
            long = {"backscatter": "aerosol backscatter coefficient",
                    "extinction": "aerosol extinction coefficient",
                    "depolarization": "linear depolarization ratios"}[kind]
            var("vertical_resolution", "f8", ("wavelength", "time", "altitude"), resolution,
                _FillValue=np.nan, units="m", long_name="effective vertical resolution")
            if kind == "depolarization":
                _depolarization(var, one, ds)
            else:
                _optical(var, one, ds, kind, name, method, long, values, errors, altitude)
            # The station's position is single precision in the format (its zenith
            # angle is not listed with it and stays double).
            for vname, kind_, units, standard in (
                    ("latitude", "f4", "degrees_north", "latitude"),
                    ("longitude", "f4", "degrees_east", "longitude"),
                    ("station_altitude", "f4", "m", None),
                    ("zenith_angle", "f8", "degrees", None)):
                extra = {"standard_name": standard} if standard else {}
                var(vname, kind_, (), float(ds.attrs.get(vname, np.nan)), units=units,
                    long_name=vname.replace("_", " "), **extra)
            if "profiles" in ds:
                var("shots", "i4", ("time",), np.asarray(ds["profiles"].values, np.int32),
                    units="1", long_name="raw profiles averaged")
            if "cloud_mask" in ds and set(ds["cloud_mask"].dims) == {"time", "range"}:
                var("cloud_mask", "i1", ("time", "altitude"),
                    np.asarray(ds["cloud_mask"].transpose("time", "range").values, np.int8),
                    long_name="cloud mask", **{k: v for k, v in ds["cloud_mask"].attrs.items()
                                              if k.startswith("flag_")})
            attrs = {"Conventions": "CF-1.7", "__file_format_version": FILE_FORMAT_VERSION,
                     "title": f"{long} at {nm:g} nm", "source": "ground-based lidar",
                     "history": str(ds.attrs.get("history", "")),
                     "comment": f"written by Aerolume {ds.attrs.get('aerolume_version', '')}",
                     "measurement_start_datetime": _iso(start[0]),
                     "measurement_stop_datetime": _iso(stop[-1])}
            if "uuid" in ds.attrs:
                attrs["source_file_uuid"] = str(ds.attrs["uuid"])
            for key, attr in _STATION_ATTRS.items():
                attrs[attr] = str(station.get(key) or "")
            nc.setncatts(attrs)
        written.append(path)
    return written
