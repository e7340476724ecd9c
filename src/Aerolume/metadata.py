"""The CF attributes of every variable Aerolume writes, and the Dataset made ready for them.

:data:`VARIABLES` is the one table of the written variables' attributes: for each name its
``units``, ``long_name``, ``standard_name`` (where the CF standard-name table has one),
``cell_methods`` (variables averaged over each profile's interval) and the
``ancillary_variables`` that belong to it (uncertainties and quality flags; only those
present in the Dataset are linked).  :func:`for_netcdf` applies the table to a Dataset on
its way to a file, so that a variable added by any part of the package gets its attributes
here, and makes the file pass the CF checkers:

- integers in CF types (int64 becomes int32, refused when a value does not fit; booleans
  become bytes), strings as fixed-length character arrays (``_Encoding`` utf-8) rather
  than variable-length strings;
- no ``_FillValue`` on coordinates;
- ``time_bnds`` (the start and end of each profile's acquisition) as the bounds of
  ``time``;
- a ``units`` attribute on every numeric variable.

Per-channel units.  The signals (``signal``, ``signal_noise``, ``background``,
``background_std``) hold each channel in its own unit: analog channels in mV, photon
counting and glued channels as count rates in MHz.  They are written with ``units = "1"``
and ``units_convention = "per_channel"``: the unit of channel *i* is the string
``signal_units[i]`` (a coordinate of the same variables), which readers must apply.  This
keeps the product's layout (one variable over all channels) and passes both checkers; the
``comment`` of each such variable says so in words.

Flags (``quality_flag``, ``raman_quality_flag``, ``cloud_mask`` ...) get their
``flag_masks`` / ``flag_values`` / ``flag_meanings`` from their producer; the table only
adds ``long_name`` and ``units`` and keeps what the producer set.
"""

from __future__ import annotations

import hashlib
import os
import uuid as _uuid
from collections.abc import Hashable, Iterable, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from Aerolume._typing import AnyArray

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["VARIABLES", "PER_CHANNEL_UNITS", "for_netcdf", "relative_sources", "file_digest"]

_M1SR1 = "m-1 sr-1"
_BSC = "volume_backwards_scattering_coefficient_of_radiative_flux_by_ranging_instrument_in_air_due_to_ambient_aerosol_particles"  # noqa: E501
_EXT = "volume_extinction_coefficient_of_radiative_flux_in_air_due_to_ambient_aerosol_particles"
_LR = ("ratio_of_volume_extinction_coefficient_to_volume_backwards_scattering_coefficient_"
       "by_ranging_instrument_in_air_due_to_ambient_aerosol_particles")
_MEAN = "time: mean"

#: The comment on a variable whose channels have their own units (see the module notes).
PER_CHANNEL_UNITS = ("each channel in its own unit, given by the signal_units coordinate "
                     "(analog mV, photon counting MHz); units is 1 by this convention")


def _row(units: str | None = None, long_name: str | None = None,
         standard_name: str | None = None, cell_methods: str | None = None,
         ancillary: Iterable[str] = (), per_channel: bool = False, **extra: str
         ) -> dict[str, Any]:
    row: dict[str, Any] = {key: value for key, value in (("units", units), ("long_name", long_name),
                                         ("standard_name", standard_name),
                                         ("cell_methods", cell_methods)) if value is not None}
    if per_channel:
        row.update(units="1", units_convention="per_channel", comment=PER_CHANNEL_UNITS)
    row.update(extra)
    if ancillary:
        row["_ancillary"] = tuple(ancillary)
    return row


def _uncertain(name: str, units: str | None, long_name: str, standard_name: str | None = None,
               flags: Iterable[str] = (), cell_methods: str | None = _MEAN
               ) -> dict[str, dict[str, Any]]:
    """Rows of a product and of its ``_uncertainty`` twin."""
    return {
        name: _row(units, long_name, standard_name, cell_methods,
                   ancillary=(f"{name}_uncertainty",) + tuple(flags)),
        f"{name}_uncertainty": _row(units, f"standard deviation of the {long_name}",
                                    f"{standard_name} standard_error" if standard_name else None,
                                    cell_methods),
    }


