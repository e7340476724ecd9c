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
import warnings
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, TypedDict

import numpy as np
from numpy.typing import NDArray

from Aerolume._checks import thread_count
from Aerolume._typing import AnyArray, BoolArray, FloatArray, IntArray
from Aerolume.constants import EMITTED_NM

if TYPE_CHECKING:
    import xarray as xr

    from Aerolume.processing.config import Config
    from Aerolume.processing.pipeline import Settings
    from Aerolume.uncertainty import MonteCarlo

#: A channel's signal, its noise (0 where unknown), its molecular ``alpha_m`` and
#: ``beta_m``, and the gates inside the atmosphere.
_Inputs = tuple[FloatArray, FloatArray, dict[str, FloatArray], int]


class _Clouds(TypedDict, total=False):
    """The cloud arguments of the quality flags (none where clouds are not detected)."""

    cloud_mask: BoolArray
    cloud_base: FloatArray

__all__ = ["elastic_channels", "resolve_channels", "molecular", "retrieve", "profile_seed"]


def elastic_channels(ds: xr.Dataset) -> list[str]:
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


def resolve_channels(corrected: xr.Dataset, settings: Settings, config: Config) -> None:
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


def profile_seed(seed: int, time: np.datetime64, channel: str) -> int:
    """The Monte Carlo seed of one profile and channel: fixed by the configured seed, the
    profile's start time and the channel, so that a profile draws the same numbers
    whichever block it falls in and wherever that block runs."""
    stamp = int(np.asarray(time).astype("datetime64[ns]").astype(np.int64))
    digest = hashlib.sha256(f"{seed}/{stamp}/{channel}".encode()).digest()
    return int.from_bytes(digest[:8], "little")


# ---- molecular atmosphere ------------------------------------------------------------------

def _beam_altitude(rng: FloatArray, station: float, zenith: float) -> FloatArray:
    """Altitude above sea level of each gate (m), on a spherical Earth."""
    from Aerolume import atmosphere

    return atmosphere.beam_altitude(rng, station, zenith)


def molecular(ds: xr.Dataset, settings: Settings, station_altitude: float,
              zenith_angle: float) -> xr.Dataset:
    """The molecular atmosphere of every channel of `ds`, on (channel, range).

    Gates above the atmosphere's top (86 km for the standard atmosphere, the highest level
    of a sounding) are NaN, and so are the retrievals there.
    """
    import xarray as xr
    from Aerolume import atmosphere

    model: atmosphere.AtmosphereModel
    sounding = settings.atmosphere.get("sounding")
    if sounding is not None:
        model = atmosphere.sounding(*sounding)
        top = model.ceiling
        source = (settings.atmosphere.get("source") or settings.atmosphere.get("sounding_file")
                  or "sounding")
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
    profiles: dict[float, xr.Dataset] = {}
    for wl in np.unique(wavelengths):
        try:
            profiles[float(wl)] = atmosphere.molecular_profile(
                rng[:count], float(wl), atmosphere=model, station_altitude=station_altitude,
                zenith_angle=zenith_angle, line=settings.atmosphere["line"],
                threads=settings.threads or None)
        except ValueError as err:
            raise ValueError(f"{source}: {err}") from None

    def padded(values: FloatArray) -> FloatArray:
        out = np.full(values.shape[:-1] + (rng.size,), np.nan)
        out[..., :count] = values
        return out

    first = profiles[float(wavelengths[0])]
    variables: dict[str, tuple[tuple[str, ...], FloatArray, dict[str, Any]]] = {}
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

#: Fewest finite gates a profile needs for a retrieval.
MIN_GATES = 20


def _monte_carlo(settings: Settings, seed_of: int, **extra: Any) -> MonteCarlo | None:
    realisations = settings.uncertainty["realisations"]
    if realisations == 0:
        return None
    from Aerolume.uncertainty import MonteCarlo
    return MonteCarlo(realisations=realisations, seed=seed_of, **extra)


def _finite_from(rows: FloatArray, n: int) -> IntArray:
    """Per profile, the first gate after the last non-finite one below `n`: the
    retrievals run on the finite part of the profile beyond the instrument's blind or
    saturated gates (NaN after a trigger-delay shift, a dead-time saturation, a failed
    glue fit)."""
    bad = ~np.isfinite(rows[:, :n])
    last = np.where(bad.any(axis=1), n - 1 - np.argmax(bad[:, ::-1], axis=1), -1)
    return last + 1


