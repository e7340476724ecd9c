"""The retrieved products of one block of corrected signals.

:func:`resolve_channels` checks, before any work, that the channels a configuration names
exist; :func:`molecular` computes the molecular atmosphere of every channel;
:func:`retrieve` runs the Klett-Fernald retrieval on the chosen elastic channels and the
Raman method on the configured pairs, with Monte Carlo uncertainties, and gathers
everything into one Dataset:

- the corrected Dataset's variables (``signal``, ``signal_noise``, ``background`` ...);
- the molecular atmosphere: ``alpha_m``, ``beta_m``, ``lidar_ratio_m`` per channel and
  range, and ``altitude``, ``molecular_temperature``, ``molecular_pressure`` and
  ``molecular_number_density`` per range;
- on dimension ``klett_channel``: ``backscatter``, ``extinction`` and their
  ``*_uncertainty``, and the ``reference_bottom`` / ``reference_top`` used per profile;
- on dimension ``raman_channel`` (named after the elastic channel; the Raman channel in
  the coordinate ``raman_signal_channel``): ``raman_extinction``, ``raman_backscatter``,
  ``raman_lidar_ratio``, their ``*_uncertainty`` (Monte Carlo),
  ``raman_extinction_statistical_error`` (analytic) and ``raman_effective_resolution``.
"""

from __future__ import annotations

import hashlib
import math
import warnings
from typing import Any

import numpy as np

__all__ = ["elastic_channels", "resolve_channels", "molecular", "retrieve", "profile_seed"]

#: Emitted wavelengths of the usual lidar lasers (nm): a channel within 1 nm of one of
#: these is elastic; the others are Raman or fluorescence channels.
EMITTED_NM = (355.0, 532.0, 1064.0, 308.0, 349.0, 351.0, 694.0, 910.0)

#: Mean radius of the Earth (m), for the altitude of a slant beam.
EARTH_RADIUS = 6371000.0


def elastic_channels(ds) -> list[str]:
    """The elastic channels of a Dataset, one per emitted wavelength and polarisation.

    Where a glued channel exists it stands for its analog and photon-counting parts;
    otherwise photon counting is preferred (night-time signal levels), then analog.

    Parameters
    ----------
    ds : xarray.Dataset
        With a ``channel`` dimension and a per-channel ``wavelength`` coordinate (m).

    Returns
    -------
    list of str
        Channel ids in the Dataset's order.
    """
    ids = [str(c) for c in ds["channel"].values]
    wavelengths = np.asarray(ds["wavelength"].values, dtype=float) * 1e9
    groups: dict[str, list[str]] = {}
    for ident, nm in zip(ids, wavelengths):
        if not any(abs(nm - e) <= 1.0 for e in EMITTED_NM):
            continue
        stem, _, _ = ident.rpartition("_")
        groups.setdefault(stem or ident, []).append(ident)
    rank = {"gl": 0, "pc": 1, "an": 2}
    chosen = {min(members, key=lambda c: rank.get(c.rpartition("_")[2], 3))
              for members in groups.values()}
    return [c for c in ids if c in chosen]