#: name -> CF attributes.  ``_ancillary`` lists the variables linked through
#: ``ancillary_variables`` when they are present.
VARIABLES: dict[str, dict[str, Any]] = {
    # ---- coordinates
    "time": _row(None, "start of the profile's acquisition (UTC)", "time"),
    "stop_time": _row(None, "end of the profile's acquisition (UTC)"),
    "time_bnds": _row(None, "start and end of the profile's acquisition (UTC)"),
    "range": _row("m", "distance along the beam from the instrument to the centre of the bin"),
    "altitude": _row("m", "altitude of the gate above sea level", "altitude", positive="up"),
    "channel": _row(None, "channel id"),
    "klett_channel": _row(None, "channel of the Klett-Fernald retrieval"),
    "raman_channel": _row(None, "elastic channel of the Raman retrieval"),
    "raman_signal_channel": _row(None, "Raman channel of the Raman retrieval"),
    "signal_units": _row(None, "units of the signal in each channel"),
    "wavelength": _row("m", "detected wavelength", "radiation_wavelength"),
    "detection_mode": _row(None, "detection mode"),
    "polarization": _row(None, "polarisation relative to the laser's"),
    "bin_width": _row("m", "range bin width"),
    "bins": _row("1", "number of range bins recorded"),
    "laser_type": _row("1", "laser type (1, 2 or 3) the channel records"),
    "recorder": _row(None, "transient recorder id"),
    "high_voltage": _row("V", "photomultiplier high voltage"),
    "adc_bits": _row("1", "ADC resolution (0 for photon counting)"),
    "input_range": _row("V", "analog input range (NaN for photon counting)"),
    "discriminator_level": _row("1", "photon-counting discriminator level (NaN for analog)"),
    "bin_shift": _row("1", "bin shift written by the acquisition"),
    "bin_shift_decimals": _row("1", "decimal places of the bin shift, as written"),
    "source_file": _row(None, "raw file of the profile"),
    "header_file_name": _row(None, "file name written in the header"),
    "header_comment": _row(None, "custom field of the header"),
    "controller_info": _row(None, "fields after the laser fields of the header"),
    "station_altitude": _row("m", "station altitude above sea level"),
    "latitude": _row("degrees_north", "latitude", "latitude"),
    "longitude": _row("degrees_east", "longitude", "longitude"),
    "zenith_angle": _row("degree", "zenith angle of the beam"),
    "azimuth_angle": _row("degree", "azimuth angle of the beam"),
    "temperature": _row("K", "temperature at the station from the header", "air_temperature"),
    "pressure": _row("Pa", "pressure at the station from the header", "air_pressure"),
    "laser": _row("1", "laser type"),
    "laser_shots": _row("1", "laser shots in the profile", cell_methods="time: sum"),
    "repetition_rate": _row("Hz", "laser repetition rate"),
    "profiles": _row("1", "profiles averaged", cell_methods="time: sum"),
    # ---- signals
    "signal": _row(long_name="lidar signal", cell_methods=_MEAN, per_channel=True,
                   ancillary=("signal_noise",)),
    "signal_noise": _row(long_name="standard deviation of signal", cell_methods=_MEAN,
                         per_channel=True),
    "raw": _row("1", "recorder counts summed over the shots", cell_methods="time: sum"),
    "shots": _row("1", "laser shots summed", cell_methods="time: sum"),
    "background": _row(long_name="background per profile before subtraction",
                       cell_methods=_MEAN, per_channel=True, ancillary=("background_std",)),
    "background_std": _row(long_name="standard deviation of the background window",
                           cell_methods=_MEAN, per_channel=True),
    "dead_time_saturated": _row("1", "bins beyond the dead-time model's reach (NaN in signal)"),
    "dead_time": _row("ns", "dead time of the photon-counting channel"),
    "glue_slope": _row("MHz mV-1", "glue fit slope (photon-counting rate per analog signal)",
                       cell_methods=_MEAN),
    "glue_offset": _row("MHz", "glue fit offset", cell_methods=_MEAN),
    "glue_correlation": _row("1", "correlation of the glue fit", cell_methods=_MEAN),
    "glue_bins": _row("1", "bins used by the glue fit"),
    "overlap": _row("1", "overlap function of the channel"),
    "full_overlap_height": _row("m", "range of full overlap"),
    # ---- molecular atmosphere
    "alpha_m": _row("m-1", "molecular (Rayleigh) extinction coefficient"),
    "beta_m": _row(_M1SR1, "molecular (Rayleigh) backscatter coefficient"),
    "lidar_ratio_m": _row("sr", "molecular lidar ratio"),
    "transmission_m2": _row("1", "two-way molecular transmission from the instrument"),
    "attenuated_beta_m": _row(_M1SR1, "attenuated molecular backscatter coefficient",
                              "volume_attenuated_backwards_scattering_coefficient_of_radiative_"
                              "flux_in_air_assuming_no_aerosol_or_cloud"),
    "molecular_temperature": _row("K", "molecular atmosphere: air temperature",
                                  "air_temperature"),
    "molecular_pressure": _row("Pa", "molecular atmosphere: air pressure", "air_pressure"),
    "molecular_number_density": _row("m-3", "molecular atmosphere: number density of air "
                                     "molecules"),
    # ---- Klett-Fernald
    **_uncertain("backscatter", _M1SR1, "aerosol backscatter coefficient (Klett-Fernald)",
                 _BSC, flags=("quality_flag",)),
    **_uncertain("extinction", "m-1", "aerosol extinction coefficient (Klett-Fernald)",
                 _EXT, flags=("quality_flag",)),
    "reference_bottom": _row("m", "bottom of the reference interval along the beam"),
    "reference_top": _row("m", "top of the reference interval along the beam"),
    "quality_flag": _row("1", "quality flag of the Klett-Fernald products"),
    "reference_offset": _row("1", "residual background offset fitted over the reference "
                             "interval and removed (signal units of the channel)"),
    # ---- Raman
    **_uncertain("raman_extinction", "m-1", "aerosol extinction coefficient (Raman method)",
                 _EXT, flags=("raman_extinction_statistical_error", "raman_quality_flag",
                              "raman_effective_resolution")),
    **_uncertain("raman_backscatter", _M1SR1, "aerosol backscatter coefficient (Raman "
                 "method)", _BSC, flags=("raman_quality_flag",)),
    **_uncertain("raman_lidar_ratio", "sr", "aerosol extinction-to-backscatter ratio (Raman "
                 "method)", _LR, flags=("raman_quality_flag",)),
    "raman_extinction_statistical_error": _row("m-1", "statistical error of the Raman "
                                               "extinction", cell_methods=_MEAN),
    "raman_effective_resolution": _row("m", "effective vertical resolution of the Raman "
                                       "extinction"),
    "raman_quality_flag": _row("1", "quality flag of the Raman products"),
    "raman_failed_realisations": _row("1", "Monte Carlo realisations of the Raman method "
                                      "that failed at the gate"),
    # ---- clouds and the boundary layer
    "cloud_mask": _row("1", "cloud mask"),
    "cloud_base": _row("m", "cloud base"),
    "cloud_top": _row("m", "cloud top"),
    "cloud_layers": _row("1", "number of cloud layers found"),
    "cloud_detection_flag": _row("1", "quality flag of the cloud detection"),
    "layer": _row("1", "cloud layer, from the lowest"),
    "boundary_layer_height": _row("m", "height of the boundary layer top above the "
                                  "station", "atmosphere_boundary_layer_thickness",
                                  ancillary=("boundary_layer_height_flag",)),
    "boundary_layer_height_flag": _row("1", "quality flag of the boundary layer height"),
    # ---- depolarisation
    **_uncertain("volume_depolarization", "1", "volume linear depolarisation ratio",
                 flags=("volume_depolarization_flag",)),
    **_uncertain("particle_depolarization", "1", "particle linear depolarisation ratio",
                 flags=("particle_depolarization_flag", "backscatter_ratio")),
    "volume_depolarization_flag": _row("1", "quality flag of the volume depolarisation "
                                       "ratio"),
    "particle_depolarization_flag": _row("1", "quality flag of the particle depolarisation "
                                         "ratio"),
    "backscatter_ratio": _row("1", "backscatter ratio (beta_a + beta_m) / beta_m behind the "
                              "particle depolarisation ratio", cell_methods=_MEAN),
    "depolarization_channel": _row(None, "cross-polarised channel of the depolarisation "
                                   "pair"),
    "depolarization_co_channel": _row(None, "parallel or total channel of the "
                                      "depolarisation pair"),
    "depolarization_eta_star": _row("1", "depolarisation calibration factor eta* (cross "
                                    "to co gain ratio the calibration measured)",
                                    ancillary=("depolarization_eta_star_uncertainty",
                                               "depolarization_calibration_time",
                                               "depolarization_calibration_method",
                                               "depolarization_calibration_origin",
                                               "depolarization_calibration_file")),
    "depolarization_eta_star_uncertainty": _row("1", "standard deviation of the "
                                                "depolarisation calibration factor eta*"),
    "depolarization_eta": _row("1", "depolarisation gain ratio eta = eta* / K used"),
    "depolarization_misalignment": _row("degree", "rotational misalignment of the "
                                        "polarisation plane the calibration estimated "
                                        "(NaN: not measured)"),
    "depolarization_calibration_time": _row("seconds since 1970-01-01 00:00:00",
                                            "start of the depolarisation calibration "
                                            "measurement (UTC; NaN: none, a constant)",
                                            calendar="standard"),
    "depolarization_calibration_method": _row(None, "depolarisation calibration method "
                                              "(delta90: the +-45 degree measurement; "
                                              "molecular: clean-air fallback; constant)"),
    "depolarization_calibration_origin": _row(None, "how the depolarisation calibration "
                                              "was obtained for this night (measured, "
                                              "history: an earlier night's, configuration)"),
    "depolarization_calibration_file": _row(None, "files the depolarisation calibration "
                                            "came from, by name (raw files or the history "
                                            "file)"),
}