def _references(signal: FloatArray, rng: FloatArray, mol: Mapping[str, FloatArray], n: int,
                noise: FloatArray, starts: IntArray, eligible: BoolArray,
                table: dict[str, Any], klett: dict[str, Any], lowest: FloatArray
                ) -> tuple[FloatArray, BoolArray, AnyArray]:
    """Every profile's reference interval in one search: (interval (profiles, 2), found,
    why not (per profile, "" where found)).  Profile p is searched on its gates
    [starts[p], n) (n: the gates inside the atmosphere) when `eligible`; the automatic
    search avoids its lowest cloud (lowest[p] = base, top; NaN: none): below it where the
    search leaves room there, else above it."""
    from Aerolume.retrieval.reference import _find_reference_rows

    profiles = signal.shape[0]
    interval = np.full((profiles, 2), np.nan)
    found = np.zeros(profiles, dtype=bool)
    why = np.full(profiles, "", dtype=object)
    search = np.full((profiles, 2), np.nan)
    ceiling = np.full(profiles, np.nan)
    for p in np.flatnonzero(eligible):
        first, last = rng[starts[p]], rng[n - 1]
        if table["reference"] != "auto":
            bottom, top = table["reference"]
            if bottom < first or top > last:
                why[p] = (f"the reference [{bottom:g}, {top:g}] m is outside the finite "
                          f"signal ({first:g} to {last:g} m)")
            else:
                interval[p] = bottom, top
                found[p] = True
            continue
        low = max(klett["reference_search"][0], float(first))
        high = min(klett["reference_search"][1], float(last))
        base, top = lowest[p]
        if np.isfinite(base):
            if base - low >= klett["reference_width"]:
                high = min(high, base)
                ceiling[p] = base
            else:
                low = max(low, top)
        if not high - low >= klett["reference_width"]:
            why[p] = (f"the finite signal ({first:g} to {last:g} m) leaves no "
                      f"{klett['reference_width']:g} m of the reference search"
                      + (" outside the clouds" if np.isfinite(base) else ""))
            continue
        search[p] = low, high
    rows = np.flatnonzero(np.isfinite(search[:, 0]))
    if rows.size:
        cut = slice(0, n)
        interval[rows], found[rows], why[rows] = _find_reference_rows(
            signal[rows, cut], rng[cut], np.asarray(mol["beta_m"][cut], dtype=float),
            np.asarray(mol["alpha_m"][cut], dtype=float), starts[rows], search[rows],
            klett["reference_width"], noise[rows, cut], ceiling[rows])
    return interval, found, why


def _gate_intervals(rng: FloatArray, n: int, starts: IntArray, interval: FloatArray,
                    found: BoolArray) -> IntArray:
    """Gates [begin, end) of each found interval on the whole profile, as the retrievals
    would find them on the profile's own gates [start, n); (start, start + 1) elsewhere."""
    gates = np.zeros((interval.shape[0], 2), dtype=np.int64)
    for p, s in enumerate(starts):
        gates[p] = s, s + 1
        if found[p]:
            r = rng[s:n]
            gates[p] = (s + int(np.searchsorted(r, interval[p, 0], side="left")),
                        s + int(np.searchsorted(r, interval[p, 1], side="right")))
    return gates


def _half_widths(rng: FloatArray, n: int, starts: IntArray, window: float
                 ) -> tuple[FloatArray, FloatArray]:
    """Half-widths (gates) of the Raman derivative's window and its effective resolution
    (m) per profile and gate, on each profile's own gates [start, n) as the retrievals
    would find them there (1 and NaN below)."""
    from Aerolume.retrieval import _half_widths as half_widths

    class _Cut:  # what half_widths reads of a layout
        def __init__(self, r: FloatArray):
            self.range = r

    half = np.ones((len(starts), n))
    resolution = np.full((len(starts), n), np.nan)
    for s in np.unique(starts):
        if n - s < MIN_GATES:
            continue
        r = rng[s:n]
        h = half_widths(_Cut(r), np.full(n - s, window))
        rows = starts == s
        half[rows, s:] = h
        resolution[rows, s:] = (2 * h + 1) * np.gradient(r)
    return half, resolution