def resolve_channels(corrected, settings, config) -> None:
    """Puts the channel ids of the retrievals into `settings`, or raises ConfigError.

    ``[klett] channels = "auto"`` becomes :func:`elastic_channels` of the corrected data;
    a channel named in ``[klett]`` or ``[[raman]]`` that the corrected data does not
    have is an error naming the field and the channels there are.
    """
    ids = [str(c) for c in corrected["channel"].values]
    known = ", ".join(ids)
    channels = settings.klett["channels"]
    if channels == "auto":
        channels = elastic_channels(corrected)
    else:
        for c in channels:
            if c not in ids:
                raise config.error("[klett] channels", f"no channel {c!r} after the "
                                   f"corrections (channels: {known})")
    settings.klett["channels"] = list(channels)
    for i, pair in enumerate(settings.raman):
        for key in ("elastic", "raman"):
            if pair[key] not in ids:
                raise config.error(f"[[raman]] #{i + 1} {key}", f"no channel {pair[key]!r} "
                                   f"after the corrections (channels: {known})")
        if pair["elastic"] == pair["raman"]:
            raise config.error(f"[[raman]] #{i + 1}",
                               "elastic and raman name the same channel")
    # A reference interval given by hand must lie within the products' range.
    last = float(np.asarray(corrected["range"].values)[-1])
    top = min(settings.max_range, last)
    tables = [("[klett]", settings.klett)] + [(f"[[raman]] #{i + 1}", p)
                                             for i, p in enumerate(settings.raman)]
    for where, table in tables:
        if table["reference"] != "auto" and table["reference"][1] > top:
            raise config.error(f"{where} reference", f"reaches {table['reference'][1]:g} m, "
                               f"beyond the products' range ({top:g} m; see [processing] "
                               "max_range)")
    search, width = settings.klett["reference_search"], settings.klett["reference_width"]
    if settings.klett["reference"] == "auto" and search[0] + width > top:
        raise config.error("[klett] reference_search", f"starts at {search[0]:g} m, leaving "
                           f"no room for a {width:g} m interval below {top:g} m, the end of "
                           "the products' range")
    names = [p["elastic"] for p in settings.raman]
    if len(set(names)) != len(names):
        raise config.error("[[raman]]", "two Raman retrievals for the same elastic channel")


def profile_seed(seed: int, time, channel: str) -> int:
    """The Monte Carlo seed of one profile and channel: fixed by the configured seed, the
    profile's start time and the channel, so that a profile draws the same numbers
    whichever block it falls in and wherever that block runs."""
    stamp = int(np.asarray(time).astype("datetime64[ns]").astype(np.int64))
    digest = hashlib.sha256(f"{seed}/{stamp}/{channel}".encode()).digest()
    return int.from_bytes(digest[:8], "little")


# ---- molecular atmosphere ------------------------------------------------------------------

def _beam_altitude(rng: np.ndarray, station: float, zenith: float) -> np.ndarray:
    """Altitude above sea level of each gate (m), on a spherical Earth."""
    c = math.cos(math.radians(zenith))
    R = EARTH_RADIUS + station
    return np.sqrt(R * R + rng * rng + 2.0 * R * rng * c) - EARTH_RADIUS


def molecular(ds, settings, station_altitude: float, zenith_angle: float):
    """The molecular atmosphere of every channel of `ds`, on (channel, range).

    Gates above the atmosphere's top (86 km for the standard atmosphere, the highest level
    of a sounding) are NaN, and so are the retrievals there.
    """
    import xarray as xr
    from . import atmosphere

    sounding = settings.atmosphere.get("sounding")
    if sounding is not None:
        model = atmosphere.sounding(*sounding)
        top = model.ceiling
        source = settings.atmosphere.get("sounding_file", "sounding")
    else:
        model = atmosphere.standard_atmosphere
        top = atmosphere.STANDARD_ATMOSPHERE_TOP
        source = "US Standard Atmosphere 1976"
    rng = np.asarray(ds["range"].values, dtype=float)
    inside = _beam_altitude(rng, station_altitude, zenith_angle) <= top - 1.0
    count = int(inside.sum())
    if count < rng.size and not np.all(inside[:count]):
        count = int(np.argmin(inside))
    wavelengths = np.asarray(ds["wavelength"].values, dtype=float)
    profiles = {}
    for wl in np.unique(wavelengths):
        try:
            profiles[float(wl)] = atmosphere.molecular_profile(
                rng[:count], float(wl), atmosphere=model, station_altitude=station_altitude,
                zenith_angle=zenith_angle, line=settings.atmosphere["line"],
                threads=settings.threads or None)
        except ValueError as err:
            raise ValueError(f"{source}: {err}") from None

    def padded(values):
        out = np.full(values.shape[:-1] + (rng.size,), np.nan)
        out[..., :count] = values
        return out

    first = profiles[float(wavelengths[0])]
    variables = {}
    for name in ("alpha_m", "beta_m", "lidar_ratio_m", "transmission_m2", "attenuated_beta_m"):
        stacked = np.stack([padded(np.asarray(profiles[float(wl)][name].values))
                            for wl in wavelengths])
        variables[name] = (("channel", "range"), stacked, dict(first[name].attrs))
    for name in ("altitude", "temperature", "pressure", "number_density"):
        key = name if name == "altitude" else f"molecular_{name}"
        attrs = dict(first[name].attrs)
        if name != "altitude":
            attrs["long_name"] = f"molecular atmosphere: {attrs.get('long_name', name)}"
        variables[key] = (("range",), padded(np.asarray(first[name].values)), attrs)
    variables["altitude"] = (("range",), _beam_altitude(rng, station_altitude, zenith_angle),
                             {"units": "m",
                              "long_name": "altitude of the gate above sea level"})
    out = xr.Dataset(variables, coords={"range": ds["range"], "channel": ds["channel"]})
    out.attrs.update(molecular_atmosphere=source, molecular_line=settings.atmosphere["line"],
                     station_altitude=station_altitude, zenith_angle=zenith_angle)
    return out