_TIME_UNITS = "seconds since 1970-01-01 00:00:00"
_INT32 = np.iinfo(np.int32)
_UINT32 = np.iinfo(np.uint32)


def _cf_dtype(name: str, values: AnyArray) -> np.dtype[Any] | None:
    """The CF integer type to write `values` in (None: already a CF type)."""
    kind, size = values.dtype.kind, values.dtype.itemsize
    if kind == "b":
        return np.dtype(np.int8)
    if kind not in "iu" or size < 8:
        return None
    limits = _INT32 if kind == "i" else _UINT32
    if values.size and (values.min() < limits.min or values.max() > limits.max):
        raise ValueError(f"variable {name!r}: values up to {values.max()} do not fit the "
                         f"{'' if kind == 'i' else 'unsigned '}32-bit integers of CF files")
    return np.dtype(np.int32 if kind == "i" else np.uint32)


def _is_text(values: AnyArray) -> bool:
    return values.dtype.kind in "OUS"


def time_bounds(ds: xr.Dataset) -> xr.Variable | None:
    """The CF ``time_bnds`` of a Dataset with ``time`` and ``stop_time`` (each profile's
    start and end), or None (none to make, or already there)."""
    import xarray as xr

    if "time" not in ds.dims or "stop_time" not in ds.variables or "time_bnds" in ds:
        return None
    return xr.Variable(("time", "bnds"),
                       np.stack([ds["time"].values, ds["stop_time"].values], axis=-1))