def retrieve(corrected: xr.Dataset, molecular_ds: xr.Dataset, settings: Settings
             ) -> xr.Dataset:
    """Klett-Fernald and Raman retrievals of one block; returns the block's product.

    Each profile is retrieved on its own: over its finite gates, with its own reference
    interval and its own Monte Carlo seed, so nothing depends on the other profiles of
    the block.  Profiles without a reference (or with too few finite gates) get NaN where
    a reference is needed, and one warning per channel says how many and why.
    """
    import xarray as xr

    out = corrected.drop_vars([v for v in ("raw",) if v in corrected.variables])
    out = xr.merge([out, molecular_ds], compat="override", join="exact",
                   combine_attrs="override")
    out.attrs.update(molecular_ds.attrs)  # the atmosphere and station values used
    rng = np.asarray(corrected["range"].values, dtype=float)
    times = corrected["time"].values
    seed = settings.uncertainty["seed"] if settings.uncertainty["realisations"] else None
    stamp = ", ".join(np.datetime_as_string(times[[0, -1]], unit="m"))

    def inputs(channel: str) -> _Inputs:
        signal = np.asarray(_of_channel(corrected, "signal", channel), dtype=float)
        noise = np.asarray(_of_channel(corrected, "signal_noise", channel), dtype=float)
        mol = {k: np.asarray(_of_channel(molecular_ds, k, channel))
               for k in ("alpha_m", "beta_m")}
        # Gates inside the atmosphere (finite molecular values): the retrievals end there.
        n = int(np.isfinite(mol["beta_m"]).sum())
        return signal, np.where(np.isfinite(noise), noise, 0.0), mol, n

    full_overlap = _full_overlap(corrected)
    out, clouds, lowest = _clouds_and_boundary_layer(out, corrected, molecular_ds, inputs,
                                                     settings)
    klett = settings.klett
    if klett["channels"]:
        out = _klett(out, klett, inputs, rng=rng, times=times, seed=seed, settings=settings,
                     stamp=stamp, full_overlap=full_overlap, clouds=clouds, lowest=lowest)
    if settings.raman:
        out = _raman(out, corrected, molecular_ds, inputs, rng=rng, times=times, seed=seed,
                     settings=settings, stamp=stamp, full_overlap=full_overlap,
                     clouds=clouds, lowest=lowest)
    return out


def _of_channel(ds: xr.Dataset, name: str, channel: str) -> AnyArray:
    """``ds[name].sel(channel=channel).values`` (a view), without the DataArrays."""
    ids = [str(c) for c in ds.variables["channel"].values]
    if channel not in ids:
        raise KeyError(f"no channel {channel!r} in {name} (channels: {', '.join(ids)})")
    variable = ds.variables[name]
    key: list[int | slice] = [slice(None)] * variable.ndim
    key[variable.dims.index("channel")] = ids.index(channel)
    values: AnyArray = variable.values[tuple(key)]
    return values