# ---- retrievals ---------------------------------------------------------------------------

def _monte_carlo(settings, seed_of, **extra) -> Any:
    realisations = settings.uncertainty["realisations"]
    if realisations == 0:
        return None
    from .uncertainty import MonteCarlo
    return MonteCarlo(realisations=realisations, seed=seed_of, **extra)


def _reference(signal, rng, mol, noise, table: dict, klett: dict, what: str):
    """The reference interval per profile: found, or the configured one."""
    from .retrieval import find_reference

    if table["reference"] != "auto":
        bottom, top = table["reference"]
        if top > rng[-1] or bottom < rng[0]:
            raise ValueError(f"{what}: the reference [{bottom:g}, {top:g}] m is outside the "
                             f"products' range (up to {rng[-1]:g} m)")
        interval = np.broadcast_to(np.array([bottom, top]), signal.shape[:-1] + (2,))
        return np.array(interval), np.ones(signal.shape[:-1], dtype=bool), ""
    search = tuple(klett["reference_search"])
    found = find_reference(signal, rng, mol, search=search, width=klett["reference_width"],
                           noise=noise)
    return np.asarray(found.interval), np.asarray(found.found), found.reason_text()


def retrieve(corrected, molecular_ds, settings):
    """Klett-Fernald and Raman retrievals of one block; returns the block's product.

    Profiles where no reference interval passes the tests get NaN products and one
    warning per channel saying how many and why.
    """
    import xarray as xr
    from . import retrieval

    out = corrected.drop_vars([v for v in ("raw",) if v in corrected.variables])
    out = xr.merge([out, molecular_ds], compat="override", join="exact",
                   combine_attrs="override")
    out.attrs.update(molecular_ds.attrs)  # the atmosphere and station values used
    rng = np.asarray(corrected["range"].values, dtype=float)
    times = corrected["time"].values
    threads = settings.threads or None
    klett = settings.klett
    stamp = ", ".join(np.datetime_as_string(times[[0, -1]], unit="m"))
    seed = settings.uncertainty["seed"] if settings.uncertainty["realisations"] else None

    def inputs(channel):
        signal = np.asarray(corrected["signal"].sel(channel=channel).values, dtype=float)
        noise = np.asarray(corrected["signal_noise"].sel(channel=channel).values, dtype=float)
        mol = {k: np.asarray(molecular_ds[k].sel(channel=channel).values)
               for k in ("alpha_m", "beta_m")}
        return signal, np.where(np.isfinite(noise), noise, 0.0), mol

    def usable(mol):
        """Gates inside the atmosphere: the retrievals run there only."""
        return int(np.isfinite(mol["beta_m"]).sum())

    klett_names = ("backscatter", "extinction", "backscatter_uncertainty",
                   "extinction_uncertainty")
    k_results = {name: [] for name in klett_names}
    k_reference = []
    for channel in klett["channels"]:
        signal, noise, mol = inputs(channel)
        n = usable(mol)
        cut = {k: v[..., :n] for k, v in mol.items()}
        interval, found, reason = _reference(signal[:, :n], rng[:n], cut, noise[:, :n],
                                             klett, klett, f"[klett] {channel}")
        _warn_missing(found, reason, f"Klett-Fernald {channel}", stamp)
        values = {name: np.full(signal.shape, np.nan) for name in klett_names}

        def fernald(rows, mc):
            with warnings.catch_warnings():
                # Profiles without a reference are reported above, once.
                warnings.filterwarnings("ignore", message=".*reference.*")
                res = retrieval.klett_fernald(signal[rows, :n], rng[:n], cut,
                                              klett["lidar_ratio"], interval[rows],
                                              klett["reference_value"], uncertainty=mc,
                                              threads=threads)
            for name in klett_names:
                if name in res:
                    values[name][rows, :n] = np.asarray(res[name].values)

        rows = np.flatnonzero(found)
        if seed is None:
            if rows.size:
                fernald(rows, None)
        else:
            # One call a profile, each with its own seed: the draws do not depend on the
            # blocks.  (The core threads a lone profile's realisations.)
            for p in rows:
                fernald([p], _monte_carlo(
                    settings, profile_seed(seed, times[p], channel), noise=noise[[p], :n],
                    lidar_ratio=klett["lidar_ratio_uncertainty"],
                    reference_value=klett["reference_value_uncertainty"]))
        for name in klett_names:
            k_results[name].append(values[name])
        k_reference.append(interval)
    if klett["channels"]:
        dims = ("time", "klett_channel", "range")
        units = {"backscatter": "m-1 sr-1", "extinction": "m-1"}
        for name in klett_names:
            base = name.replace("_uncertainty", "")
            long_name = f"aerosol {base} coefficient (Klett-Fernald)"
            if name.endswith("_uncertainty"):
                if settings.uncertainty["realisations"] == 0:
                    continue
                long_name = "standard deviation of the " + long_name
            out[name] = (dims, np.stack(k_results[name], axis=1),
                         {"units": units[base], "long_name": long_name,
                          "lidar_ratio_sr": klett["lidar_ratio"],
                          "reference_value": klett["reference_value"]})
        reference = np.stack(k_reference, axis=1)
        for k, edge in enumerate(("bottom", "top")):
            out[f"reference_{edge}"] = (("time", "klett_channel"), reference[..., k],
                                        {"units": "m", "long_name": f"{edge} of the reference "
                                         "interval along the beam (NaN: none found)"})
        out = out.assign_coords(klett_channel=("klett_channel", np.array(klett["channels"],
                                                                        dtype=object)))

    if settings.raman:
        out = _raman(out, corrected, molecular_ds, settings, rng, times, stamp, inputs, usable)
    return out