def check_cf_integers(name: str, values: AnyArray) -> None:
    """ValueError where integers `values` do not fit the 32 bits of a CF file."""
    _cf_dtype(name, values)


def for_netcdf(ds: xr.Dataset, encoding: Mapping[Hashable, Mapping[str, Any]] | None = None
               ) -> tuple[xr.Dataset, dict[Hashable, dict[str, Any]]]:
    """The Dataset as it is written: CF attributes from :data:`VARIABLES`, ``time_bnds``,
    and the encoding that gives CF types.

    Parameters
    ----------
    ds : xarray.Dataset
        Raw, corrected or product Dataset of this package (left unchanged).
    encoding : dict, optional
        The caller's encoding per variable; kept, with the CF types added.

    Returns
    -------
    (xarray.Dataset, dict)
        The Dataset to write and its encoding.

    Raises
    ------
    ValueError
        An integer variable holds values beyond 32 bits.
    """

    out = ds.copy(deep=False)
    encodings = {name: dict(value) for name, value in (encoding or {}).items()}
    bounds = time_bounds(out)
    if bounds is not None:
        out["time_bnds"] = bounds
        out["time"].attrs["bounds"] = "time_bnds"
    coords = set(out.coords)
    for name, variable in out.variables.items():
        row = VARIABLES.get(str(name), {})
        attrs = dict(variable.attrs)
        for key, value in row.items():
            if key == "_ancillary":
                present = [a for a in value if a in out.variables]
                if present:
                    attrs["ancillary_variables"] = " ".join(present)
            elif key == "long_name":
                attrs.setdefault(key, value)
            elif key == "cell_methods":  # (data variables only, CF Appendix A)
                if "time" in variable.dims and name in out.data_vars:
                    attrs[key] = value
            else:
                attrs[key] = value
        if name == "time_bnds":  # bounds carry no attributes of their own (CF 7.1)
            attrs = {}
        values = variable.values if variable.dtype.kind != "M" else None
        enc = encodings.setdefault(name, {})
        if variable.dtype.kind == "M":
            enc.setdefault("units", _TIME_UNITS)
            enc.setdefault("calendar", "standard")
            enc.setdefault("dtype", "float64")
            attrs.pop("units", None)
        elif values is not None and _is_text(values):
            enc["dtype"] = "S1"
            for key in ("zlib", "complevel"):
                enc.pop(key, None)
        elif values is not None:
            dtype = _cf_dtype(str(name), values)
            if dtype is not None:
                enc["dtype"] = dtype
            if values.dtype.kind in "fiub" and "units" not in attrs and "flag_meanings" not in attrs:
                attrs["units"] = "1"
        if name in coords or name == "time_bnds":
            enc["_FillValue"] = None
        variable.attrs = attrs
    return out, {k: v for k, v in encodings.items() if v}