def _clouds_and_boundary_layer(out: xr.Dataset, corrected: xr.Dataset,
                               molecular_ds: xr.Dataset, inputs: Callable[[str], _Inputs],
                               settings: Settings) -> tuple[xr.Dataset, _Clouds, FloatArray]:
    """Clouds and the boundary-layer height of the block from one elastic channel (the
    ``[clouds] channel``, by default the first Klett-Fernald channel or elastic channel).

    Returns the product with ``cloud_mask``, ``cloud_base``, ``cloud_top``,
    ``cloud_layers`` and ``boundary_layer_height`` (and its flag), the flags' cloud
    arguments, and each profile's lowest cloud (base, top; NaN: none) for the reference
    search."""
    from Aerolume.retrieval import boundary_layer_height, detect_clouds

    table = settings.clouds
    profiles = corrected.sizes["time"]
    none = np.full((profiles, 2), np.nan)
    if not table.get("detect", True):
        return out, _Clouds(), none
    channel = table.get("channel", "auto")
    if channel == "auto":
        channel = (settings.klett["channels"] or elastic_channels(corrected) or [None])[0]
    if channel is None:
        return out, _Clouds(), none
    signal, noise, mol, n = inputs(channel)
    cut = {k: v[:, :n] if v.ndim > 1 else v[:n] for k, v in mol.items()}
    rng = np.asarray(corrected["range"].values, dtype=float)
    finite = np.where(np.isfinite(signal[:, :n]), signal[:, :n], np.nan)
    low, high = table.get("search", [300.0, 20000.0])
    high = min(high, float(rng[n - 1]))
    with warnings.catch_warnings():  # the blind gates (NaN) are gaps, as the retrievals' are
        warnings.filterwarnings("ignore", "signal has .* NaN gate", RuntimeWarning)
        clouds = detect_clouds(finite, rng[:n], noise=noise[:, :n], molecular=cut,
                               search=(low, high), min_ratio=table.get("min_ratio", 1.5),
                               threads=settings.threads or None)
    mask = np.zeros(signal.shape, dtype=np.int8)  # a CF 1.8 type (uint8 is not)
    mask[:, :n] = np.asarray(clouds["cloud_mask"].values)
    base = np.asarray(clouds["cloud_base"].values, dtype=float)
    top = np.asarray(clouds["cloud_top"].values, dtype=float)
    lowest = np.full((profiles, 2), np.nan)
    has = np.isfinite(base).any(axis=1)
    first = np.argmin(np.where(np.isfinite(base), base, np.inf), axis=1)
    lowest[has, 0] = base[has, first[has]]
    lowest[has, 1] = top[has, first[has]]
    layer_attrs = {"layer": clouds["layer"].values}
    new: dict[str, tuple[tuple[str, ...], AnyArray, dict[str, Any]]] = {}  # assigned at once
    new["cloud_mask"] = (("time", "range"), mask, dict(clouds["cloud_mask"].attrs,
                                                       source_channel=str(channel)))
    for name in ("cloud_base", "cloud_top"):
        new[name] = (("time", "layer"), np.asarray(clouds[name].values, dtype=float),
                     dict(clouds[name].attrs))
    for name in ("cloud_layers", "cloud_detection_flag"):
        new[name] = (("time",), np.asarray(clouds[name].values), dict(clouds[name].attrs))
    layer = settings.boundary_layer
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "signal has .* NaN gate", RuntimeWarning)
        blh = boundary_layer_height(finite, rng[:n], dilation=layer.get("dilation", 300.0),
                                    search=tuple(layer.get("search", [300.0, 4000.0])),
                                    noise=noise[:, :n], molecular=cut, below=lowest[:, 0],
                                    threads=settings.threads or None)
    for name in ("boundary_layer_height", "boundary_layer_height_flag"):
        new[name] = (("time",), np.asarray(blh[name].values), dict(blh[name].attrs))
    new["boundary_layer_height"][2]["source_channel"] = str(channel)
    out = out.assign_coords(layer=("layer", layer_attrs["layer"])).assign(new)
    return out, _Clouds(cloud_mask=mask.astype(bool), cloud_base=lowest[:, 0]), lowest


def _full_overlap(corrected: xr.Dataset) -> float:
    """The full-overlap height along the beam the corrections found (m), NaN if none."""
    if "full_overlap_height" in corrected.variables:
        return float(np.asarray(corrected["full_overlap_height"].values).ravel()[0])
    return float(corrected.attrs.get("full_overlap_height", np.nan))


def _snr(signal: FloatArray, noise: FloatArray) -> FloatArray:
    with np.errstate(divide="ignore", invalid="ignore"):
        snr: FloatArray = np.where(noise > 0, signal / noise, np.inf)
    return snr