def _raman(out, corrected, molecular_ds, settings, rng, times, stamp, inputs, usable):
    from . import atmosphere, retrieval

    names = ("extinction", "backscatter", "lidar_ratio", "extinction_uncertainty",
             "backscatter_uncertainty", "lidar_ratio_uncertainty",
             "extinction_statistical_error", "effective_resolution")
    results = {name: [] for name in names}
    seed = settings.uncertainty["seed"] if settings.uncertainty["realisations"] else None
    for pair in settings.raman:
        elastic, raman = pair["elastic"], pair["raman"]
        e_signal, e_noise, e_mol = inputs(elastic)
        r_signal, r_noise, _ = inputs(raman)
        n = min(usable(e_mol), int(np.isfinite(
            molecular_ds["beta_m"].sel(channel=raman).values).sum()))
        w0 = float(corrected["wavelength"].sel(channel=elastic).values)
        wr_header = float(corrected["wavelength"].sel(channel=raman).values)
        wr = float(np.ravel(retrieval.raman_wavelength(w0))[0])
        if abs(wr - wr_header) > 2e-9:
            wr = wr_header  # not the nitrogen line of this laser: trust the header
        station = float(molecular_ds.attrs["station_altitude"])
        zenith = float(molecular_ds.attrs["zenith_angle"])
        model = (atmosphere.sounding(*settings.atmosphere["sounding"])
                 if settings.atmosphere.get("sounding") is not None
                 else atmosphere.standard_atmosphere)
        mol_e = atmosphere.molecular_profile(rng[:n], w0, atmosphere=model,
                                             station_altitude=station, zenith_angle=zenith,
                                             line=settings.atmosphere["line"],
                                             threads=settings.threads or None)
        mol_r = atmosphere.molecular_profile(rng[:n], wr, atmosphere=model,
                                             station_altitude=station, zenith_angle=zenith,
                                             threads=settings.threads or None)
        table = dict(pair)
        interval, found, reason = _reference(e_signal[:, :n], rng[:n], mol_e, e_noise[:, :n],
                                             table, settings.klett, f"[[raman]] {elastic}")
        _warn_missing(found, reason, f"Raman {elastic}/{raman}", stamp)
        window = np.full(n, pair["window"])
        common = dict(wavelength=w0, raman_wavelength=wr, threads=settings.threads or None)
        values = {name: np.full(e_signal.shape, np.nan) for name in names}

        def fill(rows, res):
            for name in names:
                if name in res:
                    values[name][rows, :n] = np.broadcast_to(np.asarray(res[name].values),
                                                             (len(rows), n))

        def monte_carlo(p):
            if seed is None:
                return None
            return _monte_carlo(settings, profile_seed(seed, times[p], f"{elastic}/{raman}"),
                                noise=e_noise[[p], :n], raman_noise=r_noise[[p], :n],
                                reference_value=pair["reference_value_uncertainty"],
                                angstrom=pair["angstrom_uncertainty"])

        def extinction(rows, mc):
            return retrieval.raman_extinction(r_signal[rows, :n], rng[:n], mol_e, mol_r,
                                              pair["angstrom"], window, uncertainty=mc,
                                              **common)

        def whole(rows, mc):
            with warnings.catch_warnings():
                warnings.filterwarnings("ignore", message=".*reference.*")
                return retrieval.raman_retrieval(
                    e_signal[rows, :n], r_signal[rows, :n], rng[:n], mol_e, mol_r,
                    interval[rows], pair["reference_value"], pair["angstrom"], window,
                    uncertainty=mc, **common)

        # The extinction needs no reference: every profile gets it, with the analytic
        # statistical error of its fit.
        every = np.arange(e_signal.shape[0])
        fill(every, retrieval.raman_extinction(
            r_signal[:, :n], rng[:n], mol_e, mol_r, pair["angstrom"], window,
            noise=r_noise[:, :n], **common))
        rows = np.flatnonzero(found)
        if seed is None:
            if rows.size:
                fill(rows, whole(rows, None))
        else:
            # One call a profile, each with its own seed (see the Klett-Fernald loop).
            for p in every:
                fill([p], whole([p], monte_carlo(p)) if found[p] else
                     extinction([p], monte_carlo(p)))
        for name in names:
            results[name].append(values[name])
    units = {"extinction": "m-1", "backscatter": "m-1 sr-1", "lidar_ratio": "sr",
             "effective_resolution": "m", "extinction_statistical_error": "m-1"}
    long_names = {"extinction": "aerosol extinction coefficient (Raman method)",
                  "backscatter": "aerosol backscatter coefficient (Raman method)",
                  "lidar_ratio": "aerosol extinction-to-backscatter ratio (Raman method)",
                  "effective_resolution": "effective vertical resolution of the Raman "
                                          "extinction",
                  "extinction_statistical_error": "statistical error of the Raman extinction "
                                                  "(the signal noise propagated through the "
                                                  "fit)"}
    for name in names:
        base = name.replace("_uncertainty", "")
        long_name = long_names[base]
        if name.endswith("_uncertainty"):
            if settings.uncertainty["realisations"] == 0:
                continue
            long_name = "standard deviation of the " + long_name
        out[f"raman_{name}"] = (("time", "raman_channel", "range"),
                                np.stack(results[name], axis=1),
                                {"units": units[base], "long_name": long_name})
    return out.assign_coords(
        raman_channel=("raman_channel", np.array([p["elastic"] for p in settings.raman],
                                                 dtype=object)),
        raman_signal_channel=("raman_channel", np.array([p["raman"] for p in settings.raman],
                                                        dtype=object)))


def _warn_missing(found, reason: str, what: str, stamp: str) -> None:
    missing = int(np.size(found) - np.count_nonzero(found))
    if missing:
        reasons = reason.splitlines()
        why = reasons[0] if reasons else "no reason given"
        if len(reasons) > 1:
            why += f" (and {len(reasons) - 1} similar)"
        warnings.warn(f"{what}: no molecular reference interval in {missing} of "
                      f"{np.size(found)} profiles ({stamp} UTC), their products are NaN: "
                      f"{why}",
                      RuntimeWarning, stacklevel=3)