def common_root(paths: Iterable[str]) -> str:
    """The deepest folder holding every file of `paths` (absolute)."""
    folders = [os.path.dirname(os.path.abspath(p)) for p in paths]
    if not folders:
        return os.getcwd()
    return os.path.commonpath(folders)


def relative_sources(paths: Iterable[str], root: str | os.PathLike[str] | None = None
                     ) -> list[str]:
    """`paths` relative to `root` (default: their common folder), with ``/`` separators.

    Parameters
    ----------
    paths : iterable of str
        File paths.
    root : str or path, optional
        The folder they are made relative to.

    Returns
    -------
    list of str
        The relative paths, in the order given.
    """
    names = [os.fspath(p) for p in paths]
    base = os.path.abspath(os.fspath(root)) if root is not None else common_root(names)
    return [os.path.relpath(os.path.abspath(p), base).replace(os.sep, "/") for p in names]


def file_digest(path: str | os.PathLike[str]) -> str:
    """The SHA-256 of a file's bytes, as ``sha256:<hex>``: the file's identity in the
    provenance (raw files have no identifier of their own).

    Parameters
    ----------
    path : str or path
        The file.

    Returns
    -------
    str
        ``sha256:`` and the digest in hexadecimal."""
    digest = hashlib.sha256()
    buffer = bytearray(1 << 18)  # (read into, again and again: no new bytes per read)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as f:
        while count := f.readinto(buffer):
            digest.update(view[:count])
    return f"sha256:{digest.hexdigest()}"


def new_uuid() -> str:
    """A new random identifier for a written file."""
    return str(_uuid.uuid4())