def _klett(out: xr.Dataset, klett: dict[str, Any], inputs: Callable[[str], _Inputs], *,
           rng: FloatArray, times: AnyArray, seed: int | None, settings: Settings, stamp: str,
           full_overlap: float, clouds: _Clouds, lowest: FloatArray) -> xr.Dataset:
    from Aerolume import quality
    from Aerolume import retrieval

    names = ("backscatter", "extinction", "backscatter_uncertainty",
             "extinction_uncertainty")
    results: dict[str, list[FloatArray]] = {name: [] for name in names}
    references: list[FloatArray] = []
    offsets: list[FloatArray] = []
    flags: list[NDArray[np.int16]] = []
    threads_ = thread_count(settings.threads or None)
    for channel in klett["channels"]:
        signal, noise, mol, n = inputs(channel)
        values = {name: np.full(signal.shape, np.nan) for name in names}
        reference = np.full(signal.shape[:-1] + (2,), np.nan)
        offset = np.full(signal.shape[:-1], np.nan)
        starts = _finite_from(signal, n)
        eligible = n - starts >= MIN_GATES
        interval, found, why = _references(signal, rng, mol, n, noise, starts, eligible,
                                           klett, klett, lowest)
        why[~eligible] = f"fewer than {MIN_GATES} finite gates"
        reasons = [str(w) for w in why[~found]]
        reference[found] = interval[found]
        rows = np.flatnonzero(found)
        if rows.size:
            ratio = klett["lidar_ratio"]
            if klett.get("cloud_lidar_ratio") is not None and "cloud_mask" in clouds:
                ratio = np.where(clouds["cloud_mask"][rows, :n], klett["cloud_lidar_ratio"],
                                 ratio)
            ratio = np.ascontiguousarray(np.broadcast_to(ratio, (n,)) if np.ndim(ratio) == 0
                                         else ratio, dtype=np.float64)
            first = starts[rows]
            mc: dict[str, Any] = {}  # (the Monte Carlo keywords of the retrieval)
            if seed is not None:
                mc = dict(realisations=settings.uncertainty["realisations"],
                          seeds=[profile_seed(seed, times[p], channel) for p in rows],
                          noise=noise[rows, :n], lidar_ratio_sd=klett["lidar_ratio_uncertainty"],
                          reference_value_sd=klett["reference_value_uncertainty"])
            beta, alpha, failures, fitted, beta_sd, alpha_sd = retrieval._klett_rows(
                signal[rows, :n], rng[:n], np.ascontiguousarray(mol["beta_m"][:n]),
                np.ascontiguousarray(mol["alpha_m"][:n]), ratio,
                _gate_intervals(rng, n, starts, interval, found)[rows],
                klett["reference_value"], fit_offset=klett["fit_offset"], first=first,
                threads=threads_, **mc)
            if failures:
                warnings.warn(f"Klett-Fernald {channel}: the inversion has no solution at "
                              f"{failures} gate(s) ({stamp} UTC; the denominator is not "
                              "positive: the signal or lidar ratio does not fit); they are NaN",
                              RuntimeWarning, stacklevel=3)
            for name, result in (("backscatter", beta), ("extinction", alpha),
                                 ("backscatter_uncertainty", beta_sd),
                                 ("extinction_uncertainty", alpha_sd)):
                if result is not None:
                    values[name][rows, :n] = result
            offset[rows] = fitted
        _warn_missing(len(reasons), signal.shape[0], reasons, f"Klett-Fernald {channel}",
                      stamp)
        for name in names:
            results[name].append(values[name])
        references.append(reference)
        offsets.append(offset)
        sd = values["backscatter_uncertainty"] if seed is not None else None
        flags.append(quality.flags(
            rng, full_overlap=full_overlap, snr=_snr(signal, noise),
            reference_found=np.isfinite(reference[:, 0]),
            backscatter=(values["backscatter"], sd),
            extinction=(values["extinction"],
                        values["extinction_uncertainty"] if seed is not None else None),
            retrieved=np.isfinite(values["backscatter"]), settings=settings.quality,
            **clouds))

    dims = ("time", "klett_channel", "range")
    new: dict[str, tuple[tuple[str, ...], AnyArray, dict[str, Any]]] = {}  # assigned at once
    units = {"backscatter": "m-1 sr-1", "extinction": "m-1"}
    for name in names:
        base = name.replace("_uncertainty", "")
        long_name = f"aerosol {base} coefficient (Klett-Fernald)"
        if name.endswith("_uncertainty"):
            if seed is None:
                continue
            long_name = "standard deviation of the " + long_name
        new[name] = (dims, np.stack(results[name], axis=1),
                     {"units": units[base], "long_name": long_name,
                      "lidar_ratio_sr": klett["lidar_ratio"],
                      "reference_value": klett["reference_value"]})
    reference = np.stack(references, axis=1)
    for k, edge in enumerate(("bottom", "top")):
        new[f"reference_{edge}"] = (("time", "klett_channel"), reference[..., k],
                                    {"units": "m", "long_name": f"{edge} of the reference "
                                     "interval along the beam (NaN: none found)"})
    new["reference_offset"] = (("time", "klett_channel"), np.stack(offsets, axis=1),
                               {"units": "1", "long_name": "residual background offset "
                                "fitted over the reference interval and removed (signal "
                                "units of the channel; 0: not fitted)"})
    new["quality_flag"] = (dims, np.stack(flags, axis=1),
                           quality.flag_attributes("Klett-Fernald"))
    return out.assign(new).assign_coords(klett_channel=("klett_channel",
                                            np.array(klett["channels"], dtype=object)))


def _raman(out: xr.Dataset, corrected: xr.Dataset, molecular_ds: xr.Dataset,
           inputs: Callable[[str], _Inputs], *, rng: FloatArray, times: AnyArray,
           seed: int | None, settings: Settings, stamp: str, full_overlap: float,
           clouds: _Clouds, lowest: FloatArray) -> xr.Dataset:
    from Aerolume import atmosphere
    from Aerolume import quality
    from Aerolume import retrieval

    names = ("extinction", "backscatter", "lidar_ratio", "extinction_uncertainty",
             "backscatter_uncertainty", "lidar_ratio_uncertainty",
             "extinction_statistical_error", "effective_resolution", "failed_realisations")
    results: dict[str, list[FloatArray]] = {name: [] for name in names}
    flags: list[NDArray[np.int16]] = []
    threads = settings.threads or None
    threads_ = thread_count(threads)
    station = float(molecular_ds.attrs["station_altitude"])
    zenith = float(molecular_ds.attrs["zenith_angle"])
    model = (atmosphere.sounding(*settings.atmosphere["sounding"])
             if settings.atmosphere.get("sounding") is not None
             else atmosphere.standard_atmosphere)
    for pair in settings.raman:
        elastic, raman = pair["elastic"], pair["raman"]
        e_signal, e_noise, _, n_e = inputs(elastic)
        r_signal, r_noise, _, n_r = inputs(raman)
        n = min(n_e, n_r)
        w0 = float(corrected["wavelength"].sel(channel=elastic).values)
        wr_header = float(corrected["wavelength"].sel(channel=raman).values)
        wr = float(np.ravel(retrieval.raman_wavelength(w0))[0])
        if abs(wr - wr_header) > 2e-9:
            wr = wr_header  # not the nitrogen line of this laser: trust the header
        # The molecular atmosphere at the emitted and at the exact Raman wavelength.
        mol_e = atmosphere.molecular_profile(rng[:n], w0, atmosphere=model,
                                             station_altitude=station, zenith_angle=zenith,
                                             line=settings.atmosphere["line"],
                                             threads=threads)
        mol_r = atmosphere.molecular_profile(rng[:n], wr, atmosphere=model,
                                             station_altitude=station, zenith_angle=zenith,
                                             threads=threads)
        values = {name: np.full(e_signal.shape, np.nan) for name in names}
        starts = np.maximum(_finite_from(e_signal, n), _finite_from(r_signal, n))
        eligible = n - starts >= MIN_GATES
        cut = {k: np.ascontiguousarray(np.asarray(m[k].values, dtype=float))
               for m, k in ((mol_e, "alpha_m"), (mol_e, "beta_m"))}
        interval, found_reference, why = _references(e_signal, rng, cut, n, e_noise, starts,
                                                     eligible, pair, settings.klett, lowest)
        found_reference &= eligible
        why[~eligible] = f"fewer than {MIN_GATES} finite gates"
        reasons = [str(w) for w in why[~found_reference]]
        rows = np.flatnonzero(eligible)
        if rows.size:
            first = starts[rows]
            half, resolution = _half_widths(rng, n, first, pair["window"])
            mc: dict[str, Any] = {}  # (the Monte Carlo keywords of the retrieval)
            if seed is not None:
                mc = dict(realisations=settings.uncertainty["realisations"],
                          seeds=[profile_seed(seed, times[p], f"{elastic}/{raman}")
                                 for p in rows],
                          elastic_noise=e_noise[rows, :n],
                          reference_value_sd=pair["reference_value_uncertainty"],
                          angstrom_sd=pair["angstrom_uncertainty"])
            # The molecular atmosphere at the emitted and at the exact Raman wavelength.
            result = retrieval._raman_rows(
                e_signal[rows, :n], r_signal[rows, :n], rng[:n], cut["beta_m"],
                np.ascontiguousarray(np.asarray(mol_r["number_density"].values, dtype=float)),
                cut["alpha_m"],
                np.ascontiguousarray(np.asarray(mol_r["alpha_m"].values, dtype=float)), half,
                w0 / wr, pair["angstrom"], r_noise[rows, :n],
                _gate_intervals(rng, n, starts, interval, found_reference)[rows],
                found_reference[rows], pair["reference_value"], first=first, threads=threads_,
                **mc)
            result["effective_resolution"] = resolution
            for name in names:
                if name in result:
                    values[name][rows, :n] = result[name]
            if "failed_realisations" in result:
                failed = values["failed_realisations"]
                for p, s in zip(rows, first):
                    failed[p, :s] = np.nan
        _warn_missing(len(reasons), e_signal.shape[0], reasons, f"Raman {elastic}/{raman}",
                      stamp)
        for name in names:
            results[name].append(values[name])
        extinction_sd = (values["extinction_uncertainty"] if seed is not None
                         else values["extinction_statistical_error"])
        flags.append(quality.flags(
            rng, full_overlap=full_overlap,
            snr=np.minimum(_snr(e_signal, e_noise), _snr(r_signal, r_noise)),
            reference_found=found_reference,
            backscatter=(values["backscatter"],
                         values["backscatter_uncertainty"] if seed is not None else None),
            extinction=(values["extinction"], extinction_sd),
            lidar_ratio=values["lidar_ratio"],
            retrieved=np.isfinite(values["extinction"]) | np.isfinite(values["backscatter"]),
            settings=settings.quality, **clouds))

    units = {"extinction": "m-1", "backscatter": "m-1 sr-1", "lidar_ratio": "sr",
             "effective_resolution": "m", "extinction_statistical_error": "m-1",
             "failed_realisations": "1"}
    long_names = {"extinction": "aerosol extinction coefficient (Raman method)",
                  "backscatter": "aerosol backscatter coefficient (Raman method)",
                  "lidar_ratio": "aerosol extinction-to-backscatter ratio (Raman method)",
                  "effective_resolution": "effective vertical resolution of the Raman "
                                          "extinction",
                  "extinction_statistical_error": "statistical error of the Raman extinction "
                                                  "(the signal noise propagated through the "
                                                  "fit)",
                  "failed_realisations": "Monte Carlo realisations of the Raman method that "
                                         "failed at the gate (the uncertainties are the "
                                         "robust spread of the others)"}
    new: dict[str, tuple[tuple[str, ...], AnyArray, dict[str, Any]]] = {}  # assigned at once
    for name in names:
        base = name.replace("_uncertainty", "")
        long_name = long_names[base]
        if name.endswith("_uncertainty") or name == "failed_realisations":
            if settings.uncertainty["realisations"] == 0:
                continue
            if name != "failed_realisations":
                long_name = "standard deviation of the " + long_name
        stacked = np.stack(results[name], axis=1)
        if name == "failed_realisations":
            stacked = np.where(np.isfinite(stacked), stacked, 0).astype(np.int32)
        new[f"raman_{name}"] = (("time", "raman_channel", "range"), stacked,
                                {"units": units[base], "long_name": long_name})
    new["raman_quality_flag"] = (("time", "raman_channel", "range"), np.stack(flags, axis=1),
                                 quality.flag_attributes("Raman"))
    return out.assign(new).assign_coords(
        raman_channel=("raman_channel", np.array([p["elastic"] for p in settings.raman],
                                                 dtype=object)),
        raman_signal_channel=("raman_channel", np.array([p["raman"] for p in settings.raman],
                                                        dtype=object)))


def _warn_missing(missing: int, total: int, reasons: list[str], what: str, stamp: str) -> None:
    if missing:
        distinct = list(dict.fromkeys(r for reason in reasons for r in reason.splitlines()
                                      if r))
        why = distinct[0] if distinct else "no reason given"
        if len(distinct) > 1:
            why += f" (and {len(distinct) - 1} other reason(s))"
        warnings.warn(f"{what}: no molecular reference interval in {missing} of {total} "
                      f"profiles ({stamp} UTC), their products are NaN: {why}",
                      RuntimeWarning, stacklevel=3)
